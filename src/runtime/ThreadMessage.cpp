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

// The semaphores of systems sleeping in System::sleep, by thread id.
struct Sleepers {
  std::mutex lock;
  std::unordered_map<unsigned long, Unknown::Handle_T<Semaphore>> byThread;
};

// Kept to the end of the process: a system's thread may still be leaving its sleep while the
// process exits.
Sleepers* sleepers() {
  static Sleepers* const made = new Sleepers;
  return made;
}

void wakeSleeper(unsigned long threadId) {
  Sleepers* const all = sleepers();
  Unknown::Handle_T<Semaphore> semaphore;
  {
    std::lock_guard<std::mutex> guard(all->lock);
    const auto found = all->byThread.find(threadId);
    if (found == all->byThread.end()) return;
    semaphore = found->second;
  }
  semaphore->signal();
}

}  // namespace

namespace detail {

ThreadMessageHook currentThreadMessageHook() {
  return g_hook.load(std::memory_order_acquire);
}

void setSleepingSemaphore(Semaphore* semaphore) {
  const unsigned long threadId = Thread::getCurrentThreadId();
  Sleepers* const all = sleepers();
  Unknown::Handle_T<Semaphore> released;  // let go of outside the lock
  std::lock_guard<std::mutex> guard(all->lock);
  if (semaphore) {
    all->byThread[threadId] = semaphore;
    return;
  }
  const auto found = all->byThread.find(threadId);
  if (found == all->byThread.end()) return;
  released = std::move(found->second);
  all->byThread.erase(found);
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
