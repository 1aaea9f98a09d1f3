// Vector routines of the base64 decoder, chosen by cpuid: AVX2 decodes 32 characters per step.
// Elsewhere (other processors, or x86 without AVX2) there is none and the portable decoder
// does all the work.
#include "Base64Decode.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define VEMO_BASE64_X86 1
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#define VEMO_AVX2
#define VEMO_XSAVE
#else
#include <cpuid.h>
#define VEMO_AVX2 __attribute__((target("avx2")))
#define VEMO_XSAVE __attribute__((target("xsave")))
#endif
#endif

namespace vemo {
namespace detail {

#if defined(VEMO_BASE64_X86)
namespace {

// cpuid leaf 1: ECX bit 27 OSXSAVE (the system saves the extended registers) and bit 28 AVX;
// XCR0 bits 1 and 2: the system saves the SSE and AVX register state; leaf 7: EBX bit 5 AVX2.
VEMO_XSAVE bool systemSavesAvxState() {
  return (_xgetbv(0) & 6) == 6;
}

bool hasAvx2() {
  unsigned int leaf1[4] = {}, leaf7[4] = {};
#if defined(_MSC_VER)
  int registers[4];
  __cpuid(registers, 0);
  if (registers[0] < 7) return false;
  __cpuidex(registers, 1, 0);
  for (int i = 0; i < 4; ++i)
    leaf1[i] = static_cast<unsigned int>(registers[i]);
  __cpuidex(registers, 7, 0);
  for (int i = 0; i < 4; ++i)
    leaf7[i] = static_cast<unsigned int>(registers[i]);
#else
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(1, 0, leaf1[0], leaf1[1], leaf1[2], leaf1[3]);
  __cpuid_count(7, 0, leaf7[0], leaf7[1], leaf7[2], leaf7[3]);
#endif
  const unsigned int osxsaveAndAvx = (1u << 27) | (1u << 28);
  if ((leaf1[2] & osxsaveAndAvx) != osxsaveAndAvx || !systemSavesAvxState()) return false;
  return (leaf7[1] & (1u << 5)) != 0;
}

// 32 characters as 32 bytes in order. The packs saturate: a character above 255 becomes 0 or
// 255, neither of which is in the alphabet, so it still stops decoding.
VEMO_AVX2 inline __m256i charactersOf(const std::uint32_t* in) {
  const __m256i* p = reinterpret_cast<const __m256i*>(in);
  const __m256i ab = _mm256_packus_epi32(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1));
  const __m256i cd = _mm256_packus_epi32(_mm256_loadu_si256(p + 2), _mm256_loadu_si256(p + 3));
  // Each lane holds four characters of each input: put the groups of four back in order.
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd),
                                     _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

VEMO_AVX2 inline __m256i charactersOf(const std::uint16_t* in) {
  const __m256i* p = reinterpret_cast<const __m256i*>(in);
  const __m256i packed = _mm256_packus_epi16(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1));
  return _mm256_permute4x64_epi64(packed, 0xD8);  // quarters 0, 2, 1, 3
}

// Decodes 32 characters into 24 bytes at `out`; false (nothing written) when one of them is not
// in the alphabet. The valid characters are told apart by their two nibbles: every character
// outside the alphabet has a bit in common between the masks of its low and high nibble.
// The sextet is then the character plus an offset chosen by its high nibble ('/' apart).
VEMO_AVX2 inline bool decode32(__m256i chars, unsigned char* out) {
  const __m256i lowMasks =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                       0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                       0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i highMasks =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m256i offsets =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i slash = _mm256_set1_epi8(0x2F);
  // Shuffle indexes use the low four bits (bit 7 clear): the 0x20 bit that the masks keep does
  // not count.
  const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), slash);
  const __m256i low = _mm256_and_si256(chars, slash);
  if (!_mm256_testz_si256(_mm256_shuffle_epi8(lowMasks, low), _mm256_shuffle_epi8(highMasks, high)))
    return false;
  const __m256i isSlash = _mm256_cmpeq_epi8(chars, slash);
  const __m256i sextets =
      _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, _mm256_add_epi8(isSlash, high)));
  // Four sextets a b c d become the 24-bit value a b c d in each 32-bit word ...
  const __m256i pairs = _mm256_maddubs_epi16(sextets, _mm256_set1_epi32(0x01400140));
  const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  // ... whose three bytes go out most significant first, 12 per lane, then 24 in a row.
  const __m256i lanes = _mm256_shuffle_epi8(
      words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5,
                              4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  const __m256i bytes =
      _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
  return true;
}

template <class Unit>
VEMO_AVX2 std::size_t decodeAvx2(const void* units, std::size_t count, unsigned char* out,
                                 std::size_t room) {
  const Unit* in = static_cast<const Unit*>(units);
  std::size_t done = 0, written = 0;
  while (count - done >= 32 && room - written >= 24) {
    if (!decode32(charactersOf(in + done), out + written)) break;
    done += 32;
    written += 24;
  }
  return done;
}

}  // namespace

Base64VectorRoutines findBase64VectorRoutines() {
  Base64VectorRoutines routines;
  if (hasAvx2()) {
    routines.units16 = decodeAvx2<std::uint16_t>;
    routines.units32 = decodeAvx2<std::uint32_t>;
    routines.name = "AVX2";
  }
  return routines;
}

#else

Base64VectorRoutines findBase64VectorRoutines() {
  return Base64VectorRoutines();
}

#endif

}  // namespace detail
}  // namespace vemo
