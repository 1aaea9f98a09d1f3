// The base64 decoder's vector routines against its portable path: arbitrary texts of 16- and
// 32-bit characters, mostly of the alphabet with '=', other ASCII and wide characters mixed in,
// with the full room and a smaller one. Results, counts and the bytes after the room must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Base64Decode.h"

using namespace vemo;

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const std::uint32_t kOthers[] = {'=',      '!',         ' ',         '\n',   0,      0x7F,
                                 0x80,     0xFF,        0x141,       0x8041, 0xFFFF, 0x1002F,
                                 0x10FFFF, 0x80000041u, 0xFFFFFF61u, 0x2B2B};

const detail::Base64VectorRoutines g_routines = detail::findBase64VectorRoutines();

template <class Unit>
void compare(const std::vector<std::uint32_t>& chars, int room, detail::Base64Blocks blocks) {
  std::vector<Unit> text(chars.begin(), chars.end());
  const int length = static_cast<int>(text.size());
  std::vector<unsigned char> portable(static_cast<std::size_t>(room) + 24, 0x5A), vector = portable;
  const int a = detail::base64DecodeUnits(text.data(), length, portable.data(), room, nullptr);
  const int b = detail::base64DecodeUnits(text.data(), length, vector.data(), room, blocks);
  if (a != b || a > room || portable != vector) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || !g_routines.units16) return 0;
  std::vector<std::uint32_t> chars;
  chars.reserve(size);
  for (std::size_t i = 1; i < size; ++i)
    chars.push_back(data[i] < 224 ? static_cast<unsigned char>(kAlphabet[data[i] % 64])
                                  : kOthers[data[i] % 16]);
  const int full = static_cast<int>(chars.size() / 4 * 3);
  const int room = data[0] < 128 ? full : full * data[0] / 256;
  compare<std::uint16_t>(chars, room, g_routines.units16);
  compare<std::uint32_t>(chars, room, g_routines.units32);
  return 0;
}
