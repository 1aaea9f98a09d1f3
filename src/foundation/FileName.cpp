#include "FileName.h"

#include "Utf.h"

namespace vemo {
namespace detail {
namespace {

// A byte that is no part of a UTF-8 character stands as U+DC00 + byte; bytes below 0x80 are
// always characters, so only U+DC80..U+DCFF occur.
constexpr char32_t kEscapeBase = 0xDC00;

inline bool isEscapedByte(char32_t unit) {
  return unit >= 0xDC80 && unit <= 0xDCFF;
}

inline void put(wchar_t* out, std::size_t room, std::size_t& count, wchar_t unit) {
  if (count < room) out[count] = unit;
  ++count;
}

}  // namespace

std::size_t nameBytesToWide(const unsigned char* in, std::size_t n, wchar_t* out,
                            std::size_t room) {
  const unsigned char* end = in + n;
  std::size_t count = 0;
  while (in < end) {
    if (*in < 0x80) {
      put(out, room, count, static_cast<wchar_t>(*in++));
      continue;
    }
    const unsigned char* start = in;
    bool broken;
    const char32_t cp = decodeUtf8(in, end, broken);
    if (broken) {
      // Every byte of the broken sequence (a lead byte and the continuation bytes that
      // followed it, none of which can start a character) is escaped on its own.
      for (const unsigned char* b = start; b < in; ++b)
        put(out, room, count, static_cast<wchar_t>(kEscapeBase + *b));
      continue;
    }
    wchar_t units[2];
    const int k = encodeWide(cp, units);
    for (int i = 0; i < k; ++i)
      put(out, room, count, units[i]);
  }
  return count;
}

std::size_t wideToNameBytes(const wchar_t* in, std::size_t n, unsigned char* out,
                            std::size_t room) {
  const wchar_t* end = in + n;
  std::size_t count = 0;
  while (in < end) {
    const char32_t unit = static_cast<char32_t>(*in);
    if (unit < 0x80 || isEscapedByte(unit)) {
      if (count < room)
        out[count] = static_cast<unsigned char>(unit < 0x80 ? unit : unit - kEscapeBase);
      ++count;
      ++in;
      continue;
    }
    // A pair where wchar_t has 16 bits is one character (its low half may look like an
    // escaped byte, and is not one); anything else that is no character becomes U+FFFD.
    const char32_t cp = decodeWide(in, end);
    if (count + 4 <= room) {
      count += static_cast<std::size_t>(encodeUtf8(cp, out + count));
      continue;
    }
    unsigned char bytes[4];
    const int k = encodeUtf8(cp, bytes);
    for (int i = 0; i < k; ++i, ++count)
      if (count < room) out[count] = bytes[i];
  }
  return count;
}

}  // namespace detail
}  // namespace vemo
