// The process-wide log: listeners, parameters, dispatch, long texts and threads.
//
// The log is shared by the whole program, so every test registers its own listeners and
// removes them before it ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Log.h"

using vemo::Log;
using vemo::LogListener;

namespace {

// Order of calls across all listeners of a test.
std::vector<std::wstring> g_calls;

// Records what it is told, as "operation: text", both for itself and in g_calls.
class Recorder : public LogListener {
 public:
  explicit Recorder(const wchar_t* name = L"recorder", bool answer = true)
      : _name(name), _answer(answer) {}
  virtual ~Recorder() { Log::removeListener(this); }

  const wchar_t* getName() override { return _name.c_str(); }
  bool setparam(const wchar_t* param) override {
    params.push_back(param);
    return _answer;
  }
  void error(const wchar_t* text) override { record(L"error", text); }
  void warning(const wchar_t* text) override { record(L"warning", text); }
  void message(const wchar_t* text) override { record(L"message", text); }
  void debug(const wchar_t* text) override { record(L"debug", text); }
  void whistle(bool ok) override { record(L"whistle", ok ? L"true" : L"false"); }

  std::vector<std::wstring> lines;
  std::vector<std::wstring> params;

 protected:
  virtual void record(const wchar_t* operation, const wchar_t* text) {
    lines.push_back(std::wstring(operation) + L": " + text);
    g_calls.push_back(_name + L" " + lines.back());
  }

