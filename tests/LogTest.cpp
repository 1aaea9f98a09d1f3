// The process-wide log: listeners, parameters, dispatch, long texts and threads; the typed
// forms; the ready console and file listeners and their registration.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <process.h>
#include <windows.h>

#include <cstdint>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Log.h"
#include "vemo/core/Thread.h"

using vemo::Log;
using Lines = std::vector<std::wstring>;

namespace {

Lines g_calls;  // "name operation: text" for every call to any Recorder, in order
std::atomic<int> g_inside{0}, g_overlaps{0};

// Registers itself unless told not to, and removes itself when it goes (the log is shared). One
// named "unruly" logs from inside its warning handler and throws from every handler.
struct Recorder : vemo::LogListener {
  explicit Recorder(const wchar_t* n, bool yes = true, bool add = true) : name(n), answer(yes) {
    if (add) Log::addListener(this);
  }
  ~Recorder() { Log::removeListener(this); }
  const wchar_t* getName() override { return name.c_str(); }
  bool setparam(const wchar_t* param) override { return record(L"setparam", param), answer; }
  void error(const wchar_t* text) override { record(L"error", text); }
  void warning(const wchar_t* text) override { record(L"warning", text); }
  void message(const wchar_t* text) override { record(L"message", text); }
  void debug(const wchar_t* text) override { record(L"debug", text); }
  void whistle(bool ok) override { record(L"whistle", ok ? L"true" : L"false"); }
  void record(const wchar_t* operation, const wchar_t* text) {
    if (g_inside++ != 0) ++g_overlaps;  // calls that overlap
    g_calls.push_back(name + L" " + operation + L": " + text);
    if (g_calls.size() % 64 == 0) std::this_thread::yield();  // widens the window for overlaps
    --g_inside;
    if (name == L"unruly" && std::wstring(operation) == L"warning")
      Log::error(L"inner %s", text), Log::whistle(false);
    if (name == L"unruly") throw 42;  // not even a std::exception
  }
  std::wstring name;
  bool answer;
};

// Runs first in this program, before any listener exists.
TEST(LogBeforeListeners, EverythingIsHarmless) {
  Recorder late(L"late", true, false);
  EXPECT_TRUE(!Log::getLogListener(L"late") && !Log::setparam(L"late@x"));
  Log::removeListener(&late);
  Log::error(L"lost %d", 1);
  Log::whistle(true);
  Log::addListener(&late);  // nothing was kept for it
  Log::message(L"heard");
  EXPECT_EQ(g_calls, Lines{L"late message: heard"});
}

TEST(Log, ListenersHearEachMessageOnceInOrderAndTakeParameters) {
  g_calls.clear();
  Recorder file(L"file"), refusing(L"refusing", false), nameless(L"", true, false);
  Log::addListener(&file);  // already registered
  Log::addListener(nullptr);
  Log::error(L"e %d", -12);
  Log::removeListener(&file);  // its one entry goes
  Log::warning(L"w");
  Log::addListener(&file);  // back at the end
  Log::debug(L"d %s", L"x");
  EXPECT_EQ(Log::getLogListener(L"file"), &file);
  EXPECT_EQ(Log::getLogListener(L"fil"), nullptr);
  EXPECT_TRUE(Log::setparam(L"file@a@b"));     // split at the first at sign
  EXPECT_FALSE(Log::setparam(L"refusing@x"));  // the listener's own answer
  for (const wchar_t* param : {L"file", L"level=3", L"fil@x", L"file2@x", L"File@x", L"@level=3"})
    EXPECT_FALSE(Log::setparam(param));
  Log::addListener(&nameless);
  EXPECT_TRUE(Log::setparam(L"@level=3"));
  EXPECT_EQ(g_calls, (Lines{L"file error: e -12", L"refusing error: e -12", L"refusing warning: w",
                            L"refusing debug: d x", L"file debug: d x", L"file setparam: a@b",
                            L"refusing setparam: x", L" setparam: level=3"}));
}

// A listener that removes itself (or `victim`) when it hears a message.
struct Leaver : Recorder {
  using Recorder::Recorder;
  void message(const wchar_t* text) override {
    record(L"message", text);
    Log::removeListener(victim ? victim : this);
  }
  Recorder* victim = nullptr;
};

TEST(Log, ListenersRemovedWhileCalledMakeNobodyMissTheMessage) {
  g_calls.clear();
  Recorder first(L"first");
  Leaver leaver(L"leaver");
  Recorder after(L"after");
  Log::message(L"one");  // the leaver goes; the one after it still hears this message
  Log::message(L"two");
  Leaver remover(L"remover");
  remover.victim = &first;
  Recorder last(L"last");
  Log::message(L"three");  // one before the remover goes; the one after it still hears
  Log::message(L"four");
  EXPECT_EQ(g_calls,
            (Lines{L"first message: one", L"leaver message: one", L"after message: one",
                   L"first message: two", L"after message: two", L"first message: three",
                   L"after message: three", L"remover message: three", L"last message: three",
                   L"after message: four", L"remover message: four", L"last message: four"}));
}

TEST(Log, NestedMessagesAreDroppedAndThrowingListenersStopNobody) {
  g_calls.clear();
  Recorder unruly(L"unruly"), after(L"after");
  Log::warning(L"one");  // nothing escapes to the caller
  Log::whistle(true);
  Log::debug(L"two");
  EXPECT_EQ(g_calls, (Lines{L"unruly warning: one", L"after warning: one", L"unruly whistle: true",
                            L"after whistle: true", L"unruly debug: two", L"after debug: two"}));
}

TEST(Log, LongMessagesArriveWhole) {
  Recorder recorder(L"r");
  for (std::size_t length : {510u, 511u, 512u, 513u, 32767u, 32768u, 40000u, 100000u}) {
    const std::wstring text(length, L'\u00E9');
    g_calls.clear();
    Log::message(L"%s", text.c_str());
    Log::error(L"<%s>%d", text.c_str(), 7);  // formatted around the long argument too
    EXPECT_TRUE(g_calls == (Lines{L"r message: " + text, L"r error: <" + text + L">7"})) << length;
  }
}

#if defined(_WIN32)
unsigned WINAPI logOnSmallStack(void*) {
  Log::warning(L"short %d", 1);
  Log::warning(L"%s", std::wstring(2000, L'x').c_str());
  return 0;
}
#endif

// Threads of pools and some C libraries have small stacks: logging must fit in them.
TEST(Log, ThreadsWithSmallStacksLog) {
  Recorder recorder(L"r");
  g_calls.clear();
#if defined(_WIN32)
  // 64 KiB reserved for the thread's stack, not merely committed.
  const std::uintptr_t thread = _beginthreadex(nullptr, 64 * 1024, logOnSmallStack, nullptr,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, 0u);
  WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
  CloseHandle(reinterpret_cast<HANDLE>(thread));
#else
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 64 * 1024);
  pthread_t thread;
  const auto body = [](void*) -> void* {
    Log::warning(L"short %d", 1);
    Log::warning(L"%s", std::wstring(2000, L'x').c_str());
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, body, nullptr), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
#endif
  EXPECT_TRUE(g_calls == (Lines{L"r warning: short 1", L"r warning: " + std::wstring(2000, L'x')}));
}

