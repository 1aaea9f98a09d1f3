// std::chrono durations where the runtime takes milliseconds: a duration is rounded up to whole
// milliseconds (so a wait never ends before it), a negative one gives 0, and one beyond the
// 32-bit range gives 4294967295, which the waits take as "without end".
#pragma once

#include <chrono>

namespace vemo {
namespace detail {

template <class Rep, class Period>
constexpr unsigned int toMilliseconds(std::chrono::duration<Rep, Period> duration) {
  using Millis = std::chrono::duration<long double, std::milli>;
  const long double ms = std::chrono::duration_cast<Millis>(duration).count();
  if (!(ms > 0)) return 0;
  if (ms >= 4294967295.0L) return 0xFFFFFFFFu;
  const unsigned int whole = static_cast<unsigned int>(ms);
  return static_cast<long double>(whole) < ms ? whole + 1 : whole;
}

}  // namespace detail
}  // namespace vemo
