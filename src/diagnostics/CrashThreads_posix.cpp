// The helper is a process made with clone() that shares this process's memory but is not one of
// its threads: the kernel lets a process trace another one of the same user, never its own
// threads. It seizes each thread (PTRACE_SEIZE, PTRACE_INTERRUPT: no signal is sent that the
// program could see), reads its registers into this object, reports through a pipe and waits
// until the report is written; its end detaches the threads, which go on (or die with the
// process). The crashing thread reads the stopped threads' stacks itself: the memory is shared.
//
// The helper never outlives the process: it dies with it (a parent-death signal), keeps none of
// its descriptors (a table of its own, emptied but for its two pipe ends: a listening socket, a
// lock file or a supervisor's pipe is never held by it), and waits for the report for a bounded
// time only, after which it lets the threads go and ends.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "CrashThreads.h"
#include "SafeText.h"

namespace vemo {
namespace detail {
namespace {

constexpr int kHelperWaitMilliseconds = 3000;
// The longest the helper waits for the threads to stop: it reports the threads it stopped well
// before the crashing thread gives up on it.
constexpr int kAllStopMilliseconds = 2000;
// The longest the helper waits for the report once the threads are stopped: longer than the
// report's own deadline, which ends the process.
constexpr int kHelperReportMilliseconds = 15000;
constexpr std::size_t kHelperStackSize = 64 * 1024;
alignas(16) char g_helperStack[kHelperStackSize];

void copyContext(const user_regs_struct& r, MinidumpContext& context) {
  context.rax = r.rax;
  context.rbx = r.rbx;
  context.rcx = r.rcx;
  context.rdx = r.rdx;
  context.rsi = r.rsi;
  context.rdi = r.rdi;
  context.rbp = r.rbp;
  context.rsp = r.rsp;
  context.rip = r.rip;
  const unsigned long long numbered[] = {r.r8, r.r9, r.r10, r.r11, r.r12, r.r13, r.r14, r.r15};
  for (int i = 0; i < 8; ++i)
    context.r[i] = numbered[i];
  context.eflags = static_cast<std::uint32_t>(r.eflags);
  context.cs = static_cast<std::uint16_t>(r.cs);
  context.ds = static_cast<std::uint16_t>(r.ds);
  context.es = static_cast<std::uint16_t>(r.es);
  context.fs = static_cast<std::uint16_t>(r.fs);
  context.gs = static_cast<std::uint16_t>(r.gs);
  context.ss = static_cast<std::uint16_t>(r.ss);
}

long parseId(const char* text) {
  long value = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return 0;
    value = value * 10 + (*text - '0');
  }
  return value;
}

// One byte within `milliseconds`; false at the end of the pipe or when none came in time.
bool readByte(int file, int milliseconds) {
  pollfd ready{file, POLLIN, 0};
  int polled;
  do {
    polled = poll(&ready, 1, milliseconds);
  } while (polled < 0 && errno == EINTR);
  if (polled != 1) return false;
  char byte;
  ssize_t got;
  do {
    got = read(file, &byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1;
}

// Closes every descriptor but `keepA` and `keepB` (keepA < keepB).
void closeAllBut(int keepA, int keepB) {
  const auto closeRange = [](unsigned first, unsigned last) {
    if (first > last) return;
    if (syscall(SYS_close_range, first, last, 0) == 0) return;
    // Systems without close_range: one by one, up to the descriptor limit.
    const long limit = sysconf(_SC_OPEN_MAX);
    const unsigned end = limit > 0 && static_cast<unsigned long>(limit) - 1 < last
                             ? static_cast<unsigned>(limit - 1)
                             : last;
    for (unsigned file = first; file <= end; ++file)
      close(static_cast<int>(file));
  };
  closeRange(0, static_cast<unsigned>(keepA) - 1);
  closeRange(static_cast<unsigned>(keepA) + 1, static_cast<unsigned>(keepB) - 1);
  closeRange(static_cast<unsigned>(keepB) + 1, ~0u);
}

void writeByte(int file) {
  const char byte = 1;
  while (write(file, &byte, 1) < 0 && errno == EINTR) {
  }
}

std::int64_t nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Seizes thread `id` and asks it to stop; false when it cannot be traced or is gone.
bool seizeAndInterrupt(long id) {
  const pid_t thread = static_cast<pid_t>(id);
  if (ptrace(PTRACE_SEIZE, thread, nullptr, nullptr) != 0) return false;
  if (ptrace(PTRACE_INTERRUPT, thread, nullptr, nullptr) == 0) return true;
  ptrace(PTRACE_DETACH, thread, nullptr, nullptr);
  return false;
}

}  // namespace

void readThreadName(long process, long id, char (&name)[16]) {
  name[0] = '\0';
  char path[64];
  SafeText(path, sizeof path)
      .text("/proc/")
      .decimal(process)
      .text("/task/")
      .decimal(id)
      .text("/comm");
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return;
  const ssize_t length = read(file, name, sizeof name - 1);
  close(file);
  std::size_t end = length > 0 ? static_cast<std::size_t>(length) : 0;
  while (end > 0 && name[end - 1] == '\n')
    --end;
  name[end] = '\0';
}

void OtherThreads::stopAll() {
  char path[64];
  SafeText(path, sizeof path).text("/proc/").decimal(_process).text("/task");
  const int directory = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return;
  alignas(8) char entries[4096];
  for (;;) {
    const long length = syscall(SYS_getdents64, directory, entries, sizeof entries);
    if (length <= 0) break;
    for (long at = 0; at < length;) {
      struct Entry {
        std::uint64_t inode;
        std::int64_t offset;
        unsigned short size;
        unsigned char type;
        char name[1];
      };
      const Entry* entry = reinterpret_cast<const Entry*>(entries + at);
      at += entry->size;
      const long id = parseId(entry->name);
      if (id == 0 || id == _crashing) continue;
      if (_count == kCapacity) {
        ++_leftOut;
        continue;
      }
      // Every thread is asked to stop before any is waited for: they stop together, and one
      // that never does (inside vfork, the zombie of an ended main thread) costs the others
      // nothing.
      Thread& thread = _threads[_count++];
      thread.id = id;
      readThreadName(_process, id, thread.name);
      thread.seized = seizeAndInterrupt(id);
      thread.stopped = false;
    }
  }
  close(directory);
  // Their stops, until all came or the time for them is spent. One seized that did not stop
  // stays traced until the helper ends, which lets it go.
  const std::int64_t deadline = nowMilliseconds() + kAllStopMilliseconds;
  for (;;) {
    std::size_t waiting = 0;
    for (std::size_t i = 0; i < _count; ++i) {
      Thread& thread = _threads[i];
      if (!thread.seized || thread.stopped) continue;
      const pid_t id = static_cast<pid_t>(thread.id);
      int status = 0;
      const pid_t changed = waitpid(id, &status, __WALL | WNOHANG);
      user_regs_struct registers;
      if (changed == id && WIFSTOPPED(status) &&
          ptrace(PTRACE_GETREGS, id, nullptr, &registers) == 0) {
        copyContext(registers, thread.context);
        thread.stopped = true;
      } else if (changed == id || (changed < 0 && errno != EINTR)) {
        thread.seized = false;  // gone, or not to be read: given up
        ptrace(PTRACE_DETACH, id, nullptr, nullptr);
      } else {
        ++waiting;
      }
    }
    if (waiting == 0 || nowMilliseconds() >= deadline) break;
    const timespec pause{0, 200 * 1000};
    nanosleep(&pause, nullptr);
  }
  for (std::size_t i = 0; i < _count; ++i)
    if (!_threads[i].stopped) ++_notStopped;
}

int OtherThreads::helperMain(void* self) {
  OtherThreads& threads = *static_cast<OtherThreads*>(self);
  // Dies with the process, even when that happened before this line.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != threads._process) _exit(1);
  prctl(PR_SET_NAME, "vemo-crash");
  const int go = threads._go[0], ready = threads._ready[1];
  closeAllBut(go < ready ? go : ready, go < ready ? ready : go);
  if (!readByte(go, kHelperWaitMilliseconds)) _exit(1);
  threads.stopAll();
  writeByte(ready);
  readByte(go, kHelperReportMilliseconds);  // the report is written, or will never be
  for (std::size_t i = 0; i < threads._count; ++i)
    if (threads._threads[i].stopped)
      ptrace(PTRACE_DETACH, static_cast<pid_t>(threads._threads[i].id), nullptr, nullptr);
  _exit(0);
}

bool processDumpable() {
  return prctl(PR_GET_DUMPABLE) == 1;
}

std::size_t OtherThreads::stop(long crashing) {
  _count = _leftOut = _notStopped = 0;
  _process = getpid();
  _crashing = crashing;
  // A process that is not dumpable (it changed its user, or asked not to be) must stay closed to
  // the processes of its user, even for the time of a report: its other threads are not read.
  if (!processDumpable()) return 0;
  if (pipe2(_go, O_CLOEXEC) != 0) return 0;
  if (pipe2(_ready, O_CLOEXEC) != 0) {
    close(_go[0]);
    close(_go[1]);
    return 0;
  }
  _helper = clone(helperMain, g_helperStack + sizeof g_helperStack,
                  CLONE_VM | CLONE_FS | CLONE_UNTRACED, this);
  if (_helper <= 0) {
    _helper = 0;
    resume();
    return 0;
  }
  // Where the system restricts tracing to a process's ancestors, this one allows its helper.
  prctl(PR_SET_PTRACER, _helper, 0, 0, 0);
  writeByte(_go[1]);
  pollfd ready{_ready[0], POLLIN, 0};
  int polled;
  // The helper reports within kAllStopMilliseconds; a poll that a signal interrupts goes on
  // with what is left of the wait.
  const std::int64_t deadline = nowMilliseconds() + kHelperWaitMilliseconds;
  do {
    const std::int64_t left = deadline - nowMilliseconds();
    polled = poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0);
  } while (polled < 0 && errno == EINTR);
  if (polled != 1) {
    // Stuck on a thread that does not stop: ending the helper lets every thread go.
    kill(_helper, SIGKILL);
    waitForHelper();
    _count = _leftOut = _notStopped = 0;
  }
  return _count;
}

// Reaps the helper; one that has not ended within the wait is killed first.
void OtherThreads::waitForHelper() {
  int status;
  for (int waited = 0; waited < kHelperWaitMilliseconds; ++waited) {
    const pid_t ended = waitpid(_helper, &status, __WALL | WNOHANG);
    if (ended == _helper || (ended < 0 && errno != EINTR)) {
      _helper = 0;
      return;
    }
    const timespec pause{0, 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  kill(_helper, SIGKILL);
  while (waitpid(_helper, &status, __WALL) < 0 && errno == EINTR) {
  }
  _helper = 0;
}

void OtherThreads::resume() {
  if (_helper > 0) {
    writeByte(_go[1]);
    waitForHelper();
  }
  for (int* end : {&_go[0], &_go[1], &_ready[0], &_ready[1]}) {
    if (*end >= 0) close(*end);
    *end = -1;
  }
}

}  // namespace detail
}  // namespace vemo
