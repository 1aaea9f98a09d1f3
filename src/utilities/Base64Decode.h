// Base64 decoding of wide text: the portable decoder, and the vector routines that take over
// the whole groups where the processor has them (Base64_simd.cpp).
//
// The rules: a text whose length is not a multiple of 4 gives nothing; decoding stops at the
// first '=' or character outside the alphabet (characters beyond 255 included, whatever their
// low byte); every 4 characters give 3 bytes, and 1 to 3 characters left at the stop give one
// byte fewer than their count; never more than `room` bytes are written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemo {
namespace detail {

// Values of the alphabet's characters; 0xFF for every character that stops decoding.
struct Base64DecodeTable {
  unsigned char value[256];
  constexpr Base64DecodeTable() : value() {
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 256; ++i)
      value[i] = 0xFF;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
  }
};
inline constexpr Base64DecodeTable kBase64Decode{};

// A vector routine: decodes whole groups from the start of `count` units (each 2 or 4 bytes, as
// the routine is made for) for as long as they are all in the alphabet and their bytes fit into
// `room`; returns the number of units consumed (a multiple of 4; 3 bytes written per group).
// It may stop before the first character that ends decoding: the portable decoder goes on
// from there.
using Base64Blocks = std::size_t (*)(const void* units, std::size_t count, unsigned char* out,
                                     std::size_t room);

struct Base64VectorRoutines {
  Base64Blocks units16 = nullptr;
  Base64Blocks units32 = nullptr;
  const char* name = "";  // of the instruction set, empty when there is none
};

// The routines this processor runs (cpuid), or none.
Base64VectorRoutines findBase64VectorRoutines();

// Decodes `length` characters (a multiple of 4) of a text of 16- or 32-bit units, the whole
// groups first by `blocks` when given, the rest one character at a time.
template <class Unit>
int base64DecodeUnits(const Unit* text, int length, unsigned char* out, int room,
                      Base64Blocks blocks) {
  if (length <= 0 || length % 4 != 0 || !out || room <= 0) return 0;
  const Unit* p = text;
  const Unit* end = p + length;
  int written = 0;
  if (blocks) {
    const std::size_t units =
        blocks(p, static_cast<std::size_t>(length), out, static_cast<std::size_t>(room));
    p += units;
    written = static_cast<int>(units / 4 * 3);
  }
  const Base64DecodeTable& table = kBase64Decode;
  // Whole groups while they are valid and fit.
  for (; p + 4 <= end && written + 3 <= room; p += 4) {
    const std::uint32_t c0 = static_cast<std::uint32_t>(p[0]),
                        c1 = static_cast<std::uint32_t>(p[1]),
                        c2 = static_cast<std::uint32_t>(p[2]),
                        c3 = static_cast<std::uint32_t>(p[3]);
    if ((c0 | c1 | c2 | c3) >= 256) break;
    const unsigned int a = table.value[c0], b = table.value[c1], c = table.value[c2],
                       d = table.value[c3];
    if ((a | b | c | d) & 0x80) break;
    const std::uint32_t group = (a << 18) | (b << 12) | (c << 6) | d;
    out[written] = static_cast<unsigned char>(group >> 16);
    out[written + 1] = static_cast<unsigned char>(group >> 8);
    out[written + 2] = static_cast<unsigned char>(group);
    written += 3;
  }
  // The rest: up to the first '=' or foreign character, never past the room.
  std::uint32_t group = 0;
  int collected = 0;
  for (; p < end; ++p) {
    const std::uint32_t unit = static_cast<std::uint32_t>(*p);
    const unsigned int value = unit < 256 ? table.value[unit] : 0xFF;
    if (value & 0x80) break;
    group = (group << 6) | value;
    if (++collected == 4) {
      for (int k = 0; k < 3 && written < room; ++k)
        out[written++] = static_cast<unsigned char>(group >> (16 - 8 * k));
      group = 0;
      collected = 0;
    }
  }
  if (collected > 0) {
    group <<= 6 * (4 - collected);
    for (int k = 0; k < collected - 1 && written < room; ++k)
      out[written++] = static_cast<unsigned char>(group >> (16 - 8 * k));
  }
  return written;
}

}  // namespace detail
}  // namespace vemo