 private:
  std::wstring _name;
  bool _answer;
};

using Lines = std::vector<std::wstring>;

// Runs first in this program, before any listener exists.
TEST(LogBeforeListeners, EverythingIsHarmless) {
  EXPECT_EQ(Log::getLogListener(L"recorder"), nullptr);
  EXPECT_EQ(Log::getLogListener(L""), nullptr);
  EXPECT_FALSE(Log::setparam(L"recorder@x"));
  EXPECT_FALSE(Log::setparam(L"@x"));
  Recorder stranger;
  Log::removeListener(nullptr);
  Log::removeListener(&stranger);
  Log::error(L"lost %d", 1);
  Log::warning(L"lost %s", L"two");
  Log::message(L"lost");
  Log::debug(L"lost");
  Log::whistle(true);

  // Nothing was kept for a listener that comes later.
  Recorder late;
  Log::addListener(&late);
  EXPECT_TRUE(late.lines.empty());
  EXPECT_TRUE(stranger.lines.empty());
  Log::message(L"heard");
  EXPECT_EQ(late.lines, Lines{L"message: heard"});
  EXPECT_TRUE(stranger.lines.empty());
}

TEST(Log, EachOperationReachesItsNamesake) {
  Recorder recorder;
  Log::addListener(&recorder);
  Log::error(L"e %d", -12);
  Log::warning(L"w %s|%S|%hs", L"wide", "caf\xC3\xA9", "x");
  Log::message(L"m %I64d %05.1f %c", -1234567890123LL, 2.5, L'\u00E9');
  Log::debug(L"d %x %%", 255u);
  Log::whistle(true);
  Log::whistle(false);
  Log::message(L"");
  EXPECT_EQ(recorder.lines, (Lines{L"error: e -12", L"warning: w wide|caf\u00E9|x",
                                   L"message: m -1234567890123 002.5 \u00E9", L"debug: d ff %",
                                   L"whistle: true", L"whistle: false", L"message: "}));
}

TEST(Log, ListenersAreCalledOnceEachInOrder) {
  g_calls.clear();
  Recorder first(L"first"), second(L"second");
  Log::addListener(&first);
  Log::addListener(&second);
  Log::addListener(&first);  // already registered
  Log::addListener(nullptr);
  Log::error(L"one");
  EXPECT_EQ(g_calls, (Lines{L"first error: one", L"second error: one"}));

  Log::removeListener(&first);  // the one entry goes
  Log::warning(L"two");
  EXPECT_EQ(first.lines, Lines{L"error: one"});
  EXPECT_EQ(second.lines, (Lines{L"error: one", L"warning: two"}));

  Recorder stranger(L"stranger");
  Log::removeListener(&stranger);  // unknown: nothing happens
  Log::removeListener(&first);
  Log::addListener(&first);  // back at the end
  g_calls.clear();
  Log::debug(L"three");
  EXPECT_EQ(g_calls, (Lines{L"second debug: three", L"first debug: three"}));
}

TEST(Log, ListenersAreFoundByExactName) {
  Recorder file(L"file"), console(L"console"), nameless(L"");
  EXPECT_EQ(Log::getLogListener(L"file"), nullptr);
  Log::addListener(&file);
  Log::addListener(&console);
  EXPECT_EQ(Log::getLogListener(L"file"), &file);
  EXPECT_EQ(Log::getLogListener(L"console"), &console);
  EXPECT_EQ(Log::getLogListener(L"File"), nullptr);
  EXPECT_EQ(Log::getLogListener(L"fil"), nullptr);
  EXPECT_EQ(Log::getLogListener(L"files"), nullptr);
  EXPECT_EQ(Log::getLogListener(L""), nullptr);
  Log::addListener(&nameless);
  EXPECT_EQ(Log::getLogListener(L""), &nameless);

  // The first of two listeners with one name.
  Recorder twin(L"file");
  Log::addListener(&twin);
  EXPECT_EQ(Log::getLogListener(L"file"), &file);
  Log::removeListener(&file);
  EXPECT_EQ(Log::getLogListener(L"file"), &twin);
}

TEST(Log, SetparamSplitsAtTheFirstAtSign) {
  Recorder file(L"file", true), refusing(L"refusing", false);
  Log::addListener(&file);
  Log::addListener(&refusing);

  EXPECT_TRUE(Log::setparam(L"file@level=3"));
  EXPECT_TRUE(Log::setparam(L"file@"));
  EXPECT_TRUE(Log::setparam(L"file@a@b"));
  EXPECT_EQ(file.params, (Lines{L"level=3", L"", L"a@b"}));

  EXPECT_FALSE(Log::setparam(L"refusing@x"));  // the listener's own answer
  EXPECT_EQ(refusing.params, Lines{L"x"});

  file.params.clear();
  EXPECT_FALSE(Log::setparam(L"file"));  // no at sign
  EXPECT_FALSE(Log::setparam(L"level=3"));
  EXPECT_FALSE(Log::setparam(L"fil@x"));  // names match exactly
  EXPECT_FALSE(Log::setparam(L"file2@x"));
  EXPECT_FALSE(Log::setparam(L"File@x"));
  EXPECT_FALSE(Log::setparam(L"@level=3"));  // the empty name: nobody here
  EXPECT_TRUE(file.params.empty());

  Recorder nameless(L"");
  Log::addListener(&nameless);
  EXPECT_TRUE(Log::setparam(L"@level=3"));
  EXPECT_EQ(nameless.params, Lines{L"level=3"});
  EXPECT_TRUE(file.params.empty());
}

// Logs an error from inside its warning handler.
class Nested : public Recorder {
 public:
  using Recorder::Recorder;
  void warning(const wchar_t* text) override {
    Recorder::warning(text);
    Log::error(L"inner %s", text);
    Log::whistle(false);
  }
};

TEST(Log, LoggingFromAHandlerIsDropped) {
  Nested nested(L"nested");
  Recorder other(L"other");
  Log::addListener(&nested);
  Log::addListener(&other);
  Log::warning(L"outer");
  EXPECT_EQ(nested.lines, Lines{L"warning: outer"});
  EXPECT_EQ(other.lines, Lines{L"warning: outer"});
  // Dispatch works again afterwards.
  Log::error(L"after");
  EXPECT_EQ(other.lines, (Lines{L"warning: outer", L"error: after"}));
  EXPECT_EQ(nested.lines, (Lines{L"warning: outer", L"error: after"}));
}

class Throwing : public Recorder {
 public:
  using Recorder::Recorder;

 protected:
  void record(const wchar_t* operation, const wchar_t* text) override {
    Recorder::record(operation, text);
    if (++_calls % 2) throw std::runtime_error("listener failed");
    throw 42;
  }

