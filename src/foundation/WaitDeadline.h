// The end of a wait given in milliseconds, kept on the steady clock.
//
// A loop that waits in slices (for an event, a pipe, a reply) asks how long is left before each
// slice. Counting in whole milliseconds of a tick could end the wait up to a millisecond before
// the caller's time was up; here the time left is rounded up, so a wait never ends early, and a
// slice that came back early is simply followed by another.
#pragma once

#include <chrono>

namespace vemo {
namespace detail {

class WaitDeadline {
 public:
  /// A time-out that never ends.
  static constexpr unsigned int kForever = 0xFFFFFFFFu;

  explicit WaitDeadline(unsigned int ms)
      : _forever(ms == kForever),
        _at(std::chrono::steady_clock::now() + std::chrono::milliseconds(_forever ? 0 : ms)) {}

  /// The milliseconds left, rounded up; 0 once the time is up; kForever for a wait without end.
  unsigned int left() const {
    if (_forever) return kForever;
    const auto now = std::chrono::steady_clock::now();
    if (now >= _at) return 0;
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(_at - now).count();
    return rest >= kForever ? kForever - 1 : static_cast<unsigned int>(rest);
  }

 private:
  bool _forever;
  std::chrono::steady_clock::time_point _at;
};

}  // namespace detail
}  // namespace vemo
