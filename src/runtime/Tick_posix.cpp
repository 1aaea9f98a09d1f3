// The millisecond clock on POSIX systems: CLOCK_MONOTONIC, which does not jump with the wall
// clock. There is no timer resolution to request.
#include <time.h>

#include "vemo/core/Tick.h"

namespace vemo {

unsigned int getTimeTick() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long milliseconds = static_cast<unsigned long long>(now.tv_sec) * 1000u +
                                          static_cast<unsigned long long>(now.tv_nsec) / 1000000u;
  return static_cast<unsigned int>(milliseconds);
}

}  // namespace vemo