TEST(Log, ThreadsDeliverEveryMessageOnceWhileListenersComeAndGo) {
  g_calls.clear();
  Recorder first(L"first"), second(L"second");
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    for (Recorder passing(L"~passing", true, false); !stop; Log::removeListener(&passing))
      Log::addListener(&passing);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 1500; ++i)
        Log::message(L"%d", t * 1500 + i);
    });
  Lines expected;
  for (int n = 0; n < 6 * 1500; ++n)
    for (const wchar_t* name : {L"first", L"second"})
      expected.push_back(name + (L" message: " + std::to_wstring(n)));
  for (std::thread& thread : threads)
    thread.join();
  stop = true;
  churn.join();
  std::sort(expected.begin(), expected.end());
  std::sort(g_calls.begin(), g_calls.end());
  g_calls.resize(expected.size());  // what "~passing" heard sorts last
  EXPECT_TRUE(g_calls == expected);
  EXPECT_EQ(g_overlaps.load(), 0);
}

}  // namespace

// ---- the typed forms -------------------------------------------------------------------------

namespace {

std::wstring repeatedText(const std::wstring& piece, int times) {
  std::wstring out;
  for (int i = 0; i < times; ++i)
    out += piece;
  return out;
}

TEST(LogTyped, ArgumentsKeepTheirTypesAndMismatchesShow) {
  g_calls.clear();
  Recorder recorder(L"r");
  Log::message(L"%s has %d items", vemo::String(L"box"), 3LL << 33);
  Log::error(L"%S|%s|%hs|%S", std::string("std"), std::wstring(L"w"), "c",
             vemo::String_T<char>("u"));
  Log::warning(L"%s and %s", L"one");  // the C form would read past its arguments
  Log::debug(L"%d", std::string("x"));
  Log::log(vemo::LogLevel::kWarning, L"%s%%");  // without arguments, still checked
  Log::log(vemo::LogLevel::kError, L"%u", -1);
  Log::log(vemo::LogLevel::kMessage, L"%.3s", std::wstring(L"abcdef"));
  const std::wstring long40000(40000, L'y');
  Log::message(L"[%s]", long40000);  // through the heap, whole
  // The C forms serve the calls made through them, as before.
  void (*cMessage)(const wchar_t*, ...) = &Log::message;
  void (*cError)(const wchar_t*, ...) = &Log::error;
  cMessage(L"%s=%d", L"c", 7);
  cError(L"%I64d", 1LL << 40);
  // A text alone is a typed format without arguments: nothing is read that was not passed.
  Log::message(L"%s");
  Log::error(L"GET /a%20s%%20b%s%d%p%n%S");
  const std::wstring received = L"%s%s%s%s%s%s%s%s%.*s%*d%ls%hs%n%n%n%n";
  Log::warning(received.c_str());
  Log::debug(L"100%% done");
  EXPECT_EQ(g_calls, (Lines{L"r message: box has 25769803776 items", L"r error: std|w|c|u",
                            L"r warning: one and %!s(missing)", L"r debug: %!d(string=x)",
                            L"r warning: %!s(missing)%", L"r error: 4294967295", L"r message: abc",
                            L"r message: [" + long40000 + L"]", L"r message: c=7",
                            L"r error: 1099511627776", L"r message: %!s(missing)",
                            L"r error: GET /a%!s(missing)%20b%!s(missing)%!d(missing)%!p(missing)"
                            L"%!n(missing)%!S(missing)",
                            L"r warning: " + repeatedText(L"%!s(missing)", 8) +
                                L"%!*(missing)%!s(missing)%!*(missing)%!d(missing)%!s(missing)"
                                L"%!s(missing)%!n(missing)%!n(missing)%!n(missing)%!n(missing)",
                            L"r debug: 100% done"}));
}

// ---- the ready listeners ---------------------------------------------------------------------

using vemo::ConsoleLogListener;
using vemo::FileLogListener;
using vemo::LogLevel;
using vemo::ScopedLogListener;
using vemo::String;
using vemo::tests::ScopedVariable;
using vemo::tests::ScratchDirectory;

#if defined(_WIN32)
const std::string kEnd = "\r\n";
#else
const std::string kEnd = "\n";
#endif

// 2024-02-29 23:59:59.007 UTC.
constexpr std::int64_t kFixedTime = 1709251199007LL;
std::int64_t fixedClock() {
  return kFixedTime;
}

std::string threadTag() {
  return "[" + std::to_string(vemo::Thread::getCurrentThreadId()) + "] ";
}

// The local date and time of the fixed clock, as the listeners write it.
std::string localStamp() {
  const std::time_t seconds = static_cast<std::time_t>(kFixedTime / 1000);
  std::tm fields{};
#if defined(_WIN32)
  localtime_s(&fields, &seconds);
#else
  localtime_r(&seconds, &fields);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.007 ", fields.tm_year + 1900,
                fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
  return text;
}

// Sends the standard error (descriptor 2, or the standard error handle) into a file while it
// lives (on POSIX into a pipe if asked, which no file size limit touches); text() is what was
// written there so far.
class StandardErrorCapture {
 public:
  explicit StandardErrorCapture(bool pipe = false) {
    std::fflush(stderr);
#if defined(_WIN32)
    _saved = GetStdHandle(STD_ERROR_HANDLE);
    _file = CreateFileW(_directory.name("stderr.txt").c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    SetStdHandle(STD_ERROR_HANDLE, _file);
#else
    _saved = dup(STDERR_FILENO);
    if (pipe) {
      int ends[2];
      if (::pipe(ends) == 0) {
        _pipe = ends[0];
        _file = ends[1];
        fcntl(_pipe, F_SETFL, O_NONBLOCK);
      }
    } else {
      _file = open((_directory.path / "stderr.txt").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    dup2(_file, STDERR_FILENO);
#endif
    (void)pipe;
  }
  ~StandardErrorCapture() {
#if defined(_WIN32)
    SetStdHandle(STD_ERROR_HANDLE, _saved);
    CloseHandle(_file);
#else
    dup2(_saved, STDERR_FILENO);
    close(_saved);
    close(_file);
    if (_pipe >= 0) close(_pipe);
#endif
  }
  StandardErrorCapture(const StandardErrorCapture&) = delete;
  StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

  std::string text() {
#if !defined(_WIN32)
    if (_pipe >= 0) {
      char chunk[4096];
      for (ssize_t n; (n = read(_pipe, chunk, sizeof chunk)) > 0;)
        _piped.append(chunk, static_cast<std::size_t>(n));
      return _piped;
    }
#endif
    return _directory.bytes("stderr.txt");
  }
#if !defined(_WIN32)
  // "<device>:<inode>" of the file, as systemd names its journal stream.
  std::string deviceAndInode() const {
    struct stat status;
    fstat(_file, &status);
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  }
#endif

 private:
  ScratchDirectory _directory;
#if defined(_WIN32)
  HANDLE _saved, _file;
#else
  int _saved, _file = -1, _pipe = -1;
  std::string _piped;
#endif
};

// One scenario of messages for the layout tests.
void logScenario() {
  Log::error(L"first %d", 1);
  Log::warning(L"two\nlines\r\nand a third\n");  // one closing line end is dropped
  Log::message(L"");
  Log::debug(L"%s", std::wstring(L"\u00E9\U0001F600") + static_cast<wchar_t>(0xD800));
  Log::whistle(true);
  Log::whistle(false);
}

// What logScenario writes with `head` before each line (`levels` adds the level names).
std::string scenarioText(const std::string& head, bool levels) {
  const auto line = [&](const char* level, const std::string& text) {
    return head + (levels ? std::string(level) + " " : std::string()) + text + kEnd;
  };
  return line("error  ", "first 1") + line("warning", "two") + line("warning", "lines") +
         line("warning", "and a third") + line("message", "") +
         line("debug  ", "\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD") + line("message", "ok") +
         line("error  ", "failed");
}

// The layout settings, each applied through Log::setparam, then the scenario: the same bytes
// from the console listener and the file listener.
TEST(LogListeners, LayoutsByteForByteOnTheConsoleAndInFiles) {
  struct Case {
    const wchar_t* param;
    std::string head;
    bool levels;
  };
  const std::vector<Case> cases = {
      {L"time=on,utc=on,thread=on,levelname=on", "2024-02-29 23:59:59.007 " + threadTag(), true},
      {L"time=off,utc=on,thread=off,levelname=off", "", false},
      {L"time=on,utc=on,thread=off,levelname=off", "2024-02-29 23:59:59.007 ", false},
      {L"time=off,thread=on,levelname=off", threadTag(), false},
      {L"time=off,thread=off,levelname=on", "", true},
      {L"time=on,utc=off,thread=off,levelname=on", localStamp(), true},
  };
  ScratchDirectory directory;
  const String path = directory.name("layout.log").c_str();
  StandardErrorCapture capture;
  ConsoleLogListener::Options consoleOptions;
  consoleOptions.clock = fixedClock;
  FileLogListener::Options fileOptions;
  fileOptions.clock = fixedClock;
  ConsoleLogListener console(consoleOptions);
  FileLogListener file(path, fileOptions);
  EXPECT_STREQ(console.getName(), L"console");
  EXPECT_STREQ(file.getName(), L"file");
  ScopedLogListener onConsole(console), inFile(file);
  std::string expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.head);
    ASSERT_TRUE(Log::setparam((L"console@" + std::wstring(c.param)).c_str()));
    ASSERT_TRUE(Log::setparam((L"file@" + std::wstring(c.param)).c_str()));
    logScenario();
    expected += scenarioText(c.head, c.levels);
  }
  EXPECT_EQ(capture.text(), expected);
  EXPECT_EQ(directory.bytes("layout.log"), expected);
  // A bad setting changes nothing, not even the good ones before it.
  for (const wchar_t* bad :
       {L"time=off,level=loud", L"thread=on,colour=on", L"time", L"", L"time=yes", L"level=error,"})
    EXPECT_FALSE(console.setparam(bad)) << bad;
  Log::message(L"unchanged");
  EXPECT_EQ(capture.text(), expected + localStamp() + "message unchanged" + kEnd);
}

// Each listener writes what reaches its own minimum level, set at construction, by
// setMinimumLevel or by its parameters.
TEST(LogListeners, EachListenerHasItsOwnMinimumLevel) {
  ScratchDirectory directory;
  StandardErrorCapture capture;
  ConsoleLogListener::Options consoleOptions;
  consoleOptions.timeStamp = false;
  consoleOptions.minimumLevel = LogLevel::kWarning;
  FileLogListener::Options fileOptions;
  fileOptions.timeStamp = false;
  fileOptions.levelName = false;
  ConsoleLogListener console(consoleOptions);
  FileLogListener file(directory.name("levels.log").c_str(), fileOptions);
  EXPECT_EQ(file.getMinimumLevel(), LogLevel::kDebug);  // everything by default
  const auto everyLevel = [](const wchar_t* text) {
    Log::debug(L"%s d", text);
    Log::message(L"%s m", text);
    Log::warning(L"%s w", text);
    Log::error(L"%s e", text);
    Log::whistle(true);   // a message
    Log::whistle(false);  // an error
  };
  {
    ScopedLogListener onConsole(console), inFile(file);
    everyLevel(L"a");
    file.setMinimumLevel(LogLevel::kError);
    console.setMinimumLevel(LogLevel::kDebug);
    EXPECT_EQ(console.getMinimumLevel(), LogLevel::kDebug);
    everyLevel(L"b");
    EXPECT_TRUE(Log::setparam(L"file@level=message"));
    EXPECT_EQ(file.getMinimumLevel(), LogLevel::kMessage);
    everyLevel(L"c");
  }
  everyLevel(L"unheard");  // both are gone
  EXPECT_EQ(capture.text(), "warning a w" + kEnd + "error   a e" + kEnd + "error   failed" + kEnd +
                                "debug   b d" + kEnd + "message b m" + kEnd + "warning b w" + kEnd +
                                "error   b e" + kEnd + "message ok" + kEnd + "error   failed" +
                                kEnd + "debug   c d" + kEnd + "message c m" + kEnd + "warning c w" +
                                kEnd + "error   c e" + kEnd + "message ok" + kEnd +
                                "error   failed" + kEnd);
  EXPECT_EQ(directory.bytes("levels.log"), "a d" + kEnd + "a m" + kEnd + "a w" + kEnd + "a e" +
                                               kEnd + "ok" + kEnd + "failed" + kEnd + "b e" + kEnd +
                                               "failed" + kEnd + "c m" + kEnd + "c w" + kEnd +
                                               "c e" + kEnd + "ok" + kEnd + "failed" + kEnd);
}

// A text of `bytes` bytes with its line end, for the rotation tests.
std::wstring textOfRecord(char letter, std::size_t bytes) {
  return std::wstring(bytes - kEnd.size(), static_cast<wchar_t>(letter));
}
std::string record(char letter, std::size_t bytes) {
  return std::string(bytes - kEnd.size(), letter) + kEnd;
}

FileLogListener::Options plainFileOptions(std::int64_t maxBytes, int maxFiles) {
  FileLogListener::Options options;
  options.timeStamp = false;
  options.levelName = false;
  options.maxBytes = maxBytes;
  options.maxFiles = maxFiles;
  return options;
}

TEST(LogListeners, FilesRotateBySizeKeepingTheirNumberInOrder) {
  ScratchDirectory directory;
  const String path = directory.name("app.log").c_str();
  {
    FileLogListener file(path, plainFileOptions(20, 3));
    ScopedLogListener registered(file);
    for (char letter : {'a', 'b', 'c', 'd', 'e', 'f', 'g'})
      Log::message(L"%s", textOfRecord(letter, 10));  // two records fill a file
    EXPECT_EQ(directory.bytes("app.log"), record('g', 10));
    EXPECT_EQ(directory.bytes("app.1.log"), record('e', 10) + record('f', 10));
    EXPECT_EQ(directory.bytes("app.2.log"), record('c', 10) + record('d', 10));  // a, b are gone
    EXPECT_FALSE(std::filesystem::exists(directory.path / "app.3.log"));
    // A record larger than the limit takes a file of its own.
    Log::message(L"%s", textOfRecord('h', 30));
    Log::message(L"%s", textOfRecord('i', 10));
    EXPECT_EQ(directory.bytes("app.log"), record('i', 10));
    EXPECT_EQ(directory.bytes("app.1.log"), record('h', 30));
    EXPECT_EQ(directory.bytes("app.2.log"), record('g', 10));
  }
  // The size of a file that exists counts from the start: 15 bytes and 10 more exceed 20.
  directory.put("again.log", std::string(15, '-'));
  {
    FileLogListener file(directory.name("again.log").c_str(), plainFileOptions(20, 2));
    ScopedLogListener registered(file);
    Log::message(L"%s", textOfRecord('j', 10));
  }
  EXPECT_EQ(directory.bytes("again.1.log"), std::string(15, '-'));
  EXPECT_EQ(directory.bytes("again.log"), record('j', 10));
  // One file in all: a full file begins anew. No rotation at all with maxBytes 0.
  {
    FileLogListener one(directory.name("one").c_str(), plainFileOptions(10, 1));
    FileLogListener endless(directory.name("endless.log").c_str(), plainFileOptions(0, 2));
    ScopedLogListener first(one), second(endless);
    for (char letter : {'k', 'l', 'm'})
      Log::message(L"%s", textOfRecord(letter, 10));
  }
  EXPECT_EQ(directory.bytes("one"), record('m', 10));
  EXPECT_FALSE(std::filesystem::exists(directory.path / "one.1"));
  EXPECT_EQ(directory.bytes("endless.log"), record('k', 10) + record('l', 10) + record('m', 10));
  EXPECT_FALSE(std::filesystem::exists(directory.path / "endless.1.log"));
  // The rotated names: the number goes before the extension of the file's own name.
  FileLogListener named(L"logs.d/app.log");
  FileLogListener bare(L"logs.d/app");
  FileLogListener hidden(L"logs.d/.app");
  EXPECT_EQ(std::wstring(named.getFileName(0)), L"logs.d/app.log");
  EXPECT_EQ(std::wstring(named.getFileName(2)), L"logs.d/app.2.log");
  EXPECT_EQ(std::wstring(bare.getFileName(1)), L"logs.d/app.1");
  EXPECT_EQ(std::wstring(hidden.getFileName(3)), L"logs.d/.app.3");
}

#if defined(_WIN32)
// True when the file's access list grants access to the process's user and to nobody else but the
// system itself (Wine, which keeps no access lists of its own, shows the system beside the user;
// a file made without one shows everyone too).
bool privateToTheUser(const std::wstring& path) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  const bool haveUser = GetTokenInformation(token, TokenUser, user.data(), size, &size);
  CloseHandle(token);
  if (!haveUser) return false;
  PSID self = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  unsigned char systemSid[SECURITY_MAX_SID_SIZE];
  DWORD systemSize = sizeof systemSid;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, systemSid, &systemSize)) return false;
  DWORD needed = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  std::vector<unsigned char> descriptor(needed);
  if (needed == 0 || !GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                       needed, &needed))
    return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted) || !present || !acl)
    return false;  // no list at all admits everyone
  bool userAdmitted = false;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) return false;
    ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID sid = &allowed->SidStart;
    if (EqualSid(sid, self))
      userAdmitted = true;
    else if (!EqualSid(sid, systemSid))
      return false;
  }
  return userAdmitted;
}
#endif

