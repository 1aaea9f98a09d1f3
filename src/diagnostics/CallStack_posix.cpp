// Call stacks on POSIX systems: glibc's backtrace() captures, and GCC's libbacktrace reads the
// debugging information (function, file and line) of the program and its shared libraries.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "CallStack.h"
#include "MemoryMap.h"
#include "vemo/core/CallStack.h"

#if defined(VEMO_HAVE_LIBBACKTRACE)
#include <backtrace.h>
#endif

namespace vemo {

struct DebugHelper::State {
#if defined(VEMO_HAVE_LIBBACKTRACE)
  // One libbacktrace reader and the modules that were loaded when it was made. It reads the list
  // of modules once, at its first look-up, and never again: a module loaded later needs a new
  // reader. Readers cannot be freed (libbacktrace has no way to), and a look-up on another
  // thread may still be using an older one: every reader made is kept, linked to the next.
  struct Reader {
    backtrace_state* state = nullptr;
    unsigned long long adds = 0, subs = 0;  // the loader's counts of loads and unloads then
    struct Module {
      std::uintptr_t base;  // where the loader put it
      std::string name;
    };
    std::vector<Module> modules;
    const Reader* older = nullptr;
    // Set once a look-up has read its tables. Reading them needs the loader's list of modules
    // (and its lock), which a crash must never wait for: the crash handler uses read readers
    // only.
    mutable std::atomic<bool> read{false};
  };
  // The current reader, published for the crash handler, which reads it without the lock.
  mutable std::atomic<const Reader*> reader{nullptr};
  // Held for each look-up and while a new reader is made (one for each change of the modules).
  // libbacktrace's readers can serve several threads, but they fill their tables at the first
  // look-ups through allocations that they synchronise in ways the thread sanitizer cannot see;
  // dumps are not frequent enough for that to be worth the noise.
  mutable std::mutex lookups;
  mutable unsigned int readers = 0;  // made so far, under `lookups`
#endif
};

namespace {

// Frames captured at most by one walk: deeper stacks are cut there.
constexpr int kMaxFrames = 256;

#if defined(VEMO_HAVE_LIBBACKTRACE)
void ignoreError(void*, const char*, int) {}

using Reader = DebugHelper::State::Reader;

// Readers made at most: each holds the debugging information of every module it read, so a
// program that keeps loading new modules stops getting new readers there; frames in modules
// loaded after that are named by their exported symbols only.
constexpr unsigned int kMaxReaders = 32;

// A new reader for the modules loaded now, linked to `older`.
const Reader* makeReader(const Reader* older) {
  Reader* reader = new Reader;
  reader->older = older;
  // The modules are listed before the reader reads them at its first look-up, so it knows at
  // least these.
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* context) {
        Reader& made = *static_cast<Reader*>(context);
        made.adds = info->dlpi_adds;
        made.subs = info->dlpi_subs;
        made.modules.push_back({info->dlpi_addr, info->dlpi_name ? info->dlpi_name : ""});
        return 0;
      },
      reader);
  // Threaded: frames may be looked up from several threads at once.
  reader->state = backtrace_create_state(nullptr, 1, ignoreError, nullptr);
  return reader;
}

// Whether `reader` can know the code at `address`: the loader has loaded and unloaded nothing
// since it was made, or the module holding the address is one it was made with (or none holds
// it, and no reader would know it).
bool knows(const Reader& reader, std::uintptr_t address) {
  struct Probe {
    const Reader& reader;
    std::uintptr_t address;
    bool known;
  } probe{reader, address, true};
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* context) {
        Probe& p = *static_cast<Probe*>(context);
        if (info->dlpi_adds == p.reader.adds && info->dlpi_subs == p.reader.subs)
          return 1;  // nothing changed: known
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum && !holds; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          holds = segment.p_type == PT_LOAD && p.address >= start &&
                  p.address - start < segment.p_memsz;
        }
        if (!holds) return 0;
        const char* name = info->dlpi_name ? info->dlpi_name : "";
        p.known = false;
        for (const Reader::Module& module : p.reader.modules)
          if (module.base == info->dlpi_addr && module.name == name) p.known = true;
        return 1;
      },
      &probe);
  return probe.known;
}

