// Marks memory that the library keeps for reuse (pooled blocks) as unusable under
// AddressSanitizer, so that a use after release is still reported although the memory is not
// given back to the allocator. Without the sanitizer these do nothing.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define VEMO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEMO_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(VEMO_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#endif

namespace vemo {
namespace detail {

inline void poisonMemory(void* memory, std::size_t size) {
#if defined(VEMO_ADDRESS_SANITIZER)
  __asan_poison_memory_region(memory, size);
#else
  (void)memory;
  (void)size;
#endif
}

inline void unpoisonMemory(void* memory, std::size_t size) {
#if defined(VEMO_ADDRESS_SANITIZER)
  __asan_unpoison_memory_region(memory, size);
#else
  (void)memory;
  (void)size;
#endif
}

}  // namespace detail
}  // namespace vemo
