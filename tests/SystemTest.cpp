// The cooperative scheduler: the system's life, the scheduling pass, sleeping and waking,
// posted messages and exceptions escaping a tick.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Exception.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/ThreadMessage.h"
#include "vemo/core/Tick.h"

using vemo::System;
using vemo::Unknown;
using Clock = std::chrono::steady_clock;

using vemo::tests::millisecondsSince;
using vemo::tests::pause;

namespace {

// A system whose init and run can be scripted: run() may drive the ticks itself.
class TestSystem : public System {
 public:
  static Handle_T<TestSystem> createInstance() { return Handle_T<TestSystem>(new TestSystem()); }

  bool init() override {
    ++inits;
    if (!initResult) return false;
    if (!System::init()) return false;
    return onInit ? onInit(this) : true;
  }
  void exit() override {
    ++exits;
    System::exit();
  }
  void run() override {
    ++runs;
    if (script) {
      script(this);
    } else {
      System::run();
    }
  }
  void onException(unsigned long code) override { codes.push_back(code); }
  void onTick(unsigned int elapsed) override {
    passes.push_back(elapsed);
    System::onTick(elapsed);
  }

  bool initResult = true;
  std::function<bool(TestSystem*)> onInit;
  std::function<void(TestSystem*)> script;
  int inits = 0, exits = 0, runs = 0;
  std::vector<unsigned long> codes;
  std::vector<unsigned int> passes;
};

// A task that records its calls and runs an action on each tick.
class Probe : public System::Task {
 public:
  static Handle_T<Probe> createInstance() { return Handle_T<Probe>(new Probe()); }

  bool init() override {
    ++inits;
    return initResult;
  }
  void exit() override { ++exits; }
  void onTick(unsigned int elapsed) override {
    ticks.push_back(elapsed);
    if (action) action(this, elapsed);
  }

  bool initResult = true;
  int inits = 0, exits = 0;
  std::vector<unsigned int> ticks;
  std::function<void(Probe*, unsigned int)> action;
};

}  // namespace

TEST(System, StartWithoutLoadDoesNothingAndTheLifeCycleFollowsTheStates) {
  auto system = TestSystem::createInstance();
  EXPECT_EQ(system->getState(), System::ES_UNLOADED);
  EXPECT_EQ(system->getRunThreadId(), 0u);
  system->start();
  EXPECT_EQ(system->inits, 0);
  EXPECT_EQ(system->exits, 0);
  EXPECT_EQ(system->getState(), System::ES_UNLOADED);
  // The caller's thread is recorded before the state is tested.
  EXPECT_EQ(system->getRunThreadId(), vemo::Thread::getCurrentThreadId());
  system->unload();
  EXPECT_EQ(system->getState(), System::ES_UNLOADED);

  EXPECT_TRUE(system->load());
  EXPECT_FALSE(system->load());
  EXPECT_EQ(system->getState(), System::ES_LOADED);
  std::vector<System::EState> seen;
  system->onInit = [&](TestSystem* s) {
    seen.push_back(s->getState());
    return true;
  };
  system->script = [&](TestSystem* s) {
    seen.push_back(s->getState());
    EXPECT_TRUE(s->shutdown());
    seen.push_back(s->getState());
    EXPECT_FALSE(s->init());  // only from ES_STARTING
  };
  system->start();
  EXPECT_EQ(seen, (std::vector<System::EState>{System::ES_INITIALISED, System::ES_RUNNING,
                                               System::ES_SHUTDOWN}));
  EXPECT_EQ(system->inits, 2);
  EXPECT_EQ(system->exits, 1);
  EXPECT_EQ(system->getState(), System::ES_SHUTDOWN);
  EXPECT_FALSE(system->load());
  system->start();  // not loaded: nothing happens
  EXPECT_EQ(system->exits, 1);
  system->unload();
  EXPECT_EQ(system->getState(), System::ES_UNLOADED);

  // Shut down before it started: start finds it not loaded.
  EXPECT_TRUE(system->load());
  EXPECT_TRUE(system->shutdown());
  EXPECT_EQ(system->getState(), System::ES_SHUTDOWN);
  system->start();
  EXPECT_EQ(system->exits, 1);

  // An init that fails: no run, exit still called.
  system->unload();
  system->initResult = false;
  EXPECT_TRUE(system->load());
  system->start();
  EXPECT_EQ(system->runs, 1);
  EXPECT_EQ(system->exits, 2);
}

