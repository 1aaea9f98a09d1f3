// The semaphore on a kernel mutex and two auto-reset events. SignalObjectAndWait releases the
// mutex and starts the wait in one step, so no signal falls between the test and the wait.
#include <windows.h>

#include "vemo/core/Semaphore.h"

namespace vemo {

struct Semaphore::State {
  HANDLE mutex;
  HANDLE signalled;
  HANDLE consumed;
  int count;
};

Semaphore::Semaphore()
    : _state(new State{CreateMutexW(nullptr, FALSE, nullptr),
                       CreateEventW(nullptr, FALSE, FALSE, nullptr),
                       CreateEventW(nullptr, FALSE, FALSE, nullptr), 0}) {}

Semaphore::~Semaphore() {
  for (HANDLE handle : {_state->mutex, _state->signalled, _state->consumed}) {
    if (handle) CloseHandle(handle);
  }
  delete _state;
}

void Semaphore::signal() {
  WaitForSingleObject(_state->mutex, INFINITE);
  ++_state->count;
  SetEvent(_state->signalled);
  ReleaseMutex(_state->mutex);
}

bool Semaphore::wait(unsigned int ms, bool all) {
  WaitForSingleObject(_state->mutex, INFINITE);
  while (_state->count < 1) {
    // The mutex is released by the call, whatever it returns.
    if (SignalObjectAndWait(_state->mutex, _state->signalled, ms, FALSE) != WAIT_OBJECT_0)
      return false;
    WaitForSingleObject(_state->mutex, INFINITE);
  }
  if (all) {
    _state->count = 0;
  } else {
    --_state->count;
  }
  SetEvent(_state->consumed);
  ReleaseMutex(_state->mutex);
  return true;
}

void Semaphore::sync(int n) {
  WaitForSingleObject(_state->mutex, INFINITE);
  while (_state->count > n) {
    SignalObjectAndWait(_state->mutex, _state->consumed, INFINITE, FALSE);
    WaitForSingleObject(_state->mutex, INFINITE);
  }
  ReleaseMutex(_state->mutex);
}

}  // namespace vemo
