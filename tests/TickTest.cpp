// The millisecond clock, the Tick task's handler list and the Yield task.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/Thread.h"
#include "vemo/core/Tick.h"

using vemo::System;
using vemo::Tick;
using vemo::Yield;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> g_calls;

void first(unsigned int elapsed) {
  g_calls.push_back("first " + std::to_string(elapsed));
}
void second(unsigned int elapsed) {
  g_calls.push_back("second " + std::to_string(elapsed));
}

struct Listener {
  void onTick(unsigned int elapsed) { g_calls.push_back(name + " " + std::to_string(elapsed)); }
  void onOther(unsigned int) { g_calls.push_back(name + " other"); }
  std::string name;
};

// Runs the given tasks, started in init, until shut down.
class Host : public System {
 public:
  static Handle_T<Host> createInstance() { return Handle_T<Host>(new Host()); }
  bool init() override {
    if (!System::init()) return false;
    for (const auto& task : tasks)
      if (!task->start(this)) return false;
    return true;
  }
  std::vector<Handle_T<System::Task>> tasks;
};

std::vector<unsigned int> g_elapsed;
void record(unsigned int elapsed) {
  g_elapsed.push_back(elapsed);
}

}  // namespace

TEST(Tick, HandlersAreKeptOnceInOrderAndCalledWithTheElapsedTime) {
  g_calls.clear();
  auto tick = Tick::createInstance();
  tick->onTick(5);  // no handlers
  EXPECT_TRUE(g_calls.empty());

  Listener a{"a"}, b{"b"};
  EXPECT_TRUE(tick->addTickHandler(&first));
  // The same function again, also as a handler made separately: equal, no second entry.
  EXPECT_TRUE(tick->addTickHandler(Tick::Handler(&first)));
  EXPECT_TRUE(tick->addTickHandler(Tick::Handler(&a, &Listener::onTick)));
  EXPECT_TRUE(tick->addTickHandler(Tick::Handler(&b, &Listener::onTick)));
  EXPECT_TRUE(tick->addTickHandler(Tick::Handler(&a, &Listener::onTick)));
  EXPECT_TRUE(tick->addTickHandler(Tick::Handler(&a, &Listener::onOther)));
  EXPECT_TRUE(tick->addTickHandler(&second));
  tick->onTick(16);
  EXPECT_EQ(g_calls,
            (std::vector<std::string>{"first 16", "a 16", "b 16", "a other", "second 16"}));

  // Added twice, removed once: gone. Removing what is not listed does nothing.
  g_calls.clear();
  tick->removeTickHandler(&first);
  tick->removeTickHandler(&first);
  tick->removeTickHandler(Tick::Handler(&b, &Listener::onTick));
  tick->removeTickHandler(Tick::Handler());
  tick->onTick(1);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"a 1", "a other", "second 1"}));

  g_calls.clear();
  tick->clearAllTickHandler();
  tick->onTick(2);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_TRUE(tick->addTickHandler(&first));  // usable again after clearing
  tick->onTick(3);
  EXPECT_EQ(g_calls, std::vector<std::string>{"first 3"});

  // Nothing to call is refused, and the pass calls only what is there.
  g_calls.clear();
  void (*none)(unsigned int) = nullptr;
  EXPECT_FALSE(tick->addTickHandler(none));
  EXPECT_FALSE(tick->addTickHandler(Tick::Handler()));
  EXPECT_FALSE(tick->addTickHandler(Tick::Handler(none)));
  tick->removeTickHandler(none);
  tick->onTick(4);
  EXPECT_EQ(g_calls, std::vector<std::string>{"first 4"});
}

// Lambdas, with or without captures, and std::function as tick handlers: each is a handler of
// its own, removed by the handler kept for it.
TEST(Tick, AnyCallableIsAHandler) {
  g_calls.clear();
  auto tick = Tick::createInstance();
  unsigned int total = 0;
  EXPECT_TRUE(tick->addTickHandler([&total](unsigned int elapsed) { total += elapsed; }));
  EXPECT_TRUE(tick->addTickHandler([](unsigned int elapsed) {  // no captures
    g_calls.push_back("plain " + std::to_string(elapsed));
  }));
  const Tick::Handler kept{std::function<void(unsigned int)>(&second)};
  EXPECT_TRUE(tick->addTickHandler(kept));
  EXPECT_TRUE(tick->addTickHandler(kept));  // the same handler: listed once
  EXPECT_FALSE(tick->addTickHandler(std::function<void(unsigned int)>()));  // empty: refused
  tick->onTick(7);
  EXPECT_EQ(total, 7u);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"plain 7", "second 7"}));
  g_calls.clear();
  tick->removeTickHandler(Tick::Handler(std::function<void(unsigned int)>(&second)));  // another
  tick->removeTickHandler(&second);  // a function's identity: not the wrapped one
  tick->onTick(1);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"plain 1", "second 1"}));
  g_calls.clear();
  tick->removeTickHandler(kept);
  tick->onTick(2);
  EXPECT_EQ(g_calls, std::vector<std::string>{"plain 2"});
  EXPECT_EQ(total, 10u);
}