#if !defined(_WIN32)
mode_t modeOf(const std::filesystem::path& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}
#endif

// The files are the user's alone; whatever stands in their place that is not a regular file of
// the user is refused and reported once, and the log resumes when the place is free again, with
// the number of messages lost.
TEST(LogListeners, FilesArePrivateAndNothingPlantedIsFollowed) {
  ScratchDirectory directory;
  StandardErrorCapture capture;
  const String path = directory.name("private.log").c_str();
  FileLogListener file(path, plainFileOptions(10, 2));
  ScopedLogListener registered(file);
  Log::message(L"%s", textOfRecord('a', 10));
  Log::message(L"%s", textOfRecord('b', 10));  // rotated: private.1.log
#if defined(_WIN32)
  EXPECT_TRUE(privateToTheUser(directory.name("private.log")));
  EXPECT_TRUE(privateToTheUser(directory.name("private.1.log")));
  directory.put("plain.log", "made without an access list");
  EXPECT_FALSE(privateToTheUser(directory.name("plain.log")));
  EXPECT_EQ(directory.bytes("private.log"), record('b', 10));
  EXPECT_EQ(capture.text(), "");
  GTEST_SKIP() << "the rest plants symbolic links, which need a privilege on Windows";
#else
  EXPECT_EQ(modeOf(directory.path / "private.log"), 0600u);
  EXPECT_EQ(modeOf(directory.path / "private.1.log"), 0600u);
  // A file of the user's keeps the mode the user gave it (a group of readers); a new one after a
  // rotation is private again.
  directory.put("shared.log", "old" + kEnd);
  chmod((directory.path / "shared.log").c_str(), 0640);
  {
    FileLogListener shared(directory.name("shared.log").c_str(), plainFileOptions(10, 2));
    shared.message(L"new");
    EXPECT_EQ(modeOf(directory.path / "shared.log"), 0640u);
    shared.message(L"rotated");
  }
  EXPECT_EQ(modeOf(directory.path / "shared.1.log"), 0640u);
  EXPECT_EQ(modeOf(directory.path / "shared.log"), 0600u);
  EXPECT_EQ(directory.bytes("shared.1.log"), "old" + kEnd + "new" + kEnd);
  EXPECT_EQ(directory.bytes("shared.log"), "rotated" + kEnd);
  // A directory removed and made again under the listener: the unlinked file is noticed and
  // the file opened anew by its name.
  std::filesystem::create_directory(directory.path / "sub");
  {
    FileLogListener moved((directory.path / "sub" / "app.log").wstring().c_str(),
                          plainFileOptions(0, 1));
    moved.message(L"before");
    std::filesystem::remove_all(directory.path / "sub");
    std::filesystem::create_directory(directory.path / "sub");
    moved.message(L"after");
  }
  EXPECT_EQ(directory.bytes("sub/app.log"), "after" + kEnd);

  // A link planted where the rotation moves the file is replaced, its target untouched.
  directory.put("victim", "keep");
  std::filesystem::remove(directory.path / "private.1.log");
  std::filesystem::create_symlink(directory.path / "victim", directory.path / "private.1.log");
  Log::message(L"%s", textOfRecord('c', 10));
  EXPECT_EQ(directory.bytes("victim"), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(directory.path / "private.1.log"));
  EXPECT_EQ(directory.bytes("private.1.log"), record('b', 10));
  EXPECT_EQ(directory.bytes("private.log"), record('c', 10));
  EXPECT_EQ(capture.text(), "");

  // A link in the file's own place is refused, reported once, never followed.
  std::filesystem::create_symlink(directory.path / "victim", directory.path / "linked.log");
  FileLogListener linked(directory.name("linked.log").c_str(), plainFileOptions(0, 1));
  linked.message(L"x");
  linked.error(L"y");
  EXPECT_EQ(directory.bytes("victim"), "keep");
  const std::string report = capture.text();
  EXPECT_EQ(report, "vemo: log file " + (directory.path / "linked.log").string() +
                        " cannot be written (a link is in its place); its messages are lost "
                        "until it can\n");
  std::filesystem::remove(directory.path / "linked.log");
  linked.message(L"z");
  EXPECT_EQ(directory.bytes("linked.log"),
            "2 log messages were lost while the file could not be written" + kEnd + "z" + kEnd);
  EXPECT_EQ(modeOf(directory.path / "linked.log"), 0600u);
  // A FIFO or a directory in its place is refused at once: a FIFO without a reader would hold
  // up a plain open for writing, and one with a reader is no regular file.
  ASSERT_EQ(mkfifo((directory.path / "fifo.log").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((directory.path / "read.log").c_str(), 0600), 0);
  const int reader = open((directory.path / "read.log").c_str(), O_RDONLY | O_NONBLOCK);
  std::filesystem::create_directory(directory.path / "directory.log");
  vemo::tests::finishWithin(std::chrono::seconds(20), "logging into a FIFO", [&] {
    for (const char* name : {"fifo.log", "read.log", "directory.log"})
      FileLogListener(directory.name(name).c_str(), plainFileOptions(0, 1)).message(L"x");
  });
  char nothing[8];
  EXPECT_EQ(read(reader, nothing, sizeof nothing), 0);  // no writer is left, nothing was sent
  close(reader);
  const std::string reports = capture.text().substr(report.size());
  EXPECT_NE(reports.find("fifo.log cannot be written ("), std::string::npos) << reports;
  EXPECT_NE(reports.find("read.log cannot be written (not a regular file)"), std::string::npos)
      << reports;
  EXPECT_NE(reports.find("directory.log cannot be written ("), std::string::npos) << reports;
#endif
}

#if !defined(_WIN32)
// A full disk in the middle of a record: the part that went in is cut off again, so that every
// record is whole, and the notice of the lost messages is a record of its own within the limit.
TEST(LogListeners, AFullDiskLeavesNoTornRecordAndTheNoticeKeepsTheLimit) {
  ScratchDirectory directory;
  StandardErrorCapture capture(true);
  FileLogListener file(directory.name("app.log").c_str(), plainFileOptions(100, 2));
  file.message(textOfRecord('a', 40).c_str());
  file.message(textOfRecord('b', 40).c_str());
  {
    vemo::tests::ScopedFileSizeLimit limit(95);
    file.message(textOfRecord('c', 10).c_str());  // 90 bytes: it fits
    file.message(textOfRecord('d', 10).c_str());  // 5 of its 10 bytes would go in
  }
  const std::string whole = record('a', 40) + record('b', 40) + record('c', 10);
  EXPECT_EQ(directory.bytes("app.log"), whole);
  file.message(L"e");
  // The notice would take the file past 100 bytes: the file is rotated first.
  EXPECT_EQ(directory.bytes("app.1.log"), whole);
  EXPECT_EQ(directory.bytes("app.log"),
            "1 log messages were lost while the file could not be written" + kEnd + "e" + kEnd);
}
#endif

#if !defined(_WIN32)
// Rotation blocked for good (a directory planted at the next generation's name, which no rename
// replaces): the file is emptied at its limit instead of growing without bound, and the cause is
// reported once.
TEST(LogListeners, ABlockedRotationNeverLetsTheFileGrowPastItsLimit) {
  ScratchDirectory directory;
  StandardErrorCapture capture(true);
  std::filesystem::create_directories(directory.path / "app.1.log" / "planted");
  {
    FileLogListener file(directory.name("app.log").c_str(), plainFileOptions(40, 2));
    for (int i = 0; i < 100; ++i) {
      file.message(textOfRecord(static_cast<char>('a' + i % 26), 10).c_str());
      ASSERT_LE(std::filesystem::file_size(directory.path / "app.log"), 40u) << i;
    }
  }
  // 100 records of 10 bytes, four to a file: the last four are there.
  EXPECT_EQ(directory.bytes("app.log"),
            record('s', 10) + record('t', 10) + record('u', 10) + record('v', 10));
  EXPECT_TRUE(std::filesystem::is_directory(directory.path / "app.1.log" / "planted"));
  const std::string report = capture.text();
  const std::string head =
      "vemo: log file " + (directory.path / "app.log").string() + " cannot be rotated (";
  EXPECT_EQ(report.compare(0, head.size(), head), 0) << report;
  const std::string tail = "); it is emptied at its limit\n";
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail) << report;
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
}
#endif

