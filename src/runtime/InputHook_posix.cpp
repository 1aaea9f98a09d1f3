// POSIX systems have no process-wide hooks on input: nothing to install.
#include "vemo/core/InputHook.h"

namespace vemo {

bool setUpWindowsHook() {
  return true;
}

void tearDownWindowsHook() {}

}  // namespace vemo