// The reader to look `address` up with: the current one, or a new one when the address lies in
// a module loaded after the current one was made. Called with `lookups` held.
const Reader* readerFor(const DebugHelper::State& state, std::uintptr_t address) {
  const Reader* reader = state.reader.load(std::memory_order_acquire);
  if (!reader || state.readers >= kMaxReaders || knows(*reader, address)) return reader;
  reader = makeReader(reader);
  ++state.readers;
  state.reader.store(reader, std::memory_order_release);
  return reader;
}
#endif

std::string demangle(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || !readable) return name;
  std::string result(readable);
  std::free(readable);
  return result;
}

// The capture functions of the library, of the C library and of the sanitizers that wrap it.
// Known by their symbols, whose ranges the symbol tables give even without line information.
bool isCaptureSymbol(const char* name) {
  static const char* const kEntries[] = {"backtrace", "__backtrace", "__interceptor_backtrace",
                                         "___interceptor_backtrace", "_Unwind_Backtrace"};
  for (const char* entry : kEntries)
    if (std::strcmp(name, entry) == 0) return true;
  static const char* const kLibrary[] = {
      "_ZN4vemo9CallStack12getCallStackEv", "_ZN4vemo9CallStack17getCallStack_fastEv",
      "_ZN4vemo9CallStack13getStackTraceEv", "_ZN4vemo9CallStack18getStackTrace_fastEv"};
  for (const char* entry : kLibrary)
    if (std::strcmp(name, entry) == 0) return true;
  return false;
}

// Addresses [low, high) of a stack.
struct StackRange {
  std::uintptr_t low = 0, high = 0;
};

// The calling thread's own stack, asked of the system once per thread.
thread_local StackRange t_threadStack;

bool threadStack(StackRange& range) {
  if (t_threadStack.high == 0) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* base = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
      t_threadStack.low = reinterpret_cast<std::uintptr_t>(base);
      t_threadStack.high = t_threadStack.low + size;
    }
    pthread_attr_destroy(&attributes);
  }
  range = t_threadStack;
  return range.high != 0;
}

// The memory of the stack that holds `address`: the thread's own stack or, for a stack of
// another kind (a fiber's, a signal handler's), the mapped region it lies in.
bool stackAround(std::uintptr_t address, StackRange& range) {
  if (threadStack(range) && address >= range.low && address < range.high) return true;
  detail::MemoryRegion region;
  if (!detail::findMemoryRegion(address, region) || !region.readable) return false;
  range.low = region.start;
  range.high = region.end;
  return true;
}

}  // namespace

DebugHelper::DebugHelper() : _state(new State) {
#if defined(VEMO_HAVE_LIBBACKTRACE)
  _state->reader.store(makeReader(nullptr), std::memory_order_release);
  _state->readers = 1;
#endif
}

__attribute__((noinline)) void CallStack::getStackTrace() {
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  for (int i = 0; i < count; ++i)
    push(reinterpret_cast<std::uintptr_t>(frames[i]));
}

