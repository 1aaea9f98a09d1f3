// The crash handler, seen from outside: this program starts itself again as a child that
// installs the handler and crashes in a chosen way, then reads the report, the minidump and the
// notice the child left, and how the child ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <link.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "vemo/core/CallStack.h"
#include "vemo/core/DllModule.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Process.h"
#include "vemo/core/ServiceSystem.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/Time.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKindVariable = "VEMO_CRASH_TEST_KIND";
// The report directory the child sets, when there is one.
constexpr const char* kDirectoryVariable = "VEMO_CRASH_TEST_DIRECTORY";

// The longest report directory a program may set (with its separator), and a length that is
// certainly too long: the system's longest path less the room of a report's name.
#if defined(_WIN32)
constexpr std::size_t kLongestDirectory = 211;
#else
constexpr std::size_t kLongestDirectory = 4047;
#endif
constexpr std::size_t kTooLongDirectory = kLongestDirectory + 200;

// Threads of the child that has many.
constexpr int kManyThreads = 300;

std::string readFile(const fs::path& path);

// ---- The child's side ------------------------------------------------------------------------
// Each crash is reached through a volatile pointer, so that it keeps a frame of its own.

void crashNullPointer() {
  volatile int* volatile target = nullptr;
  *target = 1;
}
constexpr int kNullPointerLine = __LINE__ - 2;

int divideByZero() {
  volatile int dividend = 7, zero = 0;
  return dividend / zero;
}
constexpr int kDivideLine = __LINE__ - 2;

volatile bool g_stopRecursion = false;
int (*volatile g_recurse)(int);

int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (g_stopRecursion) return frame[0];
  return g_recurse(depth + 1) + frame[0];
}

// A system whose first pass overflows its thread's stack.
class Overflowing : public vemo::System {
 public:
  static Handle_T<Overflowing> createInstance() { return Handle_T<Overflowing>(new Overflowing()); }
  void onTick(unsigned int) override {
    g_recurse = recurse;
    g_recurse(0);
  }
};

[[noreturn]] void waitForTheEnd() {
  std::this_thread::sleep_for(std::chrono::seconds(60));
  std::exit(3);  // the crash did not end the process
}

// A process traced by its parent, as by a debugger, asks for a report and gets none; then the
// untraced parent asks and gets one.
void reportUnderADebugger() {
#if !defined(_WIN32)
  std::fflush(stdout);
  const pid_t traced = fork();
  if (traced == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
      std::printf("untraceable\n");
      std::fflush(stdout);
      _exit(0);
    }
    std::printf("traced %ld\n", vemo::Exception::DealExceptionInformation(nullptr));
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(traced, &status, 0);
  std::printf("untraced %ld\n", vemo::Exception::DealExceptionInformation(nullptr));
#endif
  std::exit(0);
}

// Written after a call, so that the call is not made as a jump and its caller keeps its frame.
volatile int g_afterCall = 0;

// A call through a corrupted function pointer, and one through null: the program counter is
// not in code, and the report starts from the caller.
void jumpToWildAddress() {
  void (*volatile wild)() = reinterpret_cast<void (*)()>(std::uintptr_t{0x1234});
  wild();
  g_afterCall = 1;
}
constexpr int kWildCallLine = __LINE__ - 3;

void callThroughNull() {
  void (*volatile none)() = nullptr;
  none();
  g_afterCall = 1;
}
constexpr int kNullCallLine = __LINE__ - 3;

#if defined(__linux__)
// Crashes at exit when asked to, from a handler registered before any library initialised and
// for no module in particular (as another library's would be): it runs after every module's
// static objects were destroyed.
std::atomic<bool> g_crashAtExit{false};
void crashAtExit(int, void*) {
  if (!g_crashAtExit) return;
  void (*volatile crash)() = crashNullPointer;
  crash();
  g_afterCall = 1;
}
void registerLateExitHandler(int, char**, char**) {
  on_exit(crashAtExit, nullptr);
}
__attribute__((section(".preinit_array"),
               used)) void (*const g_lateExitHandler)(int, char**,
                                                      char**) = registerLateExitHandler;

// Threads with names, blocked where the report can find them.
void blockForever(const char* name) {
  pthread_setname_np(pthread_self(), name);
  for (;;)
    pause();
}
#endif

// Loads the crash module now that the handler is installed, and crashes inside it.
void crashInModule() {
#if defined(VEMO_CRASH_MODULE_NAME)
  vemo::Unknown::Handle_T<vemo::DllModule> module = vemo::DllModule::createInstance();
  if (!module->load(vemo::getAppPath() + vemo::StringHelper::utf8ToWide(VEMO_CRASH_MODULE_NAME)))
    std::exit(4);
  int (*run)() = reinterpret_cast<int (*)()>(module->getProcAddress(L"crashModuleRun"));
  if (!run) std::exit(5);
  std::printf("%d\n", run());
#endif
}

unsigned long ownProcessId() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

void crashInExitHandler() {
  void (*volatile crash)() = crashNullPointer;
  crash();
}

#if !defined(_WIN32)
// Takes the log names of the coming seconds in /tmp, with and without the process id, as empty
// files of this process; prints each.
void takeNamesInTmp() {
  const std::time_t now = std::time(nullptr);
  for (int second = -1; second < 30; ++second) {
    const std::time_t when = now + second;
    std::tm local;
    char stamp[32];
    if (!localtime_r(&when, &local)) continue;
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &local);
    for (const std::string& suffix : {std::string(), "-" + std::to_string(ownProcessId())}) {
      const std::string name = "/tmp/crash@" + std::string(stamp) + suffix + ".log";
      std::FILE* file = std::fopen(name.c_str(), "wx");
      if (!file) continue;
      std::fclose(file);
      std::printf("%s\n", name.c_str());
    }
  }
  std::fflush(stdout);
}
#endif

#if defined(__linux__)
// The next line of the standard input: what the test sends when it is ready for the next step.
std::string awaitLine() {
  std::string line;
  for (char c; read(STDIN_FILENO, &c, 1) == 1 && c != '\n';)
    line += c;
  return line;
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// A thread inside the dynamic linker's list of modules, waiting there for a lock the crashing
// thread holds: the linker's own lock stays taken for good.
std::mutex g_heldByTheCrash;
std::atomic<bool> g_insideTheLoader{false};
int waitInsideTheLoader(dl_phdr_info*, std::size_t, void*) {
  g_insideTheLoader = true;
  std::lock_guard<std::mutex> wait(g_heldByTheCrash);
  return 1;
}
#endif

#if defined(__linux__)
// Waits until this thread is the process's only one (the crash handler's thread that reads the
// symbol tables has ended), so that a test knows every thread its child has.
void waitUntilAlone() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::size_t threads = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task"))
      threads += entry.is_directory() ? 1 : 0;
    if (threads == 1) return;
    if (std::chrono::steady_clock::now() > deadline) std::exit(13);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Waits until the process has a thread of each of these names.
void waitForThreadNames(const std::vector<std::string>& names) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
      std::string name = readFile(entry.path() / "comm");
      if (!name.empty() && name.back() == '\n') name.pop_back();
      found.insert(name);
    }
    if (std::all_of(names.begin(), names.end(),
                    [&](const std::string& name) { return found.count(name) != 0; }))
      return;
    if (std::chrono::steady_clock::now() > deadline) std::exit(14);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
