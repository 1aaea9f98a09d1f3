// The JSON slabs (see detail::allocateJsonNode in Json.h) from inside the library.
#pragma once

#include <cstddef>

namespace vemo {
namespace detail {

// The largest block the slabs take; a larger one gets an allocation of its own.
constexpr std::size_t kJsonSlabLimit = 1024;

// Asks for the memory at `address` ahead of its use, where the compiler offers a way to.
inline void prefetchJsonBlock(const void* address) noexcept {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Gives the end of the block last made by this thread back to its slab when it turns out to
// need only `smaller` of its `size` bytes; any other block stays as it is.
void shrinkJsonNode(void* block, std::size_t size, std::size_t smaller) noexcept;

// Frees the blocks freed on this thread while it lives as one batch: their counts are taken
// off their slabs one run of blocks of the same slab at a time, instead of one block at a time.
// (An atomic operation is a full barrier, which would also keep the processor from fetching the
// next blocks of a document ahead while it is freed.) Batches may nest; the outermost one
// counts.
class JsonFreeBatch {
 public:
  JsonFreeBatch() noexcept;
  ~JsonFreeBatch();
  JsonFreeBatch(const JsonFreeBatch&) = delete;
  JsonFreeBatch& operator=(const JsonFreeBatch&) = delete;

 private:
  bool _outermost;
};

}  // namespace detail
}  // namespace vemo
