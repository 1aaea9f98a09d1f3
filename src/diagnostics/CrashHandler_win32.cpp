// The crash handler on Windows: an unhandled-exception filter that, on the first fatal
// structured exception of the process, writes a text report and a minidump with the
// debugging-help library and prints a notice on the standard error stream. The report goes to
// the directory the program set, else beside the program file, else to the temporary directory.
//
// It runs as an exception filter, not inside a signal handler, so the C runtime's formatting and
// the heap are usable. dbghelp.dll is loaded only when the first crash comes: a process that
// never crashes never loads it for this.
//
// A crash may come late: from an atexit handler, or from a static destructor of a module that is
// unloaded after this library. Everything the handler touches is therefore either plain data
// that no destructor changes or is made at the crash itself.
#include <windows.h>

#include <dbghelp.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "CrashHandler.h"
#include "Library.h"
#include "MachineContext_win32.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace detail {
namespace {

// StackWalk, SymFunctionTableAccess, SymGetModuleBase and SymGetLineFromAddr take 32-bit
// addresses and are missing from the 64-bit dbghelp.dll: there their 64-bit forms are looked
// up. The headers map STACKFRAME, IMAGEHLP_LINE and the plain function names to those forms.
#if defined(_WIN64)
constexpr char kStackWalkName[] = "StackWalk64";
constexpr char kFunctionTableAccessName[] = "SymFunctionTableAccess64";
constexpr char kGetModuleBaseName[] = "SymGetModuleBase64";
constexpr char kGetLineFromAddrName[] = "SymGetLineFromAddr64";
// Addresses are printed with the pointer's width.
#define VEMO_CRASH_ADDRESS "0x%016llx"
using PrintedAddress = unsigned long long;
#else
constexpr char kStackWalkName[] = "StackWalk";
constexpr char kFunctionTableAccessName[] = "SymFunctionTableAccess";
constexpr char kGetModuleBaseName[] = "SymGetModuleBase";
constexpr char kGetLineFromAddrName[] = "SymGetLineFromAddr";
#define VEMO_CRASH_ADDRESS "0x%08x"
using PrintedAddress = unsigned int;
#endif
using WalkAddress = decltype(ADDRESS{}.Offset);

struct CrashFunctions {
  decltype(&::MiniDumpWriteDump) miniDumpWriteDump;
  decltype(&::SymInitialize) symInitialize;
  decltype(&::SymSetOptions) symSetOptions;
  decltype(&::SymGetOptions) symGetOptions;
  decltype(&::SymCleanup) symCleanup;
  decltype(&::SymGetTypeInfo) symGetTypeInfo;
  decltype(&::SymGetLineFromAddr) symGetLineFromAddr;
  decltype(&::SymEnumSymbols) symEnumSymbols;
  decltype(&::SymSetContext) symSetContext;
  decltype(&::SymFromAddr) symFromAddr;
  decltype(&::StackWalk) stackWalk;
  decltype(&::SymFunctionTableAccess) symFunctionTableAccess;
  decltype(&::SymGetModuleBase) symGetModuleBase;
};

// The crash dbghelp.dll handle: all bits set until the first crash claims the report (0 while
// it is being made or when the library could not be loaded).
constexpr std::uintptr_t kNotLoaded = ~std::uintptr_t{0};
std::atomic<std::uintptr_t> g_dbghelp{kNotLoaded};
std::atomic<DWORD> g_reportingThread{0};
std::atomic<bool> g_reportDone{false};
CrashFunctions g_functions;
int g_frameCounter = 0;
// Too large for the stack of a thread that overflowed; there is only one report per process.
CrashDirectories g_directories;
CrashFiles g_files;
static_assert(std::is_trivially_destructible<CrashDirectories>::value &&
                  std::is_trivially_destructible<CrashFiles>::value &&
                  std::is_trivially_destructible<CrashFunctions>::value,
              "the handler's state outlives the static destructors");

// SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES.
constexpr DWORD kCrashSymbolOptions = 20;
constexpr int kMaxFrames = 256;
constexpr ULONG kMaxSymbolName = 256;
constexpr std::size_t kPathCapacity = 1024;
constexpr SIZE_T kWorkerStack = 1024 * 1024;

// The symbol and type kinds of the debug-information interface that the values are told by.
enum : DWORD { kTagUdt = 11, kTagEnum = 12, kTagPointer = 14, kTagBaseType = 16, kTagTypedef = 17 };
enum : DWORD {
  kBaseChar = 2,
  kBaseInt = 6,
  kBaseUInt = 7,
  kBaseFloat = 8,
  kBaseLong = 13,
  kBaseULong = 14
};

bool lookUpAll(HMODULE module, CrashFunctions& f) {
  return lookUpProcedure(module, "MiniDumpWriteDump", f.miniDumpWriteDump) &&
         lookUpProcedure(module, "SymInitialize", f.symInitialize) &&
         lookUpProcedure(module, "SymSetOptions", f.symSetOptions) &&
         lookUpProcedure(module, "SymGetOptions", f.symGetOptions) &&
         lookUpProcedure(module, "SymCleanup", f.symCleanup) &&
         lookUpProcedure(module, "SymGetTypeInfo", f.symGetTypeInfo) &&
         lookUpProcedure(module, kGetLineFromAddrName, f.symGetLineFromAddr) &&
         lookUpProcedure(module, "SymEnumSymbols", f.symEnumSymbols) &&
         lookUpProcedure(module, "SymSetContext", f.symSetContext) &&
         lookUpProcedure(module, "SymFromAddr", f.symFromAddr) &&
         lookUpProcedure(module, kStackWalkName, f.stackWalk) &&
         lookUpProcedure(module, kFunctionTableAccessName, f.symFunctionTableAccess) &&
         lookUpProcedure(module, kGetModuleBaseName, f.symGetModuleBase);
}

// Loads the library and every function; false (and nothing kept) when any is missing.
// `ownSession` tells whether the symbol session was opened here: the call-stack reader may have
// opened the process's one already, and that one must outlive the report.
bool loadCrashFunctions(HMODULE& module, bool& ownSession) {
  module = LoadLibraryW(L"dbghelp.dll");
  if (!module) return false;
  if (!lookUpAll(module, g_functions)) {
    FreeLibrary(module);
    module = nullptr;
    return false;
  }
  g_functions.symSetOptions(g_functions.symGetOptions() | kCrashSymbolOptions);
  ownSession = g_functions.symInitialize(GetCurrentProcess(), nullptr, TRUE) != FALSE;
  return true;
}

// --- Crash files -------------------------------------------------------------------------

// The program's directory up to and including its last backslash; the current directory when
// the program's path has none (a bare name is created there); empty when neither is known.
void programDirectory(char* directory, std::size_t capacity) {
  const DWORD length = GetModuleFileNameA(nullptr, directory, static_cast<DWORD>(capacity));
  if (length == 0 || length >= capacity) {
    directory[0] = '\0';
    return;
  }
  char* slash = std::strrchr(directory, '\\');
  if (slash) {
    slash[1] = '\0';
    return;
  }
  const DWORD current = GetCurrentDirectoryA(static_cast<DWORD>(capacity), directory);
  if (current == 0 || current >= capacity) directory[0] = '\0';
}

// The temporary directory as a full path; empty when it is unknown or too long.
void temporaryDirectory(char* directory, std::size_t capacity) {
  char given[kPathCapacity];
  const DWORD length = GetTempPathA(sizeof given, given);
  const DWORD full = length > 0 && length < sizeof given
                         ? GetFullPathNameA(given, static_cast<DWORD>(capacity), directory, nullptr)
                         : 0;
  if (full == 0 || full >= capacity) directory[0] = '\0';
}

// Where a report may go, in order: the directory the program set (as it is at the crash), the
// program's directory, the temporary directory.
void collectDirectories(CrashDirectories& directories) {
  directories.add(crashReportDirectory());
  char path[kPathCapacity];
  programDirectory(path, sizeof path);
  directories.add(path);
  temporaryDirectory(path, sizeof path);
  directories.add(path);
}

using SetFileInformationByHandleFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                                   DWORD);

