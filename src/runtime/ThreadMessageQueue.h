// The platform's per-thread message queue behind ThreadMessage.h (ThreadMessage_posix.cpp,
// ThreadMessage_win32.cpp), and the record of systems sleeping on a thread (ThreadMessage.cpp).
#pragma once

#include <cstdint>
#include <functional>

#include "vemo/core/Semaphore.h"
#include "vemo/core/ThreadMessage.h"

namespace vemo {
namespace detail {

// Queues a message or a call (when `call` is not empty) for the thread; false when the thread
// has no queue, leaving `call` untouched.
bool postToThread(unsigned long threadId, unsigned int id, std::uintptr_t wParam,
                  std::intptr_t lParam, std::function<void()>& call);
// Whether a message is waiting for the calling thread.
bool hasThreadMessage();
void createQueue();
// Serves one message of the calling thread; false when none was waiting.
bool serveThreadMessage();
ThreadMessageHook currentThreadMessageHook();

// The semaphore on which the calling thread is about to sleep, so that a message posted to the
// thread wakes it; null when it has woken.
void setSleepingSemaphore(Semaphore* semaphore);

// What else a thread may sleep on (an idle wait on descriptors): woken by a message posted to it.
class SleepWaker : public Unknown {
 public:
  virtual void wake() = 0;
};

// As setSleepingSemaphore, for a waker; null when the thread has woken.
void setSleepingWaker(SleepWaker* waker);

}  // namespace detail
}  // namespace vemo
