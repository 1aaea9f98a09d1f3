// Messages from producer threads to one consumer through a MessagePort, against a queue of
// shared message handles under one std::mutex (no serialisation at all); event delivery against
// std::function handlers in a map.
#include <benchmark/benchmark.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "vemo/core/Event.h"
#include "vemo/core/MessagePort.h"

using namespace vemo;

namespace {

constexpr int kMessages = 400000;

// Counts what the consumer dispatches.
struct Counter {
  int count = 0;
  void onMessage(Message*) { ++count; }
};

// The library's port: producers push, the consumer calls procMessage.
struct PortQueue {
  MessagePort port;
  Counter counter;
  PortQueue() {
    port.getMessageDispenser().addMessageHandler<Message>(
        MessageDispenser<void>::Handler(&counter, &Counter::onMessage));
  }
  void push(const Handle<Message>& message) { port.pushMessage(message); }
  int consume() {
    port.procMessage(10);
    return counter.count;
  }
};

// The reference: the handle itself is queued (the consumer gets the producer's object), one
// lock per push and per pop, and the same dispatch.
struct ReferenceQueue {
  std::mutex lock;
  std::deque<Handle<Message>> queue;
  MessageDispenser<void> dispenser;
  Counter counter;
  ReferenceQueue() {
    dispenser.addMessageHandler<Message>(
        MessageDispenser<void>::Handler(&counter, &Counter::onMessage));
  }
  void push(const Handle<Message>& message) {
    std::lock_guard<std::mutex> guard(lock);
    queue.push_back(message);
  }
  int consume() {
    Handle<Message> message;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (queue.empty()) return counter.count;
      message = std::move(queue.front());
      queue.pop_front();
    }
    dispenser.dispatchMessage(message.get());
    return counter.count;
  }
};

// kMessages new bare messages from `producers` threads, consumed on this thread.
template <class Queue>
void pipeline(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Queue queue;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
      threads.emplace_back([&queue, producers] {
        for (int i = 0; i < kMessages / producers; ++i)
          queue.push(Message::createInstance());
      });
    while (queue.consume() < kMessages / producers * producers) {
    }
    for (std::thread& thread : threads)
      thread.join();
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}

void MessagePort_Pipeline(benchmark::State& state) {
  pipeline<PortQueue>(state);
}
void MessagePort_Reference_MutexDeque(benchmark::State& state) {
  pipeline<ReferenceQueue>(state);
}
BENCHMARK(MessagePort_Pipeline)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(MessagePort_Reference_MutexDeque)
    ->Arg(1)
    ->Arg(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One thread pushes and pops in turn: the cost of a message without any waiting.
void MessagePort_PushPop(benchmark::State& state) {
  PortQueue queue;
  const Handle<Message> message = Message::createInstance();
  for (auto _ : state) {
    queue.push(message);
    benchmark::DoNotOptimize(queue.port.popMessage());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(MessagePort_PushPop);

class Tick : public Event {
  VEMO_DECLARE_CLASS(Tick)

 protected:
  Tick() = default;
};
VEMO_IMPLEMENT_CLASS(Tick)

int g_ticks = 0;
void onTick(const Event*) {
  ++g_ticks;
}

// Delivery of one event to `range` handlers, with handlers of nine other classes registered.
void EventDispenser_SendEvent(benchmark::State& state) {
  EventDispenser events;
  struct Listener {
    void on(const Event*) { ++g_ticks; }
  };
  std::vector<Listener> listeners(static_cast<std::size_t>(state.range(0)));
  for (Listener& listener : listeners)
    events += EventHandler(Tick::getClassId_(), EventCallback(&listener, &Listener::on));
  for (unsigned int id = 1; id < 10; ++id)
    events += EventHandler(id, &onTick);
  const Handle<Tick> tick = Tick::createInstance();
  for (auto _ : state)
    events.sendEvent(tick.get());
  benchmark::DoNotOptimize(g_ticks);
  state.SetItemsProcessed(state.iterations());
}

void EventDispenser_Reference_FunctionMap(benchmark::State& state) {
  std::map<unsigned int, std::vector<std::function<void(const Event*)>>> events;
  for (int i = 0; i < state.range(0); ++i)
    events[Tick::getClassId_()].push_back([](const Event*) { ++g_ticks; });
  for (unsigned int id = 1; id < 10; ++id)
    events[id].push_back(&onTick);
  const Handle<Tick> tick = Tick::createInstance();
  for (auto _ : state) {
    const auto found = events.find(tick->getClassId());
    if (found != events.end())
      for (const auto& handler : found->second)
        handler(tick.get());
  }
  benchmark::DoNotOptimize(g_ticks);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EventDispenser_SendEvent)->Arg(1)->Arg(4);
BENCHMARK(EventDispenser_Reference_FunctionMap)->Arg(1)->Arg(4);

}  // namespace
