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
  long long sent = 0;
  int round = 0;  // the reflected member: the stamp travels in the body
  // The stream has no 64-bit integers: the stamp travels as two halves.
  void importFrom(vemo::InputStream& is) override {
    unsigned int low = 0, high = 0;
    is >> low >> high;
    sent = static_cast<long long>(static_cast<unsigned long long>(high) << 32 | low);
  }
  void exportTo(vemo::OutputStream& os) const override {
    const unsigned long long bits = static_cast<unsigned long long>(sent);
    os << static_cast<unsigned int>(bits) << static_cast<unsigned int>(bits >> 32);
  }

 protected:
  Stamp() = default;
};
VEMO_IMPLEMENT_PROPERTY(Stamp, VEMO_PROPERTY(round, L"Round"))

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

// Messages per second through a bound port into a waiting consumer, 1 or 4 producers.
void Idle_PortThroughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  constexpr int kEach = 50000;
  vemo::MessagePort port;
  Latencies latencies;
  port.getMessageDispenser().addMessageHandler<Stamp>(
      vemo::MessageDispenser<void>::Handler(&latencies, &Latencies::onStamp));
  auto thread = vemo::Thread::createInstance();
  auto consumer = Consumer::createInstance(port, false);
  thread->start(consumer);
  for (auto _ : state) {
    latencies.received = 0;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&] {
        auto stamp = Stamp::createInstance();
        for (int i = 0; i < kEach; ++i)
          port.pushMessage(stamp);
      });
    for (auto& t : threads)
      t.join();
    while (latencies.received.load() < producers * kEach)
      std::this_thread::yield();
  }
  thread->shutdown();
  state.SetItemsProcessed(state.iterations() * producers * kEach);
}
BENCHMARK(Idle_PortThroughput)->Arg(1)->Arg(4)->Iterations(3)->UseRealTime();

// Reference: a mutex-guarded deque drained by a thread blocked on a condition variable.
void Idle_DequeThroughput(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  constexpr int kEach = 50000;
  std::mutex lock;
  std::condition_variable ready;
  std::deque<long long> queue;
  std::atomic<long long> received{0};
  bool stop = false;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      ready.wait(guard, [&] { return stop || !queue.empty(); });
      if (stop) return;
      received += static_cast<long long>(queue.size());
      queue.clear();
    }
  });
  for (auto _ : state) {
    received = 0;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          {
            std::lock_guard<std::mutex> guard(lock);
            queue.push_back(i);
          }
          ready.notify_one();
        }
      });
    for (auto& t : threads)
      t.join();
    while (received.load() < producers * kEach)
      std::this_thread::yield();
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    stop = true;
  }
  ready.notify_one();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * producers * kEach);
}
BENCHMARK(Idle_DequeThroughput)->Arg(1)->Arg(4)->Iterations(3)->UseRealTime();

// A Tick of 100 ms on an idle-waiting system: the median and the largest of its periods.
std::vector<unsigned int> g_periods;
void onPeriod(unsigned int elapsed) {
  g_periods.push_back(elapsed);
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
  auto thread = vemo::Thread::createInstance();
  auto system = Ticking::createInstance();
  thread->start(system);
  for (auto _ : state)
    std::this_thread::sleep_for(std::chrono::milliseconds(2050));
  thread->shutdown();
  std::vector<unsigned int> periods = g_periods;
  std::sort(periods.begin(), periods.end());
  state.counters["ticks"] = static_cast<double>(periods.size());
  state.counters["median_ms"] = periods.empty() ? 0 : periods[periods.size() / 2];
  state.counters["max_ms"] = periods.empty() ? 0 : periods.back();
}
BENCHMARK(Idle_Tick100ms)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
