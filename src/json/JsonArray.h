// The storage of a JSON array: an ordered map from index to value whose entries never move.
//
// The values live in slots that are appended and never relocated: the first four inside the
// map itself, the rest in blocks of 4, 8, 16 ... up to 1024 slots and then of 1024 each. So a
// reference to an element stays valid while others are added, as with any map, a short array
// costs one allocation, and appending never copies. Blocks are at most 16 KiB: freeing larger
// ones amid the small blocks of a large document made glibc's allocator sort all of those at
// once, an eighth of the time to read a 5 MB document again.
//
// While the array is dense (slot i holds index i, as in everything the library builds) lookups
// and appends take constant time and need nothing more. The first entry added out of that order
// makes `_order`, the (index, slot) pairs sorted by index, which the sparse lookups search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "vemo/core/Json.h"

namespace vemo {

class JsonValue::ArrayValues {
 public:
  ArrayValues() noexcept = default;
  ArrayValues(const ArrayValues& other);
  ArrayValues& operator=(const ArrayValues&) = delete;
  ~ArrayValues();

  int size() const noexcept { return static_cast<int>(_count); }
  // The entry under the index, inserted as null when missing.
  JsonValue& at(int index);
  // The entry under the index, or null.
  const JsonValue* find(int index) const noexcept;
  // A null entry under the index after the last one.
  JsonValue& append();
  // Calls visit(index, value) for every entry in ascending index order.
  template <class Visit>
  void forEach(Visit visit) const {
    if (_order.empty()) {
      std::uint32_t i = 0;
      for (int block = 0; i < _count; ++block) {
        const JsonValue* values = block == 0 ? _first : _blocks[block - 1].get();
        for (std::uint32_t j = 0, n = blockSize(block); j < n && i < _count; ++j, ++i)
          visit(static_cast<int>(i), values[j]);
      }
    } else {
      for (const auto& entry : _order)
        visit(entry.first, slot(entry.second));
    }
  }
  // The entry at a place in index order (its index into `index`), or null past the end.
  const JsonValue* byPosition(std::uint32_t position, int& index) const noexcept {
    if (position >= _count) return nullptr;
    if (_order.empty()) {
      index = static_cast<int>(position);
      return &slot(position);
    }
    index = _order[position].first;
    return &slot(_order[position].second);
  }
  // The index after the last entry; false when the last index is the largest int.
  bool nextIndex(int& index) const noexcept {
    if (_order.empty()) {
      index = static_cast<int>(_count);
      return _count < 0x7FFFFFFFu;
    }
    const int last = _order.back().first;
    if (last == 0x7FFFFFFF) return false;
    index = last + 1;
    return true;
  }
  // Same indices with equal values.
  bool operator==(const ArrayValues& other) const;

 private:
  static constexpr std::uint32_t kInline = 4;
  static constexpr int kLastGrowing = 9;           // blocks 1 to 9 hold 4 << (block - 1) slots
  static constexpr std::uint32_t kLargest = 1024;  // every later block holds 1024
  static constexpr std::uint32_t kGrowingEnd = kInline << kLastGrowing;  // 2048 slots so far

  // Number of significant bits of v.
  static int bitWidth(std::uint32_t v) noexcept {
    int width = 0;
    for (int step = 16; step > 0; step /= 2)
      if (v >> step) v >>= step, width += step;
    return width + static_cast<int>(v);
  }
  // Block of slot n (0 is the inline one), where it starts, and its slots.
  static int blockOf(std::uint32_t n) noexcept {
    return n < kGrowingEnd ? bitWidth(n / kInline)
                           : kLastGrowing + 1 + static_cast<int>((n - kGrowingEnd) / kLargest);
  }
  static std::uint32_t blockStart(int block) noexcept {
    return block == 0              ? 0
           : block <= kLastGrowing ? kInline << (block - 1)
                                   : kGrowingEnd + (block - kLastGrowing - 1) * kLargest;
  }
  static std::uint32_t blockSize(int block) noexcept {
    return block == 0 ? kInline : block <= kLastGrowing ? kInline << (block - 1) : kLargest;
  }
  JsonValue& slot(std::uint32_t n) noexcept {
    const int block = blockOf(n);
    return block == 0 ? _first[n] : _blocks[block - 1][n - blockStart(block)];
  }
  const JsonValue& slot(std::uint32_t n) const noexcept {
    return const_cast<ArrayValues*>(this)->slot(n);
  }
  // A new null slot after the last one.
  JsonValue& newSlot();
  // Position in `_order` of the index, or where it would be inserted.
  std::size_t orderPosition(int index) const noexcept;

  std::uint32_t _count = 0;  // slots in use, one per entry
  JsonValue _first[kInline];
  std::vector<std::unique_ptr<JsonValue[]>> _blocks;  // blocks 1, 2 ...
  std::vector<std::pair<int, std::uint32_t>> _order;  // empty while dense
};

}  // namespace vemo
