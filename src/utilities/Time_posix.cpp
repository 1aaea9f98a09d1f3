// The process time-zone bias on POSIX systems.
#include <time.h>

#include <mutex>

#include "vemo/core/Time.h"

namespace vemo {

int getTimeBias() {
  // tzset reads TZ once per process here; later changes of TZ are not followed.
  static std::once_flag once;
  std::call_once(once, [] { tzset(); });
  return static_cast<int>(::timezone);
}

}  // namespace vemo
