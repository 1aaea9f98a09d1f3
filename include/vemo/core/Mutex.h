/// \file
/// Mutex: a recursive lock for threads of one process; MutexLock: its scope guard.
#pragma once

#include <mutex>

#include "vemo/core/Export.h"

namespace vemo {

/// A recursive mutex of the library's own classes.
class Mutex {
 public:
  /// An unlocked mutex.
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  /// The thread that holds the lock may lock it again; each lock() needs its unlock().
  void lock() { _mutex.lock(); }
  /// Gives back one lock() of the calling thread.
  void unlock() { _mutex.unlock(); }

 private:
  std::recursive_mutex _mutex;
};

/// Holds a Mutex locked for its lifetime.
class MutexLock {
 public:
  /// Locks `mutex`.
  explicit MutexLock(Mutex& mutex) : _mutex(mutex) { _mutex.lock(); }
  /// Unlocks it.
  ~MutexLock() { _mutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& _mutex;
};

}  // namespace vemo