// Waits until thread `tid` of this process is in `state` (the letter of /proc/<tid>/stat), or
// exits with `failure` after 30 s.
void waitForThreadState(long tid, char state, int failure) {
  const std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const std::string text = readFile(stat);
    const std::size_t end = text.rfind(')');
    if (end != std::string::npos && end + 2 < text.size() && text[end + 2] == state) return;
    if (std::chrono::steady_clock::now() > deadline) std::exit(failure);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
#endif

void runChild(const std::string& kind) {
  // Registered before the handler is installed, so that it runs after whatever the handler made
  // for itself was destroyed.
  if (kind == "exit-handler") std::atexit(crashInExitHandler);
  vemo::handled_exception_filter();
  // A process that has run for a while has its symbol tables read (the handler has them read
  // in the background); a dump, their first use, waits for them. "early" crashes before.
  if (kind != "early") {
    struct Ignore : vemo::CallStack::Callback {
      void report(const char*) override {}
    } ignore;
    vemo::CallStack* stack = vemo::CallStack::getCallStack();
    stack->dump(ignore);
    stack->destroy();
  }
  if (kind != "default-address") vemo::ServiceSystem::setSupportAddress(L"crashes@example.org");
  const char* directory = std::getenv(kDirectoryVariable);
  if (directory && *directory)
    vemo::ServiceSystem::setCrashReportDirectory(vemo::tests::toWide(fs::path(directory)).c_str());
  if (kind == "pid") {
    std::printf("pid %lu\n", ownProcessId());
    std::fflush(stdout);
  }
#if !defined(_WIN32)
  if (kind == "no-room") takeNamesInTmp();
#endif
  if (kind == "too-long-directory") {
    // A directory whose report paths could not fit is refused; the one set before stays.
    const vemo::String before = vemo::ServiceSystem::getCrashReportDirectory();
    std::wstring tooLong = before.getBuffer();
    while (tooLong.size() < kTooLongDirectory)
      tooLong += L"/" + std::wstring(200, L'x');
    const bool set = vemo::ServiceSystem::setCrashReportDirectory(tooLong.c_str());
    std::printf("%s %s\n", set ? "accepted" : "refused",
                vemo::ServiceSystem::getCrashReportDirectory() == before ? "kept" : "changed");
    std::fflush(stdout);
  }
  if (kind == "null" || kind == "default-address" || kind == "pid" || kind == "no-room" ||
      kind == "early" || kind == "too-long-directory") {
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "divide") {
    int (*volatile crash)() = divideByZero;
    std::printf("%d\n", crash());
  } else if (kind == "overflow") {
    vemo::Unknown::Handle_T<Overflowing> system = Overflowing::createInstance();
    vemo::Unknown::Handle_T<vemo::Thread> thread = vemo::Thread::createInstance();
    thread->start(system);
    waitForTheEnd();
  } else if (kind == "overflow-own-thread") {
    // A thread the program made itself, prepared for the crash handler.
    std::thread([] {
      vemo::handled_exception_thread();
      g_recurse = recurse;
      g_recurse(0);
    }).detach();
    waitForTheEnd();
  } else if (kind == "abort") {
    std::abort();
  } else if (kind == "deal") {
    // A report asked for without a fault, then a real crash: only the first is reported.
    std::printf("first %ld\n", vemo::Exception::DealExceptionInformation(nullptr));
    std::printf("second %ld\n", vemo::Exception::DealExceptionInformation(nullptr));
    std::fflush(stdout);
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "traced") {
    reportUnderADebugger();
  } else if (kind == "exit-handler") {
    std::exit(0);
  } else if (kind == "wild") {
    void (*volatile crash)() = jumpToWildAddress;
    crash();
  } else if (kind == "null-call") {
    void (*volatile crash)() = callThroughNull;
    crash();
  } else if (kind == "module") {
    void (*volatile crash)() = crashInModule;
    crash();
#if defined(__linux__)
  } else if (kind == "at-exit") {
    g_crashAtExit = true;
    std::exit(0);
  } else if (kind == "latin-directory") {
    // A report directory whose name is not UTF-8: "caf\xE9/" beside the program.
    vemo::ServiceSystem::setCrashReportDirectory(vemo::getAppPath() + L"caf\xDCE9/");
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "loader-lock") {
    g_heldByTheCrash.lock();
    std::thread([] { dl_iterate_phdr(waitInsideTheLoader, nullptr); }).detach();
    while (!g_insideTheLoader)
      std::this_thread::yield();
    say("inside the loader");
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "file-size-limit") {
    // A server with a listening socket, under a file-size limit that the dump exceeds: the
    // limit's signal ends the process in the middle of its report.
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (server < 0 || bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(server, 4) != 0 ||
        getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      std::exit(7);
    std::thread(blockForever, "sleeper-one").detach();
    const rlimit limit{16 * 1024, 16 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    say("port " + std::to_string(ntohs(address.sin_port)));
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "secret-as-nobody") {
    // A server started by root reads a file only root may read, keeps its descriptor, and goes
    // on as nobody.
    const int secret = open(std::getenv("VEMO_CRASH_TEST_SECRET"), O_RDONLY | O_CLOEXEC);
    char kept[64] = {};
    if (secret < 0 || read(secret, kept, sizeof kept - 1) <= 0) std::exit(8);
    if (setgid(65534) != 0 || setuid(65534) != 0) std::exit(6);
    std::thread(blockForever, "sleeper-one").detach();
    say("secret " + std::to_string(secret) + " " +
        std::to_string(reinterpret_cast<std::uintptr_t>(kept)));
    awaitLine();
    void (*volatile crash)() = crashNullPointer;
    crash();
    say(kept);  // the secret stays on the stack until the crash
#if defined(__x86_64__)
  } else if (kind == "unmapped-stack") {
    // A thread waits in the kernel with its stack pointer in memory that is not mapped (as a
    // coroutine's freed stack would leave it): nothing of its stack can be copied. The dump is
    // to hold exactly three threads: the handler's symbol reader must have ended first.
    waitUntilAlone();
    std::thread(blockForever, "sleeper-one").detach();
    static int ready[2];
    static const char byte = 1;
    static std::atomic<long> waiter{0};
    if (pipe(ready) != 0) std::exit(18);
    std::thread([] {
      pthread_setname_np(pthread_self(), "no-stack");
      void* page = mmap(nullptr, 4 * 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      munmap(page, 4 * 4096);
      waiter = syscall(SYS_gettid);
      const std::uintptr_t top = reinterpret_cast<std::uintptr_t>(page) + 2048;
      // On the unmapped stack: write(ready[1], &byte, 1), then pause() for good. Neither needs
      // the stack, and nothing between them can sleep.
      asm volatile(
          "mov %0, %%rsp\n\t"
          "mov $1, %%eax\n\tmov %1, %%edi\n\tmov %2, %%rsi\n\tmov $1, %%edx\n\tsyscall\n\t"
          "mov $34, %%eax\n\tsyscall\n\t1: jmp 1b" ::"r"(top),
          "r"(ready[1]), "r"(&byte)
          : "rax", "rdi", "rsi", "rdx", "rcx", "r11", "memory");
    }).detach();
    char got;
    if (read(ready[0], &got, 1) != 1) std::exit(19);
    // The byte came from the line before pause(): the first time the thread is seen asleep
    // after it, it sleeps there.
    waitForThreadState(waiter.load(), 'S', 20);
    waitForThreadNames({"sleeper-one"});
    void (*volatile crash)() = crashNullPointer;
    crash();
#endif
  } else if (kind == "wait-for-kill") {
    say("waiting");
    awaitLine();
  } else if (kind == "no-descriptors") {
    // A server that leaks descriptors until it has none left.
    const rlimit limit{256, 256};
    setrlimit(RLIMIT_NOFILE, &limit);
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
    if (errno != EMFILE) std::exit(9);
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "stuck-stderr") {
    // Nobody reads the standard error and it is full: the notice can never be written.
    const int flags = fcntl(STDERR_FILENO, F_GETFL);
    fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
    static const char filler[4096] = {};
    while (write(STDERR_FILENO, filler, sizeof filler) > 0) {
    }
    fcntl(STDERR_FILENO, F_SETFL, flags);
    say("stderr full");
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "zombie-leader") {
    // The main thread ends while the others go on: it stays a zombie until the process ends,
    // and can be seized by a tracer but never stops.
    waitUntilAlone();
    std::thread(blockForever, "sleeper-one").detach();
    std::thread(blockForever, "sleeper-two").detach();
    waitForThreadNames({"sleeper-one", "sleeper-two"});
    std::thread([] {
      waitForThreadState(getpid(), 'Z', 12);
      void (*volatile crash)() = crashNullPointer;
      crash();
    }).detach();
    // Only this thread ends, without unwinding (there is no frame to unwind to above the
    // program's static initialisers).
    syscall(SYS_exit, 0);
  } else if (kind == "vfork-waiter") {
    // A thread waits in vfork() for a child that never goes on: the kernel does not let a tracer
    // stop it until the child execs or ends (the child dies with the process).
    waitUntilAlone();
    std::thread(blockForever, "sleeper-one").detach();
    std::thread(blockForever, "sleeper-two").detach();
    static int ready[2];
    static std::atomic<long> waiter{0};
    if (pipe(ready) != 0) std::exit(15);
    std::thread([] {
      pthread_setname_np(pthread_self(), "vforker");
      waiter = syscall(SYS_gettid);
      if (vfork() == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(1);
        for (;;)
          pause();
      }
    }).detach();
    char byte;
    if (read(ready[0], &byte, 1) != 1) std::exit(16);
    waitForThreadNames({"sleeper-one", "sleeper-two"});
    // The waiter is inside vfork once the child runs; its state tells when it sleeps there.
    waitForThreadState(waiter.load(), 'D', 17);
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "many-threads") {
    // More threads than a report of 256 held.
    waitUntilAlone();
    static std::atomic<int> started{0};
    for (int i = 0; i < kManyThreads; ++i)
      std::thread([] {
        pthread_setname_np(pthread_self(), "many");
        ++started;
        for (;;)
          pause();
      }).detach();
    while (started < kManyThreads)
      std::this_thread::yield();
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "many-mappings") {
    // A process with more mappings than a fixed table of regions holds: one anonymous mapping
    // whose pages alternate between readable and inaccessible, each page a region of its own.
    constexpr std::size_t kPages = 12000;
    const long page = sysconf(_SC_PAGESIZE);
    char* memory = static_cast<char*>(
        mmap(nullptr, kPages * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (memory == MAP_FAILED) std::exit(10);
    for (std::size_t i = 0; i < kPages; i += 2)
      if (mprotect(memory + i * page, page, PROT_NONE) != 0) std::exit(11);
    // As in "threads": the handler's symbol-reading thread must be gone first, or the dump
    // holds four threads.
    waitUntilAlone();
    std::thread(blockForever, "sleeper-one").detach();
    std::thread(blockForever, "sleeper-two").detach();
    waitForThreadNames({"sleeper-one", "sleeper-two"});
    void (*volatile crash)() = crashNullPointer;
    crash();
  } else if (kind == "threads" || kind == "threads-as-nobody") {
    // A daemon started by root that goes on as its own user: the system then no longer lets
    // processes of that user trace it.
    if (kind == "threads-as-nobody" && (setgid(65534) != 0 || setuid(65534) != 0)) std::exit(6);
    waitUntilAlone();
    std::thread(blockForever, "sleeper-one").detach();
    std::thread(blockForever, "sleeper-two").detach();
    waitForThreadNames({"sleeper-one", "sleeper-two"});
    void (*volatile crash)() = crashNullPointer;
    crash();
#endif
  }
  waitForTheEnd();
}

// Runs before the tests: a child does its crash and never reaches them.
const bool g_child = [] {
  const char* kind = std::getenv(kKindVariable);
  void (*volatile run)(const std::string&) = runChild;  // a frame of its own in the report
  if (kind && *kind) run(kind);
  return false;
}();

// ---- The parent's side -----------------------------------------------------------------------

// How each crash ends the child: by its signal, or on Windows with the exception's code (abort()
// is no exception there: it exits with 3 and leaves no report).
#if defined(_WIN32)
constexpr int kAccessViolation = static_cast<int>(0xC0000005u);
constexpr int kIntegerDivide = static_cast<int>(0xC0000094u);
constexpr int kStackOverflow = static_cast<int>(0xC00000FDu);
#else
constexpr int kAccessViolation = SIGSEGV;
constexpr int kIntegerDivide = SIGFPE;
constexpr int kStackOverflow = SIGSEGV;
#endif
// Addresses are printed with the pointer's width; Windows text files end their lines with CR LF
// and its reports show the parameters of each frame and the file version of each module.
const std::string kHex = sizeof(void*) == 8 ? "[0-9a-f]{16}" : "[0-9a-f]{8}";
const std::string kRegister = sizeof(void*) == 8 ? "r" : "e";  // rip or eip, ...
#if defined(_WIN32)
const std::string kParameters = "\\([^\n]*\\)";
const std::string kModuleVersion = "\\d+\\.\\d+\\.\\d+\\.\\d+";
const std::string kLibraryName = "vemo_core\\.dll";
#else
const std::string kParameters = "\\(\\)";
const std::string kModuleVersion = "[0-9a-f]{40}";
const std::string kLibraryName = "libvemo_core";
#endif

// A text file or stream as the program wrote it, with line ends as "\n".
std::string asText(std::string text) {
#if defined(_WIN32)
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
#endif
  return text;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a minidump's thread and memory lists hold, read as the format lays them out.
struct DumpLists {
  bool read = false;
  struct Thread {
    std::uint32_t id;
    std::uint64_t stackStart;
    std::uint32_t stackSize;
  };
  std::vector<Thread> threads;
  std::vector<std::uint32_t> regionSizes;  // of the memory list
};

[[maybe_unused]] DumpLists readDumpLists(const std::string& dump) {
  DumpLists lists;
  const auto u32 = [&](std::size_t at) -> std::uint32_t {
    if (at + 4 > dump.size()) return 0;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
      value = value << 8 | static_cast<unsigned char>(dump[at + i]);
    return value;
  };
  const auto u64 = [&](std::size_t at) { return u32(at) | std::uint64_t{u32(at + 4)} << 32; };
  if (dump.compare(0, 4, "MDMP") != 0) return lists;
  const std::uint32_t streams = u32(8), directory = u32(12);
  for (std::uint32_t i = 0; i < streams; ++i) {
    const std::uint32_t type = u32(directory + 12 * i), at = u32(directory + 12 * i + 8);
    if (type == 3) {
      for (std::uint32_t t = 0; t < u32(at); ++t) {
        const std::size_t entry = at + 4 + 48 * std::size_t{t};
        lists.threads.push_back({u32(entry), u64(entry + 24), u32(entry + 32)});
      }
    } else if (type == 5) {
      for (std::uint32_t r = 0; r < u32(at); ++r)
        lists.regionSizes.push_back(u32(at + 4 + 16 * std::size_t{r} + 8));
    }
  }
  lists.read = true;
  return lists;
}

fs::path programPath() {
  return vemo::tests::toPath(vemo::getAppName().getBuffer());
}

// Where the children's output goes: the temporary directory as it was when this program
// started (a test may point the children's elsewhere).
const fs::path g_outputDirectory = fs::temp_directory_path();

struct ChildResult {
  int status = 0;
  std::string out, err;
  fs::path dump, log;  // from the notice
};

// The signal that ended the child; 0 when it exited. On Windows its exit code, which is the
// exception's code when an exception ended it.
int endingSignal(int status) {
#if defined(_WIN32)
  return status;
#else
  if (WIFSIGNALED(status)) return WTERMSIG(status);
  // The shell in between reports a child killed by a signal as 128 + the signal.
  if (WIFEXITED(status) && WEXITSTATUS(status) > 128) return WEXITSTATUS(status) - 128;
  return 0;
#endif
}

// How a child is started: this program or a copy of it, as this user or (Linux) as nobody.
struct ChildOptions {
  fs::path program = programPath();
  bool asNobody = false;
};

// The report's paths as the notice names them.
void takeReportPaths(ChildResult& result) {
  std::smatch paths;
  static const std::regex kPaths("you can find them here:\n([^\n]*)\n([^\n]*)\n");
  if (std::regex_search(result.err, paths, kPaths)) {
    result.dump = paths[1].str();
    result.log = paths[2].str();
  }
}

ChildResult runCrashingChild(const std::string& kind, const ChildOptions& options = {}) {
  const fs::path out = g_outputDirectory / ("vemo-crash-out-" + kind),
                 err = g_outputDirectory / ("vemo-crash-err-" + kind);
  ChildResult result;
  {
    vemo::tests::ScopedVariable variable(kKindVariable, kind);
    std::string command;
#if !defined(_WIN32)
    // No core file for a crash that is meant to happen, and no shell between: its message on
    // a child's signal would join the child's own output.
    command = "ulimit -c 0; exec ";
    if (options.asNobody) command += "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
#endif
    command +=
        "\"" + options.program.string() + "\" >\"" + out.string() + "\" 2>\"" + err.string() + "\"";
#if defined(_WIN32)
    // The shell drops the first and the last quote of a line that holds more than two.
    command = "\"" + command + "\"";
#endif
    result.status = std::system(command.c_str());
  }
  result.out = asText(readFile(out));
  result.err = asText(readFile(err));
  fs::remove(out);
  fs::remove(err);
  takeReportPaths(result);
  return result;
}

#if defined(__linux__)
// A child of this program run with pipes for its standard streams and watched with deadlines
// of the test's own: a child that hangs fails the test instead of stopping it.
class LiveChild {
 public:
  // With `journal`, the child's standard error is named by JOURNAL_STREAM, as systemd names
  // the journal's stream.
  explicit LiveChild(const std::string& kind, const std::vector<std::string>& variables = {},
                     bool journal = false) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "no pipes";
      return;
    }
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable)
      if (std::string(*variable).rfind(std::string(kKindVariable) + "=", 0) != 0 &&
          std::string(*variable).rfind("JOURNAL_STREAM=", 0) != 0)
        environment.push_back(*variable);
    environment.push_back(std::string(kKindVariable) + "=" + kind);
    environment.insert(environment.end(), variables.begin(), variables.end());
    struct stat stream {};
    if (journal && fstat(err[1], &stream) == 0)
      environment.push_back("JOURNAL_STREAM=" + std::to_string(stream.st_dev) + ":" +
                            std::to_string(stream.st_ino));
    std::vector<char*> envp;
    for (std::string& variable : environment)
      envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    const std::string program = programPath().string();
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    _pid = fork();
    if (_pid == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      const rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    _in = in[1];
    _out = out[0];
    _err = err[0];
  }
  ~LiveChild() {
    if (_pid > 0 && !_ended) {
      kill(_pid, SIGKILL);
      // A child whose threads another process traces cannot be reaped before that one lets
      // them go: left to init then, rather than hanging the test.
      waitForEnd(std::chrono::seconds(5));
    }
    for (int file : {_in, _out, _err})
      if (file >= 0) close(file);
  }
  LiveChild(const LiveChild&) = delete;
  LiveChild& operator=(const LiveChild&) = delete;

  pid_t pid() const { return _pid; }

  // The next line of the child's standard output; false when none came before the deadline.
  bool readLine(std::string& line, std::chrono::seconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const std::size_t newline = _outText.find('\n');
      if (newline != std::string::npos) {
        line = _outText.substr(0, newline);
        _outText.erase(0, newline + 1);
        return true;
      }
      if (!readSome(_out, _outText, end)) return false;
    }
  }

  void send(const std::string& line) {
    const std::string text = line + "\n";
    EXPECT_EQ(write(_in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Waits until the child ended; false when it still runs at the deadline.
  bool waitForEnd(std::chrono::seconds deadline = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!_ended) {
      const pid_t done = waitpid(_pid, &_status, WNOHANG);
      if (done == _pid) {
        _ended = true;
        break;
      }
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  // The child's standard error, read until no process holds it open any more; false when one
  // still does at the deadline.
  bool readErrorToEnd(std::string& text, std::chrono::seconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (readSome(_err, _errText, end)) {
    }
    text = _errText;
    return _errClosed;
  }

  // What the child left, once it ended and its standard error closed.
  ChildResult result() {
    ChildResult result;
    EXPECT_TRUE(waitForEnd()) << "the child still runs";
    result.status = _status;
    std::string rest;
    EXPECT_TRUE(readErrorToEnd(result.err)) << "some process still holds the child's stderr";
    result.out = _outText;
    takeReportPaths(result);
    return result;
  }

 private:
  // Appends what `file` has before the deadline; false at its end or at the deadline.
  bool readSome(int file, std::string& text, std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{file, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) != 1) return false;
    char buffer[4096];
    const ssize_t got = read(file, buffer, sizeof buffer);
    if (got <= 0) {
      if (file == _err) _errClosed = true;
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  pid_t _pid = -1;
  int _in = -1, _out = -1, _err = -1;
  int _status = 0;
  bool _ended = false, _errClosed = false;
  std::string _outText, _errText;
};
#endif

bool isCrashFile(const fs::path& path) {
  return path.filename().string().rfind("crash@", 0) == 0;
}

// The crash files that appear in some directories while it lives (beside this program unless
// told otherwise); all removed when it goes, whatever the test made of them.
class NewCrashFiles {
 public:
  explicit NewCrashFiles(std::vector<fs::path> directories = {programPath().parent_path()})
      : _directories(std::move(directories)) {
    for (const fs::path& file : all())
      _before.insert(file);
  }
  ~NewCrashFiles() {
    std::error_code ignored;
    for (const fs::path& file : made())
      fs::remove(file, ignored);
  }
  NewCrashFiles(const NewCrashFiles&) = delete;
  NewCrashFiles& operator=(const NewCrashFiles&) = delete;

  std::vector<fs::path> made() const {
    std::vector<fs::path> files;
    for (const fs::path& file : all())
      if (!_before.count(file)) files.push_back(file);
    return files;
  }

 private:
  std::vector<fs::path> all() const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::path& directory : _directories)
      for (fs::directory_iterator it(directory, error), end; !error && it != end;
           it.increment(error))
        if (isCrashFile(it->path())) files.push_back(it->path());
    return files;
  }
  std::vector<fs::path> _directories;
  std::set<fs::path> _before;
};

std::string notice(const fs::path& dump, const fs::path& log, const std::string& address) {
  return "This application has halted due to an unexpected error.\n"
         "A crash report and minidump file were saved to disk, you can find them here:\n" +
         dump.string() + "\n" + log.string() + "\n" + "Please send the log file to " + address +
         " to help us analyse\nand solve this problem.\n\n"
         "NOTE: The crash report and minidump files can contain some sensitive information\n"
         "(filenames, partial file content, usernames and passwords etc.)\n";
}

// Checks the report of a child that crashed by `signal` with `exception`, in `function` at
// `line` of this file; the report's text for further checks.
// By default the report is expected next to this program, named by the local time alone.
struct ReportPlace {
  fs::path directory = programPath().parent_path();
  std::string nameSuffix;  // "-<pid>" when the names of the time were taken
  fs::path program = programPath();
  std::string noticeEnd;  // what the notice has after its usual text
};

const std::string kNoMemoryNote =
    "The minidump holds no memory: the process is not dumpable (it changed its user or asked not "
    "to be dumped).\n";

std::string checkReport(const ChildResult& child, int signal, const std::string& exception,
                        const std::string& function, int line, const ReportPlace& place = {}) {
  EXPECT_EQ(endingSignal(child.status), signal) << "status " << child.status;
  EXPECT_EQ(child.err, notice(child.dump, child.log, "crashes@example.org") + place.noticeEnd);
  // Both files in the expected directory, named by the local time of the crash (one reading).
  const std::regex name("crash@(\\d{4}-\\d\\d-\\d\\d \\d\\d\\.\\d\\d\\.\\d\\d)" + place.nameSuffix +
                        "\\.(log|dmp)");
  std::smatch logName, dumpName;
  const std::string logLeaf = child.log.filename().string(),
                    dumpLeaf = child.dump.filename().string();
  EXPECT_TRUE(std::regex_match(logLeaf, logName, name)) << child.log;
  EXPECT_TRUE(std::regex_match(dumpLeaf, dumpName, name)) << child.dump;
  if (!logName.empty() && !dumpName.empty()) {
    EXPECT_EQ(logName[1].str(), dumpName[1].str());
    EXPECT_EQ(logName[2].str(), "log");
    EXPECT_EQ(dumpName[2].str(), "dmp");
  }
  // Full paths in the notice.
  EXPECT_TRUE(child.log.is_absolute()) << child.log;
  EXPECT_EQ(child.log.parent_path(), place.directory);
  EXPECT_EQ(child.dump.parent_path(), place.directory);
  EXPECT_EQ(readFile(child.dump).substr(0, 4), "MDMP");

  const std::string log = asText(readFile(child.log));
#if defined(_WIN32)
  // As the shell passed it: quoted, with the blanks of the redirections it took away.
  EXPECT_EQ(log.rfind("\nProcess info:\nCmd line: \"" + place.program.string() + "\"", 0), 0u)
      << log;
#else
  EXPECT_EQ(log.rfind("\nProcess info:\nCmd line: " + place.program.string() + "\n", 0), 0u) << log;
#endif
  EXPECT_NE(log.find("\nPlatform: "), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      log, std::regex("\n\nException: " + exception + "\n(Sent by: [^\n]*\n)?\nRegisters:\n")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\n" + kRegister + "ip=" + kHex + " " + kRegister +
                                                "sp=" + kHex + " " + kRegister + "bp=")));
  // The crashing function by name with this file and line, early in the stack.
  const std::regex frame(
      "\n#[1-9]  0x" + kHex + " in [^\n]*" + function + " " + kParameters +
      " at [^\n]*CrashTest\\.cpp:" + (line ? std::to_string(line) : std::string("\\d+")) + "\n");
  EXPECT_TRUE(std::regex_search(log, frame)) << log;
  EXPECT_NE(log.find("\nStacktrace:\n#1  0x"), std::string::npos);
  // The library among the modules, with its build id (file version) and size.
  EXPECT_TRUE(std::regex_search(log, std::regex("\n\nLoaded modules:\n0x" + kHex + "  [^\n]+ \\(" +
                                                kModuleVersion + ", \\d+ bytes\\)\n")))
      << log;
  EXPECT_TRUE(
      std::regex_search(log, std::regex("\n0x" + kHex + "  [^\n]*" + kLibraryName + "[^\n]* \\(" +
                                        kModuleVersion + ", \\d+ bytes\\)\n")));
  return log;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VEMO_SKIP_UNDER_SANITIZERS() \
  GTEST_SKIP() << "the sanitizers keep fatal signals to themselves"
#else
#define VEMO_SKIP_UNDER_SANITIZERS() (void)0
#endif

TEST(Crash, NullPointerIsAnAccessViolation) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("null");
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
}

#if !defined(_WIN32)
// A crash at once after the handler was installed, while the symbol tables are still being read
// in the background (with the loader's lock held): the report is whole, without waiting for
// them, its functions named where the images' dynamic symbols name them.
TEST(Crash, ACrashBeforeTheSymbolTablesAreReadIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  for (int run = 0; run < 3; ++run) {
    NewCrashFiles files;
    const auto start = std::chrono::steady_clock::now();
    const ChildResult child = runCrashingChild("early");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(endingSignal(child.status), SIGSEGV);
    ASSERT_EQ(files.made().size(), 2u) << child.err;
    const std::string log = readFile(child.log);
    EXPECT_NE(log.find("\nStacktrace:\n#1  0x"), std::string::npos) << log;
    EXPECT_NE(log.find("\nLoaded modules:\n"), std::string::npos) << log;
  }
}
#endif

TEST(Crash, DivisionByZero) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("divide");
  checkReport(child, kIntegerDivide, "INT_DIVIDE_BY_ZERO", "divideByZero", kDivideLine);
}

// On a thread of the library and on one the program made itself, which asked for its crash
// stack: some frame of the recursion, at whichever of its lines the stack ran out.
TEST(Crash, StackOverflowOnAThread) {
  VEMO_SKIP_UNDER_SANITIZERS();
#if defined(_WIN32)
  // Wine dispatches the exception on the exhausted stack itself and ends the thread when that
  // runs out too: no filter is ever called, and the process lives on.
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
    GTEST_SKIP() << "Wine cannot dispatch a stack overflow";
#endif
  for (const char* kind : {"overflow", "overflow-own-thread"}) {
    SCOPED_TRACE(kind);
    NewCrashFiles files;
    const ChildResult child = runCrashingChild(kind);
    checkReport(child, kStackOverflow, "STACK_OVERFLOW", "recurse", 0);
  }
}

TEST(Crash, AbortEndsWithItsSignal) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("abort");
#if defined(_WIN32)
  // abort() raises no exception: the filter never sees it.
  EXPECT_EQ(child.status, 3);
  EXPECT_EQ(child.err.find("This application has halted"), std::string::npos) << child.err;
  EXPECT_EQ(files.made().size(), 0u);
#else
  // Named as the signal, sent by the process itself to its thread.
  const std::string log = checkReport(child, SIGABRT, "SIGABRT", "runChild", 0);
  EXPECT_NE(log.find("\nException: SIGABRT\nSent by: this process (abort, raise or kill) to this "
                     "thread\n\nRegisters:\n"),
            std::string::npos)
      << log;
#endif
}

TEST(Crash, OnlyTheFirstCrashIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("deal");
  // Asked for without a fault: reported from the caller on; the second request and the real
  // crash after it write nothing more, and the process still ends by the signal.
  EXPECT_EQ(child.out, "first 1\nsecond 1\n");
  const std::string log = checkReport(child, kAccessViolation, "UNKNOWN_ERROR", "runChild", 0);
  EXPECT_EQ(log.find("crashNullPointer"), std::string::npos);
  EXPECT_EQ(files.made().size(), 2u);
}

// The local time of `when` as the crash files name it, by the C runtime.
std::string localStamp(std::time_t when) {
  char stamp[32] = "";
  const std::tm* local = std::localtime(&when);
  if (local) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", local);
  return stamp;
}

// The log names of the coming seconds are taken: in each of its three readings of the clock
// the dump's name is claimed and the log's is not (the dump is removed again); then both names
// get the process id. The names that were there are left as they were.
TEST(Crash, TakenNamesGiveNamesWithTheProcessId) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  std::set<std::string> stamps;
  const std::time_t now = std::time(nullptr);
  for (int second = -1; second < 30; ++second) {
    const std::string stamp = localStamp(now + second);
    stamps.insert(stamp);
    std::ofstream(programPath().parent_path() / ("crash@" + stamp + ".log")) << "taken";
  }
  const ChildResult child = runCrashingChild("pid");
  std::smatch pid;
  ASSERT_TRUE(std::regex_match(child.out, pid, std::regex("pid (\\d+)\n"))) << child.out;
  ReportPlace place;
  place.nameSuffix = "-" + pid[1].str();
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine,
              place);
  // Named by one of the taken seconds.
  const std::string leaf = child.log.filename().string();
  EXPECT_EQ(stamps.count(leaf.substr(6, 19)), 1u) << leaf;
  EXPECT_EQ(files.made().size(), stamps.size() + 2);
  for (const std::string& stamp : stamps)
    EXPECT_EQ(readFile(programPath().parent_path() / ("crash@" + stamp + ".log")), "taken");
}

#if !defined(_WIN32)
namespace {

// Runs a shell command; its standard output.
std::string shellOutput(const std::string& command) {
  const fs::path out = fs::temp_directory_path() / "vemo-crash-tool-output";
  std::system((command + " >\"" + out.string() + "\" 2>/dev/null").c_str());
  std::string text = readFile(out);
  fs::remove(out);
  return text;
}

// The crash tools of the npm package "minidump" (Breakpad's), installed beside this program on
// first use; empty when npm cannot get them.
fs::path minidumpTools() {
  const fs::path prefix = programPath().parent_path() / "npm-minidump";
  const fs::path tools = prefix / "node_modules" / "minidump" / "bin" / "linux-x64";
  if (!fs::exists(tools / "minidump_stackwalk"))
    std::system(("timeout 300 npm install --prefix \"" + prefix.string() +
                 "\" minidump --ignore-scripts --no-audit --no-fund >/dev/null 2>&1")
                    .c_str());
  if (!fs::exists(tools / "minidump_stackwalk")) return {};
  std::system(("chmod +x \"" + tools.string() + "\"/*").c_str());
  return tools;
}

// What Breakpad's stack walker reads from `dump` with this program's symbols; `module` is the
// program's name as the walker shows it. Empty when the tools are not at hand.
std::string walkMinidump(const fs::path& dump, std::string& module) {
  const fs::path tools = minidumpTools();
  if (tools.empty()) return {};
  // The symbols of this program, where the stack walker looks for them: <module>/<id>/.
  vemo::tests::ScratchDirectory symbols;
  const std::string table =
      shellOutput("\"" + (tools / "dump_syms").string() + "\" \"" + programPath().string() + "\"");
  std::smatch found;
  if (!std::regex_search(table, found, std::regex("^MODULE Linux x86_64 ([0-9A-F]+) (\\S+)"))) {
    ADD_FAILURE() << table.substr(0, 200);
    return {};
  }
  module = found[2].str();
  const fs::path place = symbols.path / module / found[1].str();
  fs::create_directories(place);
  std::ofstream(place / (module + ".sym"), std::ios::binary) << table;
  return shellOutput("\"" + (tools / "minidump_stackwalk").string() + "\" \"" + dump.string() +
                     "\" \"" + symbols.path.string() + "\"");
}

#define VEMO_SKIP_WITHOUT_CRASH_TOOLS()                                                       \
  if (minidumpTools().empty())                                                                \
  GTEST_SKIP() << "npm could not install the package \"minidump\" (no registry reachable?): " \
                  "the dump's format is not checked by its tools"

}  // namespace

TEST(Crash, MinidumpIsReadByCrashTools) {
  VEMO_SKIP_UNDER_SANITIZERS();
  VEMO_SKIP_WITHOUT_CRASH_TOOLS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("default-address");
  // Without an address set, the notice names the program.
  EXPECT_EQ(child.err, notice(child.dump, child.log, programPath().filename().string()));

  std::string module;
  const std::string walk = walkMinidump(child.dump, module);
  EXPECT_NE(walk.find("Crash reason:  SIGSEGV"), std::string::npos) << walk;
  // The crashing thread's first frame is the crashing function, at its line.
  EXPECT_TRUE(std::regex_search(walk, std::regex("\\(crashed\\)\n 0  " + module +
                                                 "!\\S*crashNullPointer[^\n]*CrashTest\\.cpp : " +
                                                 std::to_string(kNullPointerLine))))
      << walk;
}

TEST(Crash, NothingIsWrittenUnderADebugger) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("traced");
  if (child.out.rfind("untraceable", 0) == 0) GTEST_SKIP() << "this system refuses ptrace";
  EXPECT_EQ(child.out, "traced 0\nuntraced 1\n");
  // Only the untraced process's report exists.
  EXPECT_EQ(files.made().size(), 2u);
  EXPECT_EQ(child.err, notice(child.dump, child.log, "crashes@example.org"));
}
#endif