// Marks an open file for removal when its handle closes; false where the system cannot.
bool removeOnClose(HANDLE file) {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  SetFileInformationByHandleFn setInformation = nullptr;
  if (!kernel || !lookUpProcedure(kernel, "SetFileInformationByHandle", setInformation))
    return false;
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  return setInformation(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// The report's two files, each created new and held open from its claim until it is written:
// a name is never opened a second time. Slot 0 is the dump, written by dbghelp; slot 1 the log,
// written through the C runtime ("w+": readable too).
class ClaimedFiles final : public CrashFileCreator {
 public:
  Claim create(int slot, const char* path) override {
    const DWORD access = (slot == 1 ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE) | DELETE;
    const HANDLE file =
        CreateFileA(path, access, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      _files[slot] = file;
      return Claim::created;
    }
    switch (GetLastError()) {
      case ERROR_FILE_EXISTS:
      case ERROR_ALREADY_EXISTS:
      case ERROR_SHARING_VIOLATION:
        return Claim::taken;
      case ERROR_ACCESS_DENIED:
        // Also what a name held by a directory or a read-only file gives.
        return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? Claim::taken : Claim::refused;
      default:
        return Claim::refused;
    }
  }

  void release(int slot, const char* path) override {
    const HANDLE file = take(slot);
    if (file == INVALID_HANDLE_VALUE) return;
    const bool removed = removeOnClose(file);
    CloseHandle(file);
    // Without removal by handle, by its name: created by this process a moment ago.
    if (!removed) DeleteFileA(path);
  }

  void stamp(char (&text)[32]) override {
    // The C runtime's local time: the zone of the system (or of TZ where it is set), with
    // daylight saving as in force at that moment.
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (local && std::strftime(text, sizeof text, "%Y-%m-%d %H.%M.%S", local) > 0) return;
    SYSTEMTIME time;
    GetLocalTime(&time);
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u.%02u.%02u", unsigned{time.wYear},
                  unsigned{time.wMonth}, unsigned{time.wDay}, unsigned{time.wHour},
                  unsigned{time.wMinute}, unsigned{time.wSecond});
  }

  unsigned long processId() override { return GetCurrentProcessId(); }

  // Hands the handle of `slot` over to the caller.
  HANDLE take(int slot) {
    const HANDLE file = _files[slot];
    _files[slot] = INVALID_HANDLE_VALUE;
    return file;
  }

 private:
  HANDLE _files[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
};

// --- Process section ---------------------------------------------------------------------

const char* exceptionName(DWORD code) {
  struct Entry {
    DWORD code;
    const char* name;
  };
  static const Entry kNames[] = {
      {EXCEPTION_ACCESS_VIOLATION, "ACCESS_VIOLATION"},
      {EXCEPTION_DATATYPE_MISALIGNMENT, "DATATYPE_MISALIGNMENT"},
      {EXCEPTION_BREAKPOINT, "BREAKPOINT"},
      {EXCEPTION_SINGLE_STEP, "SINGLE_STEP"},
      {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "ARRAY_BOUNDS_EXCEEDED"},
      {EXCEPTION_FLT_DENORMAL_OPERAND, "FLT_DENORMAL_OPERAND"},
      {EXCEPTION_FLT_DIVIDE_BY_ZERO, "FLT_DIVIDE_BY_ZERO"},
      {EXCEPTION_FLT_INEXACT_RESULT, "FLT_INEXACT_RESULT"},
      {EXCEPTION_FLT_INVALID_OPERATION, "FLT_INVALID_OPERATION"},
      {EXCEPTION_FLT_OVERFLOW, "FLT_OVERFLOW"},
      {EXCEPTION_FLT_STACK_CHECK, "FLT_STACK_CHECK"},
      {EXCEPTION_FLT_UNDERFLOW, "FLT_UNDERFLOW"},
      {EXCEPTION_INT_DIVIDE_BY_ZERO, "INT_DIVIDE_BY_ZERO"},
      {EXCEPTION_INT_OVERFLOW, "INT_OVERFLOW"},
      {EXCEPTION_PRIV_INSTRUCTION, "PRIV_INSTRUCTION"},
      {EXCEPTION_IN_PAGE_ERROR, "IN_PAGE_ERROR"},
      {EXCEPTION_ILLEGAL_INSTRUCTION, "ILLEGAL_INSTRUCTION"},
      {EXCEPTION_NONCONTINUABLE_EXCEPTION, "NONCONTINUABLE_EXCEPTION"},
      {EXCEPTION_STACK_OVERFLOW, "STACK_OVERFLOW"},
      {EXCEPTION_INVALID_DISPOSITION, "INVALID_DISPOSITION"},
      {EXCEPTION_GUARD_PAGE, "GUARD_PAGE"},
      {EXCEPTION_INVALID_HANDLE, "INVALID_HANDLE"},
  };
  for (const Entry& entry : kNames)
    if (entry.code == code) return entry.name;
  return "UNKNOWN_ERROR";
}

void writeRegisters(FILE* log, const CONTEXT& c) {
  std::fputs("Registers:\n", log);
#if defined(_WIN64)
  using R = unsigned long long;
  std::fprintf(log, "rax=%016llx rbx=%016llx rcx=%016llx rdx=%016llx rsi=%016llx rdi=%016llx\n",
               R{c.Rax}, R{c.Rbx}, R{c.Rcx}, R{c.Rdx}, R{c.Rsi}, R{c.Rdi});
  std::fprintf(log, "rip=%016llx rsp=%016llx rbp=%016llx efl=%08x\n", R{c.Rip}, R{c.Rsp}, R{c.Rbp},
               static_cast<unsigned int>(c.EFlags));
  std::fprintf(log,
               "r8=%016llx r9=%016llx r10=%016llx r11=%016llx r12=%016llx r13=%016llx "
               "r14=%016llx r15=%016llx\n",
               R{c.R8}, R{c.R9}, R{c.R10}, R{c.R11}, R{c.R12}, R{c.R13}, R{c.R14}, R{c.R15});
#else
  using R = unsigned int;
  std::fprintf(log, "eax=%08x ebx=%08x ecx=%08x edx=%08x esi=%08x edi=%08x\n", R(c.Eax), R(c.Ebx),
               R(c.Ecx), R(c.Edx), R(c.Esi), R(c.Edi));
  std::fprintf(log, "eip=%08x esp=%08x ebp=%08x efl=%08x\n", R(c.Eip), R(c.Esp), R(c.Ebp),
               R(c.EFlags));
#endif
  using S = unsigned int;
  std::fprintf(log, "cd=%04x  ss=%04x  ds=%04x  es=%04x  fs=%04x  gs=%04x\n", S{c.SegCs},
               S{c.SegSs}, S{c.SegDs}, S{c.SegEs}, S{c.SegFs}, S{c.SegGs});
}

void writeProcessSection(FILE* log, const EXCEPTION_RECORD* record, const CONTEXT& context) {
  std::fprintf(log, "Cmd line: %.512s\n", GetCommandLineA());
  OSVERSIONINFOA version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  std::fprintf(log, "Platform: Windows OS version %d.%d build %d %s\n\n",
               static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion),
               static_cast<int>(version.dwBuildNumber), version.szCSDVersion);
  std::fprintf(log, "Exception: %s\n\n", exceptionName(record ? record->ExceptionCode : 0));
  writeRegisters(log, context);
}

// --- Values of parameters and local variables --------------------------------------------

// Copies memory that may not be readable (a broken stack, a wild pointer) without faulting.
bool readMemory(std::uintptr_t address, void* out, std::size_t size) {
  SIZE_T done = 0;
  return address != 0 &&
         ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(address), out, size,
                           &done) &&
         done == size;
}

