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
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestSupport.h"
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

void runChild(const std::string& kind) {
  vemo::handled_exception_filter();
  if (kind != "default-address") vemo::ServiceSystem::setSupportAddress(L"crashes@example.org");
  if (kind == "null" || kind == "default-address") {
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
  } else if (kind == "threads") {
    std::thread(blockForever, "sleeper-one").detach();
    std::thread(blockForever, "sleeper-two").detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
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

fs::path programPath() {
  return vemo::tests::toPath(vemo::getAppName().getBuffer());
}

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

ChildResult runCrashingChild(const std::string& kind) {
  const fs::path directory = fs::temp_directory_path();
  const fs::path out = directory / ("vemo-crash-out-" + kind),
                 err = directory / ("vemo-crash-err-" + kind);
  ChildResult result;
  {
    vemo::tests::ScopedVariable variable(kKindVariable, kind);
    std::string command;
#if !defined(_WIN32)
    // No core file for a crash that is meant to happen, and no shell between: its message on
    // a child's signal would join the child's own output.
    command = "ulimit -c 0; exec ";
#endif
    command +=
        "\"" + programPath().string() + "\" >\"" + out.string() + "\" 2>\"" + err.string() + "\"";
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
  std::smatch paths;
  static const std::regex kPaths("you can find them here:\n([^\n]*)\n([^\n]*)\n");
  if (std::regex_search(result.err, paths, kPaths)) {
    result.dump = paths[1].str();
    result.log = paths[2].str();
  }
  return result;
}

int crashFilesBesideProgram() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(programPath().parent_path()))
    count += entry.path().filename().string().rfind("crash@", 0) == 0;
  return count;
}

// Removes the files of a report when the test is done with them.
struct ReportFiles {
  explicit ReportFiles(const ChildResult& child) : dump(child.dump), log(child.log) {}
  ~ReportFiles() {
    std::error_code ignored;
    if (!dump.empty()) fs::remove(dump, ignored);
    if (!log.empty()) fs::remove(log, ignored);
  }
  fs::path dump, log;
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
std::string checkReport(const ChildResult& child, int signal, const std::string& exception,
                        const std::string& function, int line) {
  EXPECT_EQ(endingSignal(child.status), signal) << "status " << child.status;
  EXPECT_EQ(child.err, notice(child.dump, child.log, "crashes@example.org"));
  // Both files next to the program, named by the local time of the crash.
  const std::regex name("crash@\\d{4}-\\d\\d-\\d\\d \\d\\d\\.\\d\\d\\.\\d\\d(-\\d+)?\\.(log|dmp)");
  EXPECT_TRUE(std::regex_match(child.log.filename().string(), name)) << child.log;
  EXPECT_TRUE(std::regex_match(child.dump.filename().string(), name)) << child.dump;
  EXPECT_EQ(child.log.parent_path(), programPath().parent_path());
  EXPECT_EQ(readFile(child.dump).substr(0, 4), "MDMP");

  const std::string log = asText(readFile(child.log));
#if defined(_WIN32)
  // As the shell passed it: quoted, with the blanks of the redirections it took away.
  EXPECT_EQ(log.rfind("\nProcess info:\nCmd line: \"" + programPath().string() + "\"", 0), 0u)
      << log;
#else
  EXPECT_EQ(log.rfind("\nProcess info:\nCmd line: " + programPath().string() + "\n", 0), 0u) << log;
#endif
  EXPECT_NE(log.find("\nPlatform: "), std::string::npos);
  EXPECT_NE(log.find("\n\nException: " + exception + "\n\nRegisters:\n"), std::string::npos) << log;
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
  const ChildResult child = runCrashingChild("null");
  ReportFiles files(child);
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
}

TEST(Crash, DivisionByZero) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const ChildResult child = runCrashingChild("divide");
  ReportFiles files(child);
  checkReport(child, kIntegerDivide, "INT_DIVIDE_BY_ZERO", "divideByZero", kDivideLine);
}

TEST(Crash, StackOverflowOnAThread) {
  VEMO_SKIP_UNDER_SANITIZERS();
#if defined(_WIN32)
  // Wine dispatches the exception on the exhausted stack itself and ends the thread when that
  // runs out too: no filter is ever called, and the process lives on.
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
    GTEST_SKIP() << "Wine cannot dispatch a stack overflow";
#endif
  const ChildResult child = runCrashingChild("overflow");
  ReportFiles files(child);
  // Some frame of the recursion, at whichever of its lines the stack ran out.
  checkReport(child, kStackOverflow, "STACK_OVERFLOW", "recurse", 0);
}

TEST(Crash, AbortEndsWithItsSignal) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const ChildResult child = runCrashingChild("abort");
  ReportFiles files(child);
#if defined(_WIN32)
  // abort() raises no exception: the filter never sees it.
  EXPECT_EQ(child.status, 3);
  EXPECT_EQ(child.err.find("This application has halted"), std::string::npos) << child.err;
  EXPECT_EQ(crashFilesBesideProgram(), 0);
#else
  checkReport(child, SIGABRT, "UNKNOWN_ERROR", "runChild", 0);
#endif
}

