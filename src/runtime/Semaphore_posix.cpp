// The semaphore on a standard mutex and condition variables. The two auto-reset events are
// flags under the mutex: waiting for one consumes it, so one signal releases one waiter, and a
// signal that finds nobody waiting stays set for the next waiter, as an event would.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "vemo/core/Semaphore.h"

namespace vemo {
namespace {

constexpr unsigned int kInfinite = 0xFFFFFFFFu;

// An auto-reset event whose flag is guarded by the caller's mutex.
struct Event {
  std::condition_variable condition;
  bool set = false;

  void raise() {
    set = true;
    condition.notify_one();
  }
  // Releases `lock` while waiting and holds it again on return; true when the event was set
  // (and is now consumed).
  bool await(std::unique_lock<std::mutex>& lock, unsigned int ms) {
    if (ms == kInfinite) {
      condition.wait(lock, [this] { return set; });
    } else if (!condition.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set; })) {
      return false;
    }
    set = false;
    return true;
  }
};

}  // namespace

struct Semaphore::State {
  std::mutex mutex;
  Event signalled;
  Event consumed;
  int count = 0;
};

Semaphore::Semaphore() : _state(new State) {}

Semaphore::~Semaphore() {
  delete _state;
}

void Semaphore::signal() {
  std::lock_guard<std::mutex> lock(_state->mutex);
  ++_state->count;
  _state->signalled.raise();
}

bool Semaphore::wait(unsigned int ms, bool all) {
  std::unique_lock<std::mutex> lock(_state->mutex);
  while (_state->count < 1) {
    if (!_state->signalled.await(lock, ms)) return false;
  }
  if (all) {
    _state->count = 0;
  } else {
    --_state->count;
  }
  _state->consumed.raise();
  return true;
}

void Semaphore::sync(int n) {
  std::unique_lock<std::mutex> lock(_state->mutex);
  while (_state->count > n)
    _state->consumed.await(lock, kInfinite);
}

}  // namespace vemo
