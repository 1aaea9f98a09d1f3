// Posted messages on Windows: the thread's own message queue. A call travels as a registered
// message whose parameter points to a heap copy of it; serving the message makes the call and
// frees the copy. Any thread may post that message: only the copies this process made and has
// not yet served are taken for calls.
#include <windows.h>

#include <memory>
#include <mutex>
#include <unordered_set>

#include "ThreadMessageQueue.h"

namespace vemo {
namespace detail {
namespace {

using Call = std::function<void()>;

UINT callMessage() {
  static const UINT message = RegisterWindowMessageW(L"vemo.core.ThreadCall");
  return message;
}

// The calls posted and not yet served. Kept to the end of the process, like the queues.
struct Outstanding {
  std::mutex lock;
  std::unordered_set<Call*> calls;
};
Outstanding& outstanding() {
  static Outstanding* const made = new Outstanding;
  return *made;
}

// Takes the call out of the outstanding set; null when the process did not post it.
Call* claim(LPARAM parameter) {
  Call* call = reinterpret_cast<Call*>(parameter);
  Outstanding& all = outstanding();
  std::lock_guard<std::mutex> guard(all.lock);
  return all.calls.erase(call) != 0 ? call : nullptr;
}

}  // namespace

void createQueue() {
  // The first look at the queue makes it.
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool postToThread(unsigned long threadId, unsigned int id, std::uintptr_t wParam,
                  std::intptr_t lParam, std::function<void()>& call) {
  if (!call) return PostThreadMessageW(threadId, id, wParam, lParam) != FALSE;
  const UINT message = callMessage();
  if (message == 0) return false;
  std::unique_ptr<Call> heap(new Call(std::move(call)));
  Outstanding& all = outstanding();
  {
    std::lock_guard<std::mutex> guard(all.lock);
    all.calls.insert(heap.get());
  }
  if (!PostThreadMessageW(threadId, message, 0, reinterpret_cast<LPARAM>(heap.get()))) {
    claim(reinterpret_cast<LPARAM>(heap.get()));
    call = std::move(*heap);
    return false;
  }
  heap.release();
  return true;
}

bool hasThreadMessage() {
  return HIWORD(GetQueueStatus(QS_ALLINPUT)) != 0;
}

bool serveThreadMessage() {
  MSG message;
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
  if (message.hwnd == nullptr && message.message != 0 && message.message == callMessage()) {
    const std::unique_ptr<Call> call(claim(message.lParam));
    if (call) (*call)();
    return true;
  }
  TranslateMessage(&message);
  DispatchMessageW(&message);
  // A message without a window reaches no window procedure: the hook is its receiver.
  if (message.hwnd == nullptr) {
    if (ThreadMessageHook hook = currentThreadMessageHook())
      hook(message.message, message.wParam, message.lParam);
  }
  return true;
}

}  // namespace detail
}  // namespace vemo