// Runs `tasks` on a thread of its own for `ms`; returns how long it ran.
long long runFor(const std::vector<vemo::Unknown::Handle_T<System::Task>>& tasks, int ms) {
  auto host = Host::createInstance();
  host->tasks = tasks;
  auto thread = vemo::Thread::createInstance();
  const Clock::time_point begin = Clock::now();
  EXPECT_TRUE(thread->start(host));
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  thread->shutdown();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
}

TEST(Tick, TickTimeAndYieldTimeSpaceThePasses) {
  vemo::tests::finishWithin(std::chrono::seconds(60), "ticking system", [] {
    // A tick time of 100 ms on a system that yields every millisecond: every call has at least
    // 100 ms, and all of them no more than the run.
    g_elapsed.clear();
    auto tick = Tick::createInstance();
    tick->setTickTime(100);
    tick->addTickHandler(&record);
    auto yield = Yield::createInstance();
    EXPECT_EQ(yield->getYieldTime(), 1u);
    const long long ran = runFor({yield, tick}, 550);
    ASSERT_GE(g_elapsed.size(), 1u);
    EXPECT_LE(static_cast<long long>(g_elapsed.size()), ran / 100 + 1);
    unsigned long long total = 0;
    for (unsigned int elapsed : g_elapsed) {
      EXPECT_GE(elapsed, 100u);
      total += elapsed;
    }
    EXPECT_LE(total, static_cast<unsigned long long>(ran));

    // A yield of 0 only gives up the time slice: far more passes than with 20 ms a pass (at
    // most about ten in 200 ms).
    g_elapsed.clear();
    tick->setTickTime(0);
    auto fast = Yield::createInstance(0);
    EXPECT_EQ(fast->getYieldTime(), 0u);
    runFor({fast, tick}, 200);
    const std::size_t fastPasses = g_elapsed.size();
    g_elapsed.clear();
    runFor({Yield::createInstance(20), tick}, 200);
    EXPECT_LE(g_elapsed.size(), 20u);
    EXPECT_GT(fastPasses, g_elapsed.size());
  });
}

TEST(Tick, ClockFollowsTheSteadyClock) {
  const unsigned int start = vemo::getTimeTick();
  const Clock::time_point reference = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const unsigned int elapsed = vemo::getTimeTick() - start;
  const auto measured =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - reference).count();
  EXPECT_GE(elapsed, 55u);
  EXPECT_LE(static_cast<long long>(elapsed), measured + 20);
}

