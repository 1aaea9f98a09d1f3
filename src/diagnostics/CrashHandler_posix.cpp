// The crash handler on POSIX systems: a handler for the fatal signals, run on an alternate
// signal stack, that writes a text report and a minidump.
//
// Everything here may run inside a signal handler of a process in an unknown state (a heap
// lock held, a stack exhausted, memory overwritten): the report uses system calls and fixed
// buffers only, no allocation and no stdio. What cannot be done that way (the symbol reader, the
// program path, the zone's rules, the directories to try) is prepared when the handler is
// installed, and lives until the process ends. The report reads the process's memory map
// before it follows any address, and a fault inside one of its sections only cuts that section
// short: the rest of the report, and the minidump, are still written.
#include <fcntl.h>
#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "CallStack.h"
#include "CrashHandler.h"
#include "CrashThreads.h"
#include "ImageSymbols.h"
#include "MemoryMap.h"
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
// Frames shown for each thread that did not crash.
constexpr int kOtherThreadFrames = 6;

long currentThreadId() {
  return static_cast<long>(syscall(SYS_gettid));
}

// ---- Local time ----------------------------------------------------------------------------

// The offset of local time from UTC over the coming years, read from the C library's zone
// rules when the handler is prepared: in a crash, localtime() may not be called (it takes a
// lock), and the offset in force then may differ from today's (daylight saving).
class ZoneOffsets {
 public:
  void prepare(std::int64_t now) {
    tzset();
    std::int64_t day = now - kDay;
    long offset = offsetOf(day);
    _changes[0] = {INT64_MIN, offset};
    _count = 1;
    for (const std::int64_t end = now + kYears * 366 * kDay; day < end && _count < kCapacity;
         day += kDay) {
      const long next = offsetOf(day + kDay);
      if (next == offset) continue;
      // The change lies in (day, day + kDay]: its first second.
      std::int64_t before = day, after = day + kDay;
      while (after - before > 1) {
        const std::int64_t middle = before + (after - before) / 2;
        (offsetOf(middle) == offset ? before : after) = middle;
      }
      _changes[_count++] = {after, next};
      offset = next;
    }
  }

  // Seconds that local time is ahead of UTC at `utc`.
  long offsetAt(std::int64_t utc) const {
    long offset = _changes[0].offset;
    for (int i = 1; i < _count && utc >= _changes[i].from; ++i)
      offset = _changes[i].offset;
    return offset;
  }

 private:
  static constexpr std::int64_t kDay = 24 * 60 * 60;
  static constexpr int kYears = 4;
  static constexpr int kCapacity = 4 * kYears + 2;

  static long offsetOf(std::int64_t utc) {
    const time_t moment = static_cast<time_t>(utc);
    tm local;
    return localtime_r(&moment, &local) ? local.tm_gmtoff : 0;
  }

  struct Change {
    std::int64_t from;  // UTC second from which `offset` holds
    long offset;
  } _changes[kCapacity] = {};
  int _count = 0;
};

void appendLocalTime(SafeText& out, std::int64_t localSeconds) {
  const tm date = gmtime(localSeconds + kUnixEpoch);
  out.decimal(date.tm_year, 4).text("-");
  out.decimal(date.tm_mon, 2).text("-").decimal(date.tm_mday, 2).text(" ");
  out.decimal(date.tm_hour, 2).text(".").decimal(date.tm_min, 2).text(".");
  out.decimal(date.tm_sec, 2);
}

// ---- What is prepared ----------------------------------------------------------------------

// The memory map as the crash found it: every address the report follows is checked against it
// (everything is taken as it is where the system could not list the map).
MemoryMap g_map;

// What the handler needs and cannot make safely once a crash has happened. Plain data without
// destructors: a crash from an exit handler, after static objects were destroyed, finds it whole.
struct PreparedState {
  char programPath[PATH_MAX];
  std::uint64_t programDevice, programInode;  // as the memory map tells them
  std::uint64_t journalDevice, journalInode;  // JOURNAL_STREAM's; 0 without it
  CrashDirectories directories;               // after the one the program sets, in this order
  ZoneOffsets zone;
  const DebugHelper* helper;
  unsigned int processors;
};
PreparedState g_prepared;
std::once_flag g_prepareOnce;

// Descriptors held from the installation on, given back when a report begins: a process that
// used up all of its own still has what its report needs (its two files, the helper's pipes and
// the system's lists it reads).
constexpr int kReservedDescriptors = 8;
int g_reserved[kReservedDescriptors] = {-1, -1, -1, -1, -1, -1, -1, -1};

