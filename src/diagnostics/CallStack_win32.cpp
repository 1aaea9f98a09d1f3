// Call stacks on Windows: the debugging-help library, loaded by name when first needed, walks
// the stack (StackWalk64) and finds symbols and source lines. Builds without a program
// database may find no names or lines; their frames are shown by address.
#include <windows.h>

#include <dbghelp.h>

#if defined(__GNUC__)
#include <cxxabi.h>
#endif

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "CallStack.h"
#include "Library.h"
#include "MachineContext_win32.h"
#include "vemo/core/CallStack.h"
#include "vemo/core/Console.h"

namespace vemo {

struct DebugHelper::State {
  using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
  using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
  using SymGetOptionsFn = DWORD(WINAPI*)();
  using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
  using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                      PREAD_PROCESS_MEMORY_ROUTINE64,
                                      PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                      PTRANSLATE_ADDRESS_ROUTINE64);
  using SymFromAddrFn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFO);
  using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
  using SymLoadModuleExWFn = DWORD64(WINAPI*)(HANDLE, HANDLE, PCWSTR, PCWSTR, DWORD64, DWORD,
                                              PMODLOAD_DATA, DWORD);

  HMODULE module = nullptr;
  SymInitializeFn symInitialize = nullptr;
  SymCleanupFn symCleanup = nullptr;
  SymGetOptionsFn symGetOptions = nullptr;
  SymSetOptionsFn symSetOptions = nullptr;
  StackWalk64Fn stackWalk64 = nullptr;
  PFUNCTION_TABLE_ACCESS_ROUTINE64 symFunctionTableAccess64 = nullptr;
  PGET_MODULE_BASE_ROUTINE64 symGetModuleBase64 = nullptr;
  SymFromAddrFn symFromAddr = nullptr;
  SymGetLineFromAddr64Fn symGetLineFromAddr64 = nullptr;

  // Adds a module loaded since the symbol handler was initialised (it reads the list of modules
  // then, and only then); optional.
  SymLoadModuleExWFn symLoadModuleExW = nullptr;

  // The debugging-help functions are not safe on several threads at once: each walk and each
  // look-up holds this.
  mutable std::mutex calls;
  // The modules added so, under `calls`: each is tried once.
  mutable std::vector<HMODULE> added;
};

namespace {

// SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES.
constexpr DWORD kSymbolOptions = 22;
constexpr unsigned int kMaxNameLength = 256;
// Modules added at most: only a program that keeps loading new modules reaches it.
constexpr std::size_t kMaxAddedModules = 256;

// When `address` lies in a module loaded after the symbol handler was initialised, adds that
// module, once; true when it did. With `calls` held.
bool learnModuleOf(const DebugHelper::State& s, DWORD64 address) {
  if (!s.symLoadModuleExW || !s.symGetModuleBase64) return false;
  const HANDLE process = GetCurrentProcess();
  if (s.symGetModuleBase64(process, address) != 0) return false;  // known
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(static_cast<std::uintptr_t>(address)), &module))
    return false;  // in no module: nothing to learn
  for (HMODULE done : s.added)
    if (done == module) return false;
  if (s.added.size() >= kMaxAddedModules) return false;
  s.added.push_back(module);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return false;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 32768) return false;
    path.resize(path.size() * 2);
  }
  return s.symLoadModuleExW(process, nullptr, path.c_str(), nullptr,
                            reinterpret_cast<std::uintptr_t>(module), 0, nullptr, 0) != 0;
}

// The walk's look-ups of unwinding data and module bases, which learn modules loaded late.
PVOID CALLBACK functionTableAccess(HANDLE process, DWORD64 address) {
  const DebugHelper::State& s = DebugHelper::getDebugHelper().state();
  PVOID table = s.symFunctionTableAccess64(process, address);
  if (!table && learnModuleOf(s, address)) table = s.symFunctionTableAccess64(process, address);
  return table;
}

DWORD64 CALLBACK moduleBase(HANDLE process, DWORD64 address) {
  const DebugHelper::State& s = DebugHelper::getDebugHelper().state();
  DWORD64 base = s.symGetModuleBase64(process, address);
  if (base == 0 && learnModuleOf(s, address)) base = s.symGetModuleBase64(process, address);
  return base;
}

template <class Function>
void lookUp(HMODULE module, const char* name, const wchar_t* wideName, Function& slot) {
  if (!detail::lookUpProcedure(module, name, slot))
    Console::output(
        L"DebugHelper: The procedure entry point %s could not be located in the dynamic link "
        L"library dbghelp.dll.",
        wideName);
}

std::string demangle(const char* name) {
#if defined(__GNUC__)
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status == 0 && readable) {
    std::string result(readable);
    std::free(readable);
    return result;
  }
#endif
  return name;
}

// The library's capture functions, as the symbol reader names them without line information:
// mangled by GCC, or undecorated.
bool isCaptureSymbol(const char* name) {
  static const char* const kNames[] = {"_ZN4vemo9CallStack12getCallStackEv",
                                       "_ZN4vemo9CallStack17getCallStack_fastEv",
                                       "_ZN4vemo9CallStack13getStackTraceEv",
                                       "_ZN4vemo9CallStack18getStackTrace_fastEv",
                                       "vemo::CallStack::getCallStack",
                                       "vemo::CallStack::getCallStack_fast",
                                       "vemo::CallStack::getStackTrace",
                                       "vemo::CallStack::getStackTrace_fast",
                                       "RtlCaptureContext"};
  for (const char* known : kNames) {
    const std::size_t length = std::strlen(known);
    if (std::strncmp(name, known, length) == 0 && (name[length] == 0 || name[length] == '('))
      return true;
  }
  return false;
}

}  // namespace