// Reads a zero-terminated text of at most capacity - 1 characters, page by page, so that a
// text that ends just before an unreadable page is still found. False when nothing is readable.
bool readText(std::uintptr_t address, char* out, std::size_t capacity) {
  constexpr std::uintptr_t kPage = 4096;
  std::size_t length = 0;
  while (length + 1 < capacity) {
    std::size_t chunk = static_cast<std::size_t>(kPage - (address + length) % kPage);
    if (chunk > capacity - 1 - length) chunk = capacity - 1 - length;
    if (!readMemory(address + length, out + length, chunk)) break;
    const void* end = std::memchr(out + length, 0, chunk);
    if (end) return true;
    length += chunk;
  }
  out[length] = '\0';
  return length > 0;
}

// A text worth showing: at least one character, all printable, within the first 31.
bool isReadableText(std::uintptr_t address, char* text, std::size_t capacity) {
  if (!readText(address, text, capacity) || text[0] == '\0') return false;
  for (std::size_t i = 0; i < 31 && text[i]; ++i)
    if (!std::isprint(static_cast<unsigned char>(text[i])) &&
        !std::isspace(static_cast<unsigned char>(text[i])))
      return false;
  return true;
}

// Where a symbol of a walked frame lives, and its first bytes.
struct Value {
  std::uintptr_t address = 0;  // 0 when it is held in a register
  unsigned char bytes[sizeof(unsigned long long)] = {};
  bool readable = false;
};

