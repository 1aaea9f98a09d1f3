// Call stacks on POSIX systems: glibc's backtrace() captures, and GCC's libbacktrace reads the
// debugging information (function, file and line) of the program and its shared libraries.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CallStack.h"
#include "vemo/core/CallStack.h"

#if defined(VEMO_HAVE_LIBBACKTRACE)
#include <backtrace.h>
#endif

namespace vemo {

struct DebugHelper::State {
#if defined(VEMO_HAVE_LIBBACKTRACE)
  backtrace_state* reader = nullptr;
#endif
};

namespace {

// Frames captured at most by one walk: deeper stacks are cut there.
constexpr int kMaxFrames = 256;

#if defined(VEMO_HAVE_LIBBACKTRACE)
void ignoreError(void*, const char*, int) {}
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

// The top (highest address) of the calling thread's stack, asked of the system once per thread.
thread_local std::uintptr_t t_stackTop = 0;

std::uintptr_t stackTop() {
  if (t_stackTop == 0) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* base = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &base, &size) == 0)
      t_stackTop = reinterpret_cast<std::uintptr_t>(base) + size;
    pthread_attr_destroy(&attributes);
  }
  return t_stackTop;
}

}  // namespace

DebugHelper::DebugHelper() : _state(new State) {
#if defined(VEMO_HAVE_LIBBACKTRACE)
  // Threaded: frames may be looked up from several threads. The reader cannot be freed again;
  // it lives as long as the process.
  _state->reader = backtrace_create_state(nullptr, 1, ignoreError, nullptr);
#endif
}

DebugHelper::~DebugHelper() {
  delete _state;
}

__attribute__((noinline)) void CallStack::getStackTrace() {
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  for (int i = 0; i < count; ++i)
    push(reinterpret_cast<std::uintptr_t>(frames[i]));
}

// Reads saved frame pointers, which are not objects of the program: the address sanitizer must
// not check them against the red zones of the frames' variables.
__attribute__((noinline, no_sanitize_address)) void CallStack::getStackTrace_fast() {
  const std::uintptr_t top = stackTop();
  // Each frame record is the caller's frame pointer followed by the return address. Records
  // lie above this function's own frame, below the stack's top, aligned, each above the last:
  // anything else is not a frame pointer (a caller built without them) and ends the walk.
  std::uintptr_t frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  while (frame % alignof(std::uintptr_t) == 0 && top != 0 &&
         frame + 2 * sizeof(std::uintptr_t) <= top) {
    const std::uintptr_t* record = reinterpret_cast<const std::uintptr_t*>(frame);
    const std::uintptr_t next = record[0], returnAddress = record[1];
    if (returnAddress == 0) break;
    push(returnAddress);
    if (next <= frame) break;
    frame = next;
  }
}

namespace detail {

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
  backtrace_state* reader = helper.state().reader;
  if (!reader) return;
  backtrace_pcinfo(reader, address, takeRawLine, ignoreError, &info);
  backtrace_syminfo(reader, address, takeRawSymbol, ignoreError, &info);
#else
  (void)helper;
  (void)address;
  (void)info;
#endif
}

bool describeFrame(const DebugHelper& helper, std::uintptr_t address, FrameInfo& info) {
  // A return address points past its call, possibly to the next line or function: the call
  // itself is one byte before.
  const std::uintptr_t call = address > 0 ? address - 1 : address;
#if defined(VEMO_HAVE_LIBBACKTRACE)
  backtrace_state* reader = helper.state().reader;
  if (reader) {
    backtrace_pcinfo(reader, call, takeFirstLine, ignoreError, &info);
    backtrace_syminfo(reader, call, takeSymbol, ignoreError, &info);
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
