#include "Wire.h"

#include <cstring>
#include <functional>
#include <limits>
#include <new>
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

void FrameOutput::grow(std::size_t more) {
  std::size_t capacity = _capacity ? _capacity : 256;
  while (capacity - _size < more) {
    if (capacity > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    capacity *= 2;
  }
  std::unique_ptr<unsigned char[]> data(new unsigned char[capacity]);
  if (_size) std::memcpy(data.get(), _data.get(), _size);
  _data = std::move(data);
  _capacity = capacity;
}

void encode(FrameOutput& out, OutputStream& stream, const Message& message, Kind kind) {
  unsigned char* head = out.start(kind == kSequenced ? kSequencedHeader : kHeader);
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
    // The made object's one reference moves to the message's handle as it is: no count up for
    // the new handle and down for the old one.
    Unknown::Handle_T<Unknown> made = Unknown::RtFactory::createClassInstance(classId);
    Message* const part = made ? asMessage(made.get()) : nullptr;
    if (part) {
      made.disown();
      message = Unknown::Handle_T<Message>::adopt(part);
    }
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
