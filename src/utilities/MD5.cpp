#include "vemo/core/MD5.h"

#include <cstring>

namespace vemo {
namespace {

inline unsigned int rotateLeft(unsigned int x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline unsigned int loadLittleEndian(const unsigned char* p) {
  return static_cast<unsigned int>(p[0]) | (static_cast<unsigned int>(p[1]) << 8) |
         (static_cast<unsigned int>(p[2]) << 16) | (static_cast<unsigned int>(p[3]) << 24);
}

inline void storeLittleEndian(unsigned char* p, unsigned int v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

// The four rounds of RFC 1321, section 3.4.
#define VEMO_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define VEMO_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define VEMO_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define VEMO_MD5_STEP(f, a, b, c, d, x, t, s) \
  (a) += f((b), (c), (d)) + (x) + (t);        \
  (a) = rotateLeft((a), (s)) + (b)
// G's two terms share no bits, so they may be added one at a time: the first term does not
// wait for b, which shortens the chain between steps.
#define VEMO_MD5_STEP_G(a, b, c, d, x, t, s) \
  (a) += (x) + (t) + ((c) & ~(d));           \
  (a) += (b) & (d);                          \
  (a) = rotateLeft((a), (s)) + (b)

void MD5Transform(unsigned int state[4], const unsigned char block[64]) {
  unsigned int x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = loadLittleEndian(block + 4 * i);
  unsigned int a = state[0], b = state[1], c = state[2], d = state[3];

  VEMO_MD5_STEP(VEMO_MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
  VEMO_MD5_STEP(VEMO_MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
  VEMO_MD5_STEP(VEMO_MD5_F, c, d, a, b, x[2], 0x242070db, 17);
  VEMO_MD5_STEP(VEMO_MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
  VEMO_MD5_STEP(VEMO_MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
  VEMO_MD5_STEP(VEMO_MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
  VEMO_MD5_STEP(VEMO_MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
  VEMO_MD5_STEP(VEMO_MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
  VEMO_MD5_STEP(VEMO_MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
  VEMO_MD5_STEP(VEMO_MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
  VEMO_MD5_STEP(VEMO_MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
  VEMO_MD5_STEP(VEMO_MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
  VEMO_MD5_STEP(VEMO_MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
  VEMO_MD5_STEP(VEMO_MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
  VEMO_MD5_STEP(VEMO_MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
  VEMO_MD5_STEP(VEMO_MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

  VEMO_MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
  VEMO_MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
  VEMO_MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
  VEMO_MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
  VEMO_MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
  VEMO_MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
  VEMO_MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
  VEMO_MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
  VEMO_MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
  VEMO_MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
  VEMO_MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
  VEMO_MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
  VEMO_MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
  VEMO_MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
  VEMO_MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
  VEMO_MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

  VEMO_MD5_STEP(VEMO_MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
  VEMO_MD5_STEP(VEMO_MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
  VEMO_MD5_STEP(VEMO_MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
  VEMO_MD5_STEP(VEMO_MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
  VEMO_MD5_STEP(VEMO_MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
  VEMO_MD5_STEP(VEMO_MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
  VEMO_MD5_STEP(VEMO_MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
  VEMO_MD5_STEP(VEMO_MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
  VEMO_MD5_STEP(VEMO_MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
  VEMO_MD5_STEP(VEMO_MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
  VEMO_MD5_STEP(VEMO_MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
  VEMO_MD5_STEP(VEMO_MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
  VEMO_MD5_STEP(VEMO_MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
  VEMO_MD5_STEP(VEMO_MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
  VEMO_MD5_STEP(VEMO_MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
  VEMO_MD5_STEP(VEMO_MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

  VEMO_MD5_STEP(VEMO_MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
  VEMO_MD5_STEP(VEMO_MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
  VEMO_MD5_STEP(VEMO_MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
  VEMO_MD5_STEP(VEMO_MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
  VEMO_MD5_STEP(VEMO_MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
  VEMO_MD5_STEP(VEMO_MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
  VEMO_MD5_STEP(VEMO_MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
  VEMO_MD5_STEP(VEMO_MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
  VEMO_MD5_STEP(VEMO_MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
  VEMO_MD5_STEP(VEMO_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
  VEMO_MD5_STEP(VEMO_MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
  VEMO_MD5_STEP(VEMO_MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
  VEMO_MD5_STEP(VEMO_MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
  VEMO_MD5_STEP(VEMO_MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
  VEMO_MD5_STEP(VEMO_MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
  VEMO_MD5_STEP(VEMO_MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef VEMO_MD5_F
#undef VEMO_MD5_H
#undef VEMO_MD5_I
#undef VEMO_MD5_STEP
#undef VEMO_MD5_STEP_G

void MD5Init(MD5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->count[0] = context->count[1] = 0;
}

void MD5Update(MD5Context* context, const void* data, unsigned int length) {
  const unsigned char* input = static_cast<const unsigned char*>(data);
  const unsigned int used = (context->count[0] >> 3) & 63;
  const unsigned int bitsLow = length << 3;
  context->count[0] += bitsLow;
  if (context->count[0] < bitsLow) ++context->count[1];
  context->count[1] += length >> 29;

  // Compared as what is left, so that lengths near 4 GiB cannot wrap around.
  unsigned int i = 0;
  if (length >= 64 - used) {
    const unsigned int fill = 64 - used;
    std::memcpy(context->buffer + used, input, fill);
    MD5Transform(context->state, context->buffer);
    for (i = fill; length - i >= 64; i += 64)
      MD5Transform(context->state, input + i);
    std::memcpy(context->buffer, input + i, length - i);
  } else if (length > 0) {
    std::memcpy(context->buffer + used, input, length);
  }
}

void MD5Final(unsigned char digest[16], MD5Context* context) {
  unsigned char bits[8];
  storeLittleEndian(bits, context->count[0]);
  storeLittleEndian(bits + 4, context->count[1]);
  static const unsigned char kPadding[64] = {0x80};
  const unsigned int used = (context->count[0] >> 3) & 63;
  MD5Update(context, kPadding, used < 56 ? 56 - used : 120 - used);
  MD5Update(context, bits, 8);
  for (int i = 0; i < 4; ++i)
    storeLittleEndian(digest + 4 * i, context->state[i]);
  std::memset(context, 0, sizeof *context);
}

void MD5Final(MD5Checksum* checksum, MD5Context* context) {
  if (checksum->setBufferSize(16) != 16) return;
  MD5Final(static_cast<unsigned char*>(checksum->getBuffer()), context);
}

String MD5Checksum::convertToString() const {
  if (getBufferSize() != 16) return String(L"00000000000000000000000000000000");
  return convertToHex();
}

bool MD5Checksum::convertFromString(const String& text) {
  if (text.getLength() == 32 && convertFromHex(text) && getBufferSize() == 16) return true;
  setBufferSize(0);
  return false;
}

}  // namespace vemo
