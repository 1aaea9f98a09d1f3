// The process time-zone bias on Windows: the run-time library's _timezone.
#include <time.h>

#include <mutex>

#include "vemo/core/Time.h"

namespace vemo {

int getTimeBias() {
  // _tzset reads TZ (or the system's zone) once per process; later changes are not followed.
  static std::once_flag once;
  std::call_once(once, [] { _tzset(); });
  return static_cast<int>(_timezone);
}

}  // namespace vemo
