#include "vemo/core/Packet.h"

#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"

namespace vemo {
namespace {

constexpr const wchar_t* kPacketFile = L"src/Packet";
constexpr const wchar_t* kReaderFunction =
    L"class vemo::PacketReader &__thiscall vemo::PacketReader::operator >>(class "
    L"vemo::InputStream &) throw(...)";

}  // namespace

bool PacketWriter::attach(Output* output) {
  _output = output;
  return true;
}

Unknown::Handle_T<Output> PacketWriter::detach() {
  Unknown::Handle_T<Output> output = _output;
  _output = nullptr;
  return output;
}

PacketWriter& PacketWriter::operator<<(InputStream& is) {
  OutputStream os(_output);
  const int length = is.available();
  os << length;
  os << is;
  return *this;
}

bool PacketWriter::write(InputStream& is) {
  try {
    *this << is;
    return true;
  } catch (const Exception& e) {
    Log::error(L"PacketWriter::write exception(%s)", e.description());
    return false;
  }
}

bool PacketReader::attach(Input* input) {
  _input.attach(input);
  return true;
}

Unknown::Handle_T<Input> PacketReader::detach() {
  Unknown::Handle_T<Input> input(_input.getInput());
  _input.detach();
  _headerReceived = 0;
  _body = nullptr;
  return input;
}

PacketReader::Step PacketReader::step(InputStream& target) {
  target.detach();
  if (_input.isNull()) return Step::kDone;
  while (_headerReceived < 4) {
    const int n = _input.read(_header + _headerReceived, 4 - _headerReceived);
    if (n == 0) return Step::kDone;  // nothing there yet
    if (n < 0) return _headerReceived == 0 ? Step::kDone : Step::kFailed;
    _headerReceived += n;
    if (_headerReceived == 4) {
      _packetSize = static_cast<int>(static_cast<unsigned int>(_header[0]) |
                                     (static_cast<unsigned int>(_header[1]) << 8) |
                                     (static_cast<unsigned int>(_header[2]) << 16) |
                                     (static_cast<unsigned int>(_header[3]) << 24));
      if (_packetSize == 0) {
        _headerReceived = 0;
        return Step::kDone;
      }
      if (_packetSize < 0) {
        _headerReceived = 0;
        return Step::kInvalidSize;
      }
      _body = MemoryStream::createInstance();
    }
  }
  unsigned char block[4096];
  for (int missing = _packetSize - _body->available(); missing > 0;
       missing = _packetSize - _body->available()) {
    const int n = _input.read(block, missing < 4096 ? missing : 4096);
    if (n == 0) return Step::kDone;
    if (n < 0) return Step::kFailed;
    if (_body->write(block, n) != n) {
      _headerReceived = 0;
      _body = nullptr;
      return Step::kWriteFailed;
    }
  }
  target.attach(_body.get());
  _headerReceived = 0;
  _body = nullptr;
  return Step::kDone;
}

PacketReader& PacketReader::operator>>(InputStream& target) {
  switch (step(target)) {
    case Step::kFailed:
      throw Exception(kPacketFile, __LINE__, kReaderFunction, -1, L"");
    case Step::kInvalidSize:
      throw Exception(kPacketFile, __LINE__, kReaderFunction, -1, L"Invalid packet size");
    case Step::kWriteFailed:
      throw Exception(kPacketFile, __LINE__, kReaderFunction, -1, L"Read packet error");
    case Step::kDone:
      break;
  }
  return *this;
}

bool PacketReader::read(InputStream& target) {
  return step(target) == Step::kDone;
}

}  // namespace vemo
