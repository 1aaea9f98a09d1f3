/// \file
/// std::chrono durations where the runtime takes milliseconds.
///
/// A duration is rounded up to whole
/// milliseconds (so a wait never ends before it), a negative one gives 0, and one beyond the
/// 32-bit range gives 4294967295, which the waits take as "without end". A count that is a whole
/// number of milliseconds but for the rounding of its floating-point type (0.1 s as a double is
/// 100.0000000000000055 ms) counts as that whole number: only a real fraction rounds up.
#pragma once

#include <chrono>
#include <limits>
#include <type_traits>

namespace vemo {
namespace detail {

template <class Rep, class Period>
constexpr unsigned int toMilliseconds(std::chrono::duration<Rep, Period> duration) {
  using Millis = std::chrono::duration<long double, std::milli>;
  const long double ms = std::chrono::duration_cast<Millis>(duration).count();
  if (!(ms > 0)) return 0;
  if (ms >= 4294967295.0L) return 0xFFFFFFFFu;
  const unsigned int whole = static_cast<unsigned int>(ms);
  // The binary error of the count's own type (the conversion's, for a whole count), a few units
  // of its last place.
  using Unit = std::conditional_t<std::is_floating_point<Rep>::value, Rep, long double>;
  const long double tolerance =
      ms * 4 * static_cast<long double>(std::numeric_limits<Unit>::epsilon());
  return ms - static_cast<long double>(whole) <= tolerance ? whole : whole + 1;
}

}  // namespace detail
}  // namespace vemo
