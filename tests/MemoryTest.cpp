// Memory: the copy and fill routines against std::memcpy / std::memset, routine selection by
// processor features, and the replaceable pointers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ios>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "vemo/core/Memory.h"
#include "vemo/core/String.h"

namespace vemo {
namespace {

constexpr unsigned int kMmx = 0x800000;   // cpuid leaf 1, EDX bit 23
constexpr unsigned int kSse = 0x2000000;  // cpuid leaf 1, EDX bit 25

// Reproducible bytes without any short period (so a copy from a wrong offset shows).
void fillRandom(unsigned char* p, std::size_t n, std::uint32_t seed) {
  std::uint32_t x = seed | 1;
  for (std::size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    p[i] = static_cast<unsigned char>(x >> 11);
  }
}

// A heap block whose start is 64-byte aligned, so offsets from it are alignments.
class Block {
 public:
  explicit Block(std::size_t size)
      : _size(size), _data(static_cast<unsigned char*>(std::aligned_alloc(64, roundUp(size)))) {}
  ~Block() { std::free(_data); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  unsigned char* data() const { return _data; }
  std::size_t size() const { return _size; }

 private:
  static std::size_t roundUp(std::size_t n) { return (n + 63) & ~static_cast<std::size_t>(63); }
  std::size_t _size;
  unsigned char* _data;
};

struct CopyRoutine {
  const char* name;
  MemcpyFunction function;
};
struct FillRoutine {
  const char* name;
  MemsetFunction function;
};

// Read the pointer at each call, so the routine tested is whatever it holds now.
void* dispatchedMemcpy(void* d, const void* s, std::size_t n) {
  return __memcpy__(d, s, n);
}
void* dispatchedMemset(void* d, int c, std::size_t n) {
  return __memset__(d, c, n);
}

const CopyRoutine kCopyRoutines[] = {
    {"memcpySse", memcpySse},
    {"memcpyMmx", memcpyMmx},
    {"__memcpy__", dispatchedMemcpy},
};
const FillRoutine kFillRoutines[] = {
    {"memsetSse", memsetSse},
    {"memsetMmx", memsetMmx},
    {"__memset__", dispatchedMemset},
};

// 0x1FF and 0x100 fill with their low byte (0xFF and 0) only.
const int kFillValues[] = {0, 0xAB, 0x1FF, 0x100, -2};

constexpr std::size_t kMaxSmall = 300;
constexpr std::size_t kGuard = 48;  // untouched bytes checked on each side of the destination

// The index of the first differing byte, or -1.
long firstDifference(const unsigned char* a, const unsigned char* b, std::size_t n) {
  if (std::memcmp(a, b, n) == 0) return -1;
  for (std::size_t i = 0;; ++i)
    if (a[i] != b[i]) return static_cast<long>(i);
}

// ---------------------------------------------------------------------------------------------
// Copy

TEST(MemoryTest, CopyEverySmallSizeAtEveryAlignment) {
  const std::size_t span = kGuard + 16 + kMaxSmall + kGuard;
  Block source(16 + kMaxSmall + 16), background(span), actual(span), expected(span);
  fillRandom(source.data(), source.size(), 0x1234);
  fillRandom(background.data(), span, 0x9876);

  for (const CopyRoutine& routine : kCopyRoutines) {
    int failures = 0;
    for (std::size_t size = 0; size <= kMaxSmall && failures < 5; ++size) {
      for (std::size_t srcAlign = 0; srcAlign < 16 && failures < 5; ++srcAlign) {
        for (std::size_t dstAlign = 0; dstAlign < 16 && failures < 5; ++dstAlign) {
          std::memcpy(actual.data(), background.data(), span);
          std::memcpy(expected.data(), background.data(), span);
          unsigned char* destination = actual.data() + kGuard + dstAlign;
          const unsigned char* from = source.data() + srcAlign;
          std::memcpy(expected.data() + kGuard + dstAlign, from, size);

          void* result = routine.function(destination, from, size);
          const long at = firstDifference(actual.data(), expected.data(), span);
          if (result != destination || at >= 0) {
            ADD_FAILURE() << routine.name << ": size " << size << ", source alignment " << srcAlign
                          << ", destination alignment " << dstAlign
                          << (result != destination ? ", wrong result" : "")
                          << ", first wrong byte at offset "
                          << at - static_cast<long>(kGuard + dstAlign);
            ++failures;
          }
        }
      }
    }
  }
}

TEST(MemoryTest, CopyLargeBlocks) {
  const std::size_t sizes[] = {4096 + 7, (1u << 20) + 3, (16u << 20) + 1};
  const std::size_t largest = (16u << 20) + 1;
  const std::size_t span = kGuard + 16 + largest + kGuard;
  Block source(16 + largest), actual(span), expected(span);
  fillRandom(source.data(), source.size(), 0xC0FFEE);

  for (const CopyRoutine& routine : kCopyRoutines) {
    for (std::size_t size : sizes) {
      for (std::size_t srcAlign : {0, 1, 8, 15}) {
        for (std::size_t dstAlign : {0, 3, 15}) {
          // Only the destination range and its guards need fresh background bytes.
          const std::size_t used = kGuard + dstAlign + size + kGuard;
          std::memset(actual.data(), 0x5C, used);
          std::memset(expected.data(), 0x5C, used);
          unsigned char* destination = actual.data() + kGuard + dstAlign;
          const unsigned char* from = source.data() + srcAlign;
          std::memcpy(expected.data() + kGuard + dstAlign, from, size);

          EXPECT_EQ(routine.function(destination, from, size), destination);
          const long at = firstDifference(actual.data(), expected.data(), used);
          EXPECT_EQ(at, -1) << routine.name << ": size " << size << ", source alignment "
                            << srcAlign << ", destination alignment " << dstAlign;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Fill

TEST(MemoryTest, FillEverySmallSizeAtEveryAlignment) {
  const std::size_t span = kGuard + 16 + kMaxSmall + kGuard;
  Block background(span), actual(span), expected(span);
  fillRandom(background.data(), span, 0x4242);

  for (const FillRoutine& routine : kFillRoutines) {
    int failures = 0;
    for (int value : kFillValues) {
      for (std::size_t size = 0; size <= kMaxSmall && failures < 5; ++size) {
        for (std::size_t dstAlign = 0; dstAlign < 16 && failures < 5; ++dstAlign) {
          std::memcpy(actual.data(), background.data(), span);
          std::memcpy(expected.data(), background.data(), span);
          unsigned char* destination = actual.data() + kGuard + dstAlign;
          std::memset(expected.data() + kGuard + dstAlign, value, size);

          void* result = routine.function(destination, value, size);
          const long at = firstDifference(actual.data(), expected.data(), span);
          if (result != destination || at >= 0) {
            ADD_FAILURE() << routine.name << ": value " << value << ", size " << size
                          << ", destination alignment " << dstAlign
                          << (result != destination ? ", wrong result" : "")
                          << ", first wrong byte at offset "
                          << at - static_cast<long>(kGuard + dstAlign);
            ++failures;
          }
        }
      }
    }
  }
}

TEST(MemoryTest, FillLargeBlocks) {
  const std::size_t sizes[] = {4096 + 7, (1u << 20) + 3, (16u << 20) + 1};
  const std::size_t largest = (16u << 20) + 1;
  const std::size_t span = kGuard + 16 + largest + kGuard;
  Block actual(span), expected(span);

  for (const FillRoutine& routine : kFillRoutines) {
    for (std::size_t size : sizes) {
      for (int value : {0, 0xAB, 0x1FF}) {
        for (std::size_t dstAlign : {0, 1, 15}) {
          const std::size_t used = kGuard + dstAlign + size + kGuard;
          std::memset(actual.data(), 0x5C, used);
          std::memset(expected.data(), 0x5C, used);
          unsigned char* destination = actual.data() + kGuard + dstAlign;
          std::memset(expected.data() + kGuard + dstAlign, value, size);

          EXPECT_EQ(routine.function(destination, value, size), destination);
          const long at = firstDifference(actual.data(), expected.data(), used);
          EXPECT_EQ(at, -1) << routine.name << ": value " << value << ", size " << size
                            << ", destination alignment " << dstAlign;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Selection and the pointers

TEST(MemoryTest, SelectionByFeatureBits) {
  using StdMemcpy = void* (*)(void*, const void*, std::size_t);
  using StdMemset = void* (*)(void*, int, std::size_t);
  const StdMemcpy standardCopy = &std::memcpy;
  const StdMemset standardFill = &std::memset;

  // Neither SSE nor MMX: the standard library.
  EXPECT_EQ(selectMemcpy(0), standardCopy);
  EXPECT_EQ(selectMemset(0), standardFill);
  EXPECT_EQ(selectMemcpy(~(kSse | kMmx)), standardCopy);
  EXPECT_EQ(selectMemset(~(kSse | kMmx)), standardFill);
  // MMX only.
  EXPECT_EQ(selectMemcpy(kMmx), &memcpyMmx);
  EXPECT_EQ(selectMemset(kMmx), &memsetMmx);
  EXPECT_EQ(selectMemcpy(~kSse), &memcpyMmx);
  EXPECT_EQ(selectMemset(~kSse), &memsetMmx);
  // SSE wins over MMX, whatever else is set.
  for (unsigned int edx : {kSse | kMmx, 0xFFFFFFFFu}) {
    EXPECT_EQ(selectMemcpy(edx), selectMemcpy(kSse)) << std::hex << edx;
    EXPECT_EQ(selectMemset(edx), selectMemset(kSse)) << std::hex << edx;
  }
#if defined(__x86_64__)
  // Here the standard routines are already vectorised: the SSE choice fills with the standard
  // routine and copies with a routine that leaves only very large blocks to memcpySse.
  EXPECT_EQ(selectMemset(kSse), standardFill);
  EXPECT_NE(selectMemcpy(kSse), nullptr);
  EXPECT_NE(selectMemcpy(kSse), &memcpyMmx);
  EXPECT_NE(selectMemcpy(kSse), standardCopy);
#else
  EXPECT_EQ(selectMemcpy(kSse), &memcpySse);
  EXPECT_EQ(selectMemset(kSse), &memsetSse);
#endif
}

TEST(MemoryTest, SseChoiceCopiesLikeMemcpyOnBothSidesOfItsSizeSplit) {
  const MemcpyFunction copy = selectMemcpy(kSse);
  const std::size_t split = std::size_t(4) << 20;  // where x86-64 turns to streaming stores
  const std::size_t sizes[] = {0, 1, 127, 128, 129, split - 1, split, split + 1, split + 17};
  const std::size_t span = kGuard + 16 + split + 17 + kGuard;
  Block source(16 + split + 17), actual(span), expected(span);
  fillRandom(source.data(), source.size(), 0xBEEF);
  for (std::size_t size : sizes) {
    for (std::size_t srcAlign : {0, 5}) {
      for (std::size_t dstAlign : {0, 9}) {
        const std::size_t used = kGuard + dstAlign + size + kGuard;
        std::memset(actual.data(), 0x5C, used);
        std::memset(expected.data(), 0x5C, used);
        unsigned char* destination = actual.data() + kGuard + dstAlign;
        const unsigned char* from = source.data() + srcAlign;
        std::memcpy(expected.data() + kGuard + dstAlign, from, size);

        EXPECT_EQ(copy(destination, from, size), destination);
        EXPECT_EQ(firstDifference(actual.data(), expected.data(), used), -1)
            << "size " << size << ", source alignment " << srcAlign << ", destination alignment "
            << dstAlign;
      }
    }
  }
}

TEST(MemoryTest, PointersAreNeverNullAndSuitTheProcessor) {
  ASSERT_NE(__memcpy__, nullptr);
  ASSERT_NE(__memset__, nullptr);
  // After a call through each pointer they hold the routine for this processor's features.
  char a[4] = {1, 2, 3, 4}, b[4] = {};
  __memcpy__(b, a, sizeof a);
  __memset__(a, 0, sizeof a);
#if defined(__x86_64__) || defined(__i386__)
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  ASSERT_TRUE(__get_cpuid(1, &eax, &ebx, &ecx, &edx));
  EXPECT_EQ(__memcpy__, selectMemcpy(edx));
  EXPECT_EQ(__memset__, selectMemset(edx));
#if defined(__x86_64__)
  EXPECT_EQ(__memcpy__, selectMemcpy(kSse));  // every x86-64 processor has SSE
  EXPECT_EQ(__memset__, selectMemset(kSse));
#endif
#endif
}

int g_copies = 0;
int g_fills = 0;
void* countingMemcpy(void* d, const void* s, std::size_t n) {
  ++g_copies;
  return std::memcpy(d, s, n);
}
void* countingMemset(void* d, int c, std::size_t n) {
  ++g_fills;
  return std::memset(d, c, n);
}

// Puts the pointers back however the test ends.
struct RestorePointers {
  MemcpyFunction copy = __memcpy__;
  MemsetFunction fill = __memset__;
  ~RestorePointers() {
    __memcpy__ = copy;
    __memset__ = fill;
  }
};

TEST(MemoryTest, AnAssignedRoutineServesLaterCalls) {
  RestorePointers restore;
  g_copies = g_fills = 0;
  __memcpy__ = countingMemcpy;
  __memset__ = countingMemset;

  char source[200], destination[200];
  std::memset(source, 'q', sizeof source);
  EXPECT_EQ(__memcpy__(destination, source, sizeof source), destination);
  EXPECT_EQ(__memset__(source, 'z', 150), source);
  EXPECT_EQ(g_copies, 1);
  EXPECT_EQ(g_fills, 1);
  EXPECT_EQ(std::memcmp(destination, std::string(200, 'q').data(), 200), 0);
  EXPECT_EQ(std::memcmp(source, std::string(150, 'z').data(), 150), 0);
  EXPECT_EQ(source[150], 'q');

  // The library's own copies go through the pointer as well.
  const int before = g_copies;
  const String text(L"copied through the replaceable routine");
  EXPECT_GT(g_copies, before);
  EXPECT_STREQ(text.getBuffer(), L"copied through the replaceable routine");
}

}  // namespace
}  // namespace vemo