// Every wait and period of the runtime also takes a std::chrono duration: rounded up to whole
// milliseconds (a wait never ends early), a negative one as 0, one beyond 32 bits as the
// endless 4294967295.
TEST(Tick, WaitsAndPeriodsTakeChronoDurations) {
  using namespace std::chrono;
  using vemo::detail::toMilliseconds;
  EXPECT_EQ(toMilliseconds(milliseconds(0)), 0u);
  EXPECT_EQ(toMilliseconds(nanoseconds(1)), 1u);
  EXPECT_EQ(toMilliseconds(microseconds(1500)), 2u);
  EXPECT_EQ(toMilliseconds(duration<double, std::milli>(2.0)), 2u);
  EXPECT_EQ(toMilliseconds(seconds(-1)), 0u);
  EXPECT_EQ(toMilliseconds(duration<double>(std::nan(""))), 0u);
  EXPECT_EQ(toMilliseconds(milliseconds(4294967294LL)), 4294967294u);
  EXPECT_EQ(toMilliseconds(milliseconds(4294967295LL)), 0xFFFFFFFFu);
  EXPECT_EQ(toMilliseconds(hours(24 * 365 * 100)), 0xFFFFFFFFu);
  // Floating-point counts: a whole number of milliseconds but for the binary error of the type
  // is that number; a real fraction, however small, rounds up.
  EXPECT_EQ(toMilliseconds(duration<double>(0.1)), 100u);
  EXPECT_EQ(toMilliseconds(duration<double>(0.001)), 1u);
  EXPECT_EQ(toMilliseconds(duration<double>(0.3)), 300u);
  EXPECT_EQ(toMilliseconds(duration<double>(1.1)), 1100u);
  EXPECT_EQ(toMilliseconds(duration<float>(0.1f)), 100u);
  EXPECT_EQ(toMilliseconds(duration<float>(0.007f)), 7u);
  EXPECT_EQ(toMilliseconds(duration<long double>(0.1L)), 100u);
  EXPECT_EQ(toMilliseconds(duration<double, std::micro>(100.0)), 1u);
  EXPECT_EQ(toMilliseconds(duration<double>(0.0015)), 2u);
  EXPECT_EQ(toMilliseconds(duration<double>(0.1000001)), 101u);
  EXPECT_EQ(toMilliseconds(duration<double>(1e-9)), 1u);
  for (int ms = 1; ms < 5000; ms += 7)  // every such sum of tenths is the whole count
    EXPECT_EQ(toMilliseconds(duration<double>(ms / 1000.0)), static_cast<unsigned int>(ms)) << ms;

  EXPECT_EQ(Yield::createInstance(microseconds(2500))->getYieldTime(), 3u);
  EXPECT_EQ(Tick::createInstance(milliseconds(40))->getTickTime(), 40u);
  EXPECT_EQ(Tick::createInstance(duration<double>(0.25))->getTickTime(), 250u);
  EXPECT_EQ(Tick::createInstance(duration<double>(0.1))->getTickTime(), 100u);
  auto tick = Tick::createInstance();
  tick->setTickTime(seconds(2));
  EXPECT_EQ(tick->getTickTime(), 2000u);
  EXPECT_FALSE(tick->sleep(milliseconds(5)));  // not started

  vemo::tests::finishWithin(seconds(60), "chrono waits", [] {
    // A started task sleeps for a duration: its next call comes no sooner.
    std::vector<Clock::time_point> calls;
    auto sleeper = Tick::createInstance();
    Tick* self = sleeper.get();
    sleeper->addTickHandler([&calls, self](unsigned int) {
      calls.push_back(Clock::now());
      if (calls.size() == 1) {
        EXPECT_TRUE(self->sleep(milliseconds(80)));
      }
    });
    runFor({Yield::createInstance(milliseconds(1)), sleeper}, 300);
    ASSERT_GE(calls.size(), 2u);
    // The sleep counts the passes' time from the start of the pass that called it, so the next
    // call may come up to one (loaded, long) pass early; without the sleep it would come ~1 ms on.
    EXPECT_GE(duration_cast<milliseconds>(calls[1] - calls[0]).count(), 60);

    // System::sleep waits its duration, or ends at once for a wake-up already given.
    auto host = Host::createInstance();
    Clock::time_point begin = Clock::now();
    host->sleep(milliseconds(30));
    EXPECT_GE(duration_cast<milliseconds>(Clock::now() - begin).count(), 29);
    host->waken();
    begin = Clock::now();
    host->sleep(hours(1));
    EXPECT_LT(duration_cast<milliseconds>(Clock::now() - begin).count(), 10000);

    // Semaphore::wait: a time-out after the duration, a signal at once.
    auto semaphore = vemo::Semaphore::createInstance();
    begin = Clock::now();
    EXPECT_FALSE(semaphore->wait(milliseconds(30), false));
    EXPECT_GE(duration_cast<milliseconds>(Clock::now() - begin).count(), 29);
    semaphore->signal();
    EXPECT_TRUE(semaphore->wait(seconds(5), false));

    // MessagePort::procMessage with a budget as a duration dispatches what is queued.
    vemo::MessagePort port;
    int handled = 0;
    port.getMessageDispenser().addMessageHandler<vemo::Message>(
        [&handled](vemo::Message*) { ++handled; });
    for (int i = 0; i < 3; ++i)
      port.pushMessage(vemo::Message::createInstance());
    EXPECT_EQ(port.procMessage(milliseconds(500)), 3);
    EXPECT_EQ(handled, 3);
  });
}
