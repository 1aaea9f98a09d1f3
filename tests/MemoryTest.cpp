// Memory: copy and fill routines against memcpy / memset, their selection, the pointers to them.
#include <cpuid.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vemo/core/Memory.h"
#include "vemo/core/String.h"

namespace vemo {
namespace {

constexpr unsigned int kMmx = 0x800000, kSse = 0x2000000;  // cpuid leaf 1, EDX bits 23 and 25
constexpr std::size_t kGuard = 48, kLargest = (16u << 20) + 17;
constexpr std::size_t kSpan =
    (kLargest + 256 + 63) / 64 * 64;  // aligned_alloc wants whole alignments
constexpr int kCopy = 1 << 30;        // as the value for agrees(): copy rather than fill

// 64-byte aligned (offsets are alignments), of reproducible bytes without any short period.
unsigned char* randomBlock(unsigned int x) {
#if defined(_WIN32)
  // The Windows run-time library has no aligned_alloc (its free could not release such blocks).
  auto* block = static_cast<unsigned char*>(_aligned_malloc(kSpan, 64));
#else
  auto* block = static_cast<unsigned char*>(std::aligned_alloc(64, kSpan));
#endif
  for (std::size_t i = 0; i < kSpan; ++i)
    x ^= x << 13, x ^= x >> 17, x ^= x << 5, block[i] = static_cast<unsigned char>(x >> 11);
  return block;
}
unsigned char *const g_source = randomBlock(0x1234), *const g_background = randomBlock(0x9876);
unsigned char *const g_actual = randomBlock(1), *const g_expected = randomBlock(1);

// The last ones go through the pointers at each call: whatever routine they hold now.
const MemcpyFunction kCopies[] = {
    memcpySse, memcpyMmx, selectMemcpy(kSse),
    [](void* d, const void* s, std::size_t n) { return __memcpy__(d, s, n); }};
const MemsetFunction kFills[] = {memsetSse, memsetMmx, selectMemset(kSse),
                                 [](void* d, int c, std::size_t n) { return __memset__(d, c, n); }};

// Copies (from offset `from`) or fills `size` bytes at offset `to` with a routine and with the C
// library, on one background with guard bytes around; all bytes and the result must agree.
testing::AssertionResult agrees(int routine, int value, std::size_t size, int from, int to) {
  const std::size_t used = kGuard + to + size + kGuard;
  std::memcpy(g_actual, g_background, used);
  std::memcpy(g_expected, g_background, used);
  unsigned char* const destination = g_actual + kGuard + to;
  const bool copy = value == kCopy;
  copy ? std::memcpy(g_expected + kGuard + to, g_source + from, size)
       : std::memset(g_expected + kGuard + to, value, size);
  void* const result = copy ? kCopies[routine](destination, g_source + from, size)
                            : kFills[routine](destination, value, size);
  if (result == destination && std::memcmp(g_actual, g_expected, used) == 0)
    return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "routine " << routine << ", value " << value << ", size " << size << ", offsets "
         << from << " -> " << to << (result != destination ? ": wrong result" : ": wrong byte at ")
         << std::mismatch(g_actual, g_actual + used, g_expected).first - destination;
}

TEST(MemoryTest, EverySmallSizeAtEveryAlignment) {
  for (int routine = 0; routine < 4; ++routine)
    for (int value : {kCopy, 0, 0xAB, 0x1FF, 0x100, -2})  // only the low byte of a fill counts
      for (std::size_t size = 0; size <= 300; ++size)
        for (int from = 0; from < (value == kCopy ? 16 : 1); ++from)
          for (int to = 0; to < 16; ++to)
            ASSERT_TRUE(agrees(routine, value, size, from, to));
}

TEST(MemoryTest, LargeSizesOnBothSidesOfTheSwitchToStreamingStores) {
  for (int routine = 0; routine < 4; ++routine)
    for (int value : {kCopy, 0, 0xAB})
      for (std::size_t size : {4096 + 7, (1 << 20) + 3, (4 << 20) - 1, 4 << 20, (16 << 20) + 17})
        for (const auto& offsets : {std::make_pair(0, 0), {1, 3}, {15, 9}})
          ASSERT_TRUE(agrees(routine, value, size, offsets.first, offsets.second));
}

TEST(MemoryTest, SelectionByFeatureBits) {
#if defined(_WIN32)
  // Every module takes the address of memcpy as its own import stub, so the library's pointer to
  // the run-time library cannot be compared with one taken here: the selection without SSE or
  // MMX is the reference, and it must be neither vector routine (agrees() checks what it does).
  const MemcpyFunction standardCopy = selectMemcpy(0);
  const MemsetFunction standardFill = selectMemset(0);
  ASSERT_TRUE(standardCopy != memcpyMmx && standardCopy != memcpySse);
  ASSERT_TRUE(standardFill != memsetMmx && standardFill != memsetSse);
#else
  const MemcpyFunction standardCopy = std::memcpy;
  const MemsetFunction standardFill = std::memset;
#endif
  for (unsigned int edx : {0u, ~(kSse | kMmx), kMmx, ~kSse, kSse | kMmx, ~0u}) {
    // Neither SSE nor MMX: the C library; MMX only: the MMX routines; SSE wins over MMX.
    const bool sse = edx & kSse, mmx = edx & kMmx;
    EXPECT_EQ(selectMemcpy(edx), sse ? selectMemcpy(kSse) : mmx ? memcpyMmx : standardCopy);
    EXPECT_EQ(selectMemset(edx), sse ? selectMemset(kSse) : mmx ? memsetMmx : standardFill);
  }
#if defined(__x86_64__)
  // The C library of x86-64 is vectorised and tuned: SSE means its routines.
  EXPECT_EQ(selectMemcpy(kSse), standardCopy);
  EXPECT_EQ(selectMemset(kSse), standardFill);
#else
  EXPECT_EQ(selectMemcpy(kSse), memcpySse);
  EXPECT_EQ(selectMemset(kSse), memsetSse);
#endif
}

TEST(MemoryTest, PointersSuitTheProcessorAndMayBeReplaced) {
  char source[200] = {}, destination[200] = {};
  __memcpy__(destination, source, 0), __memset__(destination, 0, 0);  // resolved now at the latest
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  ASSERT_TRUE(__get_cpuid(1, &eax, &ebx, &ecx, &edx));
  EXPECT_EQ(__memcpy__, selectMemcpy(edx));
  EXPECT_EQ(__memset__, selectMemset(edx));

  // An assigned routine serves all later calls, the library's own copies too.
  const MemcpyFunction copy = __memcpy__;
  const MemsetFunction fill = __memset__;
  static int copies = 0, fills = 0;
  __memcpy__ = [](void* d, const void* s, std::size_t n) { return ++copies, std::memcpy(d, s, n); };
  __memset__ = [](void* d, int c, std::size_t n) { return ++fills, std::memset(d, c, n); };
  EXPECT_EQ(__memset__(source, 'q', sizeof source), source);
  EXPECT_EQ(__memcpy__(destination, source, sizeof source), destination);
  const String text(L"copied through the replaceable routine");
  __memcpy__ = copy;
  __memset__ = fill;
  EXPECT_EQ(std::string(destination, sizeof destination), std::string(200, 'q'));
  EXPECT_TRUE(fills == 1 && copies >= 2) << fills << " fills, " << copies << " copies";
  EXPECT_STREQ(text.getBuffer(), L"copied through the replaceable routine");
}

}  // namespace
}  // namespace vemo