// One frame of the walk as the value look-ups need it.
struct WalkedFrame {
  CONTEXT* context;  // the registers of this frame, as far as the walk restored them
  const STACKFRAME* frame;
};

// A register by its CodeView number (the numbering the symbol information uses).
bool registerValue(const WalkedFrame& walked, ULONG number, std::uintptr_t& value) {
#if defined(_WIN64)
  const DWORD64* const registers[] = {
      &walked.context->Rax, &walked.context->Rbx, &walked.context->Rcx, &walked.context->Rdx,
      &walked.context->Rsi, &walked.context->Rdi, &walked.context->Rbp, &walked.context->Rsp,
      &walked.context->R8,  &walked.context->R9,  &walked.context->R10, &walked.context->R11,
      &walked.context->R12, &walked.context->R13, &walked.context->R14, &walked.context->R15};
  constexpr ULONG kFirst = 328;  // rax
  if (number < kFirst || number >= kFirst + sizeof registers / sizeof registers[0]) return false;
  value = *registers[number - kFirst];
  return true;
#else
  // The 32-bit walk does not restore registers into the context: the frame and stack pointers
  // come from the walked frame itself.
  const CONTEXT& c = *walked.context;
  switch (number) {
    case 17:
      value = c.Eax;
      return true;
    case 18:
      value = c.Ecx;
      return true;
    case 19:
      value = c.Edx;
      return true;
    case 20:
      value = c.Ebx;
      return true;
    case 21:
      value = walked.frame->AddrStack.Offset;
      return true;
    case 22:
      value = walked.frame->AddrFrame.Offset;
      return true;
    case 23:
      value = c.Esi;
      return true;
    case 24:
      value = c.Edi;
      return true;
    default:
      return false;
  }
#endif
}

Value locate(const SYMBOL_INFO& symbol, const WalkedFrame& walked) {
  Value value;
  std::uintptr_t base = 0;
  if (symbol.Flags & SYMFLAG_REGISTER) {
    value.readable = registerValue(walked, symbol.Register, base);
    std::memcpy(value.bytes, &base, sizeof base);
    return value;
  }
  if (symbol.Flags & SYMFLAG_REGREL) {
    if (!registerValue(walked, symbol.Register, base)) return value;
  } else if (symbol.Flags & SYMFLAG_FRAMEREL) {
    base = static_cast<std::uintptr_t>(walked.frame->AddrFrame.Offset);
  }
  value.address = base + static_cast<std::uintptr_t>(symbol.Address);
  std::size_t size = symbol.Size ? symbol.Size : sizeof value.bytes;
  if (size > sizeof value.bytes) size = sizeof value.bytes;
  value.readable = readMemory(value.address, value.bytes, size);
  return value;
}

