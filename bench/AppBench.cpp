// A command's round trip through an application box: the caller writes "$COMMAND ping" on its
// pipe and waits for "$END OK" (after "$BEGIN ping"). The box runs its loop without pause (the
// base behaviour) or with a Yield(0) task; the caller polls its pipe, yielding between polls.
// Reference in the same run: the same exchange (one string there, two back) between two threads
// through two queues of std::wstring, each a std::mutex with a std::condition_variable.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "vemo/core/AppBox.h"
#include "vemo/core/Tick.h"

using namespace vemo;

namespace {

class Echo : public AppBox {
 public:
  static Handle_T<AppBox> create(const wchar_t* name, const wchar_t* parameters) {
    return Handle_T<AppBox>(new Echo(name, parameters, false));
  }
  static Handle_T<AppBox> createYielding(const wchar_t* name, const wchar_t* parameters) {
    return Handle_T<AppBox>(new Echo(name, parameters, true));
  }

 protected:
  Echo(const wchar_t* name, const wchar_t* parameters, bool yielding)
      : AppBox(name, parameters), _yielding(yielding) {}
  bool init() override {
    return AppBox::init() && (!_yielding || Yield::createInstance(0)->start(this));
  }
  bool docmd(AppPipe*, wchar_t**, int) override { return true; }

 private:
  const bool _yielding;
};

// Reads until `expected` arrives; false if the box said goodbye.
bool waitFor(AppPipe* pipe, const wchar_t* expected, String& line) {
  for (;;) {
    if (!pipe->read(line)) {
      std::this_thread::yield();
      continue;
    }
    if (line == expected) return true;
    if (line == L"$BYE") return false;
  }
}

void roundTrips(benchmark::State& state, const wchar_t* type) {
  setUpApp(L"Echo", &Echo::create);
  setUpApp(L"YieldingEcho", &Echo::createYielding);
  Unknown::Handle_T<App> app = startApp(type, L"bench", L"");
  AppPipe* pipe = app->getPipe();
  String line;
  waitFor(pipe, L"$HELLO", line);
  const String command(L"$COMMAND ping");
  for (auto _ : state) {
    pipe->write(command);
    if (!waitFor(pipe, L"$END OK", line)) state.SkipWithError("the box ended");
  }
  exitApp(app);
  state.SetItemsProcessed(state.iterations());
}

void App_CommandRoundTrip(benchmark::State& state) {
  roundTrips(state, L"Echo");
}
BENCHMARK(App_CommandRoundTrip)->UseRealTime();

void App_CommandRoundTrip_YieldingBox(benchmark::State& state) {
  roundTrips(state, L"YieldingEcho");
}
BENCHMARK(App_CommandRoundTrip_YieldingBox)->UseRealTime();

// A queue of strings with a lock and a condition variable.
class Queue {
 public:
  void push(std::wstring text) {
    {
      std::lock_guard<std::mutex> guard(_lock);
      _items.push_back(std::move(text));
    }
    _ready.notify_one();
  }
  std::wstring pop() {
    std::unique_lock<std::mutex> guard(_lock);
    _ready.wait(guard, [this] { return !_items.empty(); });
    std::wstring text = std::move(_items.front());
    _items.pop_front();
    return text;
  }

 private:
  std::mutex _lock;
  std::condition_variable _ready;
  std::deque<std::wstring> _items;
};

void Reference_MutexConditionQueues(benchmark::State& state) {
  Queue requests, replies;
  std::thread server([&] {
    for (;;) {
      const std::wstring request = requests.pop();
      if (request == L"$QUIT") return;
      replies.push(L"$BEGIN " + request.substr(9, request.find(L' ', 9) - 9));
      replies.push(L"$END OK");
    }
  });
  for (auto _ : state) {
    requests.push(L"$COMMAND ping");
    while (replies.pop() != L"$END OK") {
    }
  }
  requests.push(L"$QUIT");
  server.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Reference_MutexConditionQueues)->UseRealTime();

}  // namespace