#if defined(__linux__)
// A call through a corrupted pointer or through null leaves the program counter outside any
// code: the report shows that address, then the function that made the call and its callers.
TEST(Crash, WildCallsNameTheirCaller) {
  VEMO_SKIP_UNDER_SANITIZERS();
  struct Case {
    const char* kind;
    const char* address;
    const char* caller;
    int line;
  };
  for (const Case& c : {Case{"wild", "0000000000001234", "jumpToWildAddress", kWildCallLine},
                        Case{"null-call", "0000000000000000", "callThroughNull", kNullCallLine}}) {
    SCOPED_TRACE(c.kind);
    NewCrashFiles files;
    const ChildResult child = runCrashingChild(c.kind);
    const std::string log = checkReport(child, SIGSEGV, "ACCESS_VIOLATION", c.caller, c.line);
    EXPECT_NE(log.find("\nStacktrace:\n#1  0x" + std::string(c.address) +
                       " in (unknown function)\n#2  0x"),
              std::string::npos)
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\n#2  0x" + kHex + " in " + c.caller)));
    EXPECT_TRUE(std::regex_search(log, std::regex("\n#[3-9]  0x" + kHex + " in runChild \\(\\)")));
  }
}

// A module loaded after the handler was prepared: its functions are named from the module's
// dynamic symbol table, and the report goes on into the program's frames.
TEST(Crash, FunctionsOfAModuleLoadedLaterAreNamed) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("module");
  const std::string log = checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "runChild", 0);
  EXPECT_TRUE(std::regex_search(log, std::regex("\nStacktrace:\n#1  0x" + kHex +
                                                " in crash_module::crashInside \\(\\)[^\n]*\n"
                                                "#2  0x" +
                                                kHex + " in crashModuleRun \\(\\)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\n0x" + kHex + "  [^\n]*CrashTestModule")));
}

