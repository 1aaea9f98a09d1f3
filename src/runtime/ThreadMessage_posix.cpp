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

#include "LazyGlobal.h"
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
  // Threads that end later keep their queues (the key's clean-up no longer runs).
  ~Registry() {
    if (keyMade) pthread_key_delete(key);
  }

  std::mutex lock;
  std::unordered_map<unsigned long, std::shared_ptr<Queue>> byThread;
  pthread_key_t key;
  bool keyMade;
};
LazyGlobal<Registry> g_registry;

// The calling thread's queue; its key value owns it. A plain pointer: nothing to destroy when
// the thread ends.
thread_local Queue* t_queue = nullptr;

void endOfThread(void* value) {
  std::unique_ptr<std::shared_ptr<Queue>> owned(static_cast<std::shared_ptr<Queue>*>(value));
  t_queue = nullptr;
  std::shared_ptr<Queue> listed;  // released outside the lock: queued calls are destroyed
  if (Registry* registry = g_registry.get()) {
    std::lock_guard<std::mutex> guard(registry->lock);
    const auto found = registry->byThread.find((*owned)->threadId);
    if (found != registry->byThread.end() && found->second == *owned) {
      listed = std::move(found->second);
      registry->byThread.erase(found);
    }
  }
}

}  // namespace

void createQueue() {
  if (t_queue) return;
  Registry* registry = g_registry.make();
  if (!registry->keyMade) return;
  auto owned = std::make_unique<std::shared_ptr<Queue>>(
      std::make_shared<Queue>(Thread::getCurrentThreadId()));
  if (pthread_setspecific(registry->key, owned.get()) != 0) return;
  Queue* queue = owned->get();
  {
    std::lock_guard<std::mutex> guard(registry->lock);
    registry->byThread[queue->threadId] = *owned;
  }
  owned.release();
  t_queue = queue;
}

bool postToThread(unsigned long threadId, unsigned int id, std::uintptr_t wParam,
                  std::intptr_t lParam, std::function<void()>& call) {
  Registry* registry = g_registry.get();
  if (!registry) return false;
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> guard(registry->lock);
    const auto found = registry->byThread.find(threadId);
    if (found == registry->byThread.end()) return false;
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
