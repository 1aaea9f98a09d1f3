// The crash handler on POSIX systems: a handler for the fatal signals, run on an alternate
// signal stack, that writes a text report and a minidump next to the program file.
//
// Everything here may run inside a signal handler of a process in an unknown state (a heap
// lock held, a stack exhausted): the report uses system calls and fixed buffers only, no
// allocation and no stdio. What cannot be done that way (the symbol reader, the program path,
// the time-zone bias) is prepared when the handler is installed.
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "CallStack.h"
#include "CrashHandler.h"
#include "Minidump.h"
#include "SafeText.h"
#include "SymbolName.h"
#include "vemo/core/Time.h"

namespace vemo {
namespace detail {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
constexpr std::size_t kAltStackSize = 128 * 1024;
constexpr int kMaxFrames = 256;
constexpr int kNameAttempts = 3;

// What the handler needs and cannot make safely once a crash has happened.
struct PreparedState {
  char programPath[1024];
  char directory[1024];  // the program's directory with its trailing '/'; empty when unknown
  long bias;             // seconds to add to local time for UTC
  const DebugHelper* helper;
  unsigned int processors;
};
PreparedState g_prepared;
std::once_flag g_prepareOnce;

// The first crash claims the report; later ones find it taken.
std::atomic<bool> g_crashSeen{false};
std::atomic<bool> g_reportDone{false};
std::atomic<long> g_reportingThread{0};

long currentThreadId() {
  return static_cast<long>(syscall(SYS_gettid));
}

void prepare() {
  std::call_once(g_prepareOnce, [] {
    PreparedState& state = g_prepared;
    const ssize_t length =
        readlink("/proc/self/exe", state.programPath, sizeof state.programPath - 1);
    state.programPath[length > 0 ? length : 0] = '\0';
    std::strcpy(state.directory, state.programPath);
    char* slash = std::strrchr(state.directory, '/');
    if (slash)
      slash[1] = '\0';
    else
      state.directory[0] = '\0';
    setDefaultCrashSupportAddress(slash ? state.programPath + (slash - state.directory) + 1
                                        : state.programPath);
    state.bias = getTimeBias();
    state.processors = static_cast<unsigned int>(sysconf(_SC_NPROCESSORS_ONLN));
    state.helper = &DebugHelper::getDebugHelper();
    // The first capture loads the unwinder and the first look-up reads the symbol tables:
    // both allocate, so they happen now rather than in the crash.
    void* frames[4];
    const int count = backtrace(frames, 4);
    RawFrameInfo info;
    if (count > 0)
      describeCodeAddress(*state.helper, reinterpret_cast<std::uintptr_t>(frames[0]), info);
  });
}

// ---- What a report describes ---------------------------------------------------------------

struct CrashSite {
  int signal = 0;
  int code = 0;
  std::uintptr_t faultAddress = 0;
  mcontext_t registers{};
  std::uintptr_t firstFrame = 0;  // the frame the stack section starts at
  bool exact = false;             // firstFrame is the faulting instruction, not a return address
};

std::uintptr_t reg(const CrashSite& site, int index) {
  return static_cast<std::uintptr_t>(site.registers.gregs[index]);
}

// The selectors the kernel saves in one word: code, gs, fs, and the stack selector in the top
// bits. The data and extra selectors are not saved: they are null in 64-bit mode.
struct Selectors {
  std::uint16_t cs, gs, fs, ss;
};

Selectors selectors(const CrashSite& site) {
  const std::uintptr_t word = reg(site, REG_CSGSFS);
  return {static_cast<std::uint16_t>(word), static_cast<std::uint16_t>(word >> 16),
          static_cast<std::uint16_t>(word >> 32), static_cast<std::uint16_t>(word >> 48)};
}

bool nearStackPointer(const CrashSite& site) {
  const std::uintptr_t sp = reg(site, REG_RSP);
  const std::uintptr_t distance =
      site.faultAddress > sp ? site.faultAddress - sp : sp - site.faultAddress;
  return distance <= 64 * 1024;
}

const char* exceptionName(const CrashSite& site) {
  switch (site.signal) {
    case SIGSEGV:
      return nearStackPointer(site) ? "STACK_OVERFLOW" : "ACCESS_VIOLATION";
    case SIGFPE:
      switch (site.code) {
        case FPE_INTDIV:
          return "INT_DIVIDE_BY_ZERO";
        case FPE_INTOVF:
          return "INT_OVERFLOW";
        case FPE_FLTDIV:
          return "FLT_DIVIDE_BY_ZERO";
        case FPE_FLTOVF:
          return "FLT_OVERFLOW";
        case FPE_FLTUND:
          return "FLT_UNDERFLOW";
        case FPE_FLTRES:
          return "FLT_INEXACT_RESULT";
        case FPE_FLTINV:
          return "FLT_INVALID_OPERATION";
        case FPE_FLTSUB:
          return "ARRAY_BOUNDS_EXCEEDED";
        default:
          return "UNKNOWN_ERROR";
      }
    case SIGILL:
      return site.code == ILL_PRVOPC || site.code == ILL_PRVREG ? "PRIV_INSTRUCTION"
                                                                : "ILLEGAL_INSTRUCTION";
    case SIGBUS:
      return site.code == BUS_ADRALN ? "DATATYPE_MISALIGNMENT" : "IN_PAGE_ERROR";
    case SIGTRAP:
      return site.code == TRAP_TRACE ? "SINGLE_STEP" : "BREAKPOINT";
    default:
      return "UNKNOWN_ERROR";
  }
}

// Text written to an open file descriptor, through a buffer of its own.
class SafeFileText : public SafeText {
 public:
  explicit SafeFileText(int file) : SafeText(_storage, sizeof _storage, true), _file(file) {}
  ~SafeFileText() override { flush(); }  // while the storage is still ours