TEST(System, SchedulingPassFiresByTickTimeAndStartsNewTasksInTheNextPass) {
  auto system = TestSystem::createInstance();
  auto every = Probe::createInstance();
  auto slow = Probe::createInstance();
  auto late = Probe::createInstance();
  slow->setTickTime(60000);
  // The first task starts `late` from its first tick.
  every->action = [&](Probe* self, unsigned int) {
    if (self->ticks.size() == 1) {
      EXPECT_TRUE(late->start(self->getSystem()));
      EXPECT_EQ(late->getTaskState(), vemo::TS_RUNNING);
    }
  };
  system->onInit = [&](TestSystem* s) {
    EXPECT_FALSE(every->start(nullptr));
    return every->start(s) && slow->start(s);
  };
  system->script = [&](TestSystem* s) {
    EXPECT_EQ(every->getSystem(), s);
    EXPECT_FALSE(every->start(s));  // already started
    // Tasks started in init wait for the end of the first pass, which is given elapsed 0.
    s->tick();
    EXPECT_EQ(s->passes, std::vector<unsigned int>{0});
    EXPECT_TRUE(every->ticks.empty());
    s->tick();
    EXPECT_EQ(every->ticks.size(), 1u);
    EXPECT_TRUE(late->ticks.empty());
    s->tick();
    EXPECT_EQ(every->ticks.size(), 2u);
    EXPECT_EQ(late->ticks.size(), 1u);
    for (int i = 0; i < 5; ++i)
      s->tick();
    EXPECT_EQ(every->ticks.size(), 7u);
    EXPECT_EQ(late->ticks.size(), 6u);
    EXPECT_TRUE(slow->ticks.empty());
    s->shutdown();
  };
  ASSERT_TRUE(system->load());
  system->start();
  EXPECT_EQ(every->inits, 1);
  EXPECT_EQ(every->exits, 1);
  EXPECT_EQ(late->exits, 1);
  EXPECT_EQ(slow->exits, 1);
  // exit broke the status cycles: the tasks and the system are held by this test only.
  for (const auto* task : {every.get(), slow.get(), late.get()}) {
    EXPECT_EQ(task->getTaskState(), vemo::TS_STOPPED);
    EXPECT_EQ(task->getSystem(), nullptr);
    EXPECT_EQ(task->getReferenceCount(), 1u);
  }
  EXPECT_EQ(system->getReferenceCount(), 1u);
}

TEST(System, SleepAccumulatesAndPostedMessagesTakeATickOfTheirOwn) {
  auto system = TestSystem::createInstance();
  auto sleeper = Probe::createInstance();
  auto counter = Probe::createInstance();
  static std::vector<std::uintptr_t> hooked;
  hooked.clear();
  const vemo::ThreadMessageHook previous =
      vemo::setThreadMessageHook([](unsigned int id, std::uintptr_t w, std::intptr_t l) {
        hooked.push_back(id);
        hooked.push_back(w);
        hooked.push_back(static_cast<std::uintptr_t>(l));
      });
  EXPECT_FALSE(sleeper->sleep(50));  // not started
  EXPECT_FALSE(sleeper->waken());
  system->onInit = [&](TestSystem* s) { return sleeper->start(s) && counter->start(s); };
  unsigned int accumulated = 0;
  system->script = [&](TestSystem* s) {
    s->tick();  // the tasks join the active list
    s->tick();
    ASSERT_EQ(sleeper->ticks.size(), 1u);
    EXPECT_TRUE(sleeper->sleep(50));
    EXPECT_EQ(sleeper->getTaskState(), vemo::TS_SLEEPING);
    const Clock::time_point begin = Clock::now();
    while (sleeper->ticks.size() == 1 && millisecondsSince(begin) < 10000) {
      pause(2);
      s->tick();
      accumulated += counter->ticks.back();
    }
    ASSERT_EQ(sleeper->ticks.size(), 2u);
    EXPECT_GE(sleeper->ticks[1], 50u);
    EXPECT_EQ(sleeper->ticks[1], accumulated);  // everything that passed while it slept
    EXPECT_EQ(sleeper->getTaskState(), vemo::TS_RUNNING);
    s->tick();
    EXPECT_EQ(sleeper->ticks.size(), 3u);

    // Woken early: fires on the next pass.
    EXPECT_TRUE(sleeper->sleep(60000));
    s->tick();
    EXPECT_EQ(sleeper->ticks.size(), 3u);
    EXPECT_TRUE(sleeper->waken());
    s->tick();
    EXPECT_EQ(sleeper->ticks.size(), 4u);

    // A posted call or message takes a tick of its own (no pass); the call's time counts in
    // the next pass.
    const unsigned long self = s->getRunThreadId();
    const std::size_t ticked = counter->ticks.size(), passes = s->passes.size();
    int calls = 0;
    ASSERT_TRUE(vemo::postThreadCall(self, [&] {
      ++calls;
      pause(40);
    }));
    ASSERT_TRUE(vemo::postThreadMessage(self, 0x8001, 7, -9));
    s->tick();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(hooked.empty());
    s->tick();
    EXPECT_EQ(hooked, (std::vector<std::uintptr_t>{0x8001, 7, static_cast<std::uintptr_t>(-9)}));
    EXPECT_EQ(counter->ticks.size(), ticked);
    EXPECT_EQ(s->passes.size(), passes);
    s->tick();
    ASSERT_EQ(counter->ticks.size(), ticked + 1);
    EXPECT_GE(counter->ticks.back(), 35u);
    EXPECT_FALSE(vemo::dispatchThreadMessage());
    EXPECT_FALSE(vemo::postThreadCall(self, nullptr));
    s->shutdown();
  };
  ASSERT_TRUE(system->load());
  system->start();
  vemo::setThreadMessageHook(previous);
}

