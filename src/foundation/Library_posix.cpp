// The library's entry point on POSIX systems.
#include <dlfcn.h>

#include "Library.h"

namespace vemo {
namespace detail {
namespace {

void* g_module = nullptr;

// Runs when the library is loaded. Timers need no resolution request here: sleeps and waits
// of POSIX systems already resolve below a millisecond.
__attribute__((constructor)) void libraryEntryPoint() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&libraryEntryPoint), &info) != 0) g_module = info.dli_fbase;
}

}  // namespace

void* libraryModule() {
  return g_module;
}

}  // namespace detail
}  // namespace vemo
