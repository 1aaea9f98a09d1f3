#include "Wire.h"

#include <cstring>

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
  std::string& frame = out.frame;
  frame.assign(kind == kSequenced ? kSequencedHeader : kHeader, '\0');
  unsigned char* head = reinterpret_cast<unsigned char*>(&frame[0]);
  head[0] = kVersion;
  head[1] = kind;
  put32(head + 2, message.getClassId());
  OutputStream os(&out);
  message.exportTo(os);
}

Unknown::Handle_T<Message> decodeBody(SpanInput& input, unsigned int classId,
                                      const unsigned char* body, std::size_t size, Refusal& refusal,
                                      std::string& reason) {
  refusal = Refusal::kNone;
  Unknown::Handle_T<Message> message =
      Unknown::Handle_T<Message>::dynamicCast(Unknown::RtFactory::createClassInstance(classId));
  if (!message) {
    refusal = Refusal::kUnknownClass;
    reason = "class id " + std::to_string(classId) + " is no message class here";
    return nullptr;
  }
  input.begin(body, size);
  try {
    InputStream is(&input);
    message->importFrom(is);
  } catch (const Exception& e) {
    refusal = Refusal::kUndecodable;
    reason = std::string("its body does not decode: ") + e.what();
    input.begin(nullptr, 0);
    return nullptr;
  }
  if (input.left() != 0) {
    refusal = Refusal::kUndecodable;
    reason = std::to_string(input.left()) + " bytes of its body were left over";
    input.begin(nullptr, 0);
    return nullptr;
  }
  return message;
}

}  // namespace wire
}  // namespace net
}  // namespace vemo
