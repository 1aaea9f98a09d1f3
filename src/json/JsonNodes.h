// The JSON slabs (see detail::allocateJsonNode in Json.h) from inside the library.
#pragma once

#include <cstddef>

namespace vemo {
namespace detail {

// The largest block the slabs take; a larger one gets an allocation of its own.
constexpr std::size_t kJsonSlabLimit = 1024;

// Gives the end of the block last made by this thread back to its slab when it turns out to
// need only `smaller` of its `size` bytes; any other block stays as it is.
void shrinkJsonNode(void* block, std::size_t size, std::size_t smaller) noexcept;

}  // namespace detail
}  // namespace vemo