// The pass compares what a task has accumulated with its sleep time and its tick time, and
// fires it once the accumulated time reaches either: passes driven with chosen elapsed values.
TEST(System, TasksFireWhenTheirTimeIsReachedExactly) {
  auto system = TestSystem::createInstance();
  auto sleeper = Probe::createInstance();
  auto paced = Probe::createInstance();
  paced->setTickTime(30);
  system->onInit = [&](TestSystem* s) { return sleeper->start(s) && paced->start(s); };
  system->script = [&](TestSystem* s) {
    s->onTick(0);  // the tasks join the active list
    s->onTick(30);
    ASSERT_EQ(sleeper->ticks, std::vector<unsigned int>{30});
    ASSERT_EQ(paced->ticks, std::vector<unsigned int>{30});
    EXPECT_TRUE(sleeper->sleep(50));
    s->onTick(29);
    EXPECT_EQ(sleeper->ticks.size(), 1u);
    EXPECT_EQ(paced->ticks.size(), 1u);  // 29 of 30
    s->onTick(20);
    EXPECT_EQ(sleeper->ticks.size(), 1u);  // 49 of 50
    EXPECT_EQ(paced->ticks, (std::vector<unsigned int>{30, 49}));
    s->onTick(1);
    EXPECT_EQ(sleeper->ticks, (std::vector<unsigned int>{30, 50}));
    EXPECT_EQ(sleeper->getTaskState(), vemo::TS_RUNNING);
    s->onTick(28);
    EXPECT_EQ(paced->ticks.size(), 2u);  // 29 of 30
    s->onTick(1);
    EXPECT_EQ(paced->ticks, (std::vector<unsigned int>{30, 49, 30}));
    // A sleep of 0 is over at the next pass, even one that brings no time.
    EXPECT_TRUE(sleeper->sleep(0));
    s->onTick(0);
    EXPECT_EQ(sleeper->ticks, (std::vector<unsigned int>{30, 50, 28, 1, 0}));
    s->shutdown();
  };
  ASSERT_TRUE(system->load());
  system->start();
}

