/// \file
/// MD5 message digests (RFC 1321) and MD5Checksum, a Buffer that holds one 16-byte digest.
#pragma once

#include "vemo/core/Buffer.h"
#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

/// The running state of one digest.
struct MD5Context {
  unsigned int state[4];     ///< the four chaining words
  unsigned int count[2];     ///< message length in bits, low word first
  unsigned char buffer[64];  ///< the bytes of the block not yet complete
};

/// A Buffer holding the 16 bytes of a finished digest (any other size holds no digest).
class VEMO_CORE_API MD5Checksum : public Buffer {
 public:
  /// The 32 lower-case hexadecimal digits; "000...0" when no digest is held.
  String convertToString() const;
  /// Reads exactly 32 hexadecimal digits; any other text empties the checksum and gives false.
  bool convertFromString(const String& text);
};

/// Starts a digest.
VEMO_CORE_API void MD5Init(MD5Context* context);
/// Adds `length` bytes of `data` to the digest.
VEMO_CORE_API void MD5Update(MD5Context* context, const void* data, unsigned int length);
/// Pads, finishes and writes the digest; initialise the context again before reusing it.
///@{
VEMO_CORE_API void MD5Final(unsigned char digest[16], MD5Context* context);
VEMO_CORE_API void MD5Final(MD5Checksum* checksum, MD5Context* context);
///@}
/// Runs the compression function of RFC 1321 on one 64-byte block.
VEMO_CORE_API void MD5Transform(unsigned int state[4], const unsigned char block[64]);

}  // namespace vemo