#if !defined(_WIN32)
// A file name is the bytes it stands for: names whose bytes are not UTF-8 (a Latin-1 é, è,
// which the library's names carry as U+DCE9, U+DCE8) are two files, not one U+FFFD name, and
// their rotated generations keep the same bytes.
TEST(LogListeners, NamesThatAreNotUtf8StayApart) {
  ScratchDirectory directory;
  const std::wstring root = directory.path.wstring() + L"/";
  {
    FileLogListener first((root + L"app\xDCE9.log").c_str(), plainFileOptions(0, 1));
    FileLogListener second((root + L"app\xDCE8.log").c_str(), plainFileOptions(6, 2));
    first.message(L"one");
    second.message(L"two");
    second.message(L"three");  // past 6 bytes: the first generation is rotated away
  }
  EXPECT_EQ(directory.bytes("app\xE9.log"), "one" + kEnd);
  EXPECT_EQ(directory.bytes("app\xE8.log"), "three" + kEnd);
  EXPECT_EQ(directory.bytes("app\xE8.1.log"), "two" + kEnd);
  EXPECT_FALSE(std::filesystem::exists(directory.path / "app\xEF\xBF\xBD.log"));
}

#endif

#if !defined(_WIN32)
// A file that cannot take more (here: past the process's file size limit, as on a full disk) is
// reported once; the messages meanwhile are counted and the count written when it can again.
TEST(LogListeners, AWriteErrorIsReportedOnceAndTheLogResumes) {
  ScratchDirectory directory;
  StandardErrorCapture capture(true);
  FileLogListener file(directory.name("full.log").c_str(), plainFileOptions(0, 1));
  {
    vemo::tests::ScopedFileSizeLimit limit(30);
    for (char letter : {'a', 'b', 'c', 'd', 'e', 'f'})
      file.message(textOfRecord(letter, 10).c_str());
  }
  EXPECT_EQ(directory.bytes("full.log"), record('a', 10) + record('b', 10) + record('c', 10));
  EXPECT_EQ(capture.text(), "vemo: log file " + (directory.path / "full.log").string() +
                                " cannot be written (File too large); its messages are lost until "
                                "it can\n");
  file.message(L"g");
  const std::string resumed = record('a', 10) + record('b', 10) + record('c', 10) +
                              "3 log messages were lost while the file could not be written" +
                              kEnd + "g" + kEnd;
  EXPECT_EQ(directory.bytes("full.log"), resumed);
  // The notice is written once: the count starts again from nothing.
  file.message(L"h");
  EXPECT_EQ(directory.bytes("full.log"), resumed + "h" + kEnd);
  {
    vemo::tests::ScopedFileSizeLimit limit(static_cast<rlim_t>(resumed.size() + 1 + kEnd.size()));
    file.message(L"x");
    file.message(L"y");
  }
  file.message(L"z");
  EXPECT_EQ(directory.bytes("full.log"),
            resumed + "h" + kEnd + "2 log messages were lost while the file could not be written" +
                kEnd + "z" + kEnd);
}

