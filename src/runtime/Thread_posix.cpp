// Threads on POSIX systems. A handle is a shared record of one joinable pthread: the Thread's
// member holds one reference, every waiter one of its own, and the thread itself one until its
// entry has returned. The first waiter joins the thread; when the last reference goes and
// nobody joined, the thread is detached, so that it never lingers unjoined, and no thread ever
// joins itself.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "CrashHandler.h"
#include "ThreadHandle.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Thread.h"

namespace vemo {
namespace detail {
namespace {

struct PosixThread {
  PosixThread(ThreadEntry function, void* argument) : entry(function), param(argument) {}

  const ThreadEntry entry;
  void* const param;
  pthread_t thread{};
  std::atomic<int> references{2};  // the returned handle and the thread itself
  std::mutex joinLock;
  bool joined = false;  // under joinLock
};

void release(PosixThread* record) {
  if (record->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Last reference: nobody waits any more.
  if (!record->joined) pthread_detach(record->thread);
  delete record;
}

void* run(void* argument) {
  PosixThread* record = static_cast<PosixThread*>(argument);
  {
    // A stack overflow on this thread leaves no stack to report it from: it gets its own.
    ThreadCrashStack crashStack;
    record->entry(record->param);
  }
  release(record);
  return nullptr;
}

}  // namespace

void* beginThread(ThreadEntry entry, void* param) {
  PosixThread* record = new PosixThread(entry, param);
  if (pthread_create(&record->thread, nullptr, &run, record) != 0) {
    delete record;
    return nullptr;
  }
  return record;
}

void* duplicateThreadHandle(void* handle) {
  static_cast<PosixThread*>(handle)->references.fetch_add(1, std::memory_order_relaxed);
  return handle;
}

void waitForThread(void* handle) {
  PosixThread* record = static_cast<PosixThread*>(handle);
  if (pthread_equal(record->thread, pthread_self())) return;
  std::lock_guard<std::mutex> guard(record->joinLock);
  if (record->joined) return;
  pthread_join(record->thread, nullptr);
  record->joined = true;
}

void closeThreadHandle(void* handle) {
  if (handle) release(static_cast<PosixThread*>(handle));
}

void setCurrentThreadName(const String& name) {
  // The kernel keeps 15 bytes and a terminator; a character is never cut in two.
  const String_T<char> utf8 = StringHelper::wideToUtf8(name);
  const char* text = utf8.getBuffer();
  std::size_t length = text ? std::strlen(text) : 0;
  if (length > 15) {
    length = 15;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0u) == 0x80u)
      --length;
  }
  char cut[16] = {};
  if (length > 0) std::memcpy(cut, text, length);
  pthread_setname_np(pthread_self(), cut);
}

}  // namespace detail

namespace {

// The calling thread's id, asked of the kernel once per thread; 0 until then.
thread_local unsigned long t_threadId = 0;

// The child of a fork runs on a thread of its own, the copy of the one that forked: it asks
// again.
void forgetThreadIdInChild() {
  t_threadId = 0;
}
[[maybe_unused]] const bool g_forkHandlerSet =
    pthread_atfork(nullptr, nullptr, &forgetThreadIdInChild) == 0;

}  // namespace

unsigned long Thread::getCurrentThreadId() {
  if (t_threadId == 0) t_threadId = static_cast<unsigned long>(syscall(SYS_gettid));
  return t_threadId;
}

}  // namespace vemo