void reserveDescriptors() {
  for (int& file : g_reserved)
    if (file < 0) file = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void releaseDescriptors() {
  for (int& file : g_reserved) {
    if (file >= 0) close(file);
    file = -1;
  }
}

// The first crash claims the report; later ones find it taken.
std::atomic<bool> g_crashSeen{false};
std::atomic<bool> g_reportDone{false};
std::atomic<long> g_reportingThread{0};

// The first entry of a list of directories such as systemd gives ("a:b"), made absolute.
void addListedDirectory(CrashDirectories& directories, const char* variable) {
  const char* value = secure_getenv(variable);
  if (!value || !*value) return;
  const char* end = std::strchr(value, ':');
  std::error_code ignored;
  const std::filesystem::path first(end ? std::string(value, end) : std::string(value));
  directories.add(std::filesystem::absolute(first, ignored).c_str());
}

// Reports go, after the directory the program sets: beside the program, where systemd keeps the
// service's logs or state, in the temporary directory.
void prepareDirectories(PreparedState& state) {
  char directory[sizeof state.programPath];
  std::strcpy(directory, state.programPath);
  char* slash = std::strrchr(directory, '/');
  if (slash) {
    slash[1] = '\0';
    state.directories.add(directory);
  }
  addListedDirectory(state.directories, "LOGS_DIRECTORY");
  addListedDirectory(state.directories, "STATE_DIRECTORY");
  addListedDirectory(state.directories, "TMPDIR");
  state.directories.add("/tmp");
}

// The most mappings the system lets a process have (vm.max_map_count); 65530 when unknown.
std::size_t systemMappingLimit() {
  constexpr std::size_t kDefault = 65530;
  const int file = open("/proc/sys/vm/max_map_count", O_RDONLY | O_CLOEXEC);
  if (file < 0) return kDefault;
  char text[32];
  const ssize_t length = read(file, text, sizeof text - 1);
  close(file);
  std::size_t limit = 0;
  for (ssize_t i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
    limit = limit * 10 + static_cast<std::size_t>(text[i] - '0');
  return limit > 0 ? limit : kDefault;
}

_Unwind_Reason_Code countFrame(_Unwind_Context*, void* count) {
  return ++*static_cast<int*>(count) < 4 ? _URC_NO_REASON : _URC_END_OF_STACK;
}

void prepare() {
  std::call_once(g_prepareOnce, [] {
    PreparedState& state = g_prepared;
    const ssize_t length =
        readlink("/proc/self/exe", state.programPath, sizeof state.programPath - 1);
    state.programPath[length > 0 ? length : 0] = '\0';
    struct stat program;
    if (stat(state.programPath, &program) == 0) {
      state.programDevice = std::uint64_t{major(program.st_dev)} << 32 | minor(program.st_dev);
      state.programInode = program.st_ino;
    }
    const char* slash = std::strrchr(state.programPath, '/');
    setDefaultCrashSupportAddress(slash ? slash + 1 : state.programPath);
    prepareDirectories(state);
    // "<device>:<inode>" in decimal.
    if (const char* journal = secure_getenv("JOURNAL_STREAM")) {
      char* end = nullptr;
      state.journalDevice = std::strtoull(journal, &end, 10);
      state.journalInode = end && *end == ':' ? std::strtoull(end + 1, nullptr, 10) : 0;
    }
    state.zone.prepare(static_cast<std::int64_t>(::time(nullptr)));
    state.processors = static_cast<unsigned int>(sysconf(_SC_NPROCESSORS_ONLN));
    state.helper = &DebugHelper::getDebugHelper();
    reserveDescriptors();
    // Room for as many regions as the process may map: one that has used up its mappings could
    // not get more room during its crash, and a map cut short hides code and stacks.
    g_map.reserve(systemMappingLimit() + 64);
    // The first walk finds the unwinder's tables, which may allocate: it happens now rather
    // than in the crash. The symbol tables are not read here: that takes a tenth of a second
    // or more (compressed debugging information), which would delay every start. A thread of
    // the lowest priority reads them; a crash that comes first cannot (reading them takes the
    // loader's lock) and names its functions from the images' dynamic symbol tables.
    int frames = 0;
    _Unwind_Backtrace(countFrame, &frames);
    readSymbolTablesInBackground(*state.helper);
  });
}

// ---- Faults inside the report --------------------------------------------------------------

// A fault of the reporting thread while a section is guarded jumps back to the guard, which
// gives the section up. The fatal signals are unblocked while the report is made, so that such
// a fault reaches the handler instead of ending the process.
sigjmp_buf g_sectionFault;
std::atomic<bool> g_sectionGuarded{false};

// Guards nest: a section inside a guarded one has its own, and the outer one holds again after.
template <typename Section>
void guarded(Section&& section) {
  sigjmp_buf outer;
  std::memcpy(&outer, &g_sectionFault, sizeof outer);
  const bool outerGuarded = g_sectionGuarded.load();
  if (sigsetjmp(g_sectionFault, 1) == 0) {
    g_sectionGuarded.store(true);
    section();
  }
  std::memcpy(&g_sectionFault, &outer, sizeof outer);
  g_sectionGuarded.store(outerGuarded);
}

bool faultInsideReport() {
  return g_sectionGuarded.load() && g_reportingThread.load() == currentThreadId();
}

// ---- What a report describes ---------------------------------------------------------------

struct CrashSite {
  int signal = 0;
  int code = 0;
  std::uintptr_t faultAddress = 0;
  mcontext_t registers{};
  ucontext_t* signalContext = nullptr;  // the kernel's record of the fault, when there is one
  // Where the stack section starts: the faulting instruction, or (without a fault, or when the
  // program counter is not in code) a return address.
  std::uintptr_t firstFrame = 0;
  bool exact = false;
  // The program counter was outside any code (a call through a bad pointer): `wildAddress`.
  bool wildJump = false;
  std::uintptr_t wildAddress = 0;
  // Who sent the signal, when a process did (si_code SI_USER, SI_TKILL, SI_QUEUE...): a
  // supervisor's kill tells apart from the program's own abort().
  bool sent = false;
  long senderProcess = 0, senderUser = 0;
};

const char* signalName(int signal) {
  switch (signal) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    case SIGFPE:
      return "SIGFPE";
    case SIGABRT:
      return "SIGABRT";
    case SIGTRAP:
      return "SIGTRAP";
    default:
      return "UNKNOWN_ERROR";
  }
}

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
  // A signal that a process sent is no fault: it is named as it is.
  if (site.sent || site.signal == SIGABRT) return signalName(site.signal);
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

bool isCode(std::uintptr_t address) {
  return g_map.count() == 0 || g_map.executable(address);
}
bool isReadable(std::uintptr_t address, std::size_t size) {
  return g_map.count() == 0 || g_map.readable(address, size);
}

// A program counter that is not in code came from a call or jump through a bad pointer: the
// call left its return address at the stack pointer, and the stack section starts there.
void findFirstFrame(CrashSite& site) {
  const std::uintptr_t pc = reg(site, REG_RIP);
  if (!site.exact || isCode(pc)) return;
  site.wildJump = true;
  site.wildAddress = pc;
  site.exact = false;
  const std::uintptr_t sp = reg(site, REG_RSP);
  std::uintptr_t returnAddress = 0;
  if (isReadable(sp, sizeof returnAddress))
    std::memcpy(&returnAddress, reinterpret_cast<const void*>(sp), sizeof returnAddress);
  site.firstFrame = isCode(returnAddress) ? returnAddress : 0;
}

// ---- Report files --------------------------------------------------------------------------

// The report's two files, created new, private to the process and kept open: nothing is ever
// opened again by name, so a link or a file planted in a shared directory is never written.
class ReportFiles : public CrashFileCreator {
 public:
  void closeAll() {
    for (int& file : _files) {
      if (file >= 0) close(file);
      file = -1;
    }
  }
  int dump() const { return _files[0]; }
  int log() const { return _files[1]; }

  Claim create(int slot, const char* path) override {
    const int file = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file >= 0) {
      _files[slot] = file;
      return Claim::created;
    }
    if (errno == EEXIST) return Claim::taken;
    _refusal = errno;
    return Claim::refused;
  }
  // Why the last directory refused a file (an errno value).
  int refusal() const { return _refusal; }
  void release(int slot, const char* path) override {
    close(_files[slot]);
    _files[slot] = -1;
    unlink(path);
  }
  void stamp(char (&text)[32]) override {
    const std::int64_t utc = static_cast<std::int64_t>(::time(nullptr));
    SafeText out(text, sizeof text);
    appendLocalTime(out, utc + g_prepared.zone.offsetAt(utc));
  }
  unsigned long processId() override { return static_cast<unsigned long>(getpid()); }

 private:
  int _files[2] = {-1, -1};
  int _refusal = 0;
};

