// Building string blocks from inside the library (converters, formatters).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

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

// Builds a string of unknown length in place: the characters go straight into a string block
// that grows by realloc (large blocks move by remapping, without copying or touching their
// pages again) and is cut to its exact size when taken.
template <class T>
class StringBuilder {
 public:
  explicit StringBuilder(std::size_t capacity = 64) { grow(capacity); }
  ~StringBuilder() { std::free(_block); }
  StringBuilder(const StringBuilder&) = delete;
  StringBuilder& operator=(const StringBuilder&) = delete;

  // Room for `count` more characters, counted as written.
  T* extend(std::size_t count) {
    if (_capacity - _size < count) grow(count > _capacity ? count : _capacity);
    T* out = _chars + _size;
    _size += count;
    return out;
  }
  // Forgets the last `count` characters.
  void drop(std::size_t count) { _size -= count < _size ? count : _size; }
  std::size_t size() const { return _size; }

  // The string of the characters written (`length` as in StringAccess::allocate); the builder
  // is empty afterwards.
  String_T<T> take(int length) {
    if (_size == 0) return String_T<T>();
    void* exact = std::realloc(_block, sizeof(StringData) + (_size + 1) * sizeof(T));
    StringData* header = static_cast<StringData*>(exact ? exact : _block);
    _block = nullptr;
    header->size = static_cast<std::uint32_t>((_size + 1) * sizeof(T));
    new (&header->length) std::atomic<std::int32_t>(length);
    new (&header->count) std::atomic<std::uint32_t>(1);
    T* chars = reinterpret_cast<T*>(header + 1);
    chars[_size] = 0;
    _size = _capacity = 0;
    _chars = nullptr;
    return StringAccess::adopt(chars);
  }

 private:
  void grow(std::size_t more) {
    const std::size_t capacity = _capacity + more;
    // Sizes are 32-bit fields of the header.
    void* block = capacity < static_cast<std::size_t>(INT32_MAX) / sizeof(T) - 1
                      ? std::realloc(_block, sizeof(StringData) + (capacity + 1) * sizeof(T))
                      : nullptr;
    if (!block) throw std::bad_alloc();
    _block = static_cast<StringData*>(block);
    _chars = reinterpret_cast<T*>(_block + 1);
    _capacity = capacity;
  }

  StringData* _block = nullptr;
  T* _chars = nullptr;
  std::size_t _size = 0;
  std::size_t _capacity = 0;
};

}  // namespace detail
}  // namespace vemo
