// Base64 decoding: the vector routines against the portable decoder on random and hostile texts
// of 16- and 32-bit characters, and base64_decode against OpenSSL.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Base64Decode.h"
#include "vemo/core/Base64.h"

#if defined(VEMO_TEST_OPENSSL)
#include <openssl/evp.h>
#endif

using namespace vemo;

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters that stop decoding: '=', ASCII outside the alphabet, whitespace, and wide
// characters whose low byte (or low 16 bits) is in the alphabet.
const std::uint32_t kStoppers[] = {
    '=',  '!',  '-',   '_',    '.',    ' ',    '\n',    '\t',     0,           0x7F,
    0x80, 0xFF, 0x141, 0x8041, 0xFF2B, 0xFFFF, 0x1002F, 0x10FFFF, 0x80000041u, 0xFFFFFF61u};

template <class Unit>
std::vector<Unit> validText(std::mt19937& random, std::size_t length) {
  std::vector<Unit> text(length);
  for (Unit& c : text)
    c = static_cast<Unit>(kAlphabet[random() % 64]);
  return text;
}

// Decodes with the portable decoder and with the vector routine into guarded buffers; both
// must write the same bytes, report the same count and leave everything after `room` alone.
template <class Unit>
void expectSameDecoding(const std::vector<Unit>& text, int room, detail::Base64Blocks blocks) {
  std::vector<unsigned char> portable(std::size_t(room) + 32, 0xA5), vector = portable;
  const int length = int(text.size());
  const int a = detail::base64DecodeUnits(text.data(), length, portable.data(), room, nullptr);
  const int b = detail::base64DecodeUnits(text.data(), length, vector.data(), room, blocks);
  ASSERT_EQ(a, b) << "length " << length << ", room " << room;
  ASSERT_LE(a, room);
  ASSERT_TRUE(portable == vector) << "length " << length << ", room " << room;
  ASSERT_EQ(portable[std::size_t(room)], 0xA5);
}

template <class Unit>
void checkAgreement(detail::Base64Blocks blocks) {
  std::mt19937 random(12345);
  // Every length, valid or not a multiple of 4, with 0 to 2 '=' at the end and full rooms.
  for (std::size_t length = 0; length <= 400; ++length) {
    std::vector<Unit> text = validText<Unit>(random, length);
    for (std::size_t pad = 0; pad < 3 && pad < length; ++pad) {
      text[length - 1 - pad] = '=';
      expectSameDecoding(text, int(length / 4 * 3), blocks);
    }
  }
  // One stopping character at every position of a 160-character text (five blocks of 32), with
  // the full room, and every room below it for some.
  for (std::uint32_t stopper : kStoppers) {
    if (sizeof(Unit) == 2 && stopper > 0xFFFF) continue;
    for (std::size_t at = 0; at < 160; ++at) {
      std::vector<Unit> text = validText<Unit>(random, 160);
      text[at] = static_cast<Unit>(stopper);
      expectSameDecoding(text, 120, blocks);
      if (at % 37 == 0)
        for (int room = 0; room < 120; ++room)
          expectSameDecoding(text, room, blocks);
    }
  }
  // Long texts with stoppers at random places, truncated to random lengths.
  for (int round = 0; round < 200; ++round) {
    std::vector<Unit> text = validText<Unit>(random, 4096 + random() % 64);
    for (int k = random() % 3; k > 0; --k)
      text[random() % text.size()] = static_cast<Unit>(kStoppers[random() % 16]);
    text.resize(text.size() / 4 * 4 - (round % 4 ? 0 : random() % 8));
    expectSameDecoding(text, int(text.size() / 4 * 3 - random() % 40), blocks);
  }
}

TEST(Base64Decoder, VectorRoutinesAgreeWithThePortableDecoder) {
  const detail::Base64VectorRoutines routines = detail::findBase64VectorRoutines();
  if (!routines.units16 || !routines.units32) GTEST_SKIP() << "no vector routines here";
  SCOPED_TRACE(routines.name);
  checkAgreement<char16_t>(routines.units16);
  checkAgreement<char32_t>(routines.units32);
}

#if defined(VEMO_TEST_OPENSSL)
// OpenSSL's decoding of a text whose characters are all in the alphabet, with '=' added up to
// a multiple of 4; `count` is the number of bytes that text stands for.
std::string openssl(const std::string& text, std::size_t count) {
  std::string padded = text + std::string((4 - text.size() % 4) % 4, '=');
  std::string bytes(padded.size() / 4 * 3 + 1, '\0');
  const int n =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                      reinterpret_cast<const unsigned char*>(padded.data()), int(padded.size()));
  EXPECT_GE(n, 0);
  return bytes.substr(0, count);
}

TEST(Base64Decoder, DecodesAsOpenSslUpToTheFirstStop) {
  std::mt19937 random(777);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t length = 4 * (random() % (round < 2000 ? 40 : 400));
    std::wstring text;
    for (std::size_t i = 0; i < length; ++i)
      text += wchar_t(kAlphabet[random() % 64]);
    if (round % 2 && length > 0)
      text[random() % length] = wchar_t(kStoppers[random() % (sizeof kStoppers / 4)]);
    if (round % 5 == 0 && length > 0) text[length - 1] = L'=';
    // The reference: OpenSSL on the characters before the first stop, 3 bytes per 4 and one
    // fewer than their count for 1 to 3 left over, no more than base64_datasize.
    std::size_t stop = 0;
    while (stop < length && std::uint32_t(text[stop]) - 1 < 127 &&
           std::strchr(kAlphabet, int(text[stop])))
      ++stop;
    const std::string valid(text.begin(), text.begin() + std::ptrdiff_t(stop));
    const String wide(text.c_str(), int(length));
    if (wide.getLength() != int(length)) continue;  // a 0 at the end is not kept
    const std::size_t size = size_t(base64_datasize(wide));
    std::size_t count = stop / 4 * 3 + (stop % 4 ? stop % 4 - 1 : 0);
    count = count < size ? count : size;

    std::string out(size + 16, '#');
    const int n = base64_decode(wide, &out[0]);
    ASSERT_EQ(n, int(count)) << round;
    ASSERT_TRUE(out == openssl(valid, count) + std::string(size + 16 - count, '#')) << round;
  }
}
#endif

}  // namespace