// The program's directory first, then the prepared places.
CrashDirectories g_directories;

void listDirectories() {
  g_directories.clear();
  g_directories.add(crashReportDirectory());
  for (int i = 0; i < g_prepared.directories.count(); ++i)
    g_directories.add(g_prepared.directories[i]);
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

bool debuggerAttached() {
  char status[4096];
  int file = open("/proc/thread-self/status", O_RDONLY | O_CLOEXEC);
  if (file < 0) file = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
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

// ---- The process section -------------------------------------------------------------------

void writeRegister(SafeText& out, const char* name, std::uintptr_t value, int digits,
                   const char* after) {
  out.text(name).text("=").hex(value, digits).text(after);
}

void writeCommandLine(SafeText& out) {
  char line[513];
  ssize_t length = 0;
  // The thread's: the process's is empty once its main thread has ended.
  int file = open("/proc/thread-self/cmdline", O_RDONLY | O_CLOEXEC);
  if (file < 0) file = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
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
  out.text("\n");
  if (site.sent) {
    out.text("Sent by: ");
    if (site.senderProcess == getpid())
      out.text("this process (abort, raise or kill)");
    else
      out.text("process ").decimal(site.senderProcess).text(", user ").decimal(site.senderUser);
    out.text(site.code == SI_TKILL ? " to this thread" : "").text("\n");
  }
  out.text("\n");

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

// ---- Frames --------------------------------------------------------------------------------

// The frames of a stack section: filled one by one, so that a walk cut short by a fault keeps
// what it found.
struct FrameList {
  std::uintptr_t addresses[kMaxFrames];
  int count = 0;
  bool firstExact = false;  // the first is a faulting instruction, not a return address
};
FrameList g_frames;

struct Walk {
  FrameList* frames;
  std::uintptr_t first;
  bool started;
};

// The unwinder starts in this handler: frames before the crashing one are passed over, and the
// walk ends at the first address that is not code.
_Unwind_Reason_Code takeFrame(_Unwind_Context* context, void* data) {
  Walk& walk = *static_cast<Walk*>(data);
  const std::uintptr_t pc = _Unwind_GetIP(context);
  if (!walk.started) {
    if (pc != walk.first) return _URC_NO_REASON;
    walk.started = true;
  }
  if (!isCode(pc) || walk.frames->count == kMaxFrames) return _URC_END_OF_STACK;
  walk.frames->addresses[walk.frames->count++] = pc;
  return _URC_NO_REASON;
}

// The crashing thread's frames, from the faulting instruction (or, after a wild jump, from that
// address and then the caller) outwards.
void collectFrames(CrashSite& site, FrameList& frames) {
  frames.count = 0;
  frames.firstExact = site.exact || site.wildJump;
  if (site.wildJump) frames.addresses[frames.count++] = site.wildAddress;
  if (site.firstFrame == 0) return;
  // The unwinder reads the interrupted state from the signal's context: after a wild jump it is
  // made to look as if the call had returned, for the time of the walk.
  ucontext_t* context = site.wildJump ? site.signalContext : nullptr;
  greg_t savedPc = 0, savedSp = 0;
  if (context) {
    savedPc = context->uc_mcontext.gregs[REG_RIP];
    savedSp = context->uc_mcontext.gregs[REG_RSP];
    context->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(site.firstFrame);
    context->uc_mcontext.gregs[REG_RSP] = savedSp + static_cast<greg_t>(sizeof(void*));
  }
  const int before = frames.count;
  Walk walk{&frames, site.firstFrame, false};
  guarded([&] { _Unwind_Backtrace(takeFrame, &walk); });
  if (context) {
    context->uc_mcontext.gregs[REG_RIP] = savedPc;
    context->uc_mcontext.gregs[REG_RSP] = savedSp;
  }
  // The unwinder did not reach it (code without unwind tables): that frame alone.
  if (frames.count == before) frames.addresses[frames.count++] = site.firstFrame;
}

// "#1  0x00005555deadbeef in function () at file:line"; parameters and locals are not known
// inside a signal handler. Functions the symbol reader does not know (modules loaded after it
// was prepared) are named from their module's dynamic symbol table.
void writeFrame(SafeText& out, int counter, std::uintptr_t address, bool exact) {
  const std::uintptr_t code = exact ? address : address - 1;  // a call lies before its return
  RawFrameInfo info;
  if (isCode(code)) {
    describeCodeAddress(*g_prepared.helper, code, info);
    if (!info.function) info.function = findDynamicSymbol(g_map, code);
  }
  out.text("#").decimal(counter).text("  0x").hex(address, 2 * sizeof address).text(" in ");
  if (info.function) {
    char name[256];
    readableSymbolName(info.function, name, sizeof name);
    out.text(name, 200).text(" ()");
  } else {
    out.text("(unknown function)");
  }
  if (info.file)
    out.text(" at ").text(info.file).text(":").decimal(info.line).text("\n");
  else
    out.text("\n");
}

void writeFrames(SafeText& out, const FrameList& frames) {
  int counter = 0;
  for (int i = 0; i < frames.count; ++i) {
    // Each frame is written whole before the next is looked up.
    guarded([&] { writeFrame(out, ++counter, frames.addresses[i], i == 0 && frames.firstExact); });
  }
}

// ---- Other threads -------------------------------------------------------------------------

OtherThreads g_threads;

// A code address that follows a call instruction: a return address, as far as bytes can tell
// (call rel32, or an indirect call through a register or memory).
bool followsCall(std::uintptr_t address) {
  if (!g_map.executable(address) || !g_map.readable(address - 7, 7)) return false;
  const unsigned char* code = reinterpret_cast<const unsigned char*>(address);
  if (code[-5] == 0xE8) return true;
  for (int length : {2, 3, 6, 7})
    if (code[-length] == 0xFF && (code[1 - length] & 0x38) == 0x10) return true;
  return false;
}

// The first frames of a stopped thread: its program counter, then the return addresses found
// on its stack (nothing tells which frame each belongs to without unwind tables).
void scanFrames(const MinidumpContext& context, FrameList& frames) {
  frames.count = 0;
  frames.firstExact = true;
  frames.addresses[frames.count++] = context.rip;
  const MemoryRegion* stack = g_map.find(context.rsp);
  if (!stack || !stack->readable) return;
  const std::uintptr_t end = stack->end - context.rsp > kMinidumpStackBytes
                                 ? context.rsp + kMinidumpStackBytes
                                 : stack->end;
  for (std::uintptr_t at = context.rsp & ~std::uintptr_t{7};
       at + sizeof(std::uintptr_t) <= end && frames.count < kOtherThreadFrames;
       at += sizeof(std::uintptr_t)) {
    const std::uintptr_t value = *reinterpret_cast<const std::uintptr_t*>(at);
    if (followsCall(value)) frames.addresses[frames.count++] = value;
  }
}

void writeThreadHead(SafeText& out, long id, const char* name, const char* after) {
  out.text("Thread ").decimal(id).text(" \"").text(name).text("\"").text(after);
}

// Said in the report and the notice when a report has no room for every thread.
const char kThreadsLeftOut[] = "Threads left out of the report (no room for more): ";

// Every thread by id and name; the first frames of each one that did not crash.
void writeThreadsSection(SafeText& out) {
  out.text("\n\nThreads:\n");
  char name[16];
  readThreadName(getpid(), currentThreadId(), name);
  writeThreadHead(out, currentThreadId(), name, " (crashed, its stack above)\n");
  if (!processDumpable())
    out.text(
        "Other threads left out: the process is not dumpable (it changed its user or asked "
        "not to be dumped).\n");
  for (std::size_t i = 0; i < g_threads.count(); ++i) {
    const OtherThreads::Thread& thread = g_threads[i];
    if (!thread.stopped) {
      writeThreadHead(out, thread.id, thread.name, " (would not stop: no registers)\n");
      continue;
    }
    writeThreadHead(out, thread.id, thread.name, "\n");
    FrameList frames;
    guarded([&] { scanFrames(thread.context, frames); });
    writeFrames(out, frames);
  }
  if (g_threads.leftOut() != 0)
    out.text(kThreadsLeftOut).decimal(static_cast<long long>(g_threads.leftOut())).text("\n");
}

// ---- Modules -------------------------------------------------------------------------------

ModuleTable g_modules;
// The modules' paths, one after the other.
char g_modulePaths[256 * 1024];
std::size_t g_modulePathsUsed = 0;

// Reads a value at `address` of the process when the map shows it readable.
template <typename T>
bool readMapped(std::uintptr_t address, T& value) {
  if (!g_map.readable(address, sizeof value)) return false;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
  return true;
}

// The extent and build id of the ELF image whose header lies at `start`, read from its program
// headers in memory; false when no image begins there.
bool describeImage(std::uintptr_t start, LoadedModule& module) {
  ElfW(Ehdr) header;
  if (!readMapped(start, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0)
    return false;
  std::uintptr_t low = UINTPTR_MAX, high = 0;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    if (!readMapped(start + header.e_phoff + i * sizeof segment, segment)) return false;
    if (segment.p_type != PT_LOAD) continue;
    if (segment.p_vaddr < low) low = segment.p_vaddr;
    if (segment.p_vaddr + segment.p_memsz > high) high = segment.p_vaddr + segment.p_memsz;
  }
  if (high <= low) return false;
  // The first loaded segment begins the mapping, at its page.
  const std::uintptr_t bias = start - (low & ~std::uintptr_t{0xFFF});
  module.base = start;
  module.size = bias + high - start;
  module.buildIdLength = 0;
  for (unsigned i = 0; i < header.e_phnum && module.buildIdLength == 0; ++i) {
    ElfW(Phdr) segment;
    if (!readMapped(start + header.e_phoff + i * sizeof segment, segment)) break;
    const std::uintptr_t notes = bias + segment.p_vaddr;
    if (segment.p_type == PT_NOTE && isReadable(notes, segment.p_memsz))
      readBuildId(reinterpret_cast<const unsigned char*>(notes), segment.p_memsz, module);
  }
  return true;
}

// Whether code of the file mapped by `region` lies within the image: a file merely mapped for
// reading (a symbol reader's view of a library) is no loaded module.
bool hasCodeOfFile(const MemoryRegion& region, const LoadedModule& module) {
  for (std::size_t i = 0; i < g_map.count(); ++i) {
    const MemoryRegion& candidate = g_map[i];
    if (candidate.start >= module.base + module.size) break;
    if (candidate.executable && candidate.start >= module.base && candidate.inode == region.inode &&
        candidate.device == region.device)
      return true;
  }
  return false;
}

const char* keepModulePath(const char* path) {
  const std::size_t room = sizeof g_modulePaths - g_modulePathsUsed;
  if (room < 2) return "";
  char* kept = g_modulePaths + g_modulePathsUsed;
  std::size_t length = std::strlen(path);
  if (length >= room) length = room - 1;
  std::memcpy(kept, path, length);
  kept[length] = '\0';
  g_modulePathsUsed += length + 1;
  return kept;
}

bool addModule(const MemoryRegion& region, const char* path, void* data) {
  ModuleTable& table = *static_cast<ModuleTable*>(data);
  if (table.count == ModuleTable::kCapacity) return false;
  const bool vdso = std::strcmp(path, "[vdso]") == 0;
  if (region.offset != 0 || !region.readable || (region.inode == 0 && !vdso)) return true;
  LoadedModule& module = table.modules[table.count];
  if (!describeImage(region.start, module)) return true;
  if (!vdso && !hasCodeOfFile(region, module)) return true;
  const bool program =
      region.inode == g_prepared.programInode && region.device == g_prepared.programDevice;
  module.path = program ? g_prepared.programPath : keepModulePath(vdso ? "linux-vdso.so.1" : path);
  ++table.count;
  // The program itself comes first.
  if (program) {
    const LoadedModule found = module;
    for (std::size_t i = table.count - 1; i > 0; --i)
      table.modules[i] = table.modules[i - 1];
    table.modules[0] = found;
  }
  return true;
}

// The loaded modules as the memory map shows them, from their images in memory: the dynamic
// linker's own list would take its lock, which a thread stopped inside it, or the crashing
// thread itself, may hold.
void readModules(ModuleTable& table) {
  table.count = 0;
  g_modulePathsUsed = 0;
  forEachMappedRegion(addModule, &table);
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
  const int numbered[] = {REG_R8, REG_R9, REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
  for (int i = 0; i < 8; ++i)
    context.r[i] = reg(site, numbered[i]);
  context.rip = reg(site, REG_RIP);
  context.eflags = static_cast<std::uint32_t>(reg(site, REG_EFL));
  const Selectors segments = selectors(site);
  context.cs = segments.cs;
  context.gs = segments.gs;
  context.fs = segments.fs;
  context.ss = segments.ss;
  context.ds = context.es = 0;
}

MinidumpThread g_dumpThreads[kMinidumpMaxThreads];

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
  MinidumpThread& crashed = g_dumpThreads[0];
  crashed.threadId = static_cast<std::uint32_t>(currentThreadId());
  fillContext(site, crashed.context);
  std::size_t count = 1;
  for (std::size_t i = 0; i < g_threads.count() && count < kMinidumpMaxThreads; ++i) {
    if (!g_threads[i].stopped) continue;
    g_dumpThreads[count].threadId = static_cast<std::uint32_t>(g_threads[i].id);
    g_dumpThreads[count++].context = g_threads[i].context;
  }
  // The kernel writes no core file of a process that is not dumpable, or one only root may read;
  // this dump belongs to the process's own user, so it keeps no memory of such a process.
  const std::uint32_t stackBytes = processDumpable() ? kMinidumpStackBytes : 0;
  for (std::size_t i = 0; i < count; ++i) {
    g_dumpThreads[i].stackStart = g_dumpThreads[i].context.rsp;
    g_dumpThreads[i].stackLength = stackBytes;
  }
  MinidumpCrash crash{};
  crash.code = static_cast<std::uint32_t>(site.signal);
  crash.flags = static_cast<std::uint32_t>(site.code);
  crash.address = site.faultAddress;
  crash.threads = g_dumpThreads;
  crash.threadCount = count;
  writeMinidumpFile(file, system, crash, g_modules);
}

// ---- The report ----------------------------------------------------------------------------

void siteFromSignal(const ExceptionPointers& pointers, CrashSite& site) {
  const siginfo_t* info = static_cast<const siginfo_t*>(pointers.signalInfo);
  site.signalContext = static_cast<ucontext_t*>(pointers.context);
  site.signal = pointers.signalNumber;
  if (info) {
    site.code = info->si_code;
    site.sent = info->si_code <= 0;
    if (site.sent) {
      site.senderProcess = info->si_pid;
      site.senderUser = info->si_uid;
    } else {
      site.faultAddress = reinterpret_cast<std::uintptr_t>(info->si_addr);
    }
  }
  if (site.signalContext) site.registers = site.signalContext->uc_mcontext;
  site.firstFrame = reg(site, REG_RIP);
  site.exact = true;
}

void writeTextReport(int file, CrashSite& site) {
  SafeFileText out(file);
  out.text("\nProcess info:\n");
  guarded([&] { writeProcessSection(out, site); });
  out.text("\nStacktrace:\n");
  collectFrames(site, g_frames);
  writeFrames(out, g_frames);
  guarded([&] { writeThreadsSection(out); });
  out.text("\n\nLoaded modules:\n");
  guarded([&] { writeModuleLines(out, g_modules); });
  if (g_map.leftOut() != 0)
    out.text("\nMemory regions left out (the map had no more room): ")
        .decimal(static_cast<long long>(g_map.leftOut()))
        .text("\n");
}

sigset_t fatalSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : kFatalSignals)
    sigaddset(&signals, signal);
  return signals;
}

// ---- The deadline --------------------------------------------------------------------------

// A report that has not ended after this long never will (a lock it waits for, a pipe nobody
// reads): a crash then ends by its signal all the same, and a report asked for without a fault
// is given up.
constexpr int kReportDeadlineSeconds = 10;
constexpr int kDeadlineSignal = SIGALRM;

// The signal being reported (0 for a report asked for without a fault); where a report asked for
// without a fault goes when its deadline passes.
std::atomic<int> g_reportSignal{0};
sigjmp_buf g_deadlineJump;
std::atomic<bool> g_deadlineArmed{false};

// Ends the process by `signal` with its default action, from wherever this thread is.
void dieBySignal(int signal) {
  struct sigaction defaults;
  std::memset(&defaults, 0, sizeof defaults);
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  syscall(SYS_tgkill, getpid(), currentThreadId(), signal);
  _exit(128 + signal);  // not reached: every signal reported ends the process by default
}

void onReportDeadline(int, siginfo_t*, void*) {
  if (!g_deadlineArmed.load() || g_reportingThread.load() != currentThreadId()) return;
  const int signal = g_reportSignal.load();
  if (signal != 0) dieBySignal(signal);
  g_deadlineArmed.store(false);
  siglongjmp(g_deadlineJump, 1);
}

// A timer that sends the deadline's signal to the reporting thread itself, whatever the rest of
// the process blocks.
class ReportDeadline {
 public:
  bool arm() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onReportDeadline;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&action.sa_mask);
    if (sigaction(kDeadlineSignal, &action, &_previous) != 0) return false;
    _actionSet = true;
    sigevent event;
    std::memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = kDeadlineSignal;
    event._sigev_un._tid = static_cast<pid_t>(currentThreadId());
    if (timer_create(CLOCK_MONOTONIC, &event, &_timer) != 0) return false;
    _timerMade = true;
    itimerspec when;
    std::memset(&when, 0, sizeof when);
    when.it_value.tv_sec = kReportDeadlineSeconds;
    if (timer_settime(_timer, 0, &when, nullptr) != 0) return false;
    sigset_t deadline;
    sigemptyset(&deadline);
    sigaddset(&deadline, kDeadlineSignal);
    pthread_sigmask(SIG_UNBLOCK, &deadline, nullptr);
    return true;
  }
  // For a process that goes on after its report.
  void disarm() {
    if (_timerMade) timer_delete(_timer);
    _timerMade = false;
    if (_actionSet) sigaction(kDeadlineSignal, &_previous, nullptr);
    _actionSet = false;
  }

 private:
  timer_t _timer{};
  bool _timerMade = false, _actionSet = false;
  struct sigaction _previous {};
};

