// The storage of a JSON array: (index, value) entries sorted by index. Arrays built by the
// library are dense, so entry i sits at position i and lookups and appends are constant time;
// a sparse array falls back to binary search.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "vemo/core/Json.h"

namespace vemo {

class JsonValue::ArrayValues {
 public:
  using Entry = std::pair<int, JsonValue>;

  int size() const noexcept { return static_cast<int>(_entries.size()); }
  // The entry under the index, inserted as null when missing.
  JsonValue& at(int index);
  // The entry under the index, or null.
  const JsonValue* find(int index) const;
  // A null entry under the index after the last one.
  JsonValue& append();
  const std::vector<Entry>& entries() const noexcept { return _entries; }
  // Same indices with equal values.
  bool operator==(const ArrayValues& other) const;

 private:
  // Where the entry under the index is, or would be inserted.
  std::size_t position(int index) const;
  bool holds(std::size_t position, int index) const;

  std::vector<Entry> _entries;
};

}  // namespace vemo
