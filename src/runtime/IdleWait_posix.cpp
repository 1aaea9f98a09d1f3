// The idle wait on POSIX systems: a semaphore of its own (the system's belongs to
// System::sleep and waken, whose wake-ups it must not take), registered as the thread's
// sleeping semaphore so that a message posted to the thread signals it.
//
// A wait that includes descriptors (the sockets of receivers feeding the system's ports) polls
// them beside a pipe of its own instead, made at the first such wait; from then on every wait
// polls the pipe (with or without descriptors) and a signal writes only into it. The semaphore
// is looked at once more, by the first poll, for a signal given before the pipe was there: a
// look at it costs a timed futex wait (a timer armed and fired, dear on a virtual machine), too
// much for every wake-up of a request and its answer.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "IdleWait.h"
#include "ThreadMessageQueue.h"

namespace vemo {
namespace detail {
namespace {

constexpr unsigned int kWaitWithoutEnd = 0xFFFFFFFFu;

// Owns the pipe: a message posted to the thread may still write into it after the wait ended
// (the registry hands out references), so it lives as long as its last holder.
class WakePipe final : public SleepWaker {
 public:
  WakePipe() {
    int fds[2];
#ifdef __linux__
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
#else
    if (pipe(fds) != 0) return;
    for (const int fd : fds) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
#endif
    readFd = fds[0];
    writeFd = fds[1];
  }
  ~WakePipe() override {
    if (readFd >= 0) close(readFd);
    if (writeFd >= 0) close(writeFd);
  }
  void wake() override {
    const char byte = 1;
    // A full pipe is signalled already.
    while (write(writeFd, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  void drain() {
    char bytes[64];
    for (;;) {
      const ssize_t got = read(readFd, bytes, sizeof bytes);
      if (got == static_cast<ssize_t>(sizeof bytes) || (got < 0 && errno == EINTR)) continue;
      return;
    }
  }

  int readFd = -1;
  int writeFd = -1;
};

class SemaphoreIdleEvent final : public IdleEvent {
 public:
  SemaphoreIdleEvent() : _semaphore(Semaphore::createInstance()) {}
  void signal() override {
    if (WakePipe* pipe = _pipe.load()) {
      pipe->wake();
      return;
    }
    _semaphore->signal();
    // The pipe came meanwhile, and its first wait may have looked at the semaphore already.
    if (WakePipe* pipe = _pipe.load()) pipe->wake();
  }
  void wait(unsigned int ms, const std::intptr_t* handles, int count) override {
    if (_pipe.load(std::memory_order_relaxed) || (count > 0 && makePipe())) {
      pollWait(ms, handles, count);
      return;
    }
    setSleepingSemaphore(_semaphore);
    // A message posted before the registration found no sleeper to wake.
    if (!hasThreadMessage()) _semaphore->wait(ms, true);
    setSleepingSemaphore(nullptr);
  }

 private:
  bool makePipe() {
    if (_pipe.load(std::memory_order_relaxed)) return true;
    Handle_T<WakePipe> made(new WakePipe());
    if (made->readFd < 0) return false;
    _pipeOwner = made;
    // From here on a signal writes into the pipe; one given before went into the semaphore,
    // which the first poll looks at.
    _pipe.store(made.get());
    _lookAtSemaphore = true;
    return true;
  }

  void pollWait(unsigned int ms, const std::intptr_t* handles, int count) {
    WakePipe* const pipe = _pipe.load(std::memory_order_relaxed);
    setSleepingWaker(pipe);
    bool signalled = false, pipeReadable = false;
    if (_lookAtSemaphore) {
      _lookAtSemaphore = false;
      signalled = _semaphore->wait(0, true);
    }
    if (!signalled && !hasThreadMessage()) {
      _polled.resize(static_cast<std::size_t>(count) + 1);
      _polled[0] = pollfd{pipe->readFd, POLLIN, 0};
      for (int i = 0; i < count; ++i)
        _polled[static_cast<std::size_t>(i) + 1] = pollfd{static_cast<int>(handles[i]), POLLIN, 0};
      using Clock = std::chrono::steady_clock;
      const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
      int timeout =
          ms == kWaitWithoutEnd ? -1 : static_cast<int>(ms > 0x7FFFFFFFu ? 0x7FFFFFFF : ms);
      // An interrupted poll goes on for what is left of the period, not for all of it again.
      while (poll(_polled.data(), _polled.size(), timeout) < 0 && errno == EINTR) {
        if (timeout < 0) continue;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        timeout = static_cast<int>(left.count());
      }
      pipeReadable = _polled[0].revents != 0;
    }
    setSleepingWaker(nullptr);
    // Woken by a descriptor, the pipe is left as it is: no read that finds nothing. A signal
    // written since ends the next wait at once, which is what a signal during a wait may do.
    if (pipeReadable) pipe->drain();
  }

  const Handle_T<Semaphore> _semaphore;
  Handle_T<WakePipe> _pipeOwner;
  std::atomic<WakePipe*> _pipe{nullptr};
  // The waiting thread's.
  std::vector<pollfd> _polled;
  bool _lookAtSemaphore = false;
};

}  // namespace

Unknown::Handle_T<IdleEvent> createIdleEvent() {
  return Unknown::Handle_T<IdleEvent>(new SemaphoreIdleEvent());
}

}  // namespace detail
}  // namespace vemo
