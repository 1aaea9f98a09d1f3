// The library's entry point on Windows.
#include <windows.h>

#include <mmsystem.h>

#include "Library.h"

namespace vemo {
namespace detail {
namespace {

HINSTANCE g_module = nullptr;

}  // namespace

void* libraryModule() {
  return g_module;
}

AnyFunction procedureAddress(void* module, const char* name) {
  return reinterpret_cast<AnyFunction>(GetProcAddress(static_cast<HMODULE>(module), name));
}

}  // namespace detail
}  // namespace vemo

// Runs after the static initialisers on each attach and detach. On process attach it records
// the module and asks for 1 ms timer resolution, which is kept for the life of the process.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    vemo::detail::g_module = instance;
    timeBeginPeriod(1);
  }
  return TRUE;
}
