// Giving the processor away (Tick_posix.cpp, Tick_win32.cpp).
#pragma once

namespace vemo {
namespace detail {

// Blocks the calling thread for `ms` milliseconds; 0 gives up the rest of its time slice.
void sleepMilliseconds(unsigned int ms);

}  // namespace detail
}  // namespace vemo