// ---- The report ----------------------------------------------------------------------------

ReportFiles g_reportFiles;

const char kNoMemoryNote[] =
    "The minidump holds no memory: the process is not dumpable (it changed its user or asked "
    "not to be dumped).\n";

// The notices go to the standard error stream; under systemd that is the journal's stream
// (JOURNAL_STREAM names it), where each line gets the priority "<2>" (critical).
class NoticeText : public SafeText {
 public:
  NoticeText() : SafeText(_storage, sizeof _storage, true) {
    struct stat status;
    _journal = g_prepared.journalInode != 0 && fstat(STDERR_FILENO, &status) == 0 &&
               static_cast<std::uint64_t>(status.st_dev) == g_prepared.journalDevice &&
               static_cast<std::uint64_t>(status.st_ino) == g_prepared.journalInode;
  }
  ~NoticeText() override { flush(); }

 private:
  void drain(const char* text, std::size_t length) override {
    for (std::size_t i = 0; i < length; ++i) {
      if (_journal && _lineStart) put("<2>", 3);
      put(text + i, 1);
      _lineStart = text[i] == '\n';
    }
    send();
  }
  void put(const char* text, std::size_t length) {
    if (_pending + length > sizeof _out) send();
    std::memcpy(_out + _pending, text, length);
    _pending += length;
  }
  void send() {
    std::size_t written = 0;
    while (written < _pending) {
      const ssize_t step = ::write(STDERR_FILENO, _out + written, _pending - written);
      if (step <= 0) break;
      written += static_cast<std::size_t>(step);
    }
    _pending = 0;
  }

