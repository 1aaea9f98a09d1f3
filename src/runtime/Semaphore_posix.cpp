// The semaphore on a standard mutex and condition variables. The two auto-reset events are
// kept under the mutex the way the system keeps its own: a signal given while threads wait
// releases one of them (each signal one more, however soon they follow each other), and a
// signal that finds nobody waiting leaves the event set for the next waiter, once.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "vemo/core/Semaphore.h"

namespace vemo {
namespace {

constexpr unsigned int kInfinite = 0xFFFFFFFFu;

// An auto-reset event whose state is guarded by the caller's mutex.
struct Event {
  std::condition_variable condition;
  bool set = false;  // signalled while nobody waited
  int waiting = 0;   // threads inside await
  int released = 0;  // of those, how many were released and have not yet returned

  void raise() {
    if (waiting > released) {
      ++released;
      condition.notify_one();
    } else {
      set = true;
    }
  }
  // Releases `lock` while waiting and holds it again on return; true when the event was set
  // (and is now consumed) or this waiter was released.
  bool await(std::unique_lock<std::mutex>& lock, unsigned int ms) {
    if (set) {
      set = false;
      return true;
    }
    ++waiting;
    const auto releasedOne = [this] { return released > 0; };
    bool woken = true;
    if (ms == kInfinite) {
      condition.wait(lock, releasedOne);
    } else {
      // wait_for measures against one deadline, also across spurious wake-ups.
      woken = condition.wait_for(lock, std::chrono::milliseconds(ms), releasedOne);
    }
    --waiting;
    if (woken) --released;
    return woken;
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
