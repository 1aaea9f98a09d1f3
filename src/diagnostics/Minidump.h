// A minimal minidump writer for systems whose debugging library has none: the file format that
// crash tools read (header and stream directory; system information; every thread with its
// registers and stack, the crashing one first; the loaded modules with their build ids; the
// exception), written with system calls only, so that a signal handler can use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemo {
namespace detail {

// One loaded module: where it lies, its file and its GNU build id.
struct LoadedModule {
  std::uintptr_t base;
  std::uintptr_t size;
  const char* path;
  unsigned char buildId[64];
  std::size_t buildIdLength;
};

// The modules of the process, in a fixed table (filled inside the handler).
struct ModuleTable {
  static constexpr std::size_t kCapacity = 512;
  LoadedModule modules[kCapacity];
  std::size_t count;
};

// Takes the GNU build id from the notes of a loaded segment, if it has one.
void readBuildId(const unsigned char* notes, std::size_t size, LoadedModule& module);

// The registers of an x86-64 thread.
struct MinidumpContext {
  std::uint64_t rax, rbx, rcx, rdx, rsi, rdi, rbp, rsp, rip;
  std::uint64_t r[8];  // r8 to r15
  std::uint32_t eflags;
  std::uint16_t cs, ds, es, fs, gs, ss;
};

struct MinidumpSystem {
  std::uint32_t processors;
  std::uint32_t majorVersion, minorVersion, buildNumber;
  char description[512];  // the kernel's name, release, version and machine
};

// Kernel release "6.1.0-18-amd64" gives the version 6.1 and build 0.
void parseKernelRelease(const char* release, MinidumpSystem& system);

// One thread of the dump: its registers and the part of its stack kept.
struct MinidumpThread {
  std::uint32_t threadId;
  MinidumpContext context;
  std::uint64_t stackStart;
  std::uint32_t stackLength;
};

struct MinidumpCrash {
  std::uint32_t code;   // the signal
  std::uint32_t flags;  // its si_code
  std::uint64_t address;
  // The crashing thread first, then the others.
  const MinidumpThread* threads;
  std::size_t threadCount;
};

// Stack kept above the stack pointer, or less where the stack ends sooner.
constexpr std::uint32_t kMinidumpStackBytes = 64 * 1024;
// Threads written at most (their stacks alone may make a dump of 64 MiB).
constexpr std::size_t kMinidumpMaxThreads = 1024;

// Writes the dump to `file` (open for writing, empty). False when the file refused the data.
bool writeMinidumpFile(int file, const MinidumpSystem& system, const MinidumpCrash& crash,
                       const ModuleTable& modules);

}  // namespace detail
}  // namespace vemo
