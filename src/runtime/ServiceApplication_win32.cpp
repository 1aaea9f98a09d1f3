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

void service_detail::programArguments(int argc, char** argv, std::vector<std::wstring>& arguments) {
  // The narrow arguments are in the ANSI code page: the wide command line has every name.
  wchar_t** wide = nullptr;
  int count = 0;
  parseArguments(GetCommandLineW(), wide, count);
  if (wide && count == argc) {
    for (int i = 0; i < count; ++i)
      arguments.push_back(wide[i]);
  } else {
    for (int i = 0; i < argc && argv && argv[i]; ++i) {
      const int size = MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0);
      std::wstring text(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
      if (size > 0) MultiByteToWideChar(CP_ACP, 0, argv[i], -1, &text[0], size);
      text.resize(text.size() - 1);
      arguments.push_back(text);
    }
  }
  std::free(wide);
}

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
