// ServiceApplication on Linux: the stop and reload signals are caught by handlers that only
// write their number into a pipe, and a thread of its own reads the pipe and does the work, so
// that nothing is done inside a signal handler. The signals are not blocked: a blocked mask
// would be inherited by every thread and, across exec, by every child the program starts.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "FileName.h"
#include "ServiceHooks.h"
#include "ThreadHandle.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/Process.h"
#include "vemo/core/ServiceApplication.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

constexpr int kTakenSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
constexpr int kTakenCount = sizeof kTakenSignals / sizeof kTakenSignals[0];
constexpr unsigned char kQuit = 0;  // not a signal number: ends the thread
// Not a signal number either: a stop request to carry out (ServiceSystem::shutdownSystem on
// another thread, or in a handler of the program's own, while the host waits idle).
constexpr unsigned char kStopRequest = 255;

// The pipe from the handlers to the thread, made once and never closed: a handler running on
// another thread may still hold the descriptor when an application's run ends.
std::atomic<int> g_signalRead{-1};
std::atomic<int> g_signalWrite{-1};

bool makeSignalPipe() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (g_signalRead.load() >= 0) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  // A full pipe already holds enough signals: the handler never blocks.
  ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
  g_signalRead.store(ends[0]);
  g_signalWrite.store(ends[1]);
  return true;
}

void putSignal(unsigned char number) {
  const int saved = errno;
  const int descriptor = g_signalWrite.load();
  if (descriptor >= 0) (void)!::write(descriptor, &number, 1);
  errno = saved;
}

void onSignal(int number) {
  putSignal(static_cast<unsigned char>(number));
}

}  // namespace

struct ServiceApplication::Signals {
  struct sigaction previous[kTakenCount];
  std::thread thread;
};

std::wstring service_detail::programPath() {
  const String name = getAppName();
  return name.getBuffer() ? name.getBuffer() : L"";
}

// The service loop sees the worker end by itself.
void service_detail::hostEnded() {}

void service_detail::wakeSignalThread() {
  putSignal(kStopRequest);
}

void ServiceApplication::takeSignals() {
  if (!makeSignalPipe()) {
    Log::error(L"%s: the signals cannot be taken: %s", _name.getBuffer(),
               StringHelper::utf8ToWide(std::strerror(errno)));
    return;
  }
  // Whatever a previous run left unread is not for this one.
  const int pipe = g_signalRead.load();
  ::fcntl(pipe, F_SETFL, ::fcntl(pipe, F_GETFL) | O_NONBLOCK);
  unsigned char stale[64];
  while (::read(pipe, stale, sizeof stale) > 0) {
  }
  ::fcntl(pipe, F_SETFL, ::fcntl(pipe, F_GETFL) & ~O_NONBLOCK);

  _signals = new Signals();
  Signals* signals = _signals;
  signals->thread = std::thread([this, pipe] {
    handled_exception_thread();
    for (;;) {
      unsigned char number = 0;
      const ssize_t n = ::read(pipe, &number, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || number == kQuit) break;
      if (number == kStopRequest) {
        service_detail::honourStopRequest();
      } else if (number == SIGHUP) {
        onReloadSignal();
      } else if (number == SIGTERM && service_detail::stopControl()) {
        Log::warning(L"%s", L"Termination request.");
      } else {
        service_detail::takeSignal(number);
      }
    }
  });
  // Named here rather than by the thread itself, so that it carries its name from the moment
  // the host runs, however late the thread gets the processor.
  pthread_setname_np(signals->thread.native_handle(), "vemo-signals");
  struct sigaction handler;
  std::memset(&handler, 0, sizeof handler);
  handler.sa_handler = onSignal;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  for (int i = 0; i < kTakenCount; ++i)
    ::sigaction(kTakenSignals[i], &handler, &signals->previous[i]);
}

void ServiceApplication::releaseSignals() {
  if (!_signals) return;
  for (int i = 0; i < kTakenCount; ++i)
    ::sigaction(kTakenSignals[i], &_signals->previous[i], nullptr);
  putSignal(kQuit);
  _signals->thread.join();
  delete _signals;
  _signals = nullptr;
}

void ServiceApplication::onReloadSignal() {
  // Before the first tick (dependent units would start early), after a failed start and while
  // stopping (the hook would run during teardown), there is nothing to reload.
  if (!hostRunning()) {
    Log::message(L"%s: not running, the reload signal is ignored.", _name.getBuffer());
    return;
  }
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long micro =
      static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
  const bool service =
      service_detail::notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(micro));
  Log::message(L"%s: reloading.", _name.getBuffer());
  if (!reload()) Log::error(L"%s: the reload failed.", _name.getBuffer());
  if (service && hostRunning()) service_detail::notify("READY=1");
}

}  // namespace vemo