namespace detail {

// Reads saved frame pointers, which are not objects of the program: the address sanitizer must
// not check them against the red zones of the frames' variables.
__attribute__((no_sanitize_address)) void walkFramePointers(CallStack& stack,
                                                            std::uintptr_t returnAddress,
                                                            std::uintptr_t frame) {
  stack.push(returnAddress);
  StackRange range;
  if (frame == 0 || !stackAround(frame, range)) return;
  // Each frame record is the caller's frame pointer followed by the return address. Records
  // lie inside the stack, aligned, each above the last: anything else is not a frame pointer
  // (a caller built without them, the garbage where a stack of its own begins) and ends the
  // walk before it is read. The first record is that of the capturing function, whose return
  // address is already there.
  constexpr std::uintptr_t kRecordSize = 2 * sizeof(std::uintptr_t);
  std::uintptr_t record = frame;
  for (bool first = true;; first = false) {
    if (record % alignof(std::uintptr_t) != 0 || record < range.low ||
        range.high - range.low < kRecordSize || record > range.high - kRecordSize)
      break;
    const std::uintptr_t* fields = reinterpret_cast<const std::uintptr_t*>(record);
    if (!first) {
      if (fields[1] == 0) break;
      stack.push(fields[1]);
    }
    const std::uintptr_t next = fields[0];
    if (next <= record) break;
    record = next;
  }
}

#if defined(VEMO_HAVE_LIBBACKTRACE)
namespace {

// The innermost function that libbacktrace reports for an address is the one whose code it is
// (an inlined function's, when inlined): that is the frame's line.
int takeFirstLine(void* data, std::uintptr_t, const char* file, int line, const char* function) {
  FrameInfo& info = *static_cast<FrameInfo*>(data);
  if (file && !info.hasLine) {
    info.hasLine = true;
    info.file = file;
    info.line = line;
    if (function) {
      if (isCaptureSymbol(function)) info.captureCode = true;
      info.function = demangle(function);
    }
  }
  return 1;  // the innermost frame is enough
}

void takeSymbol(void* data, std::uintptr_t, const char* name, std::uintptr_t, std::uintptr_t) {
  FrameInfo& info = *static_cast<FrameInfo*>(data);
  if (!name) return;
  if (isCaptureSymbol(name)) info.captureCode = true;
  if (info.function.empty()) info.function = demangle(name);
}

int takeRawLine(void* data, std::uintptr_t, const char* file, int line, const char* function) {
  RawFrameInfo& info = *static_cast<RawFrameInfo*>(data);
  if (file && !info.file) {
    info.file = file;
    info.line = line;
    if (function) info.function = function;
  }
  return 1;
}

void takeRawSymbol(void* data, std::uintptr_t, const char* name, std::uintptr_t, std::uintptr_t) {
  RawFrameInfo& info = *static_cast<RawFrameInfo*>(data);
  if (name && !info.function) info.function = name;
}

}  // namespace
#endif

void describeCodeAddress(const DebugHelper& helper, std::uintptr_t address, RawFrameInfo& info) {
#if defined(VEMO_HAVE_LIBBACKTRACE)
  const Reader* current = helper.state().reader.load(std::memory_order_acquire);
  while (current && !current->read.load(std::memory_order_acquire))
    current = current->older;
  if (!current || !current->state) return;
  backtrace_state* reader = current->state;
  backtrace_pcinfo(reader, address, takeRawLine, ignoreError, &info);
  backtrace_syminfo(reader, address, takeRawSymbol, ignoreError, &info);
#else
  (void)helper;
  (void)address;
  (void)info;
#endif
}

void readSymbolTablesInBackground(const DebugHelper& helper) {
  try {
    std::thread([&helper] {
      // The lowest share of the processors: a cost to the program's own threads only where
      // they leave the processors idle, yet never starved by a busy program for good.
      setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
      pthread_setname_np(pthread_self(), "vemo-symbols");
      FrameInfo info;
      describeFrame(helper, reinterpret_cast<std::uintptr_t>(&readSymbolTablesInBackground) + 1,
                    info);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the tables are read at their first use.
  }
}

bool describeFrame(const DebugHelper& helper, std::uintptr_t address, FrameInfo& info) {
  // A return address points past its call, possibly to the next line or function: the call
  // itself is one byte before.
  const std::uintptr_t call = address > 0 ? address - 1 : address;
#if defined(VEMO_HAVE_LIBBACKTRACE)
  {
    const DebugHelper::State& state = helper.state();
    std::lock_guard<std::mutex> lock(state.lookups);
    const Reader* current = readerFor(state, call);
    if (current && current->state) {
      backtrace_pcinfo(current->state, call, takeFirstLine, ignoreError, &info);
      backtrace_syminfo(current->state, call, takeSymbol, ignoreError, &info);
      current->read.store(true, std::memory_order_release);
    }
  }
#else
  (void)helper;
#endif
  // Exported symbols of libraries without a symbol table of their own.
  Dl_info symbol;
  if (dladdr(reinterpret_cast<void*>(call), &symbol) != 0 && symbol.dli_sname) {
    if (isCaptureSymbol(symbol.dli_sname)) info.captureCode = true;
    if (info.function.empty()) info.function = demangle(symbol.dli_sname);
  }
  return true;
}

void debugOutput(const char* text) {
  std::fputs(text, stderr);
}

}  // namespace detail
}  // namespace vemo
