// The millisecond clock on Windows: the multimedia timer, whose resolution the library's entry
// point raises to 1 ms for the process.
#include <windows.h>

#include <mmsystem.h>

#include "ThreadSleep.h"
#include "vemo/core/Tick.h"

namespace vemo {

unsigned int VEMO_STDCALL getTimeTick() {
  return timeGetTime();
}

namespace detail {

// Sleep(0) gives up the rest of the time slice.
void sleepMilliseconds(unsigned int ms) {
  Sleep(ms);
}

}  // namespace detail
}  // namespace vemo