 private:
  int _calls = 0;
};

TEST(Log, AThrowingListenerDoesNotStopTheOthers) {
  Throwing throwing(L"throwing");
  Recorder after(L"after");
  Log::addListener(&throwing);
  Log::addListener(&after);
  EXPECT_NO_THROW(Log::error(L"one"));
  EXPECT_NO_THROW(Log::message(L"two"));
  EXPECT_NO_THROW(Log::whistle(true));
  EXPECT_NO_THROW(Log::debug(L"three"));
  const Lines expected{L"error: one", L"message: two", L"whistle: true", L"debug: three"};
  EXPECT_EQ(throwing.lines, expected);
  EXPECT_EQ(after.lines, expected);
}

TEST(Log, LongMessagesArriveWhole) {
  Recorder recorder;
  Log::addListener(&recorder);
  for (std::size_t length : {32766u, 32767u, 32768u, 32769u, 40000u, 100000u}) {
    std::wstring text;
    for (std::size_t i = 0; i < length; ++i)
      text += static_cast<wchar_t>(L'a' + i % 26);
    text[length / 2] = L'\u00E9';
    recorder.lines.clear();
    Log::message(L"%s", text.c_str());
    // Formatted around the long argument too.
    Log::error(L"<%s>%d", text.c_str(), 7);
    ASSERT_EQ(recorder.lines.size(), 2u) << length;
    EXPECT_EQ(recorder.lines[0].size(), length + 9) << length;
    EXPECT_TRUE(recorder.lines[0] == L"message: " + text) << length;
    EXPECT_TRUE(recorder.lines[1] == L"error: <" + text + L">7") << length;
  }
}

// Counts messages and notices overlapping calls.
class Counting : public LogListener {
 public:
  explicit Counting(const wchar_t* name) : _name(name) {}
  ~Counting() { Log::removeListener(this); }
  const wchar_t* getName() override { return _name; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { take(text); }
  void warning(const wchar_t* text) override { take(text); }
  void message(const wchar_t* text) override { take(text); }
  void debug(const wchar_t* text) override { take(text); }
  void whistle(bool) override { take(L"whistle"); }

  std::multiset<std::wstring> seen;  // only touched inside calls, which never overlap
  std::atomic<int> overlaps{0};

 private:
  void take(const wchar_t* text) {
    if (g_inside.fetch_add(1) != 0) ++overlaps;
    seen.insert(text);
    if (seen.size() % 64 == 0) std::this_thread::yield();  // widen the window now and then
    g_inside.fetch_sub(1);
  }
  static std::atomic<int> g_inside;  // shared by all Counting listeners
  const wchar_t* _name;
};
std::atomic<int> Counting::g_inside{0};

TEST(Log, ThreadsDeliverEveryMessageExactlyOnce) {
  Counting first(L"first"), second(L"second");
  Log::addListener(&first);
  Log::addListener(&second);
  constexpr int kThreads = 6, kMessages = 1500;
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &go] {
      while (!go)
        std::this_thread::yield();
      for (int i = 0; i < kMessages; ++i) {
        switch (i % 4) {
          case 0:
            Log::error(L"t%d m%d", t, i);
            break;
          case 1:
            Log::warning(L"t%d m%d", t, i);
            break;
          case 2:
            Log::message(L"t%d m%d", t, i);
            break;
          default:
            Log::debug(L"t%d m%d", t, i);
            break;
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads)
    thread.join();
  Log::removeListener(&first);
  Log::removeListener(&second);

  for (Counting* listener : {&first, &second}) {
    EXPECT_EQ(listener->overlaps.load(), 0);
    ASSERT_EQ(listener->seen.size(), static_cast<std::size_t>(kThreads * kMessages));
    for (int t = 0; t < kThreads; ++t)
      for (int i = 0; i < kMessages; ++i)
        ASSERT_EQ(listener->seen.count(L"t" + std::to_wstring(t) + L" m" + std::to_wstring(i)), 1u)
            << t << " " << i;
  }
}

TEST(Log, ListenersMayComeAndGoWhileOthersLog) {
  Counting steady(L"steady");
  Log::addListener(&steady);
  std::atomic<bool> stop{false};
  std::thread churn([&stop] {
    while (!stop) {
      Counting passing(L"passing");
      Log::addListener(&passing);
      Log::getLogListener(L"passing");
      Log::removeListener(&passing);
    }
  });
  for (int i = 0; i < 3000; ++i)
    Log::message(L"m%d", i);
  stop = true;
  churn.join();
  Log::removeListener(&steady);
  EXPECT_EQ(steady.seen.size(), 3000u);
  EXPECT_EQ(steady.overlaps.load(), 0);
}

}  // namespace
