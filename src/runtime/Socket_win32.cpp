// Windows Sockets are started when the library loads, so that every part of a program may use
// sockets at once, and cleaned up at exit. POSIX systems need no start-up.
#include <winsock2.h>

#include <windows.h>

#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"

namespace vemo {
namespace {

struct SocketStartup {
  SocketStartup() {
    Log::message(L"Startup socket...");
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
      Log::error(L"%s", getLastErrorString().getBuffer());
      Log::whistle(false);
      return;
    }
    _started = true;
    Log::whistle(true);
  }
  ~SocketStartup() {
    if (_started) WSACleanup();
  }
  SocketStartup(const SocketStartup&) = delete;
  SocketStartup& operator=(const SocketStartup&) = delete;

  bool _started = false;
} g_socketStartup;

}  // namespace
}  // namespace vemo
