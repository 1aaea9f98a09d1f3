// What an idle system waits on (IdleWait_posix.cpp, IdleWait_win32.cpp): a wake-up that
// `signal` gives from any thread, and, on the same wait, a message posted to the waiting thread.
#pragma once

#include <cstdint>

#include "vemo/core/Semaphore.h"
#include "vemo/core/Unknown.h"

namespace vemo {
namespace detail {

class IdleEvent : public Unknown {
 public:
  // Ends a current wait, or the next one.
  virtual void signal() = 0;
  // Waits until signalled, a message is posted to the calling thread (or one is waiting), one
  // of `count` descriptors (POSIX: file descriptors; Windows: SOCKETs) becomes readable, or `ms`
  // milliseconds pass; 4294967295 waits without end.
  virtual void wait(unsigned int ms, const std::intptr_t* handles, int count) = 0;
};

// Separate from the system's semaphore: an idle wait never takes a wake-up meant for a sleep.
Unknown::Handle_T<IdleEvent> createIdleEvent();

}  // namespace detail
}  // namespace vemo
