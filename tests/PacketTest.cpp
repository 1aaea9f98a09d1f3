// Packet framing: the exact bytes the writer puts out, and a reader that assembles packets from a
// channel that delivers them piece by piece, fails, or carries several packets back to back.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Log.h"
#include "vemo/core/Packet.h"

using namespace vemo;
using Bytes = std::string;

namespace {

// A channel: bytes fed in come out in order; while `failing` its reads report -1, and its writes
// take at most `room` bytes.
struct Channel : MemoryStream {
  bool failing = false;
  int room = INT_MAX;
  int read(void* buffer, int size) override {
    return failing ? -1 : MemoryStream::read(buffer, size);
  }
  int write(const void* data, int n) override {
    n = MemoryStream::write(data, std::min(n, room));
    room -= n;
    return n;
  }
  Channel* feed(const Bytes& bytes) {
    MemoryStream::write(bytes.data(), int(bytes.size()));
    return this;
  }
  static Bytes drain(InputStream& is) {  // what a stream holds, "(none)" without an input
    if (is.isNull()) return "(none)";
    Bytes bytes(size_t(std::max(is.available(), 0)), '\0');
    bytes.resize(size_t(std::max(is.read(&bytes[0], int(bytes.size())), 0)));
    return bytes;
  }
};

}  // namespace

TEST(PacketWriter, WritesLengthAndBodyAndLogsAShortWrite) {
  Unknown::Handle_T<Channel> out(new Channel);
  PacketWriter writer;
  EXPECT_TRUE(writer.isNull());
  writer.attach(out.get());
  InputStream ten((new Channel)->feed("0123456789")), empty(new Channel);
  writer << ten;
  EXPECT_TRUE(writer.write(empty));  // an empty packet is its length alone
  InputStream written(out.get());
  EXPECT_EQ(Channel::drain(written), Bytes("\x0A\0\0\0", 4) + "0123456789" + Bytes(4, '\0'));
  EXPECT_EQ(writer.detach().get(), out.get());
  EXPECT_TRUE(writer.isNull());

  tests::LogCapture errors;
  // clang-format off
  const struct { int room; const wchar_t* line; } cases[] = {  // the length short, the body short
      {2, L"PacketWriter::write exception(vemo::OutputStream& operator<<(vemo::OutputStream &os, "
          L"const int32_t &i))"},
      {7, L"PacketWriter::write exception(OutputStream& operator <<(OutputStream &,"
          L"InputStream &))"}};
  // clang-format on
  for (const auto& c : cases) {
    out->room = c.room;
    writer.attach(out.get());
    InputStream body((new Channel)->feed("abcdef"));
    errors.lines.clear();
    EXPECT_FALSE(writer.write(body));
    EXPECT_EQ(errors.lines, std::vector<std::wstring>{L"error: " + std::wstring(c.line)});
  }
}

TEST(PacketReader, ResumesAcrossCallsNeverReadsAheadAndRecoversFromErrors) {
  // Each step feeds bytes and runs one reading step: '>' operator>>, 'r' read, '!' and 'f' the
  // same while the channel's reads fail. error: null for success, else what operator>> throws
  // (read gives false). left: bytes the step must leave on the channel.
  // clang-format off
  const struct { Bytes feed; char step; const wchar_t* error; const char* delivered; int left; }
  steps[] = {
      {"\x03", '>', nullptr, nullptr, 0}, {Bytes(2, '\0'), 'r', nullptr, nullptr, 0},
      {Bytes(1, '\0'), '>', nullptr, nullptr, 0},  // the header came in three calls
      {"a", 'r', nullptr, nullptr, 0}, {"b", '>', nullptr, nullptr, 0},
      {"c", 'r', nullptr, "abc", 0},  // and the body byte by byte
      {Bytes(4, '\0'), '>', nullptr, nullptr, 0},  // an empty packet
      {Bytes("\x02\0\0\0xy\x01\0\0\0w", 11), 'r', nullptr, "xy", 5}, {"", '>', nullptr, "w", 0},
      {"", 'f', nullptr, nullptr, 0}, {"", '!', nullptr, nullptr, 0},  // quiet between packets
      {"\x01", 'r', nullptr, nullptr, 0}, {"", '!', L"", nullptr, 0},
      {"", 'f', L"", nullptr, 0},  // an error in the header
      {Bytes(3, '\0'), '>', nullptr, nullptr, 0}, {"", '!', L"", nullptr, 0},
      {"", 'f', L"", nullptr, 0},  // and in the body
      {"q", '>', nullptr, "q", 0},  // both kept the state
      {Bytes(4, '\xFF') + Bytes("\x02\0\0\0ok", 6), '>', L"Invalid packet size", nullptr, 6},
      {"", 'r', nullptr, "ok", 0}, {Bytes(4, '\xFF'), 'r', L"", nullptr, 0},
      {Bytes("\x01\0\0\0z", 5), '>', nullptr, "z", 0}};
  // clang-format on
  Channel* channel = new Channel;
  PacketReader reader;
  reader.attach(channel);
  InputStream target((new Channel)->feed("stale"));  // a step first drops the target's input
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    const auto& s = steps[i];
    channel->feed(s.feed);
    channel->failing = s.step == '!' || s.step == 'f';
    if (s.step == 'r' || s.step == 'f') {
      EXPECT_EQ(reader.read(target), s.error == nullptr) << i;
    } else {
      try {
        reader >> target;
        EXPECT_EQ(s.error, nullptr) << i;
      } catch (const Exception& e) {
        EXPECT_STREQ(e.description(), s.error ? s.error : L"(none)") << i;
        EXPECT_EQ(e.code(), -1);
      }
    }
    channel->failing = false;
    EXPECT_EQ(channel->available(), s.left) << i;
    EXPECT_EQ(Channel::drain(target), s.delivered ? s.delivered : "(none)") << i;
  }
}

TEST(PacketReader, DetachDiscardsAPartialPacket) {
  Unknown::Handle_T<Channel> channel(new Channel);
  PacketReader reader;
  InputStream target;
  reader.attach(channel->feed(Bytes("\x05\0\0\0ab", 6)));
  EXPECT_TRUE(reader.read(target));
  EXPECT_EQ(reader.detach().get(), channel.get());
  EXPECT_TRUE(reader.isNull());
  reader.attach(channel->feed(Bytes("\x01\0\0\0q", 5)));
  EXPECT_TRUE(reader.read(target));  // a fresh packet, not the rest of the old one
  EXPECT_EQ(Channel::drain(target), "q");
}
