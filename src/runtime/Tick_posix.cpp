// The millisecond clock on POSIX systems: CLOCK_MONOTONIC, which does not jump with the wall
// clock. There is no timer resolution to request.
#include <errno.h>
#include <sched.h>
#include <time.h>

#include "ThreadSleep.h"
#include "vemo/core/Tick.h"

namespace vemo {

unsigned int getTimeTick() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long milliseconds = static_cast<unsigned long long>(now.tv_sec) * 1000u +
                                          static_cast<unsigned long long>(now.tv_nsec) / 1000000u;
  return static_cast<unsigned int>(milliseconds);
}

namespace detail {

void sleepMilliseconds(unsigned int ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal handled meanwhile does not shorten the sleep.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace detail
}  // namespace vemo
