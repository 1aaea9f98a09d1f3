// The minidump writer: records laid out byte by byte in little-endian order (the format's), so
// that nothing depends on the compiler's structure packing, and written with write()/pwrite().
#include <elf.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "Minidump.h"

namespace vemo {
namespace detail {
namespace {

constexpr std::uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr std::uint32_t kVersion = 0xA793;
constexpr std::uint32_t kThreadListStream = 3, kModuleListStream = 4, kMemoryListStream = 5,
                        kExceptionStream = 6, kSystemInfoStream = 7;
constexpr std::uint32_t kContextSize = 1232;
// x86-64 context holding the control, integer and segment registers.
constexpr std::uint32_t kContextFlags = 0x00100000 | 0x1 | 0x2 | 0x4;
constexpr std::uint16_t kArchitectureAmd64 = 9;
constexpr std::uint32_t kPlatformLinux = 0x8201;
constexpr std::uint32_t kCodeViewElf = 0x4270454C;  // "BpEL": the build id follows
constexpr std::uint32_t kGnuBuildIdNote = 3;

// One record of the file, built in place.
class Record {
 public:
  explicit Record(std::size_t size) : _size(size) { std::memset(_bytes, 0, sizeof _bytes); }
  void u8(std::size_t at, std::uint8_t value) { _bytes[at] = value; }
  void u16(std::size_t at, std::uint16_t value) { put(at, value, 2); }
  void u32(std::size_t at, std::uint32_t value) { put(at, value, 4); }
  void u64(std::size_t at, std::uint64_t value) { put(at, value, 8); }
  const unsigned char* data() const { return _bytes; }
  std::size_t size() const { return _size; }

 private:
  void put(std::size_t at, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      _bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
  }
  unsigned char _bytes[kContextSize];
  std::size_t _size;
};

// The file being written: data is appended and its position (the format's "RVA") returned.
class DumpFile {
 public:
  explicit DumpFile(int file) : _file(file) {}
  bool ok() const { return _ok; }
  std::uint32_t position() const { return _position; }

  std::uint32_t append(const void* data, std::size_t size) {
    const std::uint32_t at = _position;
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t step = ::write(_file, bytes + done, size - done);
      if (step <= 0) {
        _ok = false;
        break;
      }
      done += static_cast<std::size_t>(step);
    }
    _position += static_cast<std::uint32_t>(done);
    return at;
  }
  std::uint32_t append(const Record& record) { return append(record.data(), record.size()); }

  // Copies memory of the process that may end anywhere: the system reports unreadable memory
  // as a short or failed write instead of a fault. Returns the bytes copied.
  std::uint32_t appendMemory(std::uint64_t start, std::uint32_t size) {
    std::uint32_t done = 0;
    while (done < size) {
      const ssize_t step = ::write(_file, reinterpret_cast<const void*>(start + done), size - done);
      if (step <= 0) break;
      done += static_cast<std::uint32_t>(step);
    }
    _position += done;
    return done;
  }

  void align() {
    static const char zeros[8] = {};
    if (_position % 8) append(zeros, 8 - _position % 8);
  }

  void writeAt(std::uint32_t at, const Record& record) {
    if (::pwrite(_file, record.data(), record.size(), at) != static_cast<ssize_t>(record.size()))
      _ok = false;
  }

