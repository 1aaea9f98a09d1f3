// MD5 against the RFC 1321 test suite, fed whole and in uneven pieces, and the text form of
// MD5Checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>

#include "vemo/core/MD5.h"

using namespace vemo;

namespace {

// The digest of `data` fed in pieces of the given sizes (cycled; 0 means all at once).
std::wstring digest(const std::string& data, std::initializer_list<unsigned> pieces = {0}) {
  MD5Context context;
  MD5Init(&context);
  for (size_t at = 0, i = 0; at < data.size(); ++i) {
    const size_t piece = pieces.begin()[i % pieces.size()];
    const size_t n = piece == 0 ? data.size() - at : std::min<size_t>(piece, data.size() - at);
    MD5Update(&context, data.data() + at, unsigned(n));
    at += n;
  }
  MD5Checksum checksum;
  checksum.setBufferSize(3);  // a checksum of another size is remade
  MD5Final(&checksum, &context);
  EXPECT_EQ(checksum.getBufferSize(), 16);
  return checksum.convertToString().getBuffer();
}

}  // namespace

TEST(MD5, MatchesTheRfcTestSuiteWholeAndInPieces) {
  // clang-format off
  const struct { const char *text, *md5; } suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  // clang-format on
  for (const auto& c : suite) {
    const std::wstring expected(c.md5, c.md5 + 32);
    EXPECT_EQ(digest(c.text), expected) << c.text;
    EXPECT_EQ(digest(c.text, {1, 2, 3}), expected) << c.text;
    EXPECT_EQ(digest(c.text, {63, 1, 16}), expected) << c.text;
  }
}

// Lengths around the padding boundaries (55 bytes leave room for the length in the last block,
// 56 do not), the first n digits of "1234567890" repeated; digests from coreutils' md5sum.
TEST(MD5, PaddingBoundariesWholeAndInPieces) {
  const struct {
    size_t length;
    const char* md5;
  } cases[] = {{55, "c9ccf168914a1bcfc3229f1948e67da0"},  {56, "49f193adce178490e34d1b3a4ec0064c"},
               {57, "23339de0ceca03763ff42d807768964d"},  {63, "c3eb67ece68488bb394241d4f6a54244"},
               {64, "eb6c4179c0a7c82cc2828c1e6338e165"},  {65, "823cc889fc7318dd33dde0654a80b70a"},
               {119, "6261005311809757906e04c0d670492d"}, {120, "1d453b96d48d5e0cec4a20a71fecaa81"},
               {128, "a9fdc2dbc13c61b68c7ebf5136f5ed26"}};
  std::string digits;
  while (digits.size() < 128)
    digits += "1234567890";
  for (const auto& c : cases) {
    const std::string text = digits.substr(0, c.length);
    const std::wstring expected(c.md5, c.md5 + 32);
    EXPECT_EQ(digest(text), expected) << c.length;
    EXPECT_EQ(digest(text, {1}), expected) << c.length;
    EXPECT_EQ(digest(text, {55, 1}), expected) << c.length;
    EXPECT_EQ(digest(text, {56, 7}), expected) << c.length;
    EXPECT_EQ(digest(text, {64, 63}), expected) << c.length;
  }
}

// Single calls of almost 4 GiB, after some bytes are buffered and alone: 2^32 zero bytes in
// all either way (digest of `head -c 4294967296 /dev/zero | md5sum`).
TEST(MD5, CallsOfNearlyFourGibibytes) {
#if SIZE_MAX <= 0xFFFFFFFFu
  GTEST_SKIP() << "a 32-bit process has no room for a block of almost 4 GiB";
#else
  const std::unique_ptr<void, void (*)(void*)> zeros(std::calloc(0xFFFFFFFFu, 1), std::free);
  if (!zeros) GTEST_SKIP() << "no room for 4 GiB of address space";
  const std::wstring expected = L"c9a5a6878d97b48cc965c1e41859f034";
  for (const unsigned first : {63u, 0xFFFFFFFFu}) {
    MD5Context context;
    MD5Init(&context);
    MD5Update(&context, zeros.get(), first);
    MD5Update(&context, zeros.get(), 0u - first);
    MD5Checksum checksum;
    MD5Final(&checksum, &context);
    EXPECT_EQ(checksum.convertToString().getBuffer(), expected) << first;
  }
#endif
}

TEST(MD5Checksum, TextFormIsThirtyTwoLowerCaseHexDigits) {
  MD5Checksum checksum;
  EXPECT_STREQ(checksum.convertToString().getBuffer(), L"00000000000000000000000000000000");
  ASSERT_TRUE(checksum.convertFromString(L"0123456789ABCDEFabcdef00FF7f8081"));
  EXPECT_EQ(static_cast<const unsigned char*>(checksum.getBuffer())[15], 0x81);
  EXPECT_STREQ(checksum.convertToString().getBuffer(), L"0123456789abcdefabcdef00ff7f8081");

  for (const wchar_t* bad :
       {L"", L"0123456789abcdef0123456789abcde", L"0123456789abcdef0123456789abcdeg",
        L"0123456789abcdef0123456789abcdef01"}) {
    MD5Checksum held;
    ASSERT_TRUE(held.convertFromString(L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(held.convertFromString(bad)) << bad;
    EXPECT_EQ(held.getBufferSize(), 0) << bad;
    EXPECT_STREQ(held.convertToString().getBuffer(), L"00000000000000000000000000000000");
  }
  checksum.setBufferSize(15);
  EXPECT_STREQ(checksum.convertToString().getBuffer(), L"00000000000000000000000000000000");
}