  bool _journal = false, _lineStart = true;
  char _storage[1024];
  char _out[1024];
  std::size_t _pending = 0;
};

void report(CrashSite& site) {
  g_map.read();
  findFirstFrame(site);
  listDirectories();
  CrashFiles names;
  ReportFiles& files = g_reportFiles;
  if (!claimCrashFiles(g_directories, files, names)) {
    // Out of descriptors, every directory refuses: that is what the notice names then.
    const int cause = files.refusal();
    if (cause == EMFILE || cause == ENFILE)
      NoticeText().format(kCrashNoDescriptorNotice,
                          cause == EMFILE ? "EMFILE: Too many open files."
                                          : "ENFILE: Too many files open in system.",
                          crashSupportAddress(), "");
    else
      NoticeText().format(kCrashNoReportNotice, crashSupportAddress(), "", "");
    return;
  }
  const sigset_t signals = fatalSignals();
  sigset_t previous;
  pthread_sigmask(SIG_UNBLOCK, &signals, &previous);
  guarded([] { readModules(g_modules); });
  g_threads.stop(currentThreadId());
  guarded([&] { writeMinidump(files.dump(), site); });
  writeTextReport(files.log(), site);
  g_threads.resume();
  files.closeAll();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  NoticeText notice;
  notice.format(kCrashNotice, names.dump, names.log, crashSupportAddress());
  if (!processDumpable()) notice.text(kNoMemoryNote);
  if (g_threads.leftOut() != 0)
    notice.text(kThreadsLeftOut).decimal(static_cast<long long>(g_threads.leftOut())).text("\n");
}

// The report within its deadline. One asked for without a fault that passes it is given up:
// the stopped threads go on and the files are closed as they are.
void reportWithDeadline(CrashSite& site) {
  g_reportSignal.store(site.signal);
  ReportDeadline deadline;
  if (sigsetjmp(g_deadlineJump, 1) == 0) {
    g_deadlineArmed.store(deadline.arm());
    report(site);
  } else {
    g_sectionGuarded.store(false);
    g_threads.resume();
    g_reportFiles.closeAll();
  }
  g_deadlineArmed.store(false);
  deadline.disarm();
}

void onFatalSignal(int signal, siginfo_t* info, void* context) {
  if (faultInsideReport()) siglongjmp(g_sectionFault, 1);
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
  releaseDescriptors();
  CrashSite site;
  if (pointers) {
    siteFromSignal(*pointers, site);
  } else {
    ucontext_t here;
    getcontext(&here);
    site.registers = here.uc_mcontext;
    site.firstFrame = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  }
  reportWithDeadline(site);
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
    action.sa_mask = fatalSignals();
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
