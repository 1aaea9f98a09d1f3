// A consumer system that waits for work instead of polling: context switches per second at
// rest, push-to-handler latency through a bound port, port throughput, and a Tick's period
// under idle wait. References from the same run: the same consumer polling with Yield(1), and
// a thread blocked on a condition variable fed through a mutex-guarded deque.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "vemo/core/Message.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/Tick.h"

namespace {

using Clock = std::chrono::steady_clock;

class Stamp : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Stamp, vemo::Message)
 public:
  long long sent = 0;  // steady-clock nanoseconds at the push
  VEMO_MESSAGE_FIELDS(sent)

 protected:
  Stamp() = default;
};
VEMO_IMPLEMENT_PROPERTY(Stamp, VEMO_PROPERTY(sent, L"Sent"))

long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Latencies {
  std::mutex lock;
  std::vector<long long> ns;
  std::atomic<int> received{0};
  void onStamp(vemo::Message* m) {
    const long long took = nowNs() - static_cast<Stamp*>(m)->sent;
    {
      std::lock_guard<std::mutex> guard(lock);
      ns.push_back(took);
    }
    ++received;
  }
};

// The consumer: idle wait and a bound port, or (polling) Yield(1) beside the serving task.
class Consumer : public vemo::System {
 public:
  static Handle_T<Consumer> createInstance(vemo::MessagePort& port, bool polling) {
    return Handle_T<Consumer>(new Consumer(port, polling));
  }
  bool init() override {
    if (!System::init()) return false;
    if (_polling)
      return Handle_T<Serve>(new Serve(_port, false))->start(this) &&
             vemo::Yield::createInstance(1)->start(this);
    setIdleWait(true);
    _port.bind(this);
    return Handle_T<Serve>(new Serve(_port, true))->start(this);
  }
  void exit() override {
    _port.unbind();
    System::exit();
  }

 private:
  struct Serve : Task {
    Serve(vemo::MessagePort& port, bool waits) : port(port), waits(waits) {}
    void onTick(unsigned int) override { port.procMessage(5); }
    unsigned int nextDue() const override { return waits ? kDueOnWake : kDueUnknown; }
    vemo::MessagePort& port;
    bool waits;
  };
  Consumer(vemo::MessagePort& port, bool polling) : _port(port), _polling(polling) {}
  vemo::MessagePort& _port;
  bool _polling;
};

long contextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

double percentile(std::vector<long long> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return static_cast<double>(values[static_cast<std::size_t>(p * (values.size() - 1))]) / 1000.0;
}

// Context switches per second of the whole process while the consumer rests (the benchmark's
// own thread sleeps), and push-to-handler latency (µs) of pushes 200 µs apart.
void runConsumer(benchmark::State& state, bool polling) {
  vemo::MessagePort port;
  Latencies latencies;
  port.getMessageDispenser().addMessageHandler<Stamp>(
      vemo::MessageDispenser<void>::Handler(&latencies, &Latencies::onStamp));
  auto thread = vemo::Thread::createInstance();
  auto consumer = Consumer::createInstance(port, polling);
  thread->start(consumer);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double perSecond = 0;
  for (auto _ : state) {
    const long before = contextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    perSecond = static_cast<double>(contextSwitches() - before);
  }
  constexpr int kPushes = 2000;
  for (int i = 0; i < kPushes; ++i) {
    auto stamp = Stamp::createInstance();
    stamp->sent = nowNs();
    port.pushMessage(stamp);
    const auto until = Clock::now() + std::chrono::microseconds(200);
    while (latencies.received.load() <= i && Clock::now() < until + std::chrono::seconds(1))
      std::this_thread::yield();
    std::this_thread::sleep_until(until);
  }
  thread->shutdown();
  state.counters["csw_per_s"] = perSecond;
  state.counters["p50_us"] = percentile(latencies.ns, 0.5);
  state.counters["p99_us"] = percentile(latencies.ns, 0.99);
}

void Idle_Consumer_IdleWait(benchmark::State& state) {
  runConsumer(state, false);
}
BENCHMARK(Idle_Consumer_IdleWait)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void Idle_Consumer_PollingYield1(benchmark::State& state) {
  runConsumer(state, true);
}
BENCHMARK(Idle_Consumer_PollingYield1)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Reference: a thread blocked on a condition variable, fed time stamps through a deque.
void Idle_Consumer_ConditionVariable(benchmark::State& state) {
  std::mutex lock;
  std::condition_variable ready;
  std::deque<long long> queue;
  std::vector<long long> ns;
  std::atomic<int> received{0};
  bool stop = false;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      ready.wait(guard, [&] { return stop || !queue.empty(); });
      if (stop) return;
      const long long sent = queue.front();
      queue.pop_front();
      ns.push_back(nowNs() - sent);
      ++received;
    }
  });
  double perSecond = 0;
  for (auto _ : state) {
    const long before = contextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    perSecond = static_cast<double>(contextSwitches() - before);
  }
  for (int i = 0; i < 2000; ++i) {
    {
      std::lock_guard<std::mutex> guard(lock);
      queue.push_back(nowNs());
    }
    ready.notify_one();
    const auto until = Clock::now() + std::chrono::microseconds(200);
    while (received.load() <= i && Clock::now() < until + std::chrono::seconds(1))
      std::this_thread::yield();
    std::this_thread::sleep_until(until);
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    stop = true;
  }
  ready.notify_one();
  consumer.join();
  state.counters["csw_per_s"] = perSecond;
  state.counters["p50_us"] = percentile(ns, 0.5);
  state.counters["p99_us"] = percentile(ns, 0.99);
}
BENCHMARK(Idle_Consumer_ConditionVariable)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Bare messages, made anew for each push, from 1 or 4 producer threads to one waiting
// consumer; the median of five runs.
constexpr int kThroughputMessages = 200000;