// An exit handler registered before the library initialised runs after the library's static
// objects were destroyed: a crash there is still reported whole.
TEST(Crash, ACrashAfterStaticTeardownIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("at-exit");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(log, std::regex("\n#2  0x" + kHex + " in crashAtExit \\(\\)")))
      << log;
}

namespace {

// The threads section names every thread, the crashed one first, and gives the first frames of
// the others; the minidump holds all three threads, whose stacks the walker follows.
void checkThreads(const std::string& log, const fs::path& dump) {
  EXPECT_TRUE(std::regex_search(
      log, std::regex("\n\nThreads:\nThread \\d+ \"CrashTest\" \\(crashed, its stack above\\)\n")))
      << log;
  for (const std::string name : {"sleeper-one", "sleeper-two"}) {
    const std::regex thread("\nThread \\d+ \"" + name + "\"\n#1  0x" + kHex +
                            " in [^\n]+\n(#\\d  [^\n]+\n)*#\\d  0x" + kHex + " in blockForever");
    EXPECT_TRUE(std::regex_search(log, thread)) << name << "\n" << log;
  }
  std::string module;
  const std::string walk = walkMinidump(dump, module);
  if (walk.empty()) return;  // the crash tools are not at hand: the dump is not read
  EXPECT_NE(walk.find("Thread 0 (crashed)"), std::string::npos) << walk;
  EXPECT_NE(walk.find("\nThread 2\n"), std::string::npos) << walk;
  EXPECT_EQ(walk.find("\nThread 3\n"), std::string::npos) << walk;
  EXPECT_TRUE(std::regex_search(walk, std::regex("Thread 1\n(.+\n)*[^\n]*blockForever"))) << walk;
}

}  // namespace

