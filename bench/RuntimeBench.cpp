// The runtime's hot paths: one scheduling pass over 100 tasks (and a whole tick), Tick handler
// calls, and a semaphore's signal and wait. Each has a reference measured in the same run: a
// plain loop doing the same bookkeeping over a vector, calls through std::function and function
// pointers, a standard mutex locked and unlocked.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "vemo/core/Semaphore.h"
#include "vemo/core/System.h"
#include "vemo/core/Tick.h"

namespace {

constexpr int kTasks = 100;

class CountingTask : public vemo::System::Task {
 public:
  static Handle_T<CountingTask> createInstance() {
    return Handle_T<CountingTask>(new CountingTask());
  }
  void onTick(unsigned int elapsed) override { calls += elapsed; }
  unsigned long long calls = 0;
};

// A system whose run is the benchmark loop.
class BenchSystem : public vemo::System {
 public:
  static Handle_T<BenchSystem> createInstance() { return Handle_T<BenchSystem>(new BenchSystem()); }
  bool init() override {
    if (!System::init()) return false;
    for (int i = 0; i < kTasks; ++i) {
      auto task = CountingTask::createInstance();
      // Every other task waits for 1,000,000 accumulated milliseconds: it is visited, not fired.
      if (i % 2 == 1) task->setTickTime(1000000);
      if (!task->start(this)) return false;
      tasks.push_back(task);
    }
    return true;
  }
  void run() override {
    onTick(0);  // the started tasks join the active list
    body(this);
    shutdown();
  }
  std::function<void(BenchSystem*)> body;
  std::vector<Handle_T<CountingTask>> tasks;
};

void System_Pass100Tasks(benchmark::State& state) {
  auto system = BenchSystem::createInstance();
  system->body = [&state](BenchSystem* s) {
    for (auto _ : state)
      s->onTick(1);
  };
  system->load();
  system->start();
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(System_Pass100Tasks);

void System_Tick100Tasks(benchmark::State& state) {
  auto system = BenchSystem::createInstance();
  system->body = [&state](BenchSystem* s) {
    for (auto _ : state)
      s->tick();
  };
  system->load();
  system->start();
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(System_Tick100Tasks);

// Reference: the same bookkeeping (elapsed count, tick time, a virtual call) over a vector.
struct PlainTask {
  virtual ~PlainTask() = default;
  virtual void onTick(unsigned int elapsed) { calls += elapsed; }
  unsigned long long calls = 0;
};
struct PlainEntry {
  std::unique_ptr<PlainTask> task;
  unsigned int elapsed = 0;
  unsigned int tickTime = 0;
};

void Reference_PlainVectorPass100Tasks(benchmark::State& state) {
  std::vector<PlainEntry> entries(kTasks);
  for (int i = 0; i < kTasks; ++i) {
    entries[i].task = std::make_unique<PlainTask>();
    entries[i].tickTime = i % 2 == 1 ? 1000000 : 0;
  }
  for (auto _ : state) {
    for (PlainEntry& entry : entries) {
      entry.elapsed += 1;
      if (entry.elapsed >= entry.tickTime) {
        const unsigned int accumulated = entry.elapsed;
        entry.elapsed = 0;
        entry.task->onTick(accumulated);
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(Reference_PlainVectorPass100Tasks);

// ---- Tick handlers ---------------------------------------------------------------------

struct Counter {
  void onTick(unsigned int elapsed) { total += elapsed; }
  unsigned long long total = 0;
};

unsigned long long g_total = 0;
void countTick(unsigned int elapsed) {
  g_total += elapsed;
}

void Tick_100MemberHandlers(benchmark::State& state) {
  std::vector<Counter> counters(kTasks);
  auto tick = vemo::Tick::createInstance();
  for (Counter& counter : counters)
    tick->addTickHandler(vemo::Tick::Handler(&counter, &Counter::onTick));
  for (auto _ : state) {
    tick->onTick(1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(Tick_100MemberHandlers);

void Reference_100StdFunctions(benchmark::State& state) {
  std::vector<Counter> counters(kTasks);
  std::vector<std::function<void(unsigned int)>> handlers;
  for (Counter& counter : counters)
    handlers.emplace_back([&counter](unsigned int elapsed) { counter.onTick(elapsed); });
  for (auto _ : state) {
    for (const auto& handler : handlers)
      handler(1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(Reference_100StdFunctions);

void Reference_100FunctionPointers(benchmark::State& state) {
  std::vector<void (*)(unsigned int)> handlers(kTasks, &countTick);
  benchmark::DoNotOptimize(handlers.data());
  for (auto _ : state) {
    for (auto handler : handlers)
      handler(1);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
}
BENCHMARK(Reference_100FunctionPointers);

// ---- Semaphore -------------------------------------------------------------------------

void Semaphore_SignalAndWait(benchmark::State& state) {
  auto semaphore = vemo::Semaphore::createInstance();
  for (auto _ : state) {
    semaphore->signal();
    benchmark::DoNotOptimize(semaphore->wait(0, false));
  }
}
BENCHMARK(Semaphore_SignalAndWait);

void Reference_MutexTwice(benchmark::State& state) {
  std::mutex mutex;
  int count = 0;
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++count;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      --count;
    }
    benchmark::DoNotOptimize(count);
  }
}
BENCHMARK(Reference_MutexTwice);

}  // namespace
