// Building string blocks from inside the library (converters, formatters).
#pragma once

#include <cstddef>

#include "vemo/core/String.h"

namespace vemo {
namespace detail {

struct StringAccess {
  // Allocates a block for `units` characters plus the terminator, with count 1 and the given
  // length (-1: not counted yet), terminator written. Logs "Allocate memory(%d) error!" and
  // throws std::bad_alloc when the block cannot be had.
  template <class T>
  static T* allocate(std::size_t units, int length);

  // A string that takes over a block made by allocate(); an empty block is freed and replaced
  // by the shared empty string.
  template <class T>
  static String_T<T> adopt(T* chars);

  // A string holding a copy of `units` units of `data` (the empty string for 0).
  template <class T>
  static String_T<T> copy(const T* data, std::size_t units, int length);
};

}  // namespace detail
}  // namespace vemo
