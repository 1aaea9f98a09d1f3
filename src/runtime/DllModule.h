// What a loaded module needs from the operating system; DllModule.cpp keeps the state and writes
// the log lines.
#pragma once

#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// The module of that file name, or null with the system's text for the failure in `error`.
void* openModule(const String& fileName, String& error);
void closeModule(void* module);
// The address of a procedure, or null; `error` is the system's text when the look-up failed and
// stays empty when the symbol was found (on POSIX a symbol may have the value null).
void* findProcedure(void* module, const char* name, String& error);

}  // namespace detail
}  // namespace vemo