 private:
  void drain(const char* text, std::size_t length) override {
    std::size_t written = 0;
    while (written < length) {
      const ssize_t step = ::write(_file, text + written, length - written);
      if (step <= 0) break;
      written += static_cast<std::size_t>(step);
    }
  }

  const int _file;
  char _storage[1024];
};

void appendLocalTime(SafeText& out, std::int64_t unixSeconds) {
  const tm date = gmtime(unixSeconds + kUnixEpoch);
  out.decimal(date.tm_year, 4).text("-");
  out.decimal(date.tm_mon, 2).text("-").decimal(date.tm_mday, 2).text(" ");
  out.decimal(date.tm_hour, 2).text(".").decimal(date.tm_min, 2).text(".");
  out.decimal(date.tm_sec, 2);
}

// ---- Files ---------------------------------------------------------------------------------

bool debuggerAttached() {
  char status[4096];
  const int file = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  const ssize_t length = read(file, status, sizeof status - 1);
  close(file);
  if (length <= 0) return false;
  status[length] = '\0';
  const char* tracer = std::strstr(status, "TracerPid:");
  if (!tracer) return false;
  for (tracer += 10; *tracer == ' ' || *tracer == '\t'; ++tracer) {
  }
  return *tracer >= '1' && *tracer <= '9';
}

// "<directory>crash@<local time>.<extension>", claimed by creating it; empty after three
// failed attempts.
bool claimCrashFile(const char* extension, char (&path)[1200]) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::int64_t local = static_cast<std::int64_t>(::time(nullptr)) - g_prepared.bias;
    SafeText name(path, sizeof path);
    name.text(g_prepared.directory);
    name.text("crash@");
    appendLocalTime(name, local);
    name.text(".");
    name.text(extension);
    const int file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file >= 0) {
      close(file);
      return true;
    }
  }
  path[0] = '\0';
  return false;
}

// ---- The text report -----------------------------------------------------------------------

void writeRegister(SafeText& out, const char* name, std::uintptr_t value, int digits,
                   const char* after) {
  out.text(name).text("=").hex(value, digits).text(after);
}