DWORD typeInfo(ULONG64 module, ULONG type, IMAGEHLP_SYMBOL_TYPE_INFO what) {
  DWORD result = 0;
  if (!g_functions.symGetTypeInfo(GetCurrentProcess(), module, type, what, &result)) return 0;
  return result;
}

// The type under any typedefs.
ULONG resolveType(ULONG64 module, ULONG type) {
  for (int depth = 0; depth < 8 && typeInfo(module, type, TI_GET_SYMTAG) == kTagTypedef; ++depth)
    type = typeInfo(module, type, TI_GET_TYPEID);
  return type;
}

void typeName(ULONG64 module, ULONG type, char* out, std::size_t capacity) {
  WCHAR* name = nullptr;
  out[0] = '\0';
  if (!g_functions.symGetTypeInfo(GetCurrentProcess(), module, type, TI_GET_SYMNAME, &name) ||
      !name)
    return;
  const String_T<unsigned char> narrow = StringHelper::wideToAnsi(name);
  LocalFree(name);
  std::snprintf(out, capacity, "%s", reinterpret_cast<const char*>(narrow.getBuffer()));
}

template <class T>
T valueAs(const Value& value) {
  T result;
  std::memcpy(&result, value.bytes, sizeof result);
  return result;
}

void formatPointer(ULONG64 module, ULONG pointee, const Value& value, char* out,
                   std::size_t capacity) {
  const PrintedAddress target = valueAs<std::uintptr_t>(value);
  char name[256];
  pointee = resolveType(module, pointee);
  const DWORD tag = typeInfo(module, pointee, TI_GET_SYMTAG);
  if (tag == kTagUdt) {
    typeName(module, pointee, name, sizeof name);
    std::snprintf(out, capacity, "(%s *) " VEMO_CRASH_ADDRESS, name, target);
  } else if (tag == kTagPointer) {
    const ULONG inner = resolveType(module, typeInfo(module, pointee, TI_GET_TYPEID));
    typeName(module, inner, name, sizeof name);
    if (typeInfo(module, inner, TI_GET_SYMTAG) == kTagUdt)
      std::snprintf(out, capacity, "(%s **) " VEMO_CRASH_ADDRESS, name, target);
    else
      std::snprintf(out, capacity, VEMO_CRASH_ADDRESS, target);
  } else if (tag == kTagBaseType && typeInfo(module, pointee, TI_GET_BASETYPE) == kBaseChar &&
             readText(target, name, sizeof name)) {
    std::snprintf(out, capacity, VEMO_CRASH_ADDRESS " \"%s\"", target, name);
  } else {
    std::snprintf(out, capacity, VEMO_CRASH_ADDRESS, target);
  }
}

void formatBaseType(ULONG64 module, ULONG type, const Value& value, char* out,
                    std::size_t capacity) {
  ULONG64 length = 0;
  g_functions.symGetTypeInfo(GetCurrentProcess(), module, type, TI_GET_LENGTH, &length);
  const DWORD base = typeInfo(module, type, TI_GET_BASETYPE);
  char text[32];
  if (length == 1) {
    std::snprintf(out, capacity, "%x", static_cast<unsigned int>(valueAs<unsigned char>(value)));
  } else if (length == 2) {
    std::snprintf(out, capacity, "%x", static_cast<unsigned int>(valueAs<unsigned short>(value)));
  } else if (length == 4 && base == kBaseFloat) {
    std::snprintf(out, capacity, "%f", static_cast<double>(valueAs<float>(value)));
  } else if (length == 4 && base != kBaseInt && base != kBaseUInt && base != kBaseLong &&
             base != kBaseULong &&
             isReadableText(valueAs<std::uint32_t>(value), text, sizeof text)) {
    std::snprintf(out, capacity, "\"%.31s\"", text);
  } else if (length == 4) {
    std::snprintf(out, capacity, "%d", valueAs<int>(value));
  } else if (length == 8 && base == kBaseFloat) {
    std::snprintf(out, capacity, "%lf", valueAs<double>(value));
  } else if (length == 8) {
    // "%I64X" as the C runtime spells it: the same digits as "%llX".
    std::snprintf(out, capacity, "%llX", valueAs<unsigned long long>(value));
  } else {
    std::snprintf(out, capacity, VEMO_CRASH_ADDRESS, static_cast<PrintedAddress>(value.address));
  }
}

