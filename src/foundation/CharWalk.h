// Character walking of the two 8-bit string forms.
//
// Both rules only look at the bytes of the character itself and stop at a zero byte, which is
// never a continuation, so walking a zero-terminated text or a string block (which always ends
// in a terminator) never reads past its end.
#pragma once

namespace vemo {
namespace detail {

inline bool isContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Bytes of the UTF-8 character at p: sequences of at most three bytes are recognised;
// a sequence cut short ends before the first byte that is not a continuation.
inline int utf8CharBytes(const unsigned char* p) {
  const unsigned char c = p[0];
  if ((c & 0xE0) == 0xC0) return isContinuation(p[1]) ? 2 : 1;
  if ((c & 0xF0) == 0xE0) {
    if (!isContinuation(p[1])) return 1;
    return isContinuation(p[2]) ? 3 : 2;
  }
  return 1;
}

// Value of the UTF-8 character at p that takes `bytes` bytes.
inline int utf8CharValue(const unsigned char* p, int bytes) {
  switch (bytes) {
    case 3:
      return ((p[0] & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    case 2:
      return (((p[0] & 0xE0) == 0xC0 ? p[0] & 0x1F : p[0] & 0x0F) << 6) | (p[1] & 0x3F);
    default:
      return p[0] & 0x7F;
  }
}

// Bytes of the code-page character at p: a byte with its top bit set leads two bytes, unless a
// zero follows it.
inline int ansiCharBytes(const unsigned char* p) {
  return (p[0] & 0x80) && p[1] ? 2 : 1;
}

// Counts the characters in [p, end).
template <int (*CharBytes)(const unsigned char*)>
inline int countChars(const unsigned char* p, const unsigned char* end) {
  int n = 0;
  while (p < end) {
    p += CharBytes(p);
    ++n;
  }
  return n;
}

}  // namespace detail
}  // namespace vemo