struct Counter {
  std::atomic<int> count{0};
  void onMessage(vemo::Message*) { count.fetch_add(1, std::memory_order_relaxed); }
};

template <class Push>
void produce(int producers, Push push) {
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p)
    threads.emplace_back([&] {
      for (int i = 0; i < kThroughputMessages / producers; ++i)
        push(vemo::Message::createInstance());
    });
  for (auto& t : threads)
    t.join();
}

void waitForCount(const Counter& counter, int count) {
  while (counter.count.load() < count)
    std::this_thread::yield();
}

// The library: a port bound to an idle-waiting consumer system on its own thread.
void Idle_PortThroughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const int total = kThroughputMessages / producers * producers;
  vemo::MessagePort port;
  Counter counter;
  port.getMessageDispenser().addMessageHandler<vemo::Message>(
      vemo::MessageDispenser<void>::Handler(&counter, &Counter::onMessage));
  auto thread = vemo::Thread::createInstance();
  thread->start(Consumer::createInstance(port, false));
  for (auto _ : state) {
    counter.count = 0;
    produce(producers, [&](const vemo::Handle<vemo::Message>& m) { port.pushMessage(m); });
    waitForCount(counter, total);
  }
  thread->shutdown();
  state.SetItemsProcessed(state.iterations() * total);
}

// Reference: a mutex-guarded deque of handles; the consumer, blocked on a condition variable,
// takes the whole queue in one swap per pass and dispatches each message as the port does.
void Idle_Reference_DequeThroughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  const int total = kThroughputMessages / producers * producers;
  std::mutex lock;
  std::condition_variable ready;
  std::deque<vemo::Handle<vemo::Message>> queue;
  bool stop = false;
  vemo::MessageDispenser<void> dispenser;
  Counter counter;
  dispenser.addMessageHandler<vemo::Message>(
      vemo::MessageDispenser<void>::Handler(&counter, &Counter::onMessage));
  std::thread consumer([&] {
    std::deque<vemo::Handle<vemo::Message>> taken;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock);
        ready.wait(guard, [&] { return stop || !queue.empty(); });
        if (stop) return;
        taken.swap(queue);
      }
      for (const auto& message : taken)
        dispenser.dispatchMessage(message.get());
      taken.clear();
    }
  });
  for (auto _ : state) {
    counter.count = 0;
    produce(producers, [&](vemo::Handle<vemo::Message> m) {
      {
        std::lock_guard<std::mutex> guard(lock);
        queue.push_back(std::move(m));
      }
      ready.notify_one();
    });
    waitForCount(counter, total);
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    stop = true;
  }
  ready.notify_one();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(Idle_PortThroughput)
    ->Arg(1)
    ->Arg(4)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();
BENCHMARK(Idle_Reference_DequeThroughput)
    ->Arg(1)
    ->Arg(4)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

// A Tick of 100 ms on an idle-waiting system: the median, smallest and largest of its periods.
// Periods are read from the steady clock, not from the elapsed time the tick reports.
std::vector<double> g_periods;
Clock::time_point g_lastPeriod;
void onPeriod(unsigned int) {
  const Clock::time_point now = Clock::now();
  if (g_lastPeriod != Clock::time_point())
    g_periods.push_back(std::chrono::duration<double, std::milli>(now - g_lastPeriod).count());
  g_lastPeriod = now;
}
class Ticking : public vemo::System {
 public:
  static Handle_T<Ticking> createInstance() { return Handle_T<Ticking>(new Ticking()); }
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    auto tick = vemo::Tick::createInstance();
    tick->setTickTime(std::chrono::milliseconds(100));
    tick->addTickHandler(&onPeriod);
    return tick->start(this);
  }
};
void Idle_Tick100ms(benchmark::State& state) {
  g_periods.clear();
  g_lastPeriod = Clock::time_point();
  auto thread = vemo::Thread::createInstance();
  auto system = Ticking::createInstance();
  thread->start(system);
  for (auto _ : state)
    std::this_thread::sleep_for(std::chrono::milliseconds(2050));
  thread->shutdown();
  std::vector<double> periods = g_periods;
  std::sort(periods.begin(), periods.end());
  state.counters["ticks"] = static_cast<double>(periods.size());
  state.counters["median_ms"] = periods.empty() ? 0 : periods[periods.size() / 2];
  state.counters["min_ms"] = periods.empty() ? 0 : periods.front();
  state.counters["max_ms"] = periods.empty() ? 0 : periods.back();
}
BENCHMARK(Idle_Tick100ms)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
