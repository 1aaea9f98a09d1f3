// Posting to a thread, and waking a system that sleeps on it. The queues themselves are the
// platform's (ThreadMessage_posix.cpp, ThreadMessage_win32.cpp).
#include "vemo/core/ThreadMessage.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "ThreadMessageQueue.h"
#include "vemo/core/Thread.h"

namespace vemo {
namespace {

std::atomic<ThreadMessageHook> g_hook{nullptr};

// What systems sleeping in System::sleep or an idle wait sleep on, by thread id: a semaphore or
// a waker.
struct Sleeper {
  Unknown::Handle_T<Semaphore> semaphore;
  Unknown::Handle_T<detail::SleepWaker> waker;
};
struct Sleepers {
  std::mutex lock;
  std::unordered_map<unsigned long, Sleeper> byThread;
};

// Kept to the end of the process: a system's thread may still be leaving its sleep while the
// process exits.
Sleepers* sleepers() {
  static Sleepers* const made = new Sleepers;
  return made;
}

void wakeSleeper(unsigned long threadId) {
  Sleepers* const all = sleepers();
  Sleeper sleeper;
  {
    std::lock_guard<std::mutex> guard(all->lock);
    const auto found = all->byThread.find(threadId);
    if (found == all->byThread.end()) return;
    sleeper = found->second;
  }
  if (sleeper.semaphore) sleeper.semaphore->signal();
  if (sleeper.waker) sleeper.waker->wake();
}

}  // namespace

namespace detail {

ThreadMessageHook currentThreadMessageHook() {
  return g_hook.load(std::memory_order_acquire);
}

namespace {
void setSleeper(Sleeper sleeper) {
  const unsigned long threadId = Thread::getCurrentThreadId();
  Sleepers* const all = sleepers();
  Sleeper released;  // let go of outside the lock
  std::lock_guard<std::mutex> guard(all->lock);
  if (sleeper.semaphore || sleeper.waker) {
    Sleeper& entry = all->byThread[threadId];
    released = std::move(entry);
    entry = std::move(sleeper);
    return;
  }
  const auto found = all->byThread.find(threadId);
  if (found == all->byThread.end()) return;
  released = std::move(found->second);
  all->byThread.erase(found);
}
}  // namespace

void setSleepingSemaphore(Semaphore* semaphore) {
  setSleeper(Sleeper{semaphore, nullptr});
}

void setSleepingWaker(SleepWaker* waker) {
  setSleeper(Sleeper{nullptr, waker});
}

}  // namespace detail

bool postThreadMessage(unsigned long threadId, unsigned int id, std::uintptr_t wParam,
                       std::intptr_t lParam) {
  if (threadId == 0) return false;  // no thread has id 0
  std::function<void()> none;
  if (!detail::postToThread(threadId, id, wParam, lParam, none)) return false;
  wakeSleeper(threadId);
  return true;
}

bool postThreadCall(unsigned long threadId, std::function<void()> call) {
  if (!call || threadId == 0) return false;
  if (!detail::postToThread(threadId, 0, 0, 0, call)) return false;
  wakeSleeper(threadId);
  return true;
}

ThreadMessageHook setThreadMessageHook(ThreadMessageHook hook) {
  return g_hook.exchange(hook, std::memory_order_acq_rel);
}

void createThreadMessageQueue() {
  detail::createQueue();
}

bool dispatchThreadMessage() {
  return detail::serveThreadMessage();
}

}  // namespace vemo