// "#1  0x00005555deadbeef in function () at file:line"; parameters and locals are not known
// inside a signal handler.
void writeFrame(SafeText& out, int counter, std::uintptr_t address, const char* function,
                const char* file, int line) {
  out.text("#").decimal(counter).text("  0x").hex(address, 2 * sizeof address).text(" in ");
  if (function) {
    char name[256];
    readableSymbolName(function, name, sizeof name);
    out.text(name, 200).text(" ()");
  } else {
    out.text("(unknown function)");
  }
  if (file)
    out.text(" at ").text(file).text(":").decimal(line).text("\n");
  else
    out.text("\n");
}

void writeModuleLines(SafeText& out, const ModuleTable& table) {
  for (std::size_t i = 0; i < table.count; ++i) {
    const LoadedModule& module = table.modules[i];
    out.text("0x").hex(module.base, 2 * sizeof module.base).text("  ").text(module.path);
    out.text(" (");
    if (module.buildIdLength == 0) out.text("no build id");
    for (std::size_t b = 0; b < module.buildIdLength; ++b)
      out.hex(module.buildId[b], 2);
    out.text(", ").decimal(static_cast<long long>(module.size)).text(" bytes)\n");
  }
}

void writeCommandLine(SafeText& out) {
  char line[513];
  ssize_t length = 0;
  const int file = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (file >= 0) {
    length = read(file, line, sizeof line - 1);
    close(file);
  }
  if (length < 0) length = 0;
  // Arguments are separated by nulls, and the last one ends with one.
  while (length > 0 && line[length - 1] == '\0')
    --length;
  for (ssize_t i = 0; i < length; ++i)
    if (line[i] == '\0') line[i] = ' ';
  line[length] = '\0';
  out.text("Cmd line: ");
  out.text(line);
  out.text("\n");
}

// The kernel's name, release and version.
void writeKernel(SafeText& out, const utsname& kernel) {
  out.text(kernel.sysname).text(" ").text(kernel.release).text(" ").text(kernel.version);
}

void writeProcessSection(SafeText& out, const CrashSite& site) {
  writeCommandLine(out);
  utsname kernel;
  out.text("Platform: ");
  if (uname(&kernel) == 0) writeKernel(out, kernel);
  out.text("\n\n");
  out.text("Exception: ");
  out.text(exceptionName(site));
  out.text("\n\n");

  out.text("Registers:\n");
  const int general[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI};
  const char* const generalNames[] = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi"};
  for (int i = 0; i < 6; ++i)
    writeRegister(out, generalNames[i], reg(site, general[i]), 16, i < 5 ? " " : "\n");
  writeRegister(out, "rip", reg(site, REG_RIP), 16, " ");
  writeRegister(out, "rsp", reg(site, REG_RSP), 16, " ");
  writeRegister(out, "rbp", reg(site, REG_RBP), 16, " ");
  writeRegister(out, "efl", reg(site, REG_EFL), 8, "\n");
  const int numbered[] = {REG_R8, REG_R9, REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
  const char* const numberedNames[] = {"r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15"};
  for (int i = 0; i < 8; ++i)
    writeRegister(out, numberedNames[i], reg(site, numbered[i]), 16, i < 7 ? " " : "\n");
  // Code, stack, data, extra, fs and gs selectors, in this order.
  const Selectors segments = selectors(site);
  writeRegister(out, "cd", segments.cs, 4, "  ");
  writeRegister(out, "ss", segments.ss, 4, "  ");
  writeRegister(out, "ds", 0, 4, "  ");
  writeRegister(out, "es", 0, 4, "  ");
  writeRegister(out, "fs", segments.fs, 4, "  ");
  writeRegister(out, "gs", segments.gs, 4, "\n");
}

// The frames from the crashing one outwards: the capture starts in this handler, so everything
// before the faulting (or calling) frame is cut off.
int collectFrames(const CrashSite& site, std::uintptr_t (&frames)[kMaxFrames]) {
  void* captured[kMaxFrames];
  const int count = backtrace(captured, kMaxFrames);
  for (int i = 0; i < count; ++i) {
    if (reinterpret_cast<std::uintptr_t>(captured[i]) != site.firstFrame) continue;
    for (int j = i; j < count; ++j)
      frames[j - i] = reinterpret_cast<std::uintptr_t>(captured[j]);
    return count - i;
  }
  // The unwinder did not reach it (code without unwind tables): the faulting frame alone.
  frames[0] = site.firstFrame;
  return 1;
}

void writeStackSection(SafeText& out, const CrashSite& site) {
  std::uintptr_t frames[kMaxFrames];
  const int count = collectFrames(site, frames);
  int counter = 0;
  for (int i = 0; i < count; ++i) {
    if (frames[i] == 0) continue;
    // A return address lies after its call: the call itself is one byte before.
    const bool exact = i == 0 && site.exact;
    RawFrameInfo info;
    describeCodeAddress(*g_prepared.helper, exact ? frames[i] : frames[i] - 1, info);
    writeFrame(out, ++counter, frames[i], info.function, info.file, info.line);
  }
}

// ---- Modules -------------------------------------------------------------------------------

ModuleTable g_modules;

int addModule(dl_phdr_info* info, std::size_t, void* data) {
  ModuleTable& table = *static_cast<ModuleTable*>(data);
  if (table.count == ModuleTable::kCapacity) return 1;
  std::uintptr_t low = UINTPTR_MAX, high = 0;
  LoadedModule& module = table.modules[table.count];
  module.buildIdLength = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD) {
      const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
      if (start < low) low = start;
      if (start + segment.p_memsz > high) high = start + segment.p_memsz;
    } else if (segment.p_type == PT_NOTE && module.buildIdLength == 0) {
      readBuildId(reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr),
                  segment.p_memsz, module);
    }
  }
  if (high == 0) return 0;
  const char* name = info->dlpi_name;
  // The program itself comes first and without a name.
  if (!name || !*name) {
    if (table.count != 0) return 0;
    name = g_prepared.programPath;
  }
  module.base = low & ~std::uintptr_t{0xFFF};
  module.size = high - module.base;
  module.path = name;
  ++table.count;
  return 0;
}