 private:
  int _file;
  std::uint32_t _position = 0;
  bool _ok = true;
};

struct Location {
  std::uint32_t size = 0, at = 0;
};

// A location descriptor (size, then position) at `at` of a record.
void putLocation(Record& record, std::size_t at, Location location) {
  record.u32(at, location.size);
  record.u32(at + 4, location.at);
}

// A memory descriptor: the address the bytes came from, then where they lie in the file.
void putMemory(Record& record, std::size_t at, std::uint64_t start, Location location) {
  record.u64(at, start);
  putLocation(record, at + 8, location);
}

// A length-prefixed UTF-16 text with a terminator; the UTF-8 input is decoded leniently.
std::uint32_t appendString(DumpFile& file, const char* utf8) {
  char16_t units[512];
  std::size_t count = 0;
  const unsigned char* c = reinterpret_cast<const unsigned char*>(utf8);
  while (*c && count + 2 < sizeof units / sizeof units[0]) {
    char32_t point = *c++;
    int more = point >= 0xF0 ? 3 : point >= 0xE0 ? 2 : point >= 0xC0 ? 1 : 0;
    if (more) point &= 0x3F >> more;
    for (; more > 0 && (*c & 0xC0) == 0x80; --more)
      point = (point << 6) | (*c++ & 0x3F);
    if (point >= 0x10000) {
      units[count++] = static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
      units[count++] = static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      units[count++] = static_cast<char16_t>(point);
    }
  }
  file.align();
  Record length(4);
  length.u32(0, static_cast<std::uint32_t>(count * 2));
  const std::uint32_t at = file.append(length);
  unsigned char bytes[sizeof units + 2];
  for (std::size_t i = 0; i <= count; ++i) {
    const char16_t unit = i < count ? units[i] : 0;
    bytes[2 * i] = static_cast<unsigned char>(unit);
    bytes[2 * i + 1] = static_cast<unsigned char>(unit >> 8);
  }
  file.append(bytes, (count + 1) * 2);
  return at;
}

Location appendContext(DumpFile& file, const MinidumpContext& context) {
  Record record(kContextSize);
  record.u32(48, kContextFlags);
  record.u16(56, context.cs);
  record.u16(58, context.ds);
  record.u16(60, context.es);
  record.u16(62, context.fs);
  record.u16(64, context.gs);
  record.u16(66, context.ss);
  record.u32(68, context.eflags);
  const std::uint64_t general[] = {context.rax, context.rcx, context.rdx, context.rbx,
                                   context.rsp, context.rbp, context.rsi, context.rdi};
  for (int i = 0; i < 8; ++i)
    record.u64(120 + 8 * i, general[i]);
  for (int i = 0; i < 8; ++i)
    record.u64(184 + 8 * i, context.r[i]);
  record.u64(248, context.rip);
  file.align();
  return {kContextSize, file.append(record)};
}

// The stack from the stack pointer up; where the pointer itself lies in unmapped memory (an
// overflow runs into the guard page), from the next page on.
Location appendStack(DumpFile& file, std::uint64_t& start, std::uint32_t length) {
  if (length == 0) return {};
  file.align();
  const std::uint32_t at = file.position();
  std::uint32_t copied = file.appendMemory(start, length);
  if (copied == 0) {
    start = (start | 0xFFF) + 1;
    copied = file.appendMemory(start, length);
  }
  return {copied, at};
}

// Where each thread's context and stack were written.
struct ThreadPlaces {
  Location context, stack;
  std::uint64_t stackStart;
};

// Kept outside the stack: a crash report runs on a small alternate signal stack.
ThreadPlaces g_places[kMinidumpMaxThreads];

std::uint32_t appendThreadList(DumpFile& file, const MinidumpCrash& crash,
                               const ThreadPlaces* places) {
  file.align();
  Record count(4);
  count.u32(0, static_cast<std::uint32_t>(crash.threadCount));
  const std::uint32_t at = file.append(count);
  for (std::size_t i = 0; i < crash.threadCount; ++i) {
    Record entry(48);
    entry.u32(0, crash.threads[i].threadId);
    putMemory(entry, 24, places[i].stackStart, places[i].stack);
    putLocation(entry, 40, places[i].context);
    file.append(entry);
  }
  return at;
}

std::uint32_t appendModuleList(DumpFile& file, const ModuleTable& modules) {
  // Names and build-id records first, so that each entry can point at them.
  std::uint32_t names[ModuleTable::kCapacity], records[ModuleTable::kCapacity];
  for (std::size_t i = 0; i < modules.count; ++i) {
    const LoadedModule& module = modules.modules[i];
    names[i] = appendString(file, module.path);
    file.align();
    Record signature(4);
    signature.u32(0, kCodeViewElf);
    records[i] = file.append(signature);
    file.append(module.buildId, module.buildIdLength);
  }
  file.align();
  Record count(4);
  count.u32(0, static_cast<std::uint32_t>(modules.count));
  const std::uint32_t at = file.append(count);
  for (std::size_t i = 0; i < modules.count; ++i) {
    const LoadedModule& module = modules.modules[i];
    Record entry(108);
    entry.u64(0, module.base);
    entry.u32(8, static_cast<std::uint32_t>(module.size));
    entry.u32(20, names[i]);
    putLocation(entry, 76, {static_cast<std::uint32_t>(4 + module.buildIdLength), records[i]});
    file.append(entry);
  }
  return at;
}

// The stacks that were copied; an empty region would make the whole list unreadable to crash
// tools.
std::uint32_t memoryRegions(const MinidumpCrash& crash, const ThreadPlaces* places) {
  std::uint32_t regions = 0;
  for (std::size_t i = 0; i < crash.threadCount; ++i)
    if (places[i].stack.size != 0) ++regions;
  return regions;
}

std::uint32_t appendMemoryList(DumpFile& file, const MinidumpCrash& crash,
                               const ThreadPlaces* places) {
  file.align();
  Record count(4);
  count.u32(0, memoryRegions(crash, places));
  const std::uint32_t at = file.append(count);
  for (std::size_t i = 0; i < crash.threadCount; ++i) {
    if (places[i].stack.size == 0) continue;
    Record entry(16);
    putMemory(entry, 0, places[i].stackStart, places[i].stack);
    file.append(entry);
  }
  return at;
}

std::uint32_t appendException(DumpFile& file, const MinidumpCrash& crash, Location contextAt) {
  Record record(168);
  record.u32(0, crash.threads[0].threadId);
  record.u32(8, crash.code);
  record.u32(12, crash.flags);
  record.u64(24, crash.address);
  putLocation(record, 160, contextAt);
  file.align();
  return file.append(record);
}

std::uint32_t appendSystemInfo(DumpFile& file, const MinidumpSystem& system) {
  const std::uint32_t description = appendString(file, system.description);
  Record record(56);
  record.u16(0, kArchitectureAmd64);
  record.u8(6, static_cast<std::uint8_t>(system.processors > 255 ? 255 : system.processors));
  record.u32(8, system.majorVersion);
  record.u32(12, system.minorVersion);
  record.u32(16, system.buildNumber);
  record.u32(20, kPlatformLinux);
  record.u32(24, description);
  file.align();
  return file.append(record);
}

unsigned readNumber(const char*& text) {
  unsigned value = 0;
  while (*text >= '0' && *text <= '9')
    value = value * 10 + static_cast<unsigned>(*text++ - '0');
  return value;
}

}  // namespace

void readBuildId(const unsigned char* notes, std::size_t size, LoadedModule& module) {
  std::size_t at = 0;
  const auto align4 = [](std::size_t n) { return (n + 3) & ~std::size_t{3}; };
  while (at + sizeof(Elf64_Nhdr) <= size) {
    Elf64_Nhdr header;
    std::memcpy(&header, notes + at, sizeof header);
    const std::size_t name = at + sizeof header;
    const std::size_t description = name + align4(header.n_namesz);
    if (description + header.n_descsz > size) return;
    if (header.n_type == kGnuBuildIdNote && header.n_namesz == 4 &&
        std::memcmp(notes + name, "GNU", 4) == 0) {
      const std::size_t length =
          header.n_descsz < sizeof module.buildId ? header.n_descsz : sizeof module.buildId;
      std::memcpy(module.buildId, notes + description, length);
      module.buildIdLength = length;
      return;
    }
    at = description + align4(header.n_descsz);
  }
}

void parseKernelRelease(const char* release, MinidumpSystem& system) {
  system.majorVersion = readNumber(release);
  if (*release == '.') ++release;
  system.minorVersion = readNumber(release);
  if (*release == '.') ++release;
  system.buildNumber = readNumber(release);
}

bool writeMinidumpFile(int file, const MinidumpSystem& system, const MinidumpCrash& crash,
                       const ModuleTable& modules) {
  DumpFile dump(file);
  Record header(32);
  dump.append(header);  // rewritten at the end, once the directory's place is known

  ThreadPlaces* places = g_places;
  MinidumpCrash kept = crash;
  if (kept.threadCount > kMinidumpMaxThreads) kept.threadCount = kMinidumpMaxThreads;
  for (std::size_t i = 0; i < kept.threadCount; ++i) {
    const MinidumpThread& thread = kept.threads[i];
    places[i].context = appendContext(dump, thread.context);
    places[i].stackStart = thread.stackStart;
    places[i].stack = appendStack(dump, places[i].stackStart, thread.stackLength);
  }
  const std::uint32_t threadCount = static_cast<std::uint32_t>(kept.threadCount);

  struct Stream {
    std::uint32_t type, at, size;
  } streams[] = {
      {kThreadListStream, appendThreadList(dump, kept, places), 4 + 48 * threadCount},
      {kModuleListStream, appendModuleList(dump, modules),
       static_cast<std::uint32_t>(4 + 108 * modules.count)},
      {kMemoryListStream, appendMemoryList(dump, kept, places),
       4 + 16 * memoryRegions(kept, places)},
      {kExceptionStream, appendException(dump, kept, places[0].context), 168},
      {kSystemInfoStream, appendSystemInfo(dump, system), 56},
  };
  constexpr std::uint32_t kStreams = sizeof streams / sizeof streams[0];

  dump.align();
  const std::uint32_t directory = dump.position();
  for (const Stream& stream : streams) {
    Record entry(12);
    entry.u32(0, stream.type);
    entry.u32(4, stream.size);
    entry.u32(8, stream.at);
    dump.append(entry);
  }
  header.u32(0, kSignature);
  header.u32(4, kVersion);
  header.u32(8, kStreams);
  header.u32(12, directory);
  header.u32(20, static_cast<std::uint32_t>(std::time(nullptr)));
  dump.writeAt(0, header);
  return dump.ok();
}

}  // namespace detail
}  // namespace vemo