TEST(System, StoppedAndRefusedTasksAreNeverTicked) {
  auto system = TestSystem::createInstance();
  auto refused = Probe::createInstance();
  auto victim = Probe::createInstance();
  auto killer = Probe::createInstance();
  auto failing = Probe::createInstance();
  failing->initResult = false;

  // Neither a loaded system nor one that has ended takes tasks.
  ASSERT_TRUE(system->load());
  EXPECT_FALSE(refused->start(system));
  EXPECT_EQ(refused->inits, 0);
  EXPECT_EQ(refused->getTaskState(), vemo::TS_STOPPED);

  system->onInit = [&](TestSystem* s) {
    EXPECT_FALSE(failing->start(s));
    EXPECT_EQ(failing->exits, 1);  // stopped at once
    EXPECT_EQ(failing->getTaskState(), vemo::TS_STOPPED);
    return killer->start(s) && victim->start(s);
  };
  killer->action = [&](Probe*, unsigned int) {
    if (victim->getTaskState() != vemo::TS_STOPPED) victim->stop();
  };
  system->script = [&](TestSystem* s) {
    for (int i = 0; i < 4; ++i)
      s->tick();
    EXPECT_EQ(killer->ticks.size(), 3u);
    EXPECT_TRUE(victim->ticks.empty());  // stopped earlier in the same pass
    EXPECT_EQ(victim->exits, 1);
    EXPECT_EQ(victim->getSystem(), nullptr);
    // A stopped task may be started again, with a new status.
    EXPECT_TRUE(victim->start(s));
    killer->action = nullptr;
    s->tick();
    s->tick();
    EXPECT_EQ(victim->ticks.size(), 1u);
    s->shutdown();
  };
  system->start();
  EXPECT_TRUE(failing->ticks.empty());
  EXPECT_EQ(failing->exits, 1);
  EXPECT_EQ(victim->exits, 2);
  EXPECT_FALSE(refused->start(system));  // ES_SHUTDOWN
  EXPECT_EQ(refused->inits, 0);
  for (const auto* task : {refused.get(), victim.get(), killer.get(), failing.get()})
    EXPECT_EQ(task->getReferenceCount(), 1u);
}

TEST(System, ShutdownAndPostedCallsWakeASleepingSystem) {
  vemo::tests::finishWithin(std::chrono::seconds(60), "sleeping system", [] {
    auto system = TestSystem::createInstance();
    auto sleeper = Probe::createInstance();
    std::atomic<bool> asleep{false};
    std::atomic<int> served{-1};  // -1: sleep on every tick
    sleeper->action = [&](Probe* self, unsigned int) {
      asleep = true;
      if (served.load() == 3) {
        self->getSystem()->shutdown();
      } else {
        self->getSystem()->sleep(60000);
      }
    };
    system->onInit = [&](TestSystem* s) { return sleeper->start(s); };
    ASSERT_TRUE(system->load());
    Clock::time_point asked;
    std::thread stopper([&] {
      while (!asleep)
        pause(1);
      pause(50);
      asked = Clock::now();
      system->shutdown();
    });
    system->start();
    const long long late = millisecondsSince(asked);
    stopper.join();
    EXPECT_LT(late, 5000);
    EXPECT_EQ(sleeper->ticks.size(), 1u);  // the loop ended after the tick in progress
    EXPECT_EQ(system->getState(), System::ES_SHUTDOWN);

    // A waken given before the sleep releases it; the sleep clears every pending wake-up.
    system->waken();
    system->waken();
    Clock::time_point begin = Clock::now();
    system->sleep(60000);
    EXPECT_LT(millisecondsSince(begin), 5000);
    begin = Clock::now();
    system->sleep(30);
    EXPECT_GE(millisecondsSince(begin), 25);

    // Calls posted to a sleeping system wake it; each is served on its thread.
    system = TestSystem::createInstance();
    system->onInit = [&](TestSystem* s) { return sleeper->start(s); };
    served = 0;
    asleep = false;
    vemo::Unknown::Handle_T<vemo::Thread> thread = vemo::Thread::createInstance();
    ASSERT_TRUE(thread->start(system));
    while (!asleep)
      pause(1);
    const unsigned long target = system->getRunThreadId();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(vemo::postThreadCall(target, [&] {
        EXPECT_EQ(vemo::Thread::getCurrentThreadId(), target);
        ++served;
      }));
      pause(20);
    }
    while (system->getState() != System::ES_UNLOADED)
      pause(1);
    EXPECT_EQ(served.load(), 3);
    thread->shutdown();
  });
}