// The threads that did not crash are stopped while the report is made: the report lists each
// with its name and first frames, the minidump holds every thread's registers and stack.
TEST(Crash, EveryThreadIsInTheReportAndTheDump) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("threads");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  checkThreads(log, child.dump);
}

// A process with more than 12000 mappings (more than a fixed table of 8192 held): the report
// still follows the crashing thread's stack through the program and its libraries, names every
// module with its build id, and lists the other threads with their frames.
TEST(Crash, AProcessWithManyMappingsIsReportedWhole) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("many-mappings");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(
      log, std::regex("\n#1  0x" + kHex + " in crashNullPointer \\(\\)[^\n]*\n#2  0x" + kHex +
                      " in runChild \\(\\)")))
      << log;
  // The C library's start-up code lies above the mappings: the walk goes through it to the
  // program's entry point.
  EXPECT_TRUE(std::regex_search(log, std::regex("\n#\\d+  0x" + kHex + " in _start \\(\\)\n")))
      << log;
  const std::string modules = log.substr(log.find("\nLoaded modules:\n"));
  for (const std::string module : {"libc\\.so", "libvemo_core", "linux-vdso\\.so\\.1"})
    EXPECT_TRUE(std::regex_search(modules, std::regex("\n0x" + kHex + "  [^\n]*" + module +
                                                      "[^\n]* \\([0-9a-f]{40}, \\d+ bytes\\)\n")))
        << module << "\n"
        << log;
  EXPECT_EQ(modules.find("no build id"), std::string::npos) << log;
  EXPECT_EQ(log.find("Memory regions left out"), std::string::npos) << log;
  checkThreads(log, child.dump);
}

// The main thread ended and is a zombie, which a tracer can seize but never stop: the report
// lists it as such and keeps every other thread, with its frames, in the text and the dump.
TEST(Crash, AThreadThatWillNotStopLeavesTheOthersInTheReport) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("zombie-leader");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(
      log, std::regex("\nThread \\d+ \"CrashTest\" \\(would not stop: no registers\\)\n")))
      << log;
  checkThreads(log, child.dump);
  const DumpLists lists = readDumpLists(readFile(child.dump));
  EXPECT_EQ(lists.threads.size(), 3u);
}

