// Time for the runtime: the library's millisecond clock.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

// Milliseconds on a monotonic clock (the system's time since start-up), wrapping to 0 after
// 2^32 ms (about 49.7 days). Elapsed times are unsigned differences of two values, which stay
// right across the wrap: `getTimeTick() - start`.
VEMO_CORE_API unsigned int VEMO_STDCALL getTimeTick();

}  // namespace vemo