// A message id posted to a system asleep on its thread ends the sleep as a posted call does:
// each one is served at once, long before the sleep's limit.
TEST(System, PostedMessagesWakeASleepingSystem) {
  static std::atomic<int> hooked{0};
  hooked = 0;
  const vemo::ThreadMessageHook previous =
      vemo::setThreadMessageHook([](unsigned int id, std::uintptr_t, std::intptr_t) {
        if (id == 0x8123) ++hooked;
      });
  vemo::tests::finishWithin(std::chrono::seconds(120), "posted messages", [] {
    auto system = TestSystem::createInstance();
    auto sleeper = Probe::createInstance();
    std::atomic<bool> asleep{false};
    sleeper->action = [&](Probe* self, unsigned int) {
      asleep = true;
      if (hooked.load() == 3) {
        self->getSystem()->shutdown();
      } else {
        self->getSystem()->sleep(30000);
      }
    };
    system->onInit = [&](TestSystem* s) { return sleeper->start(s); };
    vemo::Unknown::Handle_T<vemo::Thread> thread = vemo::Thread::createInstance();
    ASSERT_TRUE(thread->start(system));
    while (!asleep)
      pause(1);
    const unsigned long target = system->getRunThreadId();
    for (int i = 0; i < 3; ++i) {
      pause(20);  // asleep again by now
      const Clock::time_point posted = Clock::now();
      ASSERT_TRUE(vemo::postThreadMessage(target, 0x8123, 0, 0));
      while (hooked.load() == i && millisecondsSince(posted) < 10000)
        pause(1);
      EXPECT_LT(millisecondsSince(posted), 5000) << "message " << i;
    }
    while (system->getState() != System::ES_UNLOADED && hooked.load() == 3)
      pause(1);
    EXPECT_EQ(hooked.load(), 3);
    thread->shutdown();
  });
  vemo::setThreadMessageHook(previous);
}

TEST(System, ExceptionsEscapingATickAreLoggedAndTheLoopGoesOn) {
  vemo::tests::LogCapture log;
  auto system = TestSystem::createInstance();
  auto thrower = Probe::createInstance();
  thrower->action = [&](Probe* self, unsigned int) {
    switch (self->ticks.size()) {
      case 1:
        throw std::runtime_error("out of \xc3\xa9lan");
      case 2:
        throw vemo::Exception(L"Thrower.h", 12, L"void f()", -1, L"broken input");
      case 3:
        throw 42;
      default:
        self->getSystem()->shutdown();
    }
  };
  system->onInit = [&](TestSystem* s) { return thrower->start(s); };
  ASSERT_TRUE(system->load());
  system->start();
  EXPECT_EQ(thrower->ticks.size(), 4u);
  EXPECT_EQ(system->codes, std::vector<unsigned long>(3, 0xE06D7363ul));
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0], L"error: Unhandled exception in a tick: out of \u00e9lan");
  EXPECT_NE(log.lines[1].find(L"broken input"), std::wstring::npos);
  EXPECT_EQ(log.lines[2], L"error: Unhandled exception in a tick");
}

TEST(System, RandomGeneratorIsSeededAtConstruction) {
  // Two systems made in turn seed from two different UUIDs: the sequences differ (a clash of
  // 16-bit seeds is possible but would have to repeat on all tries).
  int differing = 0;
  for (int i = 0; i < 4; ++i) {
    TestSystem::createInstance();
    const int first = std::rand();
    TestSystem::createInstance();
    if (std::rand() != first) ++differing;
  }
  EXPECT_GT(differing, 0);
}

// ---- Idle wait -------------------------------------------------------------------------

namespace {

// A system that waits when idle, counting its passes (read from other threads).
class IdleSystem : public System {
 public:
  static Handle_T<IdleSystem> createInstance() { return Handle_T<IdleSystem>(new IdleSystem()); }
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    return onInit ? onInit(this) : true;
  }
  void onTick(unsigned int elapsed) override {
    ++passes;
    System::onTick(elapsed);
  }
  std::function<bool(IdleSystem*)> onInit;
  std::atomic<int> passes{0};
};

// A task with a given answer to nextDue, counting its ticks and running an action on each.
class DueProbe : public System::Task {
 public:
  static Handle_T<DueProbe> createInstance(unsigned int due) {
    return Handle_T<DueProbe>(new DueProbe(due));
  }
  unsigned int nextDue() const override { return _due; }
  void onTick(unsigned int elapsed) override {
    ++ticks;
    last = elapsed;
    if (action) action(this);
  }
  std::atomic<int> ticks{0};
  std::atomic<unsigned int> last{0};
  std::function<void(DueProbe*)> action;