// A symbol's value in the form its type calls for; "?" where it cannot be read.
void formatValue(const SYMBOL_INFO& symbol, const WalkedFrame& walked, char* out,
                 std::size_t capacity) {
  const Value value = locate(symbol, walked);
  if (!value.readable) {
    std::snprintf(out, capacity, "?");
    return;
  }
  const ULONG64 module = symbol.ModBase;
  const ULONG type = resolveType(module, symbol.TypeIndex);
  const PrintedAddress address = value.address;
  char name[256];
  switch (typeInfo(module, type, TI_GET_SYMTAG)) {
    case kTagUdt:
      typeName(module, type, name, sizeof name);
      std::snprintf(out, capacity, "(%s) " VEMO_CRASH_ADDRESS, name, address);
      break;
    case kTagPointer:
      formatPointer(module, typeInfo(module, type, TI_GET_TYPEID), value, out, capacity);
      break;
    case kTagEnum:
      std::snprintf(out, capacity, "%d", valueAs<int>(value));
      break;
    case kTagBaseType:
      formatBaseType(module, type, value, out, capacity);
      break;
    default:
      std::snprintf(out, capacity, VEMO_CRASH_ADDRESS, address);
      break;
  }
}

// --- Stack section -----------------------------------------------------------------------

struct SymbolEnumeration {
  FILE* log;
  const WalkedFrame* walked;
  bool parameters;  // writing the parameter list; otherwise the local variables
  bool first;
};

BOOL CALLBACK writeSymbol(PSYMBOL_INFO symbol, ULONG, PVOID context) {
  SymbolEnumeration& e = *static_cast<SymbolEnumeration*>(context);
  const bool parameter = (symbol->Flags & SYMFLAG_PARAMETER) != 0;
  if (parameter != e.parameters || (!parameter && !(symbol->Flags & SYMFLAG_LOCAL))) return TRUE;
  char value[512];
  formatValue(*symbol, *e.walked, value, sizeof value);
  if (e.parameters)
    std::fprintf(e.log, "%s%s=%s", e.first ? "" : ", ", symbol->Name, value);
  else
    std::fprintf(e.log, "        %s = %s\n", symbol->Name, value);
  e.first = false;
  return TRUE;
}

void writeSymbols(FILE* log, const WalkedFrame& walked, bool parameters) {
  SymbolEnumeration enumeration{log, &walked, parameters, true};
  g_functions.symEnumSymbols(GetCurrentProcess(), 0, nullptr, writeSymbol, &enumeration);
}

struct SymbolBuffer {
  SymbolBuffer() {
    std::memset(this, 0, sizeof *this);
    symbol.SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol.MaxNameLen = kMaxSymbolName;
  }
  SYMBOL_INFO symbol;
  char name[kMaxSymbolName];
};

void writeFrame(FILE* log, const WalkedFrame& walked) {
  const HANDLE process = GetCurrentProcess();
  const WalkAddress pc = walked.frame->AddrPC.Offset;
  ++g_frameCounter;
  SymbolBuffer buffer;
  DWORD64 displacement = 0;
  const bool named = g_functions.symFromAddr(process, pc, &displacement, &buffer.symbol) != FALSE;
  if (named) {
    std::fprintf(log, "#%d  " VEMO_CRASH_ADDRESS " in %.200s (", g_frameCounter,
                 static_cast<PrintedAddress>(pc), buffer.symbol.Name);
    IMAGEHLP_STACK_FRAME frame;
    std::memset(&frame, 0, sizeof frame);
    frame.InstructionOffset = pc;
    frame.FrameOffset = walked.frame->AddrFrame.Offset;
    frame.StackOffset = walked.frame->AddrStack.Offset;
    g_functions.symSetContext(process, &frame, nullptr);
    writeSymbols(log, walked, true);
    std::fputs(")", log);
  } else {
    std::fprintf(log, "#%d  " VEMO_CRASH_ADDRESS " in (unknown function)", g_frameCounter,
                 static_cast<PrintedAddress>(pc));
  }
  IMAGEHLP_LINE line;
  std::memset(&line, 0, sizeof line);
  line.SizeOfStruct = sizeof line;
  DWORD lineDisplacement = 0;
  if (g_functions.symGetLineFromAddr(process, pc, &lineDisplacement, &line) && line.FileName)
    std::fprintf(log, " at %s:%d\n", line.FileName, static_cast<int>(line.LineNumber));
  else
    std::fputs("\n", log);
  if (named) writeSymbols(log, walked, false);
}

// Whether `pc` lies in Exception::DealExceptionInformation, the one-line forwarder to
// crashFilter: where the compiler kept its frame, a report of the calling thread leaves it out.
bool insideForwarder(WalkAddress pc) {
  SymbolBuffer buffer;
  DWORD64 displacement = 0;
  return g_functions.symFromAddr(GetCurrentProcess(), pc, &displacement, &buffer.symbol) &&
         buffer.symbol.Address ==
             reinterpret_cast<std::uintptr_t>(&Exception::DealExceptionInformation);
}