// A thread inside vfork() cannot be stopped while its child runs: the report lists it as such
// and keeps the other threads with their frames (the helper gives up on that one thread, rather
// than on all of them after 3 s).
TEST(Crash, AThreadInsideVforkLeavesTheOthersInTheReport) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("vfork-waiter");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(
      log, std::regex("\nThread \\d+ \"vforker\" \\(would not stop: no registers\\)\n")))
      << log;
  checkThreads(log, child.dump);
  // The two sleepers and the crashed thread; the one that would not stop has no registers.
  const DumpLists lists = readDumpLists(readFile(child.dump));
  EXPECT_EQ(lists.threads.size(), 3u);
}

// A process of 301 threads: the report lists every one with its frames, the dump holds them
// all, and nothing is said to be left out.
TEST(Crash, EveryThreadOfAProcessWithManyIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("many-threads");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  const std::regex thread("\nThread (\\d+) \"many\"\n#1  0x" + kHex + " in ");
  std::set<std::string> listed;
  for (std::sregex_iterator it(log.begin(), log.end(), thread), end; it != end; ++it)
    listed.insert((*it)[1].str());
  EXPECT_EQ(listed.size(), static_cast<std::size_t>(kManyThreads)) << log;
  EXPECT_EQ(log.find("left out"), std::string::npos) << log;
  const DumpLists lists = readDumpLists(readFile(child.dump));
  ASSERT_TRUE(lists.read);
  EXPECT_EQ(lists.threads.size(), static_cast<std::size_t>(kManyThreads) + 1);
  std::set<std::string> dumped;
  for (const DumpLists::Thread& entry : lists.threads)
    dumped.insert(std::to_string(entry.id));
  for (const std::string& id : listed)
    EXPECT_EQ(dumped.count(id), 1u) << id;
}

// Another user who can write to the directory swaps each report file for a link the moment it
// appears: the report never opens a file again by name, so the link's target is never touched.
TEST(Crash, ReportFilesSwappedForLinksAreNotFollowed) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const fs::path directory = programPath().parent_path();
  const fs::path victim = fs::temp_directory_path() / "vemo-crash-victim";
  std::ofstream(victim) << "precious";
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, directory.c_str(), IN_CREATE), 0);
  std::atomic<bool> done{false};
  std::vector<fs::path> swapped;
  NewCrashFiles files;
  std::thread attacker([&] {
    alignas(inotify_event) char events[4096];
    while (!done) {
      const ssize_t length = read(watch, events, sizeof events);
      if (length <= 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      for (ssize_t at = 0; at < length;) {
        const inotify_event* event = reinterpret_cast<const inotify_event*>(events + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        const std::string name = event->len ? event->name : "";
        if (name.rfind("crash@", 0) != 0) continue;
        const fs::path link = directory / (".swap-" + name);
        std::error_code ignored;
        fs::create_symlink(victim, link, ignored);
        fs::rename(link, directory / name, ignored);
        swapped.push_back(directory / name);
      }
    }
  });
  const ChildResult child = runCrashingChild("null");
  done = true;
  attacker.join();
  close(watch);
  EXPECT_EQ(endingSignal(child.status), SIGSEGV);
  EXPECT_EQ(swapped.size(), 2u);
  // Compared as a flag: an overwritten victim holds a whole minidump.
  EXPECT_TRUE(readFile(victim) == "precious") << "the link's target was written";
  fs::remove(victim);
}

// A thread waits inside the dynamic linker's list of modules for a lock the crashing thread
// holds: the report reads the modules without the linker, and ends.
TEST(Crash, AThreadInsideTheLoaderDoesNotHangTheReport) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  LiveChild live("loader-lock");
  std::string line;
  ASSERT_TRUE(live.readLine(line)) << "the child did not start";
  EXPECT_EQ(line, "inside the loader");
  ASSERT_TRUE(live.waitForEnd()) << "the report hangs";
  const std::string log =
      checkReport(live.result(), SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  // The program first, then its libraries with their build ids, as the loader knows them.
  EXPECT_TRUE(std::regex_search(log, std::regex("\nLoaded modules:\n0x" + kHex + "  " +
                                                programPath().string() + " \\([0-9a-f]{40}, ")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\n0x" + kHex + "  /[^\n]*libc\\.so[^\n]* \\(")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("\n0x" + kHex + "  linux-vdso\\.so\\.1 \\(")))
      << log;
}

#if defined(__x86_64__)
// A thread whose stack cannot be read is in the dump without one; the dump's memory list holds
// the other stacks and no empty region, so that crash tools read it.
TEST(Crash, AThreadWithoutAReadableStackLeavesTheOthersReadable) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("unmapped-stack");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_NE(log.find("\"no-stack\""), std::string::npos) << log;
  const DumpLists lists = readDumpLists(readFile(child.dump));
  ASSERT_TRUE(lists.read);
  ASSERT_EQ(lists.threads.size(), 3u);
  std::size_t empty = 0;
  for (const DumpLists::Thread& thread : lists.threads)
    if (thread.stackSize == 0) ++empty;
  EXPECT_EQ(empty, 1u);
  EXPECT_EQ(lists.regionSizes.size(), 2u);
  for (std::uint32_t size : lists.regionSizes)
    EXPECT_GT(size, 0u);
  std::string module;
  const std::string walk = walkMinidump(child.dump, module);
  if (walk.empty()) return;  // the crash tools are not at hand
  EXPECT_TRUE(std::regex_search(walk, std::regex("Thread [12]\n(.+\n)*[^\n]*blockForever")))
      << walk;
}
#endif

// A service manager's watchdog ends a hung service with SIGABRT: the report names the signal and
// its sender, which tells it from the program's own abort(). Under systemd, whose journal
// reads the standard error, each line of the notice has the priority "<2>" (critical).
TEST(Crash, ASignalFromAnotherProcessNamesItsSender) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  LiveChild live("wait-for-kill", {}, true);
  std::string line;
  ASSERT_TRUE(live.readLine(line)) << "the child did not start";
  EXPECT_EQ(line, "waiting");
  ASSERT_EQ(kill(live.pid(), SIGABRT), 0);
  ChildResult child = live.result();
  const std::string journal = child.err;
  child.err = std::regex_replace(journal, std::regex("(^|\n)<2>"), "$1");
  takeReportPaths(child);
  const std::string expected = notice(child.dump, child.log, "crashes@example.org");
  std::string prefixed;
  for (std::size_t at = 0; at < expected.size();) {
    const std::size_t end = expected.find('\n', at);
    prefixed += "<2>" + expected.substr(at, end + 1 - at);
    at = end + 1;
  }
  EXPECT_EQ(journal, prefixed);
  const std::string log = checkReport(child, SIGABRT, "SIGABRT", "runChild", 0);
  EXPECT_NE(log.find("\nException: SIGABRT\nSent by: process " + std::to_string(getpid()) +
                     ", user " + std::to_string(getuid()) + "\n\nRegisters:\n"),
            std::string::npos)
      << log;
}

// A process with no descriptor left still gets its report: what it needs was kept for it.
TEST(Crash, AProcessOutOfDescriptorsIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("no-descriptors");
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(log, std::regex("\n0x" + kHex + "  [^\n]*libc\\.so[^\n]* \\(")))
      << log;
  EXPECT_EQ(files.made().size(), 2u);
}

// A report that cannot end (its notice goes to a full pipe nobody reads) is given up at its
// deadline: the process still ends by its signal, with its files written.
TEST(Crash, AReportThatCannotEndEndsTheProcessAtItsDeadline) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  LiveChild live("stuck-stderr");
  std::string line;
  ASSERT_TRUE(live.readLine(line)) << "the child did not start";
  EXPECT_EQ(line, "stderr full");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(live.waitForEnd(std::chrono::seconds(60))) << "the report hangs";
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(endingSignal(live.result().status), SIGSEGV);
  EXPECT_GE(took, std::chrono::seconds(9));
  const std::vector<fs::path> made = files.made();
  ASSERT_EQ(made.size(), 2u);
  for (const fs::path& file : made)
    EXPECT_GT(fs::file_size(file), 0u) << file;
}

// A server under a file-size limit dies of it in the middle of its report: nothing of it is
// left (the helper that stopped its threads ends too), so its supervisor sees the end of its
// pipe and a restart can listen on the same port.
TEST(Crash, AProcessThatDiesDuringItsReportLeavesNothingBehind) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  LiveChild live("file-size-limit");
  std::string line;
  ASSERT_TRUE(live.readLine(line)) << "the child did not start";
  std::smatch port;
  ASSERT_TRUE(std::regex_match(line, port, std::regex("port (\\d+)"))) << line;
  ASSERT_TRUE(live.waitForEnd());
  std::string err;
  EXPECT_TRUE(live.readErrorToEnd(err)) << "a process still holds the dead server's stderr";
  EXPECT_EQ(endingSignal(live.result().status), SIGXFSZ);
  const int again = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port[1].str())));
  EXPECT_EQ(bind(again, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
      << "the dead server's port is still taken";
  close(again);
}

// A report directory the program sets whose name is not UTF-8 gets the report under that very
// name (not beside the program, where a directory that was not found would leave it).
TEST(Crash, TheReportDirectoryMayHaveANameThatIsNotUtf8) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const fs::path directory = programPath().parent_path() / "caf\xE9";
  fs::create_directories(directory);
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("latin-directory");
  EXPECT_EQ(endingSignal(child.status), SIGSEGV);
  EXPECT_EQ(child.log.parent_path(), directory) << child.err;
  EXPECT_EQ(child.dump.parent_path(), directory);
  EXPECT_EQ(readFile(child.dump).substr(0, 4), "MDMP");
  std::error_code ignored;
  fs::remove_all(directory, ignored);
}
#endif

// ---- Where reports go, what they are named, and crashes late in the process -----------------