// Under systemd the standard error may be the journal's stream: each line then carries the
// journal's priority, and nothing else changes. JOURNAL_STREAM must name that very file.
TEST(LogListeners, TheJournalsPriorityPrefixesWhenStandardErrorIsItsStream) {
  StandardErrorCapture capture;
  ConsoleLogListener::Options options;
  options.timeStamp = false;
  {
    ScopedVariable journal("JOURNAL_STREAM", capture.deviceAndInode());
    ConsoleLogListener console(options);
    EXPECT_TRUE(console.isJournal());
    ScopedLogListener registered(console);
    Log::error(L"e1\ne2");
    Log::warning(L"w");
    Log::message(L"m");
    Log::debug(L"d");
    Log::whistle(false);
  }
  const std::string prefixed = capture.text();
  EXPECT_EQ(prefixed,
            "<3>error   e1\n<3>error   e2\n<4>warning w\n<6>message m\n<7>debug   d\n"
            "<3>error   failed\n");
  // Another file's numbers, or numbers that do not parse, mean another stream.
  const std::string own = capture.deviceAndInode();
  const std::string device = own.substr(0, own.find(':'));
  for (const std::string& other : {device + ":1", "1:" + own.substr(own.find(':') + 1), own + "x",
                                   own + ":", ":" + own, std::string(""), std::string(":")}) {
    ScopedVariable journal("JOURNAL_STREAM", other);
    ConsoleLogListener console(options);
    EXPECT_FALSE(console.isJournal()) << other;
    console.warning(L"plain");
  }
  std::string plain;
  for (int i = 0; i < 7; ++i)
    plain += "warning plain\n";
  EXPECT_EQ(capture.text().substr(prefixed.size()), plain);
  // The journal stamps each line itself: the listener's own time stamp, on by default, is left
  // out there (so journalctl shows one), unless asked for again; elsewhere it stays.
  ConsoleLogListener::Options stamped;
  stamped.utc = true;
  stamped.clock = fixedClock;
  {
    ScopedVariable journal("JOURNAL_STREAM", capture.deviceAndInode());
    ConsoleLogListener console(stamped);
    console.warning(L"one stamp");
    EXPECT_TRUE(console.setparam(L"time=on"));
    console.warning(L"asked for");
  }
  {
    ScopedVariable journal("JOURNAL_STREAM", "");
    ConsoleLogListener console(stamped);
    console.warning(L"terminal");
  }
  EXPECT_EQ(capture.text().substr(prefixed.size() + plain.size()),
            "<4>warning one stamp\n<4>2024-02-29 23:59:59.007 warning asked for\n"
            "2024-02-29 23:59:59.007 warning terminal\n");
}