// Walks from `start` (copied: the walk changes it). For a context the handler captured itself
// (`ownFrames` >= 0), that many leading frames are its own and are left out, and with them the
// forwarder's frame if there is one; an exception's context (-1) is shown whole.
void writeStackSection(FILE* log, HANDLE thread, const CONTEXT& start, int ownFrames) {
  CONTEXT context = start;
  STACKFRAME frame;
  std::memset(&frame, 0, sizeof frame);
  startFrame(context, frame);
  const HANDLE process = GetCurrentProcess();
  const WalkedFrame walked{&context, &frame};
  bool skipForwarder = ownFrames >= 0;
  for (int step = 0; step < kMaxFrames; ++step) {
    if (!g_functions.stackWalk(kStackWalkMachine, process, thread, &frame, &context, nullptr,
                               g_functions.symFunctionTableAccess, g_functions.symGetModuleBase,
                               nullptr))
      break;
    if (frame.AddrPC.Offset == 0) continue;
    if (ownFrames > 0) {
      --ownFrames;
      continue;
    }
    if (skipForwarder) {
      skipForwarder = false;
      if (insideForwarder(frame.AddrPC.Offset)) continue;
    }
    writeFrame(log, walked);
  }
}

// --- Minidump ----------------------------------------------------------------------------

// Each module the dump lists also gets a line in the log's module section.
BOOL CALLBACK listModule(PVOID param, PMINIDUMP_CALLBACK_INPUT const input,
                         PMINIDUMP_CALLBACK_OUTPUT) {
  if (!input || input->CallbackType != ModuleCallback) return TRUE;
  FILE* log = static_cast<FILE*>(param);
  const MINIDUMP_MODULE_CALLBACK& module = input->Module;
  const String_T<unsigned char> path = StringHelper::wideToAnsi(module.FullPath);
  const VS_FIXEDFILEINFO& version = module.VersionInfo;
  std::fprintf(log, VEMO_CRASH_ADDRESS, static_cast<PrintedAddress>(module.BaseOfImage));
  std::fprintf(log, "  %s", reinterpret_cast<const char*>(path.getBuffer()));
  std::fprintf(log, " (%d.%d.%d.%d, %d bytes)\n", HIWORD(version.dwFileVersionMS),
               LOWORD(version.dwFileVersionMS), HIWORD(version.dwFileVersionLS),
               LOWORD(version.dwFileVersionLS), static_cast<int>(module.SizeOfImage));
  return TRUE;
}

// Writes the dump into `file`, which it closes.
void writeDump(HANDLE file, FILE* log, DWORD threadId, EXCEPTION_POINTERS* pointers) {
  MINIDUMP_EXCEPTION_INFORMATION exception;
  exception.ThreadId = threadId;
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = FALSE;
  MINIDUMP_CALLBACK_INFORMATION callback;
  callback.CallbackRoutine = listModule;
  callback.CallbackParam = log;
  g_functions.miniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                pointers ? &exception : nullptr, nullptr, &callback);
  CloseHandle(file);
}

// --- The report --------------------------------------------------------------------------

struct Report {
  DWORD threadId;  // the faulting thread
  HANDLE thread;
  EXCEPTION_POINTERS* pointers;
  const CONTEXT* context;  // the exception's, or the calling thread's
  int ownFrames;  // frames of the handler at the top of `context`; -1 for an exception's context
};

// The log as a text stream ("w+") over its claimed handle, which it then owns; null (and the
// handle closed) when the C runtime cannot take it.
FILE* openLog(HANDLE file) {
  const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_TEXT);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  FILE* log = _fdopen(descriptor, "w+");
  if (!log) _close(descriptor);
  return log;
}

// A stream of the C runtime held from the installation on and given back when a report
// begins: a program that used up the runtime's streams still has one for its log.
FILE* g_reservedStream = nullptr;

// Writes the report into the claimed files and closes them. False (both files closed, nothing
// written) when the C runtime cannot take the log.
bool writeReport(const Report& report, HANDLE dumpFile, HANDLE logFile) {
  FILE* log = openLog(logFile);
  if (!log) {
    CloseHandle(dumpFile);
    return false;
  }
  std::fputs("\nProcess info:\n", log);
  writeProcessSection(log, report.pointers ? report.pointers->ExceptionRecord : nullptr,
                      *report.context);
  std::fputs("\nStacktrace:\n", log);
  writeStackSection(log, report.thread, *report.context, report.ownFrames);
  std::fputs("\n\nLoaded modules:\n", log);
  writeDump(dumpFile, log, report.threadId, report.pointers);
  std::fclose(log);
  return true;
}