TEST(Crash, OnlyTheFirstCrashIsReported) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const ChildResult child = runCrashingChild("deal");
  ReportFiles files(child);
  // Asked for without a fault: reported from the caller on; the second request and the real
  // crash after it write nothing more, and the process still ends by the signal.
  EXPECT_EQ(child.out, "first 1\nsecond 1\n");
  const std::string log = checkReport(child, kAccessViolation, "UNKNOWN_ERROR", "runChild", 0);
  EXPECT_EQ(log.find("crashNullPointer"), std::string::npos);
  EXPECT_EQ(crashFilesBesideProgram(), 2);
}

// The log names of the coming seconds are taken (a service that crashed again within the same
// second): after three readings of the clock the report takes names with the process id, and
// the taken files are left as they were.
TEST(Crash, TakenNamesGetTheProcessId) {
  VEMO_SKIP_UNDER_SANITIZERS();
  std::vector<fs::path> taken;
  const auto now = vemo::time(nullptr);
  for (int second = 0; second < 5; ++second) {
    const tm local = vemo::localtime(now + second);
    char name[64];
    std::snprintf(name, sizeof name, "crash@%04d-%02d-%02d %02d.%02d.%02d.log", local.tm_year,
                  local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    taken.push_back(programPath().parent_path() / name);
    std::ofstream(taken.back()) << "taken";
  }
  const ChildResult child = runCrashingChild("null");
  ReportFiles files(child);
  checkReport(child, kAccessViolation, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  const std::regex withId("crash@\\d{4}-\\d\\d-\\d\\d \\d\\d\\.\\d\\d\\.\\d\\d-\\d+\\.log");
  EXPECT_TRUE(std::regex_match(child.log.filename().string(), withId)) << child.log;
  EXPECT_EQ(crashFilesBesideProgram(), 7);
  for (const fs::path& name : taken) {
    EXPECT_EQ(readFile(name), "taken");
    fs::remove(name);
  }
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
  const ChildResult child = runCrashingChild("default-address");
  ReportFiles files(child);
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
  const ChildResult child = runCrashingChild("traced");
  ReportFiles files(child);
  if (child.out.rfind("untraceable", 0) == 0) GTEST_SKIP() << "this system refuses ptrace";
  EXPECT_EQ(child.out, "traced 0\nuntraced 1\n");
  // Only the untraced process's report exists.
  EXPECT_EQ(crashFilesBesideProgram(), 2);
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
    const ChildResult child = runCrashingChild(c.kind);
    ReportFiles files(child);
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
  const ChildResult child = runCrashingChild("module");
  ReportFiles files(child);
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
  const ChildResult child = runCrashingChild("at-exit");
  ReportFiles files(child);
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(log, std::regex("\n#2  0x" + kHex + " in crashAtExit \\(\\)")))
      << log;
}

// The threads that did not crash are stopped while the report is made: the report lists each
// with its name and first frames, the minidump holds every thread's registers and stack.
TEST(Crash, EveryThreadIsInTheReportAndTheDump) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const ChildResult child = runCrashingChild("threads");
  ReportFiles files(child);
  const std::string log =
      checkReport(child, SIGSEGV, "ACCESS_VIOLATION", "crashNullPointer", kNullPointerLine);
  EXPECT_TRUE(std::regex_search(
      log, std::regex("\n\nThreads:\nThread \\d+ \"CrashTest\" \\(crashed, its stack above\\)\n")))
      << log;
  for (const std::string name : {"sleeper-one", "sleeper-two"}) {
    const std::regex thread("\nThread \\d+ \"" + name + "\"\n#1  0x" + kHex +
                            " in [^\n]+\n(#\\d  [^\n]+\n)*#\\d  0x" + kHex + " in blockForever");
    EXPECT_TRUE(std::regex_search(log, thread)) << name << "\n" << log;
  }
  std::string module;
  const std::string walk = walkMinidump(child.dump, module);
  if (walk.empty()) GTEST_SKIP() << "the crash tools are not at hand: the dump is not read";
  EXPECT_NE(walk.find("Thread 0 (crashed)"), std::string::npos) << walk;
  // Three threads, each with frames the walker could follow into this program.
  EXPECT_NE(walk.find("\nThread 2\n"), std::string::npos) << walk;
  EXPECT_EQ(walk.find("\nThread 3\n"), std::string::npos) << walk;
  EXPECT_TRUE(std::regex_search(walk, std::regex("Thread 1\n(.+\n)*[^\n]*blockForever"))) << walk;
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
  ReportFiles files(child);
  for (const fs::path& path : swapped)
    if (path != child.dump && path != child.log) fs::remove(path);
  EXPECT_EQ(endingSignal(child.status), SIGSEGV);
  EXPECT_EQ(swapped.size(), 2u);
  EXPECT_EQ(readFile(victim), "precious");
  fs::remove(victim);
}

// A report directory the program sets whose name is not UTF-8 gets the report under that very
// name (not beside the program, where a directory that was not found would leave it).
TEST(Crash, TheReportDirectoryMayHaveANameThatIsNotUtf8) {
  VEMO_SKIP_UNDER_SANITIZERS();
  const fs::path directory = programPath().parent_path() / "caf\xE9";
  fs::create_directories(directory);
  const ChildResult child = runCrashingChild("latin-directory");
  ReportFiles files(child);
  EXPECT_EQ(endingSignal(child.status), SIGSEGV);
  EXPECT_EQ(child.log.parent_path(), directory) << child.err;
  EXPECT_EQ(child.dump.parent_path(), directory);
  EXPECT_EQ(readFile(child.dump).substr(0, 4), "MDMP");
  std::error_code ignored;
  fs::remove_all(directory, ignored);
}
#endif
