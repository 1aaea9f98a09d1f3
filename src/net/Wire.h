// The wire format of vemo_net (see vemo/net/Net.h): headers, and the decoding of a received
// message into a library message, shared by the links and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

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

// The frame being built, in a plain buffer that its owner reuses: a write is a copy after one
// comparison (no string's length bookkeeping and terminator per field), and the buffer only
// grows, so a sender's frames stop allocating after the first.
class FrameOutput final : public Output {
 public:
  // Starts a frame with `header` zero bytes and returns them, for the caller to fill.
  unsigned char* start(std::size_t header) {
    _size = 0;
    if (header > _capacity) grow(header);
    std::memset(_data.get(), 0, header);
    _size = header;
    return _data.get();
  }
  int write(const void* data, int size) override {
    if (size <= 0) return size < 0 ? -1 : 0;
    const std::size_t count = static_cast<std::size_t>(size);
    if (count > _capacity - _size) grow(count);
    std::memcpy(_data.get() + _size, data, count);
    _size += count;
    return size;
  }
  // The frame so far; valid until the next start() or write().
  unsigned char* data() { return _data.get(); }
  std::size_t size() const { return _size; }
  std::string_view view() const {
    return std::string_view(reinterpret_cast<const char*>(_data.get()), _size);
  }

 private:
  // Makes room for `more` bytes past the frame's end, keeping the frame.
  void grow(std::size_t more);

  std::unique_ptr<unsigned char[]> _data;
  std::size_t _size = 0;
  std::size_t _capacity = 0;
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
// `out`, replacing what it held. Throws what the message's exportTo throws.
void encode(FrameOutput& out, const Message& message, Kind kind);
// The same through `stream`, a stream over `out` that the caller keeps (a sender's own), so that
// a message costs no reference counting of the output.
void encode(FrameOutput& out, OutputStream& stream, const Message& message, Kind kind);

// Why a received message was refused; kNone when it was taken.
enum class Refusal { kNone, kTruncated, kBadHeader, kUnknownClass, kUndecodable };

// Makes messages from received bodies. One thread at a time (a link's receiver, under its
// receive lock): it keeps its input, its stream over it and what it learnt of the classes it
// made, so that a message costs no reference counting of the input and no search of the class
// hierarchy for its Message part.
class Decoder {
 public:
  Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The message of class `classId` from `size` bytes of body: null, with `refusal` and `reason`
  // set, when the class is not a registered message or the body does not decode to exactly its
  // bytes.
  Unknown::Handle_T<Message> decode(unsigned int classId, const unsigned char* body,
                                    std::size_t size, Refusal& refusal, std::string& reason);

 private:
  // The Message part of an object the registry made, or null when it is none.
  Message* asMessage(Unknown* object);

  // Where the Message part of an object of a class lies from its Unknown part: the same for
  // every object of one most-derived class, so it is found once (dynamic_cast) and then added.
  // Keyed by the object's type, not by the class id, so a creator that makes objects of several
  // classes is still cast right; forgotten whenever the class registry changes, so that a type
  // of a module that unloaded cannot be taken for one loaded later at its address.
  struct Cast {
    const std::type_info* type = nullptr;
    std::ptrdiff_t offset = 0;
    bool message = false;
  };
  static constexpr std::size_t kCasts = 16;
  Cast _casts[kCasts];
  std::uint64_t _registryVersion = 0;  // of the registry the entries were learnt from
  Unknown::Handle_T<SpanInput> _input;
  InputStream _stream;
};

}  // namespace wire
}  // namespace net
}  // namespace vemo