namespace {

// Leaves the directory the child sets for its reports when it goes.
struct SetReportDirectory : vemo::tests::ScopedVariable {
  explicit SetReportDirectory(const fs::path& directory)
      : ScopedVariable(kDirectoryVariable, directory.string()) {}
};

// A copy of this program in a directory that refuses new files. On Windows its path is so long
// that no crash file name fits in it (an ANSI path has at most 259 characters), whatever the
// rights; Wine does not enforce those. On Linux the directory is read-only and, for a root
// user, the child runs as nobody.
struct RefusingProgram {
  explicit RefusingProgram(const fs::path& scratch) {
#if defined(_WIN32)
    // 238 characters: the program's 13 and the runtime libraries' up to 19 fit after it, the 29
    // of a crash file name do not.
    const std::size_t length = scratch.string().size() + 1;
    directory = scratch / std::string(length < 238 ? 238 - length : 1, 'd');
    fs::create_directories(directory);
    // The libraries the program loads from its own directory.
    for (const auto& entry : fs::directory_iterator(programPath().parent_path()))
      if (entry.path().extension() == ".dll")
        fs::copy_file(entry.path(), directory / entry.path().filename());
#else
    directory = scratch / "program";
    fs::create_directories(directory);
    asNobody = geteuid() == 0;
#endif
    program = directory / programPath().filename();
    fs::copy_file(programPath(), program);
#if !defined(_WIN32)
    chmod(scratch.c_str(), 0755);
    chmod(directory.c_str(), 0555);
#endif
  }
  ~RefusingProgram() {
#if !defined(_WIN32)
    chmod(directory.c_str(), 0755);  // so that the scratch directory can be removed
#endif
  }
  ChildOptions options() const {
    ChildOptions options;
    options.program = program;
    options.asNobody = asNobody;
    return options;
  }
  fs::path directory, program;
  bool asNobody = false;
};

// A directory anyone may write to, as the temporary directory of a child run as nobody.
fs::path openDirectory(const fs::path& path) {
  fs::create_directories(path);
#if !defined(_WIN32)
  chmod(path.c_str(), 0777);
#endif
  return path;
}

// The directories besides the program and the temporary one where a report might go: the ones
// the systemd service variables name are left out for the child.
struct NoServiceDirectories {
  NoServiceDirectories() {}  // used for what it holds, which on Windows is nothing
#if !defined(_WIN32)
  vemo::tests::ScopedVariable logs{"LOGS_DIRECTORY", ""};
  vemo::tests::ScopedVariable state{"STATE_DIRECTORY", ""};
#endif
};

std::string noReportNotice(const std::string& address) {
  return "This application has halted due to an unexpected error.\n"
         "No crash report could be saved: no directory would take one.\n"
         "Please tell " +
         address + " about this problem.\n";
}

// Every crash file under `root`, at any depth.
std::vector<fs::path> crashFilesUnder(const fs::path& root) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error))
    if (isCrashFile(it->path())) files.push_back(it->path());
  return files;
}

}  // namespace

// The program set a report directory: the report goes there, and the notice names its full
// paths. A set directory that does not exist leaves the report to the program's directory.
TEST(Crash, ReportGoesToTheDirectoryTheProgramSet) {
  VEMO_SKIP_UNDER_SANITIZERS();
  vemo::tests::ScratchDirectory scratch;
  NewCrashFiles files;
  ReportPlace set;
  set.directory = openDirectory(scratch.path / "reports");
  {
    SetReportDirectory directory(set.directory);
    const ChildResult child = runCrashingChild("null");
    checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine,
                set);
    EXPECT_EQ(crashFilesUnder(scratch.path).size(), 2u);
    EXPECT_EQ(files.made().size(), 0u);
  }
  {
    SetReportDirectory directory(scratch.path / "missing");
    const ChildResult child = runCrashingChild("null");
    checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
    EXPECT_EQ(files.made().size(), 2u);
    EXPECT_FALSE(fs::exists(scratch.path / "missing"));
  }
}

// A report directory as long as a report's path allows gets the report; a longer one is refused
// when it is set (the one set before stays), rather than cut into the name of another directory.
TEST(Crash, ALongReportDirectoryIsTakenWholeAndATooLongOneRefused) {
  VEMO_SKIP_UNDER_SANITIZERS();
  vemo::tests::ScratchDirectory scratch;
  NewCrashFiles files;
  // Names of at most 200 characters each, up to the longest directory with its separator.
  fs::path deep = scratch.path;
  while (deep.string().size() + 1 < kLongestDirectory) {
    // What is left after the next separator; a name never leaves room for nothing but one.
    const std::size_t room = kLongestDirectory - deep.string().size() - 2;
    std::size_t length = std::min<std::size_t>(room, 200);
    if (room - length == 1) --length;
    deep /= std::string(length, 'd');
  }
  ASSERT_EQ(deep.string().size() + 1, kLongestDirectory);
  ReportPlace place;
  place.directory = openDirectory(deep);
  SetReportDirectory directory(place.directory);
  const ChildResult child = runCrashingChild("too-long-directory");
  EXPECT_EQ(child.out, "refused kept\n");
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine,
              place);
  EXPECT_EQ(crashFilesUnder(scratch.path).size(), 2u);
  EXPECT_EQ(files.made().size(), 0u) << "a report went beside the program";
}

// Neither the set directory (missing) nor the program's (refusing) takes the report: the
// temporary directory does.
TEST(Crash, ARefusingProgramDirectoryLeavesTheReportToTheTemporaryDirectory) {
  VEMO_SKIP_UNDER_SANITIZERS();
  vemo::tests::ScratchDirectory scratch;
  const RefusingProgram copy(scratch.path);
  ReportPlace temporary;
  temporary.directory = openDirectory(scratch.path / "temp");
  temporary.program = copy.program;
  NoServiceDirectories noServiceDirectories;
  vemo::tests::ScopedTempDirectory temp(temporary.directory);
  SetReportDirectory directory(scratch.path / "missing");
  const ChildResult child = runCrashingChild("null", copy.options());
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine,
              temporary);
  EXPECT_EQ(crashFilesUnder(scratch.path).size(), 2u);
}

// No directory takes a report: the notice says so and nothing is left anywhere. On Linux the
// last resort, /tmp, cannot be made to refuse: the child takes the names there first.
TEST(Crash, NoDirectoryTakesAReport) {
  VEMO_SKIP_UNDER_SANITIZERS();
  vemo::tests::ScratchDirectory scratch;
  const RefusingProgram copy(scratch.path);
  NoServiceDirectories noServiceDirectories;
  vemo::tests::ScopedTempDirectory temp(scratch.path / "missing-temp");
  SetReportDirectory directory(scratch.path / "missing");
  NewCrashFiles files;
#if defined(_WIN32)
  const ChildResult child = runCrashingChild("null", copy.options());
  const std::string out;
#else
  NewCrashFiles lastResort({"/tmp"});
  const ChildResult child = runCrashingChild("no-room", copy.options());
  // The names the child took, which it made empty.
  const std::string out = child.out;
  std::size_t taken = 0;
  for (const fs::path& file : lastResort.made()) {
    EXPECT_NE(out.find(file.string() + "\n"), std::string::npos) << file;
    EXPECT_EQ(fs::file_size(file), 0u) << file;
    ++taken;
  }
  EXPECT_GT(taken, 0u);
#endif
  EXPECT_EQ(endingSignal(child.status), kAccessViolation) << "status " << child.status;
  EXPECT_EQ(child.err, noReportNotice("crashes@example.org"));
  EXPECT_EQ(crashFilesUnder(scratch.path).size(), 0u);
  EXPECT_EQ(files.made().size(), 0u);
}

namespace {

// Days since 1970-01-01 of a date of the Gregorian calendar, and back.
long long daysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct CivilTime {
  long long year;
  unsigned month, day, hour, minute, second;
};

CivilTime civilFromSeconds(long long seconds) {
  long long days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<long long>(yoe) + era * 400 + (month <= 2),
          month,
          day,
          static_cast<unsigned>(rest / 3600),
          static_cast<unsigned>(rest / 60 % 60),
          static_cast<unsigned>(rest % 60)};
}

