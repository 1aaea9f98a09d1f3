// Buffer: sizes, comparison, copies, and its hexadecimal and base64 text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vemo/core/Base64.h"
#include "vemo/core/Buffer.h"

using namespace vemo;

namespace {

Buffer bufferOf(const std::string& bytes) {
  Buffer buffer(int(bytes.size()));
  if (!bytes.empty()) bytes.copy(static_cast<char*>(buffer.getBuffer()), bytes.size());
  return buffer;
}

std::string bytesOf(const Buffer& buffer) {
  return std::string(static_cast<const char*>(buffer.getBuffer()), size_t(buffer.getBufferSize()));
}

std::wstring text(const String& string) {
  return string.getBuffer();
}

TEST(Buffer, SizesComparisonAndCopies) {
  EXPECT_EQ(Buffer(-5).getBuffer(), nullptr);
  EXPECT_TRUE(Buffer() == Buffer(0));
  Buffer buffer = bufferOf("abc");
  const void* block = buffer.getBuffer();
  EXPECT_EQ(buffer.setBufferSize(3), 3);  // the same size keeps block and contents
  EXPECT_EQ(buffer.getBuffer(), block);
  EXPECT_TRUE(buffer == bufferOf("abc"));
  EXPECT_TRUE(buffer != bufferOf("abd") && buffer != bufferOf("ab") && buffer != Buffer());

  Buffer copy(buffer), assigned = bufferOf("longer");
  assigned = buffer;
  static_cast<char*>(copy.getBuffer())[0] = 'X';
  EXPECT_EQ(bytesOf(buffer) + bytesOf(copy) + bytesOf(assigned), "abcXbcabc");

  EXPECT_EQ(buffer.setBufferSize(9), 9);  // another size: a new block of that size
  EXPECT_EQ(buffer.getBufferSize(), 9);
  EXPECT_EQ(buffer.setBufferSize(-1), 0);
  EXPECT_EQ(buffer.getBuffer(), nullptr);
}

TEST(Buffer, Hexadecimal) {
  EXPECT_EQ(text(bufferOf(std::string("\x00\xAB", 2)).convertToHex()), L"00ab");
  EXPECT_EQ(text(Buffer().convertToHex()), L"");
  Buffer buffer;
  EXPECT_TRUE(buffer.convertFromHex(L"00AB"));
  EXPECT_EQ(bytesOf(buffer), std::string("\x00\xAB", 2));
  EXPECT_TRUE(buffer.convertFromHex(L"0aFf"));
  EXPECT_FALSE(buffer.convertFromHex(L"123"));  // odd: unchanged
  EXPECT_EQ(bytesOf(buffer), "\x0A\xFF");
  EXPECT_FALSE(buffer.convertFromHex(L"zz"));
  EXPECT_FALSE(buffer.convertFromHex(L"41g1"));  // the byte before the bad digit stays
  EXPECT_EQ(bytesOf(buffer).substr(0, 1), "A");
  EXPECT_EQ(buffer.getBufferSize(), 2);
  EXPECT_TRUE(buffer.convertFromHex(L""));
  EXPECT_EQ(buffer.getBufferSize(), 0);
}

TEST(Base64, TestVectorsOfRfc4648) {
  // clang-format off
  const struct { const char* bytes; const wchar_t* text; } vectors[] = {
      {"", L""}, {"f", L"Zg=="}, {"fo", L"Zm8="}, {"foo", L"Zm9v"}, {"foob", L"Zm9vYg=="},
      {"fooba", L"Zm9vYmE="}, {"foobar", L"Zm9vYmFy"}};
  // clang-format on
  for (const auto& v : vectors) {
    const std::string bytes = v.bytes;
    EXPECT_EQ(text(base64_encode(bytes.data(), int(bytes.size()))), v.text);
    EXPECT_EQ(text(bufferOf(bytes).convertToBase64()), v.text);
    EXPECT_EQ(base64_datasize(v.text), int(bytes.size()));
    Buffer decoded = bufferOf("old");
    EXPECT_TRUE(decoded.convertFromBase64(v.text)) << bytes;
    EXPECT_EQ(bytesOf(decoded), bytes);
  }
  EXPECT_EQ(text(base64_encode(String(L"\u00E9"))), L"w6k=");  // of the UTF-8 bytes C3 A9
  EXPECT_EQ(text(base64_decode(String(L"w6k="))), L"\u00E9");
}

TEST(Base64, DecodingStopsEarlyAndNeverPassesTheDataSize) {
  // clang-format off
  const struct { const wchar_t* text; int size, decoded; const char* bytes; } cases[] = {
      {L"Zm9vYm", 3, 0, ""},  // not a multiple of 4
      {L"YW=j", 3, 1, "a"},   // stops at the first '='
      {L"Zm9v!mFy", 6, 3, "foo"}, {L"AAAA====", 2, 2, "\0\0"}, {L"AAA=AAA=", 5, 2, "\0\0"},
      {L"AA======", 0, 0, ""}, {L"A===", 0, 0, ""}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
    ASSERT_EQ(base64_datasize(c.text), c.size);
    std::vector<char> out(size_t(c.size) + 8, '#');  // guard bytes after the data size
    EXPECT_EQ(base64_decode(c.text, out.data()), c.decoded);
    EXPECT_EQ(
        std::string(out.data(), size_t(c.size) + 8),
        std::string(c.bytes, size_t(c.decoded)) + std::string(size_t(c.size - c.decoded) + 8, '#'));
  }
  Buffer buffer;
  buffer.convertFromBase64(L"AAAA====");  // decodes within its two bytes
  EXPECT_EQ(bytesOf(buffer), std::string(2, '\0'));
}

}  // namespace
