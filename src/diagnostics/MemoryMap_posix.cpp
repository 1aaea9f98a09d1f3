// /proc/self/maps read line by line through a fixed buffer: "start-end perms offset dev inode
// path", numbers in hexadecimal (the inode in decimal). Paths are kept for the callers that ask
// for them, up to the system's longest path; the rest of a longer line is dropped.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "MemoryMap.h"

namespace vemo {
namespace detail {
namespace {

std::uint64_t readNumber(const char*& c, const char* end, unsigned base) {
  std::uint64_t value = 0;
  for (; c < end; ++c) {
    unsigned digit;
    if (*c >= '0' && *c <= '9')
      digit = static_cast<unsigned>(*c - '0');
    else if (base == 16 && *c >= 'a' && *c <= 'f')
      digit = static_cast<unsigned>(*c - 'a' + 10);
    else
      break;
    value = value * base + digit;
  }
  return value;
}

void skip(const char*& c, const char* end, char what) {
  while (c < end && *c == what)
    ++c;
}

// One line; `path` is pointed at its path (empty for anonymous memory). False when the line does
// not have the expected fields.
bool parseLine(const char* c, const char* end, MemoryRegion& region, const char*& path) {
  region.start = static_cast<std::uintptr_t>(readNumber(c, end, 16));
  if (c == end || *c++ != '-') return false;
  region.end = static_cast<std::uintptr_t>(readNumber(c, end, 16));
  skip(c, end, ' ');
  if (end - c < 4) return false;
  region.readable = c[0] == 'r';
  region.writable = c[1] == 'w';
  region.executable = c[2] == 'x';
  c += 4;
  skip(c, end, ' ');
  region.offset = readNumber(c, end, 16);
  skip(c, end, ' ');
  const std::uint64_t major = readNumber(c, end, 16);
  if (c == end || *c++ != ':') return false;
  const std::uint64_t minor = readNumber(c, end, 16);
  region.device = major << 32 | minor;
  skip(c, end, ' ');
  region.inode = readNumber(c, end, 10);
  skip(c, end, ' ');
  path = c;
  return region.end > region.start;
}

struct RegionVisit {
  bool (*visit)(const MemoryRegion&, void*);
  void* context;
};

}  // namespace

bool forEachMappedRegion(bool (*visit)(const MemoryRegion&, const char*, void*), void* context) {
  // The calling thread's view: the process's own (/proc/self) is empty once its main thread has
  // ended while others go on. Kernels before 3.17 have only the process's.
  int file = open("/proc/thread-self/maps", O_RDONLY | O_CLOEXEC);
  if (file < 0) file = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char buffer[4096];
  // The fields, the blanks between them and a path of the longest kind, with its terminator.
  char line[4096 + 160];
  std::size_t used = 0;
  bool going = true;
  while (going) {
    const ssize_t length = read(file, buffer, sizeof buffer);
    if (length <= 0) break;
    for (ssize_t i = 0; i < length && going; ++i) {
      if (buffer[i] != '\n') {
        if (used < sizeof line - 1) line[used++] = buffer[i];
        continue;
      }
      line[used] = '\0';
      MemoryRegion region;
      const char* path = line + used;
      if (parseLine(line, line + used, region, path)) going = visit(region, path, context);
      used = 0;
    }
  }
  close(file);
  return true;
}

bool forEachMemoryRegion(bool (*visit)(const MemoryRegion&, void*), void* context) {
  RegionVisit visit_{visit, context};
  return forEachMappedRegion(
      [](const MemoryRegion& region, const char*, void* data) {
        const RegionVisit& v = *static_cast<const RegionVisit*>(data);
        return v.visit(region, v.context);
      },
      &visit_);
}

bool findMemoryRegion(std::uintptr_t address, MemoryRegion& region) {
  struct Search {
    std::uintptr_t address;
    MemoryRegion* found;
    bool hit;
  } search{address, &region, false};
  forEachMemoryRegion(
      [](const MemoryRegion& candidate, void* context) {
        Search& s = *static_cast<Search*>(context);
        if (s.address < candidate.start) return false;  // listed in address order: passed it
        if (s.address >= candidate.end) return true;
        *s.found = candidate;
        s.hit = true;
        return false;
      },
      &search);
  return search.hit;
}

bool MemoryMap::reserve(std::size_t capacity) {
  if (capacity > kMaxCapacity) capacity = kMaxCapacity;
  if (capacity <= _capacity) return true;
  // Address space only: the system gives pages as regions are written into them.
  void* room = mmap(nullptr, capacity * sizeof(MemoryRegion), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (room == MAP_FAILED) return false;
  MemoryRegion* regions = static_cast<MemoryRegion*>(room);
  std::memcpy(static_cast<void*>(regions), _regions, _count * sizeof(MemoryRegion));
  if (_regions != _inline) munmap(_regions, _capacity * sizeof(MemoryRegion));
  _regions = regions;
  _capacity = capacity;
  return true;
}

bool MemoryMap::readOnce() {
  _count = _leftOut = 0;
  const bool listed = forEachMemoryRegion(
      [](const MemoryRegion& region, void* context) {
        MemoryMap& map = *static_cast<MemoryMap*>(context);
        if (map._count == map._capacity)
          ++map._leftOut;
        else
          map.add(region);
        return true;
      },
      this);
  return listed && _count > 0;
}

bool MemoryMap::read() {
  const bool listed = readOnce();
  if (_leftOut == 0) return listed;
  // The regions may change between two readings: room for a quarter more than were seen.
  const std::size_t seen = _count + _leftOut;
  if (!reserve(seen + seen / 4)) return listed;
  return readOnce();
}

bool MemoryMap::add(const MemoryRegion& region) {
  if (_count == _capacity || (_count > 0 && region.start < _regions[_count - 1].end)) return false;
  _regions[_count++] = region;
  return true;
}

const MemoryRegion* MemoryMap::find(std::uintptr_t address) const {
  std::size_t low = 0, high = _count;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (address < _regions[middle].start)
      high = middle;
    else if (address >= _regions[middle].end)
      low = middle + 1;
    else
      return &_regions[middle];
  }
  return nullptr;
}

bool MemoryMap::executable(std::uintptr_t address) const {
  const MemoryRegion* region = find(address);
  return region && region->executable;
}

bool MemoryMap::readable(std::uintptr_t address, std::size_t size) const {
  if (size == 0) return true;
  if (address + size < address) return false;
  for (std::uintptr_t at = address; at < address + size;) {
    const MemoryRegion* region = find(at);
    if (!region || !region->readable) return false;
    at = region->end;
  }
  return true;
}

const MemoryRegion* MemoryMap::imageStart(const MemoryRegion& region) const {
  if (region.inode == 0) return nullptr;
  for (std::size_t i = 0; i < _count; ++i) {
    const MemoryRegion& candidate = _regions[i];
    if (candidate.inode == region.inode && candidate.device == region.device &&
        candidate.offset == 0 && candidate.start <= region.start)
      return &candidate;
  }
  return nullptr;
}

}  // namespace detail
}  // namespace vemo
