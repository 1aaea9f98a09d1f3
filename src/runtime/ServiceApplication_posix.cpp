// ServiceApplication on Linux: the stop and reload signals are blocked and taken by a thread of
// its own with sigwait, so that no work is done inside a signal handler.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <string>
#include <thread>

#include "ServiceHooks.h"
#include "vemo/core/Log.h"
#include "vemo/core/Process.h"
#include "vemo/core/ServiceApplication.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

struct ServiceApplication::Signals {
  sigset_t taken;
  std::thread thread;
  std::atomic<bool> quit{false};
};

void service_detail::programArguments(int argc, char** argv, std::vector<std::wstring>& arguments) {
  for (int i = 0; i < argc && argv && argv[i]; ++i) {
    const String text = StringHelper::utf8ToWide(argv[i]);
    arguments.push_back(text.getBuffer() ? text.getBuffer() : L"");
  }
}

std::wstring service_detail::programPath() {
  const String name = getAppName();
  return name.getBuffer() ? name.getBuffer() : L"";
}

// The service loop sees the worker end by itself.
void service_detail::hostEnded() {}

void ServiceApplication::takeSignals() {
  _signals = new Signals();
  sigemptyset(&_signals->taken);
  for (int number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP})
    sigaddset(&_signals->taken, number);
  // Before any thread of ours: every thread started from here on inherits the mask.
  ::pthread_sigmask(SIG_BLOCK, &_signals->taken, nullptr);
  Signals* signals = _signals;
  signals->thread = std::thread([this, signals] {
    for (;;) {
      int number = 0;
      if (::sigwait(&signals->taken, &number) != 0) continue;
      if (signals->quit.load()) break;
      if (number == SIGHUP) {
        onReloadSignal();
      } else if (number == SIGTERM && service_detail::stopControl()) {
        Log::warning(L"%s", L"Termination request.");
      } else {
        service_detail::takeSignal(number);
      }
    }
  });
}

void ServiceApplication::releaseSignals() {
  if (!_signals) return;
  _signals->quit.store(true);
  ::pthread_kill(_signals->thread.native_handle(), SIGHUP);
  _signals->thread.join();
  delete _signals;
  _signals = nullptr;
}

void ServiceApplication::onReloadSignal() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long micro =
      static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
  const bool service =
      service_detail::notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(micro));
  Log::message(L"%s: reloading.", _name.getBuffer());
  if (!reload()) Log::error(L"%s: the reload failed.", _name.getBuffer());
  if (service) service_detail::notify("READY=1");
}

}  // namespace vemo
