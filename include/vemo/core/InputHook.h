/// \file
/// Process-wide low-level input hooks that swallow synthesised input.
///
/// On Windows these are the low-level keyboard and mouse hooks (WH_KEYBOARD_LL, WH_MOUSE_LL) for
/// all threads: a key or mouse event that software injected is swallowed, any other is passed
/// on. The hooks are called on the thread that installed them, which must pump window messages.
/// Where the platform has no such hooks (POSIX systems, or user32.dll without the functions) both
/// calls are successful no-ops.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

/// Installs each hook that is not installed yet; true (also where there are no hooks).
VEMO_CORE_API bool setUpWindowsHook();
/// Removes whichever hooks are installed.
VEMO_CORE_API void tearDownWindowsHook();

}  // namespace vemo
