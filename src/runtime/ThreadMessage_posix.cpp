// Per-thread message queues for platforms without window-message queues. A thread's queue is
// listed by thread id while the thread lives; a thread-specific key removes it when the thread
// ends, with whatever was still queued.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "ThreadMessageQueue.h"
#include "vemo/core/Thread.h"

namespace vemo {
namespace detail {
namespace {

struct Entry {
  unsigned int id;
  std::uintptr_t wParam;
  std::intptr_t lParam;
  std::function<void()> call;  // empty for an id message
};

struct Queue {
  explicit Queue(unsigned long thread) : threadId(thread) {}

  const unsigned long threadId;
  // The number of entries, read without the lock by the owning thread's tick.
  std::atomic<std::size_t> size{0};
  std::mutex lock;
  std::deque<Entry> entries;
};

void endOfThread(void* value);

struct Registry {
  Registry() { keyMade = pthread_key_create(&key, &endOfThread) == 0; }

  std::mutex lock;
  std::unordered_map<unsigned long, std::shared_ptr<Queue>> byThread;
  pthread_key_t key;
  bool keyMade;
};

// Made by the first user and kept to the end of the process: threads that end while the
// process exits (a system's thread ends on its own) still remove their queues from it.
Registry* registry() {
  static Registry* const made = new Registry;
  return made;
}

// The calling thread's queue; its key value owns it. A plain pointer: nothing to destroy when
// the thread ends.
thread_local Queue* t_queue = nullptr;

void endOfThread(void* value) {
  std::unique_ptr<std::shared_ptr<Queue>> owned(static_cast<std::shared_ptr<Queue>*>(value));
  t_queue = nullptr;
  std::shared_ptr<Queue> listed;  // released outside the lock: queued calls are destroyed
  Registry* const queues = registry();
  std::lock_guard<std::mutex> guard(queues->lock);
  const auto found = queues->byThread.find((*owned)->threadId);
  if (found != queues->byThread.end() && found->second == *owned) {
    listed = std::move(found->second);
    queues->byThread.erase(found);
  }
}

}  // namespace

void createQueue() {
  if (t_queue) return;
  Registry* const queues = registry();
  if (!queues->keyMade) return;
  auto owned = std::make_unique<std::shared_ptr<Queue>>(
      std::make_shared<Queue>(Thread::getCurrentThreadId()));
  if (pthread_setspecific(queues->key, owned.get()) != 0) return;
  Queue* queue = owned->get();
  {
    std::lock_guard<std::mutex> guard(queues->lock);
    queues->byThread[queue->threadId] = *owned;
  }
  owned.release();
  t_queue = queue;
}

bool postToThread(unsigned long threadId, unsigned int id, std::uintptr_t wParam,
                  std::intptr_t lParam, std::function<void()>& call) {
  Registry* const queues = registry();
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> guard(queues->lock);
    const auto found = queues->byThread.find(threadId);
    if (found == queues->byThread.end()) return false;
    queue = found->second;
  }
  std::lock_guard<std::mutex> guard(queue->lock);
  queue->entries.push_back(Entry{id, wParam, lParam, std::move(call)});
  queue->size.store(queue->entries.size(), std::memory_order_release);
  return true;
}

bool hasThreadMessage() {
  const Queue* queue = t_queue;
  return queue && queue->size.load(std::memory_order_acquire) != 0;
}

bool serveThreadMessage() {
  Queue* queue = t_queue;
  if (!queue || queue->size.load(std::memory_order_relaxed) == 0) return false;
  Entry entry{};
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    if (queue->entries.empty()) return false;
    entry = std::move(queue->entries.front());
    queue->entries.pop_front();
    queue->size.store(queue->entries.size(), std::memory_order_relaxed);
  }
  if (entry.call) {
    entry.call();
  } else if (ThreadMessageHook hook = currentThreadMessageHook()) {
    hook(entry.id, entry.wParam, entry.lParam);
  }
  return true;
}

}  // namespace detail
}  // namespace vemo
