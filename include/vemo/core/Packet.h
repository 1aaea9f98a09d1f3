/// \file
/// PacketWriter and PacketReader: a byte channel cut into length-prefixed packets.
///
/// A packet is a 4-byte little-endian signed length (the body only) and that many body bytes; a
/// length of 0 is an empty packet, a negative one is invalid. The reader is resumable: call it
/// whenever bytes may have arrived. It keeps the partial header and body between calls, never
/// reads past the current packet, and delivers a complete packet as an InputStream over a
/// MemoryStream holding exactly the body.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Stream.h"

namespace vemo {

/// Writes the content of streams as length-framed packets onto an Output (see Packet.h).
class VEMO_CORE_API PacketWriter {
 public:
  /// A writer without an output.
  PacketWriter() = default;

  /// Writes to `output` from now on; true.
  bool attach(Output* output);
  /// Lets go of the output and returns it.
  Unknown::Handle_T<Output> detach();
  /// True without an output.
  bool isNull() const { return !_output; }

  /// Writes one packet with every byte `is` has available; throws on a failed write.
  PacketWriter& operator<<(InputStream& is);
  /// The same, logging "PacketWriter::write exception(%s)" and returning false on failure.
  bool write(InputStream& is);

 private:
  Unknown::Handle_T<Output> _output;
};

/// Reassembles length-framed packets from an Input (see Packet.h).
class VEMO_CORE_API PacketReader {
 public:
  /// A reader without an input.
  PacketReader() = default;

  /// Keeps any partial packet: a reader may move to another source mid-packet.
  bool attach(Input* input);
  /// Detaches and discards any partial packet.
  Unknown::Handle_T<Input> detach();
  /// True without an input.
  bool isNull() const { return _input.isNull(); }

  /// One reading step: `target` gets the packet's body when one is complete, and no input
  /// otherwise (waiting for bytes, or an empty packet consumed). Throws on a broken channel or
  /// an invalid length.
  PacketReader& operator>>(InputStream& target);
  /// The same step, reporting errors as false.
  bool read(InputStream& target);

 private:
  enum class Step { kDone, kFailed, kInvalidSize, kWriteFailed };
  Step step(InputStream& target);

  InputStream _input;
  int _headerReceived = 0;
  unsigned char _header[4] = {0, 0, 0, 0};
  int _packetSize = 0;
  Unknown::Handle_T<MemoryStream> _body;
};

}  // namespace vemo
