// Full UTF-8 and UTF-16 coding of code points, shared by the converters and the formatter.
// (The three-byte walking rules of the 8-bit strings live in Charset.cpp.)
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemo {
namespace detail {

constexpr char32_t kReplacementChar = 0xFFFD;

inline bool isSurrogate(char32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}

// Decodes one character from [p, end) and advances p. A broken sequence sets `broken`, yields
// U+FFFD and consumes its maximal valid prefix (at least one byte), as the common converters do.
inline char32_t decodeUtf8(const unsigned char*& p, const unsigned char* end, bool& broken) {
  broken = true;
  const unsigned char lead = *p++;
  if (lead < 0x80) {
    broken = false;
    return lead;
  }
  int need;
  char32_t cp;
  unsigned char low = 0x80, high = 0xBF;  // range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacementChar;
  }
  for (int i = 0; i < need; ++i) {
    if (p == end || *p < low || *p > high) return kReplacementChar;
    cp = (cp << 6) | (*p++ & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  broken = false;
  return cp;
}

inline char32_t decodeUtf8(const unsigned char*& p, const unsigned char* end) {
  bool broken;
  return decodeUtf8(p, end, broken);
}

// Encodes a code point as UTF-8 (1 to 4 bytes, no terminator); surrogates and values past
// U+10FFFF become U+FFFD. Returns the byte count.
inline int encodeUtf8(char32_t cp, unsigned char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (isSurrogate(cp) || cp > 0x10FFFF) cp = kReplacementChar;
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  return 4;
}

// Reads one character of wide text. With 16-bit wchar_t a surrogate pair is joined and a lone
// surrogate becomes U+FFFD; with 32-bit wchar_t the unit is the code point.
inline char32_t decodeWide(const wchar_t*& p, const wchar_t* end) {
  char32_t cp = static_cast<char32_t>(*p++);
  if constexpr (sizeof(wchar_t) == 2) {
    if (cp >= 0xD800 && cp <= 0xDBFF && p != end && *p >= 0xDC00 && *p <= 0xDFFF)
      return 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(*p++) - 0xDC00);
    if (isSurrogate(cp)) return kReplacementChar;
  }
  (void)end;
  return cp;
}

inline int encodeWide(char32_t cp, wchar_t* out) {
  if (sizeof(wchar_t) == 2 && cp > 0xFFFF) {
    cp -= 0x10000;
    out[0] = static_cast<wchar_t>(0xD800 + (cp >> 10));
    out[1] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    return 2;
  }
  out[0] = static_cast<wchar_t>(cp);
  return 1;
}

}  // namespace detail
}  // namespace vemo