DebugHelper::DebugHelper() : _state(new State) {
  State& s = *_state;
  s.module = LoadLibraryW(L"dbghelp.dll");
  if (!s.module) {
    Console::output(L"DebugHelper: Unable to load dbghelp.dll.");
    return;
  }
  lookUp(s.module, "SymInitialize", L"SymInitialize", s.symInitialize);
  lookUp(s.module, "SymCleanup", L"SymCleanup", s.symCleanup);
  lookUp(s.module, "SymGetOptions", L"SymGetOptions", s.symGetOptions);
  lookUp(s.module, "SymSetOptions", L"SymSetOptions", s.symSetOptions);
  lookUp(s.module, "StackWalk64", L"StackWalk64", s.stackWalk64);
  lookUp(s.module, "SymFunctionTableAccess64", L"SymFunctionTableAccess64",
         s.symFunctionTableAccess64);
  lookUp(s.module, "SymGetModuleBase64", L"SymGetModuleBase64", s.symGetModuleBase64);
  lookUp(s.module, "SymFromAddr", L"SymFromAddr", s.symFromAddr);
  lookUp(s.module, "SymGetLineFromAddr64", L"SymGetLineFromAddr64", s.symGetLineFromAddr64);
  detail::lookUpProcedure(s.module, "SymLoadModuleExW", s.symLoadModuleExW);
  if (s.symGetOptions && s.symSetOptions) s.symSetOptions(s.symGetOptions() | kSymbolOptions);
  // Never undone (SymCleanup, FreeLibrary): the helper is never destroyed.
  if (s.symInitialize) s.symInitialize(GetCurrentProcess(), nullptr, TRUE);
}

void CallStack::getStackTrace() {
  const DebugHelper::State& s = DebugHelper::getDebugHelper().state();
  if (!s.stackWalk64 || !s.symFunctionTableAccess64 || !s.symGetModuleBase64) return;
  // The walk starts in this function or at its caller; its own frame is left out below.
  CONTEXT context;
  int own = 0;
  VEMO_CAPTURE_CALLING_THREAD(context, own);
  STACKFRAME64 frame;
  std::memset(&frame, 0, sizeof frame);
  detail::startFrame(context, frame);
  const HANDLE process = GetCurrentProcess(), thread = GetCurrentThread();
  std::lock_guard<std::mutex> lock(s.calls);
  while (s.stackWalk64(detail::kStackWalkMachine, process, thread, &frame, &context, nullptr,
                       functionTableAccess, moduleBase, nullptr)) {
    // Code built without frame pointers (all x64 code, optimised x86 code) may leave the frame
    // address 0 while the walk is sound: it ends where no return address is left.
    if (frame.AddrPC.Offset == 0) break;
    if (own > 0) {
      --own;
      continue;
    }
    push(static_cast<std::uintptr_t>(frame.AddrPC.Offset));
  }
}

namespace detail {

void walkFramePointers(CallStack& stack, std::uintptr_t returnAddress, std::uintptr_t frame) {
  stack.push(returnAddress);
  if (frame == 0) return;
  // The committed pages around the frame: the used part of the stack it is on, a thread's or a
  // fiber's.
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<const void*>(frame), &region, sizeof region) == 0 ||
      region.State != MEM_COMMIT)
    return;
  const std::uintptr_t low = reinterpret_cast<std::uintptr_t>(region.BaseAddress);
  const std::uintptr_t high = low + region.RegionSize;
  // Each frame record is the caller's frame pointer followed by the return address. The walk
  // goes on while the saved frame lies above the current one, aligned, inside the region and
  // readable: the first frame without a frame pointer ends it. The first record is that of the
  // capturing function, whose return address is already there.
  constexpr std::uintptr_t kRecordSize = 2 * sizeof(std::uintptr_t);
  std::uintptr_t record = frame;
  for (bool first = true;; first = false) {
    if (record % alignof(std::uintptr_t) != 0 || record < low || high - low < kRecordSize ||
        record > high - kRecordSize ||
        IsBadReadPtr(reinterpret_cast<const void*>(record), kRecordSize))
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

bool describeFrame(const DebugHelper& helper, std::uintptr_t address, FrameInfo& info) {
  const DebugHelper::State& s = helper.state();
  if (!s.symFromAddr && !s.symGetLineFromAddr64) return false;
  const HANDLE process = GetCurrentProcess();
  std::lock_guard<std::mutex> lock(s.calls);
  learnModuleOf(s, address);
  if (s.symGetLineFromAddr64) {
    IMAGEHLP_LINE64 line;
    std::memset(&line, 0, sizeof line);
    line.SizeOfStruct = sizeof line;
    DWORD displacement = 0;
    if (s.symGetLineFromAddr64(process, address, &displacement, &line) && line.FileName) {
      info.hasLine = true;
      info.file = line.FileName;
      info.line = static_cast<int>(line.LineNumber);
    }
  }
  if (s.symFromAddr) {
    union {
      SYMBOL_INFO symbol;
      char bytes[sizeof(SYMBOL_INFO) + kMaxNameLength];
    } buffer;
    std::memset(&buffer, 0, sizeof buffer);
    buffer.symbol.SizeOfStruct = sizeof(SYMBOL_INFO);
    buffer.symbol.MaxNameLen = kMaxNameLength;
    DWORD64 displacement = 0;
    if (s.symFromAddr(process, address, &displacement, &buffer.symbol)) {
      info.function = demangle(buffer.symbol.Name);
      if (isCaptureSymbol(buffer.symbol.Name) || isCaptureSymbol(info.function.c_str()))
        info.captureCode = true;
    }
  }
  return true;
}

void debugOutput(const char* text) {
  OutputDebugStringA(text);
}

}  // namespace detail
}  // namespace vemo