// ---- The minidump --------------------------------------------------------------------------

void fillContext(const CrashSite& site, MinidumpContext& context) {
  context.rax = reg(site, REG_RAX);
  context.rbx = reg(site, REG_RBX);
  context.rcx = reg(site, REG_RCX);
  context.rdx = reg(site, REG_RDX);
  context.rsi = reg(site, REG_RSI);
  context.rdi = reg(site, REG_RDI);
  context.rbp = reg(site, REG_RBP);
  context.rsp = reg(site, REG_RSP);
  context.r[0] = reg(site, REG_R8);
  context.r[1] = reg(site, REG_R9);
  context.r[2] = reg(site, REG_R10);
  context.r[3] = reg(site, REG_R11);
  context.r[4] = reg(site, REG_R12);
  context.r[5] = reg(site, REG_R13);
  context.r[6] = reg(site, REG_R14);
  context.r[7] = reg(site, REG_R15);
  context.rip = reg(site, REG_RIP);
  context.eflags = static_cast<std::uint32_t>(reg(site, REG_EFL));
  const Selectors segments = selectors(site);
  context.cs = segments.cs;
  context.gs = segments.gs;
  context.fs = segments.fs;
  context.ss = segments.ss;
}

void writeMinidump(int file, const CrashSite& site) {
  MinidumpSystem system{};
  system.processors = g_prepared.processors;
  utsname names;
  if (uname(&names) == 0) {
    parseKernelRelease(names.release, system);
    SafeText text(system.description, sizeof system.description);
    writeKernel(text, names);
    text.text(" ").text(names.machine);
  }
  MinidumpCrash crash{};
  crash.threadId = static_cast<std::uint32_t>(currentThreadId());
  crash.code = static_cast<std::uint32_t>(site.signal);
  crash.flags = static_cast<std::uint32_t>(site.code);
  crash.address = site.faultAddress;
  fillContext(site, crash.context);
  crash.stackStart = crash.context.rsp;
  crash.stackLength = kMinidumpStackBytes;
  writeMinidumpFile(file, system, crash, g_modules);
}

