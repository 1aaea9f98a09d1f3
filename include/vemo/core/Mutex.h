/// \file
/// Mutex: a recursive lock for threads of one process; MutexLock: its scope guard.
#pragma once

#include <mutex>

#include "vemo/core/Export.h"

namespace vemo {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  /// The thread that holds the lock may lock it again; each lock() needs its unlock().
  void lock() { _mutex.lock(); }
  void unlock() { _mutex.unlock(); }

 private:
  std::recursive_mutex _mutex;
};

class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : _mutex(mutex) { _mutex.lock(); }
  ~MutexLock() { _mutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& _mutex;
};

}  // namespace vemo
