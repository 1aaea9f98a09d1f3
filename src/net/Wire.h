// The wire format of vemo_net (see vemo/net/Net.h): headers, and the decoding of a received
// message into a library message, shared by the links and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vemo/core/Message.h"
#include "vemo/core/Stream.h"

namespace vemo {
namespace net {
namespace wire {

constexpr unsigned char kVersion = 1;
enum Kind : unsigned char { kMessage = 0, kSequenced = 1, kAck = 2, kResend = 3 };
// Version, kind, class id.
constexpr std::size_t kHeader = 6;
// Then session, sequence number, oldest sequence number held.
constexpr std::size_t kSequencedHeader = kHeader + 24;
// Version, kind, session, sequence number.
constexpr std::size_t kControl = 2 + 16;

inline void put32(unsigned char* to, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    to[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline void put64(unsigned char* to, std::uint64_t value) {
  for (int i = 0; i < 8; ++i)
    to[i] = static_cast<unsigned char>(value >> (8 * i));
}
inline std::uint32_t get32(const unsigned char* from) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | from[i];
  return value;
}
inline std::uint64_t get64(const unsigned char* from) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = value << 8 | from[i];
  return value;
}

// Appends what is written to a string (the frame being built).
class FrameOutput final : public Output {
 public:
  std::string frame;
  int write(const void* data, int size) override {
    if (size <= 0) return size < 0 ? -1 : 0;
    frame.append(static_cast<const char*>(data), static_cast<std::size_t>(size));
    return size;
  }
};

// Reads a block of bytes that someone else owns.
class SpanInput final : public Input {
 public:
  void begin(const unsigned char* data, std::size_t size) {
    _data = data;
    _left = size;
  }
  std::size_t left() const { return _left; }
  int available() const override {
    return _left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(_left);
  }
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;

 private:
  const unsigned char* _data = nullptr;
  std::size_t _left = 0;
};

// Writes the header of kind 0 or 1 (the sequenced fields zero) and the message's body into
// `out.frame`, replacing what it held. Throws what the message's exportTo throws.
void encode(FrameOutput& out, const Message& message, Kind kind);

// Why a received message was refused; kNone when it was taken.
enum class Refusal { kNone, kTruncated, kBadHeader, kUnknownClass, kUndecodable };

// Makes the message of class `classId` from `size` bytes of body: null, with `refusal` and
// `reason` set, when the class is not a registered message or the body does not decode to
// exactly its bytes.
Unknown::Handle_T<Message> decodeBody(SpanInput& input, unsigned int classId,
                                      const unsigned char* body, std::size_t size, Refusal& refusal,
                                      std::string& reason);

}  // namespace wire
}  // namespace net
}  // namespace vemo