// The `n`th Sunday (1-based) of a month, in seconds since 1970 at `hour` UTC.
long long nthSunday(long long year, unsigned month, int n, int hour) {
  const long long first = daysFromCivil(year, month, 1);
  const long long weekday = ((first + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
  return (first + (7 - weekday) % 7 + 7 * (n - 1)) * 86400 + hour * 3600LL;
}

// Zones with daylight saving, by rules given as an outside reference.
struct Zone {
  const char* name;  // the value of TZ
  int standardHours;
  bool (*daylight)(long long utc);
};

#if defined(_WIN32)
// The C runtime reads TZ in a form of its own (a name of three letters, hours west of
// Greenwich, a name of daylight time) and applies the United States' rules to it: daylight time
// from 02:00 on the second Sunday of March to 02:00 daylight time on the first Sunday of November.
// (Wine's C runtime reads a name like "Australia/Sydney" as UTC, and its system zone follows the TZ
// that Wine itself started with, not one a Windows parent sets for its child.)
bool easternAustraliaByTheRuntime(long long utc) {
  const long long year = civilFromSeconds(utc + 10 * 3600).year;
  return utc >= nthSunday(year, 3, 2, 2 - 10) && utc < nthSunday(year, 11, 1, 1 - 10);
}
const Zone kZones[] = {{"EAS-10EAD", 10, easternAustraliaByTheRuntime}};
#else
// Sydney (UTC+10, +11 from 02:00 standard time on the first Sunday of October to 03:00
// daylight time on the first Sunday of April) and New York (UTC-5, -4 from 02:00 standard time
// on the second Sunday of March to 02:00 daylight time on the first Sunday of November): one of
// the two keeps daylight saving at any date.
bool sydneyDaylight(long long utc) {
  const long long year = civilFromSeconds(utc + 10 * 3600).year;
  const long long start = nthSunday(year, 10, 1, 2 - 10), end = nthSunday(year, 4, 1, 3 - 11);
  return utc < end || utc >= start;
}
bool newYorkDaylight(long long utc) {
  const long long year = civilFromSeconds(utc - 5 * 3600).year;
  return utc >= nthSunday(year, 3, 2, 2 + 5) && utc < nthSunday(year, 11, 1, 2 + 4);
}
const Zone kZones[] = {{"Australia/Sydney", 10, sydneyDaylight},
                       {"America/New_York", -5, newYorkDaylight}};
#endif

std::string zoneStamp(const Zone& zone, long long utc) {
  const long long offset = (zone.standardHours + (zone.daylight(utc) ? 1 : 0)) * 3600LL;
  const CivilTime t = civilFromSeconds(utc + offset);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04lld-%02u-%02u %02u.%02u.%02u", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return stamp;
}

}  // namespace

// The names tell the local time of the crash in the child's zone (TZ), with the daylight
// saving in force then: a zone far from Greenwich tells a bias that went the wrong way, and
// the hour of daylight saving one that left it out (on Windows only while the United States
// keep daylight time).
TEST(Crash, NamesTellTheLocalTimeWithDaylightSaving) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const long long now = static_cast<long long>(std::time(nullptr));
  const Zone* chosen = &kZones[0];
  for (const Zone& zone : kZones)
    if (zone.daylight(now)) {
      chosen = &zone;
      break;
    }
  const Zone& zone = *chosen;
  if (zone.daylight(now - 86400) != zone.daylight(now + 86400))
    GTEST_SKIP() << "too close to a change of daylight saving in " << zone.name;
  NewCrashFiles files;
  ChildResult child;
  long long before, after;
  {
    vemo::tests::ScopedVariable tz("TZ", zone.name);
    before = static_cast<long long>(std::time(nullptr));
    child = runCrashingChild("null");
    after = static_cast<long long>(std::time(nullptr));
  }
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  std::string expected;
  const std::string stamp = child.log.filename().string().substr(6, 19);
  for (long long second = before; second <= after; ++second) {
    expected += zoneStamp(zone, second) + "; ";
    if (zoneStamp(zone, second) == stamp) expected.clear();
    if (expected.empty()) break;
  }
  EXPECT_TRUE(expected.empty()) << zone.name << ": " << stamp << " is none of " << expected;
}

// A crash in an atexit handler registered before the handler was installed, so that it runs
// after what the installation made is destroyed, is reported in full.
TEST(Crash, ACrashInAnAtexitHandlerIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  NewCrashFiles files;
  const ChildResult child = runCrashingChild("exit-handler");
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_EQ(files.made().size(), 2u);
}

#if defined(__linux__)
// A daemon installed by root and run as its own user: its directory refuses new files, and the
// logs directory systemd gave it (the first of the list) takes the report. The process changed
// its user, which leaves it closed to processes of that user: its report has the crashing thread
// alone.
TEST(Crash, AServiceAccountReportsIntoItsLogsDirectory) {
  VEMO_SKIP_UNDER_SANITIZERS();
  if (geteuid() != 0) GTEST_SKIP() << "the child must start as root to change its user";
  vemo::tests::ScratchDirectory scratch;
  RefusingProgram copy(scratch.path);
  ReportPlace logs;
  logs.directory = openDirectory(scratch.path / "logs");
  logs.program = copy.program;
  logs.noticeEnd = kNoMemoryNote;
  vemo::tests::ScopedVariable logsVariable(
      "LOGS_DIRECTORY", logs.directory.string() + ":" + (scratch.path / "second").string());
  vemo::tests::ScopedVariable stateVariable("STATE_DIRECTORY", "");
  ChildOptions options = copy.options();
  options.asNobody = false;  // the child changes its user itself
  const ChildResult child = runCrashingChild("threads-as-nobody", options);
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine, logs);
  EXPECT_TRUE(std::regex_search(log, std::regex("\nThreads:\nThread \\d+ \"CrashTest\" \\(crashed, "
                                                "its stack above\\)\nOther threads left out: ")))
      << log;
  EXPECT_EQ(log.find("sleeper-one"), std::string::npos) << log;
  for (const fs::path& file : {child.log, child.dump}) {
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0) << file;
    EXPECT_EQ(status.st_uid, 65534u) << file;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
  }
}
#endif

#if defined(__linux__)
namespace {

// Another process of user nobody that tries, until `target` ends, to take descriptor `file` of it
// (pidfd_getfd) and to read its memory at `address` (/proc/<pid>/mem), each time checking what
// it got against `secret`. It tells what it stole, one line for each way that worked.
class Thief {
 public:
  Thief(pid_t target, int file, std::uintptr_t address, const std::string& secret) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    _pid = fork();
    if (_pid == 0) {
      close(report[0]);
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
      const int process = static_cast<int>(syscall(SYS_pidfd_open, target, 0));
      const std::string started = process >= 0 ? "trying\n" : "no pidfd\n";
      if (write(report[1], started.data(), started.size()) < 0 || process < 0) _exit(1);
      const std::string memoryPath = "/proc/" + std::to_string(target) + "/mem";
      bool tookFile = false, readMemory = false;
      for (;;) {
        pollfd ended{process, POLLIN, 0};
        if (poll(&ended, 1, 0) != 0) break;
        char got[64] = {};
        const int stolen = static_cast<int>(syscall(SYS_pidfd_getfd, process, file, 0));
        if (stolen >= 0) {
          if (!tookFile && pread(stolen, got, sizeof got - 1, 0) > 0 && secret == got) {
            tookFile = true;
            if (write(report[1], "descriptor\n", 11) < 0) _exit(1);
          }
          close(stolen);
        }
        const int memory = open(memoryPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (memory >= 0) {
          std::memset(got, 0, sizeof got);
          if (!readMemory && pread(memory, got, sizeof got - 1, static_cast<off_t>(address)) > 0 &&
              secret == got) {
            readMemory = true;
            if (write(report[1], "memory\n", 7) < 0) _exit(1);
          }
          close(memory);
        }
      }
      _exit(0);
    }
    close(report[1]);
    _report = report[0];
  }
  ~Thief() {
    if (_report >= 0) close(_report);
    if (_pid > 0) {
      kill(_pid, SIGKILL);
      waitpid(_pid, nullptr, 0);
    }
  }
  Thief(const Thief&) = delete;
  Thief& operator=(const Thief&) = delete;

  // What it wrote until it ended (or the deadline passed).
  std::string told(std::chrono::seconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd ready{_report, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
      char buffer[256];
      const ssize_t got = read(_report, buffer, sizeof buffer);
      if (got <= 0) break;
      _told.append(buffer, static_cast<std::size_t>(got));
      if (_told.find("trying\n") != std::string::npos && !_waitForEnd) break;
    }
    return _told;
  }
  void waitForItsEnd() { _waitForEnd = true; }

 private:
  pid_t _pid = -1;
  int _report = -1;
  std::string _told;
  bool _waitForEnd = false;
};

}  // namespace

// A daemon started by root that read a root-only file and went on as nobody crashes: while it
// reports, another process of nobody can neither take its descriptor nor read its memory, and
// its report has the crashing thread alone, saying why.
TEST(Crash, AProcessThatChangedItsUserStaysClosedToThatUser) {
  VEMO_SKIP_UNDER_SANITIZERS();
  if (geteuid() != 0) GTEST_SKIP() << "the child must start as root to change its user";
  vemo::tests::ScratchDirectory scratch;
  chmod(scratch.path.c_str(), 0755);
  const fs::path secretFile = scratch.path / "secret";
  const std::string secret = "root-only secret " + std::to_string(getpid());
  std::ofstream(secretFile) << secret;
  chmod(secretFile.c_str(), 0600);
  ReportPlace reports;
  reports.directory = openDirectory(scratch.path / "reports");
  reports.noticeEnd = kNoMemoryNote;
  NoServiceDirectories noServiceDirectories;
  SetReportDirectory directory(reports.directory);
  LiveChild live("secret-as-nobody", {"VEMO_CRASH_TEST_SECRET=" + secretFile.string()});
  std::string line;
  ASSERT_TRUE(live.readLine(line)) << "the child did not start";
  std::smatch found;
  ASSERT_TRUE(std::regex_match(line, found, std::regex("secret (\\d+) (\\d+)"))) << line;
  Thief thief(live.pid(), std::stoi(found[1].str()),
              static_cast<std::uintptr_t>(std::stoull(found[2].str())), secret);
  ASSERT_EQ(thief.told(), "trying\n");
  live.send("crash");
  const ChildResult child = live.result();
  thief.waitForItsEnd();
  EXPECT_EQ(thief.told(), "trying\n") << "nobody stole from the crashing daemon";
  const std::string log = checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer",
                                      kNullPointerLine, reports);
  EXPECT_NE(log.find("(crashed, its stack above)\nOther threads left out: the process is not "
                     "dumpable (it changed its user or asked not to be dumped).\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("sleeper-one"), std::string::npos) << log;
  // As the kernel would write no core file readable by nobody, the dump (nobody's) holds no
  // memory: the secret the stack held is not in it, and the notice says why (checked above).
  const std::string dump = readFile(child.dump);
  EXPECT_EQ(dump.find(secret), std::string::npos) << "the secret is in the dump";
  const DumpLists lists = readDumpLists(dump);
  ASSERT_TRUE(lists.read);
  ASSERT_EQ(lists.threads.size(), 1u);
  EXPECT_EQ(lists.threads[0].stackSize, 0u);
  EXPECT_EQ(lists.regionSizes.size(), 0u);
}
#endif