 private:
  explicit DueProbe(unsigned int due) : _due(due) {}
  unsigned int _due;
};

std::atomic<int> g_tickFired{0};
std::atomic<unsigned int> g_tickShortest{~0u};
void countTick(unsigned int elapsed) {
  ++g_tickFired;
  if (elapsed < g_tickShortest.load()) g_tickShortest = elapsed;
}

}  // namespace

// At rest an idle-waiting system makes no passes at all; a notify, a posted call and a task
// started by it each bring a pass at once; shutdown from another thread ends it at once.
TEST(System, IdleWaitSleepsUntilNotifiedAndEndsAtOnceOnShutdown) {
  vemo::tests::finishWithin(std::chrono::seconds(60), "idle system", [] {
    auto system = IdleSystem::createInstance();
    auto consumer = DueProbe::createInstance(System::Task::kDueOnWake);
    system->onInit = [&](IdleSystem* s) { return consumer->start(s); };
    auto thread = vemo::Thread::createInstance();
    ASSERT_TRUE(thread->start(system));
    // Started, it is ticked once; then nothing is due until a wake-up.
    ASSERT_TRUE(vemo::tests::eventually([&] { return consumer->ticks.load() >= 1; }));
    pause(20);
    const int atRest = system->passes.load();
    pause(200);
    EXPECT_EQ(system->passes.load(), atRest);  // no pass without a reason
    EXPECT_EQ(consumer->ticks.load(), 1);

    Clock::time_point begin = Clock::now();
    system->notify();
    ASSERT_TRUE(vemo::tests::eventually([&] { return consumer->ticks.load() == 2; }));
    EXPECT_LT(millisecondsSince(begin), 100);

    // A call posted to its thread starts a task that fires on every pass: the system stays
    // awake while that task is listed, and waits again once a second call has stopped it.
    auto busy = DueProbe::createInstance(System::Task::kDueUnknown);
    ASSERT_TRUE(vemo::postThreadCall(system->getRunThreadId(), [&] { busy->start(system); }));
    ASSERT_TRUE(vemo::tests::eventually([&] { return busy->ticks.load() >= 50; }));
    std::atomic<bool> stopped{false};
    ASSERT_TRUE(vemo::postThreadCall(system->getRunThreadId(), [&] {
      busy->stop();
      stopped = true;
    }));
    ASSERT_TRUE(vemo::tests::eventually([&] { return stopped.load(); }));
    pause(20);
    const int quiet = system->passes.load();
    pause(100);
    EXPECT_LE(system->passes.load(), quiet + 1);

    begin = Clock::now();
    thread->shutdown();
    EXPECT_LT(millisecondsSince(begin), 100);
    EXPECT_EQ(system->getState(), System::ES_UNLOADED);
  });
}

// Runs an idle-waiting system with the tasks until `reached` holds (20 s at most), then waits
// `restMs` more and stops it; its count of passes. The run lasts as long as the machine needs,
// so the checks below bound counts by each other, never by the time the test thread slept.
template <class Condition>
int runIdleUntil(std::vector<Unknown::Handle_T<System::Task>> tasks, Condition reached,
                 int restMs = 0) {
  auto system = IdleSystem::createInstance();
  system->onInit = [&](IdleSystem* s) {
    for (const auto& task : tasks)
      if (!task->start(s)) return false;
    return true;
  };
  auto thread = vemo::Thread::createInstance();
  if (!thread->start(system)) return -1;
  const bool ok = vemo::tests::eventually(reached);
  if (restMs > 0) pause(restMs);
  thread->shutdown();
  return ok ? system->passes.load() : -1;
}

