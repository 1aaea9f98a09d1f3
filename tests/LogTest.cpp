// The process-wide log: listeners, parameters, dispatch, long texts and threads.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <process.h>
#include <windows.h>

#include <cstdint>
#else
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Log.h"

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