// On a terminal the levels have their colours, unless NO_COLOR is set, TERM is dumb or the
// listener is told not to.
TEST(LogListeners, LevelColoursOnATerminalOnly) {
  const auto onTerminal = [](const char* noColour, const char* term, bool colours) {
    int master = -1, slave = -1;
    termios raw{};
    cfmakeraw(&raw);  // bytes pass unchanged
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return std::string("no terminal");
    ScopedVariable noColourVariable("NO_COLOR", noColour), termVariable("TERM", term);
    const int saved = dup(STDERR_FILENO);
    dup2(slave, STDERR_FILENO);
    {
      ConsoleLogListener::Options options;
      options.timeStamp = false;
      options.colours = colours;
      ConsoleLogListener console(options);
      console.error(L"e");
      console.warning(L"w\nw2");
      console.message(L"m");
      console.debug(L"d");
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(slave);
    std::string sent;
    char chunk[4096];
    pollfd input{master, POLLIN, 0};
    while (poll(&input, 1, 100) > 0) {
      const ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      sent.append(chunk, static_cast<std::size_t>(n));
    }
    close(master);
    return sent;
  };
  EXPECT_EQ(onTerminal("", "xterm", true),
            "\x1b[1;31merror   e\x1b[0m\n\x1b[33mwarning w\x1b[0m\n\x1b[33mwarning w2\x1b[0m\n"
            "message m\n\x1b[2mdebug   d\x1b[0m\n");
  const std::string plain = "error   e\nwarning w\nwarning w2\nmessage m\ndebug   d\n";
  EXPECT_EQ(onTerminal("1", "xterm", true), plain);
  EXPECT_EQ(onTerminal("", "dumb", true), plain);
  EXPECT_EQ(onTerminal("", "xterm", false), plain);
}
#endif

// Registration for a scope: a listener the caller keeps, or one made for it and deleted with it.
struct Counted : vemo::LogListener {
  explicit Counted(std::wstring n) : name(std::move(n)) { ++alive; }
  ~Counted() { --alive; }
  const wchar_t* getName() override { return name.c_str(); }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { heard.push_back(name + L": " + text); }
  void warning(const wchar_t*) override {}
  void message(const wchar_t*) override {}
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
  std::wstring name;
  static int alive;
  static Lines heard;
};
int Counted::alive = 0;
Lines Counted::heard;

TEST(LogListeners, ScopedRegistrationsOwnedOrNot) {
  Counted::heard.clear();
  {
    ScopedLogListener a = ScopedLogListener::make<Counted>(L"made");
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_EQ(Log::getLogListener(L"made"), a.get());
    Log::error(L"1");
    ScopedLogListener b(std::move(a));  // the registration moves; nothing is added twice
    EXPECT_EQ(a.get(), nullptr);
    Log::error(L"2");
    ScopedLogListener c = ScopedLogListener::make<Counted>(L"second");
    Log::error(L"3");
    c = std::move(b);  // "second" is removed and deleted, "made" moves on
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_EQ(Log::getLogListener(L"second"), nullptr);
    ScopedLogListener& same = c;
    c = std::move(same);  // onto itself: kept
    EXPECT_NE(Log::getLogListener(L"made"), nullptr);
    Counted kept(L"kept");
    {
      ScopedLogListener borrowed(kept);
      Log::error(L"4");
    }
    Log::error(L"5");
    EXPECT_EQ(Counted::alive, 2);
    {
      // Two scopes on one listener: it stays registered until the outer one goes.
      Counted twice(L"twice");
      ScopedLogListener outer(twice);
      {
        ScopedLogListener inner(twice);
        Log::error(L"6");
      }
      Log::error(L"7");
    }
    Log::error(L"8");
  }
  EXPECT_EQ(Counted::alive, 0);
  EXPECT_EQ(Log::getLogListener(L"made"), nullptr);
  EXPECT_EQ(Counted::heard,
            (Lines{L"made: 1", L"made: 2", L"made: 3", L"second: 3", L"made: 4", L"kept: 4",
                   L"made: 5", L"made: 6", L"twice: 6", L"made: 7", L"twice: 7", L"made: 8"}));
}

// Several threads log to both listeners while their settings change: every message is written
// once, whole, and the rotated files hold each thread's messages in order from the oldest file
// to the newest.
TEST(LogListeners, ThreadsLogThroughBothListenersWhileSettingsChange) {
  ScratchDirectory directory;
  StandardErrorCapture capture;
  constexpr int kThreads = 6, kMessages = 400;
  FileLogListener::Options fileOptions;
  fileOptions.maxBytes = 8192;
  fileOptions.maxFiles = 1000;
  ConsoleLogListener::Options consoleOptions;
  FileLogListener file(directory.name("threads.log").c_str(), fileOptions);
  ConsoleLogListener console(consoleOptions);
  {
    ScopedLogListener inFile(file), onConsole(console);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
      for (int i = 0; !stop; ++i) {
        Log::setparam(i % 2 ? L"file@thread=on,utc=on" : L"file@thread=off,levelname=on");
        console.setMinimumLevel(i % 2 ? LogLevel::kDebug : LogLevel::kMessage);
        console.setparam(i % 2 ? L"time=off" : L"time=on");
        std::this_thread::yield();
      }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < kMessages; ++i)
          Log::message(L"thread %d message %d", t, i);
      });
    for (std::thread& thread : threads)
      thread.join();
    stop = true;
    changer.join();
  }
  // Reads "thread <t> message <i>" at the end of each line, in the order of the files.
  const auto collect = [](const std::string& text, std::map<int, std::vector<int>>& seen) {
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t at = line.find("thread ");
      int t = -1, i = -1;
      EXPECT_TRUE(at != std::string::npos &&
                  std::sscanf(line.c_str() + at, "thread %d message %d", &t, &i) == 2)
          << line;
      seen[t].push_back(i);
      ++count;
    }
    return count;
  };
  std::map<int, std::vector<int>> fromFiles, fromConsole;
  int files = 0;
  while (
      std::filesystem::exists(directory.path / ("threads." + std::to_string(files + 1) + ".log")))
    ++files;
  EXPECT_GT(files, 3);
  for (int generation = files; generation >= 0; --generation)
    collect(directory.bytes(generation ? ("threads." + std::to_string(generation) + ".log").c_str()
                                       : "threads.log"),
            fromFiles);
  EXPECT_EQ(collect(capture.text(), fromConsole), kThreads * kMessages);
  std::vector<int> all(kMessages);
  for (int i = 0; i < kMessages; ++i)
    all[static_cast<std::size_t>(i)] = i;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(fromFiles[t], all) << t;
    EXPECT_EQ(fromConsole[t], all) << t;
  }
}

}  // namespace