// The next due task bounds the sleep: a tick time, a task's own nextDue and a task's sleep
// each end the wait when they are reached and not before, with no pass in between; a task
// started is ticked once, and a task due only on a wake-up then lets the system sleep.
TEST(System, IdleWaitEndsWhenTheNextTaskIsDue) {
  vemo::tests::finishWithin(std::chrono::seconds(90), "timed idle system", [] {
    auto timed = vemo::Tick::createInstance();
    timed->setTickTime(std::chrono::milliseconds(50));
    g_tickFired = 0;
    g_tickShortest = ~0u;
    ASSERT_TRUE(timed->addTickHandler(&countTick));
    int passes = runIdleUntil({timed}, [] { return g_tickFired.load() >= 5; });
    ASSERT_GE(passes, 0) << "the tick never fired five times";
    EXPECT_GE(g_tickShortest.load(), 50u);
    EXPECT_LE(passes, g_tickFired.load() + 3);  // a pass per tick, and the first ones

    // The task's own due time: it fires on every pass, never before it is due.
    auto own = DueProbe::createInstance(70);
    passes = runIdleUntil({own}, [&] { return own->ticks.load() >= 4; });
    ASSERT_GE(passes, 0) << "the task due every 70 ms never ticked four times";
    EXPECT_GE(own->last.load(), 69u);
    EXPECT_LE(passes, own->ticks.load() + 2);

    // Sleeping three times for 30 ms, then waiting for a wake-up that never comes: once the
    // fourth tick is seen, 150 ms bring neither a tick nor a pass.
    auto sleeper = DueProbe::createInstance(System::Task::kDueOnWake);
    sleeper->action = [](DueProbe* self) {
      if (self->ticks.load() < 4) self->sleep(30);
    };
    passes = runIdleUntil(
        {sleeper}, [&] { return sleeper->ticks.load() >= 4; }, 150);
    ASSERT_GE(passes, 0) << "the sleeping task never woke three times";
    EXPECT_EQ(sleeper->ticks.load(), 4);
    EXPECT_GE(sleeper->last.load(), 30u);
    EXPECT_LE(passes, 6);

    // A task that cannot tell when it is due keeps the system awake: a pass after another,
    // with nothing to wake it.
    auto busy = DueProbe::createInstance(System::Task::kDueUnknown);
    passes = runIdleUntil({busy}, [&] { return busy->ticks.load() > 100; });
    EXPECT_GT(passes, 100) << "a task of unknown due time let the system sleep";
  });
}

// A waken() is kept for the next sleep however the system waits meanwhile: an idle wait between
// the waken and the sleep does not take it (the sleep then returns at once, as it does without
// idle wait); and a call that the system posts to its own thread during a pass, just before it
// waits, is served without any other wake-up.
TEST(System, IdleWaitTakesNoWakeUpOfSleepAndSeesItsOwnPosts) {
  vemo::tests::finishWithin(std::chrono::seconds(60), "idle and sleep", [] {
    for (bool idle : {false, true}) {
      auto system = IdleSystem::createInstance();
      auto task = DueProbe::createInstance(System::Task::kDueOnWake);
      std::atomic<long long> slept{-1};
      task->action = [&](DueProbe* self) {
        if (self->ticks.load() == 1) {
          self->getSystem()->waken();  // for the sleep two passes on
          self->sleep(30);             // the system waits idle meanwhile
        } else if (self->ticks.load() == 2) {
          const Clock::time_point begin = Clock::now();
          self->getSystem()->sleep(5000);
          slept = millisecondsSince(begin);
        }
      };
      system->onInit = [&](IdleSystem* s) {
        s->setIdleWait(idle);
        return task->start(s);
      };
      auto thread = vemo::Thread::createInstance();
      ASSERT_TRUE(thread->start(system));
      ASSERT_TRUE(vemo::tests::eventually([&] { return slept.load() >= 0; }));
      EXPECT_LT(slept.load(), 1000) << (idle ? "with" : "without") << " idle wait";
      thread->shutdown();
    }

    // Posted to itself during a pass, with nothing else to wake it: served in the next pass.
    auto system = IdleSystem::createInstance();
    auto poster = DueProbe::createInstance(System::Task::kDueOnWake);
    std::atomic<int> served{0};
    poster->action = [&](DueProbe*) {
      vemo::postThreadCall(vemo::Thread::getCurrentThreadId(), [&] { ++served; });
    };
    system->onInit = [&](IdleSystem* s) { return poster->start(s); };
    auto thread = vemo::Thread::createInstance();
    ASSERT_TRUE(thread->start(system));
    EXPECT_TRUE(vemo::tests::eventually([&] { return served.load() >= 1; }));
    EXPECT_EQ(poster->ticks.load(), 1);  // a posted call is no wake-up for the tasks
    thread->shutdown();
  });
}
