/// \file
/// Semaphore: a counting wake-up object shared by threads of one process.
///
/// `signal` adds one wake-up; `wait` takes one (or all) of them, sleeping until one arrives;
/// `sync` lets a signalling thread wait until its wake-ups have been taken.
///
/// \code
/// Handle_T<Semaphore> ready = Semaphore::createInstance();
/// // worker:  ready->signal();
/// // owner:   if (!ready->wait(1000, false)) { /* nothing within a second */ }
/// \endcode
///
/// Waiting is built like an auto-reset event beside a count kept under a lock: each `signal`
/// raises the count and sets the event, which releases one waiting thread per signal (n signals
/// release n of the threads waiting); a waiter that finds the count below 1 waits for the
/// event, and the time limit applies to each of those waits (a waiter woken by an event whose
/// wake-up another waiter took first waits again, with the full limit). A limit of 4294967295
/// (all bits set) waits without end.
#pragma once

#include <chrono>

#include "vemo/core/Duration.h"
#include "vemo/core/Export.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// A counting semaphore that threads of one process wait on (see Semaphore.h). All operations
/// may be called from any thread.
class VEMO_CORE_API Semaphore : public virtual Unknown {
 public:
  /// A new semaphore with the count 0.
  static Handle_T<Semaphore> createInstance();
  ~Semaphore() override;
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  /// Adds one wake-up and releases one waiter.
  void signal();
  ///@{
  /// Waits until the count is at least 1, at most `ms` milliseconds for each wake-up awaited;
  /// then takes one wake-up, or all of them when `all` is true, and returns true. False on a
  /// time-out or a failed wait.
  bool wait(unsigned int ms, bool all);
  template <class Rep, class Period>
  bool wait(std::chrono::duration<Rep, Period> duration, bool all) {
    return wait(detail::toMilliseconds(duration), all);
  }
  ///@}
  /// Blocks until the count is at most `n` (waiters have taken the rest).
  void sync(int n);

 protected:
  Semaphore();

 private:
  // The lock, the two events and the count, kept by the platform's file.
  struct State;
  State* _state;
};

}  // namespace vemo