// ---- The handler ---------------------------------------------------------------------------

void siteFromSignal(const ExceptionPointers& pointers, CrashSite& site) {
  const siginfo_t* info = static_cast<const siginfo_t*>(pointers.signalInfo);
  const ucontext_t* context = static_cast<const ucontext_t*>(pointers.context);
  site.signal = pointers.signalNumber;
  if (info) {
    site.code = info->si_code;
    site.faultAddress = reinterpret_cast<std::uintptr_t>(info->si_addr);
  }
  if (context) site.registers = context->uc_mcontext;
  site.firstFrame = reg(site, REG_RIP);
  site.exact = true;
}

void report(const CrashSite& site) {
  char dumpPath[1200], logPath[1200];
  if (!claimCrashFile("dmp", dumpPath)) return;
  if (!claimCrashFile("log", logPath)) {
    unlink(dumpPath);  // no report: nothing is left behind
    return;
  }
  const int log = open(logPath, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (log >= 0) {
    {
      SafeFileText out(log);
      out.text("\nProcess info:\n");
      writeProcessSection(out, site);
      out.text("\nStacktrace:\n");
      writeStackSection(out, site);
      out.text("\n\nLoaded modules:\n");
      g_modules.count = 0;
      dl_iterate_phdr(addModule, &g_modules);
    }
    const int dump = open(dumpPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (dump >= 0) {
      writeMinidump(dump, site);
      close(dump);
    }
    {
      SafeFileText out(log);
      writeModuleLines(out, g_modules);
    }
    close(log);
  }
  SafeFileText notice(STDERR_FILENO);
  notice.format(kCrashNotice, dumpPath, logPath, crashSupportAddress());
}

void onFatalSignal(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  ExceptionPointers pointers{signal, info, context};
  crashFilter(&pointers);
  // Another thread that crashed first is still writing its report: let it finish, since the
  // end of its handler ends the process.
  if (g_reportingThread.load() != currentThreadId()) {
    for (int waited = 0; waited < 600 && !g_reportDone.load(); ++waited) {
      const timespec pause{0, 100 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }
  // End as the crash would have ended without us: the default action, now or (for a fault)
  // when the instruction runs again.
  struct sigaction defaults;
  std::memset(&defaults, 0, sizeof defaults);
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
  raise(signal);
  errno = savedErrno;
}

void* makeAltStack() {
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return nullptr;
  void* memory = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  stack_t stack;
  stack.ss_sp = memory;
  stack.ss_size = kAltStackSize;
  stack.ss_flags = 0;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, kAltStackSize);
    return nullptr;
  }
  return memory;
}

}  // namespace

// Not inlined: its return address tells where a report without a fault starts.
__attribute__((noinline)) long crashFilter(ExceptionPointers* pointers) {
  if (g_crashSeen.exchange(true)) return kExceptionExecuteHandler;
  g_reportingThread.store(currentThreadId());
  if (debuggerAttached()) {
    g_reportDone.store(true);
    return kExceptionContinueSearch;
  }
  // Done when the handler was installed (a signal finds it so); otherwise this is a call from
  // the program's own code, where preparing is safe.
  prepare();
  CrashSite site;
  if (pointers) {
    siteFromSignal(*pointers, site);
  } else {
    ucontext_t here;
    getcontext(&here);
    site.registers = here.uc_mcontext;
    site.firstFrame = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  }
  report(site);
  g_reportDone.store(true);
  return kExceptionExecuteHandler;
}

void installCrashHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    prepare();
    makeAltStack();  // the installing thread's, kept for the life of the process
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
      sigaddset(&action.sa_mask, signal);
    for (int signal : kFatalSignals)
      sigaction(signal, &action, nullptr);
  });
}

ThreadCrashStack::ThreadCrashStack() : _stack(makeAltStack()) {}

ThreadCrashStack::~ThreadCrashStack() {
  if (!_stack) return;
  stack_t off;
  std::memset(&off, 0, sizeof off);
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(_stack, kAltStackSize);
}

}  // namespace detail
}  // namespace vemo
