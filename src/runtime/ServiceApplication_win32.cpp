// ServiceApplication on Windows: the program's arguments from its wide command line, and the
// console's Ctrl handlers, which the system calls on a thread of their own.
#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "ServiceHooks.h"
#include "vemo/core/Process.h"
#include "vemo/core/ServiceApplication.h"

namespace vemo {
namespace {

BOOL WINAPI onConsoleControl(DWORD control) {
  switch (control) {
    case CTRL_C_EVENT:
      service_detail::takeSignal(SIGINT);
      return TRUE;
    case CTRL_BREAK_EVENT:
      service_detail::takeSignal(SIGBREAK);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      service_detail::takeSignal(SIGTERM);
      return TRUE;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // A service hears of these from the service control manager, in its own way.
      if (service_detail::runningAsService()) return FALSE;
      service_detail::takeSignal(SIGTERM);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct ServiceApplication::Signals {};

std::wstring service_detail::programPath() {
  const String name = getAppName();
  std::wstring path = name.getBuffer() ? name.getBuffer() : L"";
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// Tells the service control manager that the service stops: the service main waits for it.
void service_detail::hostEnded() {
  stopService();
}

void ServiceApplication::takeSignals() {
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void ServiceApplication::releaseSignals() {
  SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

// Windows has no reload signal.
void ServiceApplication::onReloadSignal() {}

}  // namespace vemo
