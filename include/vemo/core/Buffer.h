/// \file
/// Buffer: an owned block of bytes with a signed 32-bit size.
///
/// An empty buffer has size 0 and no block; a failed allocation leaves the buffer empty, so a
/// size different from the one asked for is how callers see it. Resizing does not keep the
/// contents: it frees the old block and allocates a new one (unless the size is unchanged).
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/Stream.h"
#include "vemo/core/String.h"

namespace vemo {

/// An owned block of bytes; copies are deep. See Buffer.h.
class VEMO_CORE_API Buffer {
 public:
  /// `size` bytes of undefined content; 0 or less gives an empty buffer.
  explicit Buffer(int size = 0);
  ///@{
  /// A copy of the other's bytes (empty when the allocation fails).
  Buffer(const Buffer& other);
  Buffer& operator=(const Buffer& other);
  ///@}
  /// Takes the other's block; the other is empty afterwards.
  Buffer(Buffer&& other) noexcept;
  /// Exchanges the blocks of the two buffers.
  Buffer& operator=(Buffer&& other) noexcept;
  ~Buffer();

  /// The size in bytes; 0 for an empty buffer.
  int getBufferSize() const { return _size; }
  ///@{
  /// The bytes; null for an empty buffer.
  void* getBuffer() { return _data; }
  const void* getBuffer() const { return _data; }
  operator void*() { return _data; }
  operator const void*() const { return _data; }
  ///@}

  /// The same size keeps the contents; another size discards them. Returns the new size (0
  /// when `size` <= 0 or the allocation failed).
  int setBufferSize(int size);

  ///@{
  /// The same size and the same bytes.
  bool operator==(const Buffer& other) const;
  bool operator!=(const Buffer& other) const { return !(*this == other); }
  ///@}

  /// Two lower-case hexadecimal digits per byte, for example "00ab".
  String convertToHex() const;
  /// False for an odd length (buffer unchanged) or a character that is not a hexadecimal digit
  /// (the bytes before it stay, the buffer keeps its new size).
  bool convertFromHex(const String& text);
  /// The bytes in base64 (Base64.h).
  String convertToBase64() const;
  /// The bytes of a base64 text; false when the text does not decode whole (the size and
  /// content of the buffer are then undefined).
  bool convertFromBase64(const String& text);

 private:
  int _size;
  void* _data;
};

///@{
/// A Varint byte count, then the bytes.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const Buffer& buffer);
VEMO_CORE_API InputStream& operator>>(InputStream& is, Buffer& buffer);
///@}

}  // namespace vemo
