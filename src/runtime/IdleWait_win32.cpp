// The idle wait on Windows: an auto-reset event waited on together with the thread's message
// queue, so that any message (posted or sent, with or without a window) ends the wait too.
//
// Sockets that the wait includes (those of receivers feeding the system's ports) are selected
// into a second event for as long as the wait lasts (WSAEventSelect, FD_READ), and their
// selection is taken back after it: the socket belongs to its receiver, which polls it itself
// when no system waits on it.
#include <winsock2.h>

#include <windows.h>

#include "IdleWait.h"

namespace vemo {
namespace detail {
namespace {

class WindowsIdleEvent final : public IdleEvent {
 public:
  WindowsIdleEvent() : _event(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~WindowsIdleEvent() override {
    if (_event) CloseHandle(_event);
    if (_sockets != WSA_INVALID_EVENT) WSACloseEvent(_sockets);
  }
  void signal() override {
    if (_event) SetEvent(_event);
  }
  void wait(unsigned int ms, const std::intptr_t* handles, int count) override {
    if (count > 0 && _event && _sockets == WSA_INVALID_EVENT) _sockets = WSACreateEvent();
    if (count > 0 && _event && _sockets != WSA_INVALID_EVENT) {
      int selected = 0;
      for (; selected < count; ++selected)
        if (WSAEventSelect(static_cast<SOCKET>(handles[selected]), _sockets, FD_READ | FD_CLOSE) !=
            0)
          break;
      HANDLE both[2] = {_event, _sockets};
      // A socket that could not be selected is not waited for: the wait is bounded then, so
      // its receiver's messages wait a moment at most.
      const DWORD period = selected < count && ms > 10 ? 10 : ms;
      MsgWaitForMultipleObjectsEx(2, both, period, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      for (int i = 0; i < selected; ++i)
        WSAEventSelect(static_cast<SOCKET>(handles[i]), _sockets, 0);
      WSAResetEvent(_sockets);
      return;
    }
    // MWMO_INPUTAVAILABLE: input already in the queue, even input seen before, ends the wait.
    if (_event) {
      MsgWaitForMultipleObjectsEx(1, &_event, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    } else {
      MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }

 private:
  HANDLE _event;
  WSAEVENT _sockets = WSA_INVALID_EVENT;  // the waiting thread's
};

}  // namespace

Unknown::Handle_T<IdleEvent> createIdleEvent() {
  return Unknown::Handle_T<IdleEvent>(new WindowsIdleEvent());
}

}  // namespace detail
}  // namespace vemo