// Files, library, report, notice. Without a directory that takes the files, only the notice
// that says so; without the library, nothing at all (and no file left behind).
void makeReport(Report& report) {
  collectDirectories(g_directories);
  ClaimedFiles files;
  if (!claimCrashFiles(g_directories, files, g_files)) {
    std::fprintf(stderr, kCrashNoReportNotice, crashSupportAddress());
    std::fflush(stderr);
    return;
  }
  HMODULE module = nullptr;
  bool ownSession = false;
  if (!loadCrashFunctions(module, ownSession)) {
    files.release(0, g_files.dump);
    files.release(1, g_files.log);
    return;
  }
  g_dbghelp.store(reinterpret_cast<std::uintptr_t>(module));
  if (g_reservedStream) std::fclose(g_reservedStream);
  g_reservedStream = nullptr;
  const HANDLE dumpFile = files.take(0), logFile = files.take(1);
  const bool written = writeReport(report, dumpFile, logFile);
  // A process that goes on (a report asked for directly) keeps the call-stack reader working.
  if (ownSession) g_functions.symCleanup(GetCurrentProcess());
  if (!written) {
    // The two files were closed empty: they go, and the notice names the cause.
    DeleteFileA(g_files.dump);
    DeleteFileA(g_files.log);
    std::fprintf(stderr, kCrashNoDescriptorNotice, "EMFILE: Too many open files.",
                 crashSupportAddress());
  } else {
    std::fprintf(stderr, kCrashNotice, g_files.dump, g_files.log, crashSupportAddress());
  }
  std::fflush(stderr);
}

DWORD WINAPI reportOnOwnStack(LPVOID report) {
  makeReport(*static_cast<Report*>(report));
  return 0;
}

// Whether the process is ending (ExitProcess has begun unloading the modules): a thread started
// now would never run.
bool processEnding() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using ShutdownInProgressFn = BOOLEAN(WINAPI*)();
  ShutdownInProgressFn shutdownInProgress = nullptr;
  return ntdll && lookUpProcedure(ntdll, "RtlDllShutdownInProgress", shutdownInProgress) &&
         shutdownInProgress();
}

// A stack overflow leaves the faulting thread a few pages at most, too few for the symbol
// reader: the report is then made on a thread of its own while the faulting one waits (unless
// the process is ending, when no new thread runs).
void makeReportFor(Report& report) {
  const bool overflow =
      report.pointers && report.pointers->ExceptionRecord &&
      report.pointers->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW &&
      !processEnding();
  report.thread = overflow ? OpenThread(THREAD_ALL_ACCESS, FALSE, report.threadId) : nullptr;
  if (report.thread) {
    const HANDLE worker =
        CreateThread(nullptr, kWorkerStack, reportOnOwnStack, &report, 0, nullptr);
    if (worker) {
      WaitForSingleObject(worker, INFINITE);
      CloseHandle(worker);
      CloseHandle(report.thread);
      return;
    }
    CloseHandle(report.thread);
  }
  report.thread = GetCurrentThread();
  makeReport(report);
}

// A later crash on another thread while the first is being reported waits for that report:
// ending the process now would cut it short. A crash inside the report returns at once.
long laterCrash() {
  if (g_reportingThread.load() != GetCurrentThreadId())
    while (!g_reportDone.load())
      Sleep(10);
  return kExceptionExecuteHandler;
}

bool debuggerAttached() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  using IsDebuggerPresentFn = BOOL(WINAPI*)();
  IsDebuggerPresentFn isDebuggerPresent = nullptr;
  return kernel && lookUpProcedure(kernel, "IsDebuggerPresent", isDebuggerPresent) &&
         isDebuggerPresent();
}

long crashReport(EXCEPTION_POINTERS* pointers, const CONTEXT& context, int ownFrames) {
  if (g_dbghelp.load() != kNotLoaded) return laterCrash();
  if (debuggerAttached()) return kExceptionContinueSearch;
  std::uintptr_t expected = kNotLoaded;
  if (!g_dbghelp.compare_exchange_strong(expected, 0)) return laterCrash();
  g_reportingThread.store(GetCurrentThreadId());
  Report report;
  report.threadId = GetCurrentThreadId();
  report.pointers = pointers;
  report.context = &context;
  report.ownFrames = ownFrames;
  makeReportFor(report);
  g_reportDone.store(true);
  return kExceptionExecuteHandler;
}

LONG WINAPI unhandledExceptionFilter(EXCEPTION_POINTERS* pointers) {
  return crashFilter(pointers);
}

}  // namespace

long crashFilter(ExceptionPointers* pointers) {
  if (pointers && pointers->ContextRecord)
    return crashReport(pointers, *pointers->ContextRecord, -1);
  // No exception: the calling thread is described from its caller on.
  CONTEXT context;
  int ownFrames = 0;
  VEMO_CAPTURE_CALLING_THREAD(context, ownFrames);
  return crashReport(pointers, context, ownFrames);
}

void installCrashHandler() {
  char path[kPathCapacity];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length > 0 && length < sizeof path) {
    const char* slash = std::strrchr(path, '\\');
    setDefaultCrashSupportAddress(slash ? slash + 1 : path);
  }
  if (!g_reservedStream) g_reservedStream = std::fopen("NUL", "w");
  SetUnhandledExceptionFilter(unhandledExceptionFilter);
}

// The faulting thread's own stack serves the handler here (see makeReportFor).
ThreadCrashStack::ThreadCrashStack() = default;
ThreadCrashStack::~ThreadCrashStack() = default;

}  // namespace detail
}  // namespace vemo
