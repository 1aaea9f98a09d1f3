#include "Wire.h"

#include <cstring>
#include <functional>
#include <typeinfo>

#include "vemo/core/Exception.h"

namespace vemo {
namespace net {
namespace wire {

int SpanInput::peek(void* buffer, int size) const {
  if (size <= 0) return 0;
  const std::size_t count =
      static_cast<std::size_t>(size) < _left ? static_cast<std::size_t>(size) : _left;
  if (count) std::memcpy(buffer, _data, count);
  return static_cast<int>(count);
}

int SpanInput::read(void* buffer, int size) {
  const int count = peek(buffer, size);
  _data += count;
  _left -= static_cast<std::size_t>(count);
  return count;
}

void encode(FrameOutput& out, const Message& message, Kind kind) {
  OutputStream os(&out);
  encode(out, os, message, kind);
}

void encode(FrameOutput& out, OutputStream& stream, const Message& message, Kind kind) {
  std::string& frame = out.frame;
  frame.assign(kind == kSequenced ? kSequencedHeader : kHeader, '\0');
  unsigned char* head = reinterpret_cast<unsigned char*>(&frame[0]);
  head[0] = kVersion;
  head[1] = kind;
  put32(head + 2, message.getClassId());
  message.exportTo(stream);
}

Decoder::Decoder() : _input(new SpanInput()), _stream(_input.get()) {}

Message* Decoder::asMessage(Unknown* object) {
  const std::type_info& type = typeid(*object);
  Cast& cast = _casts[std::hash<const std::type_info*>()(&type) % kCasts];
  if (cast.type != &type) {
    Message* const message = dynamic_cast<Message*>(object);
    cast.type = &type;
    cast.message = message != nullptr;
    cast.offset = message ? reinterpret_cast<char*>(message) - reinterpret_cast<char*>(object) : 0;
    return message;
  }
  return cast.message ? reinterpret_cast<Message*>(reinterpret_cast<char*>(object) + cast.offset)
                      : nullptr;
}

Unknown::Handle_T<Message> Decoder::decode(unsigned int classId, const unsigned char* body,
                                           std::size_t size, Refusal& refusal,
                                           std::string& reason) {
  refusal = Refusal::kNone;
  const std::uint64_t version = detail::classRegistryVersion();
  if (version != _registryVersion) {
    for (Cast& cast : _casts)
      cast = Cast();
    _registryVersion = version;
  }
  Unknown::Handle_T<Message> message;
  {
    const Unknown::Handle_T<Unknown> made = Unknown::RtFactory::createClassInstance(classId);
    if (made) message = asMessage(made.get());
  }
  if (!message) {
    refusal = Refusal::kUnknownClass;
    reason = "class id " + std::to_string(classId) + " is no message class here";
    return nullptr;
  }
  _input->begin(body, size);
  try {
    message->importFrom(_stream);
  } catch (const Exception& e) {
    refusal = Refusal::kUndecodable;
    reason = std::string("its body does not decode: ") + e.what();
    _input->begin(nullptr, 0);
    return nullptr;
  }
  if (_input->left() != 0) {
    refusal = Refusal::kUndecodable;
    reason = std::to_string(_input->left()) + " bytes of its body were left over";
    _input->begin(nullptr, 0);
    return nullptr;
  }
  return message;
}

}  // namespace wire
}  // namespace net
}  // namespace vemo
