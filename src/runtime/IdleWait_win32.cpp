// The idle wait on Windows: an auto-reset event waited on together with the thread's message
// queue, so that any message (posted or sent, with or without a window) ends the wait too.
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
  }
  void signal() override {
    if (_event) SetEvent(_event);
  }
  void wait(unsigned int ms) override {
    // MWMO_INPUTAVAILABLE: input already in the queue, even input seen before, ends the wait.
    if (_event) {
      MsgWaitForMultipleObjectsEx(1, &_event, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    } else {
      MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }

 private:
  HANDLE _event;
};

}  // namespace

Unknown::Handle_T<IdleEvent> createIdleEvent() {
  return Unknown::Handle_T<IdleEvent>(new WindowsIdleEvent());
}

}  // namespace detail
}  // namespace vemo
