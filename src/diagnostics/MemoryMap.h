// The memory regions of the process as the system lists them (/proc/self/maps), read with
// system calls into fixed storage: usable inside a signal handler, and by code that must not
// touch memory it cannot prove is mapped (a stack walk on a foreign stack, a crash report).
// POSIX only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemo {
namespace detail {

struct MemoryRegion {
  std::uintptr_t start = 0, end = 0;  // [start, end)
  bool readable = false, writable = false, executable = false;
  std::uint64_t offset = 0;             // of the mapped file
  std::uint64_t device = 0, inode = 0;  // the mapped file; inode 0 for anonymous memory
};

// Calls `visit(region, context)` for each region in address order until it returns false.
// False when the list could not be read.
bool forEachMemoryRegion(bool (*visit)(const MemoryRegion&, void*), void* context);

// The same with each region's path as the system lists it: a file's name, "[stack]", "[vdso]",
// or "" for anonymous memory (cut at the system's longest path).
bool forEachMappedRegion(bool (*visit)(const MemoryRegion&, const char* path, void*),
                         void* context);

// The region that holds `address`, read now; false when none does.
bool findMemoryRegion(std::uintptr_t address, MemoryRegion& region);

// A snapshot of every region, taken at one moment. Its room is a fixed table until reserve()
// gives it a larger one; a reading that does not fit grows the room with one new mapping (no
// allocation, so a signal handler may read), and when even that is refused keeps what fits and
// counts the rest.
class MemoryMap {
 public:
  // Regions kept without a reservation.
  static constexpr std::size_t kInlineCapacity = 8192;
  // The most regions a map ever holds.
  static constexpr std::size_t kMaxCapacity = std::size_t{1} << 22;

  MemoryMap() = default;
  MemoryMap(const MemoryMap&) = delete;
  MemoryMap& operator=(const MemoryMap&) = delete;

  // Room for `capacity` regions, as address space that is only used as regions fill it; what
  // the map holds is kept. False when the system refused (the map keeps its room then).
  bool reserve(std::size_t capacity);
  std::size_t capacity() const { return _capacity; }

  // Reads the regions now; false when nothing could be read.
  bool read();
  // Regions the last read() found but could not keep (those at the highest addresses).
  std::size_t leftOut() const { return _leftOut; }
  // Appends a region above the last one (for maps made by hand); false when it does not fit.
  bool add(const MemoryRegion& region);
  void clear() { _count = _leftOut = 0; }
  // The region holding `address`, or null.
  const MemoryRegion* find(std::uintptr_t address) const;
  bool executable(std::uintptr_t address) const;
  // The `size` bytes at `address` lie in readable regions.
  bool readable(std::uintptr_t address, std::size_t size) const;
  // The lowest region mapping the same file as `region` from its start (offset 0): where an
  // ELF image begins in memory. Null for anonymous memory.
  const MemoryRegion* imageStart(const MemoryRegion& region) const;

  std::size_t count() const { return _count; }
  const MemoryRegion& operator[](std::size_t index) const { return _regions[index]; }

 private:
  bool readOnce();

  MemoryRegion _inline[kInlineCapacity];
  MemoryRegion* _regions = _inline;
  std::size_t _capacity = kInlineCapacity;
  std::size_t _count = 0, _leftOut = 0;
};

}  // namespace detail
}  // namespace vemo
