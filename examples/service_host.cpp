// A host program that runs one ServiceSystem in the foreground from a terminal, or as a
// systemd service when systemd started it (Type=notify).
//
//   service_host install   writes and enables the unit "vemo-service-host.service"
//   service_host remove    disables and deletes it
//   service_host           runs: Ctrl+C (or SIGTERM in the foreground) stops it
//
// On Linux signals are never handled inside a signal handler: they stay blocked and a thread of
// their own takes them with sigwait and hands them to ServiceSystem::signal. Under systemd
// SIGTERM is left to serviceInitialize, which owns the stop control while the service runs. On
// Windows the run-time library already calls a console's Ctrl+C and Ctrl+Break handlers on a
// thread of their own, so they call ServiceSystem::signal directly.
//
// A crash of the host leaves a report and a minidump next to the program file.
#if defined(_WIN32)
#include <csignal>
#else
#include <pthread.h>
#include <signal.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/ServiceSystem.h"
#include "vemo/core/Tick.h"

using namespace vemo;

namespace {

const wchar_t* const kName = L"vemo-service-host";
Semaphore* g_stop = nullptr;
bool g_asService = false;

// Prints the log on the standard error stream, where the journal picks it up under systemd.
struct ErrorListener : LogListener {
  const wchar_t* getName() override { return L"stderr"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { std::fprintf(stderr, "error: %ls\n", text); }
  void warning(const wchar_t* text) override { std::fprintf(stderr, "warning: %ls\n", text); }
  void message(const wchar_t* text) override { std::fprintf(stderr, "%ls\n", text); }
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
};

std::wstring widen(const char* text) {
  std::wstring wide(std::strlen(text) + 1, L'\0');
  const std::size_t n = std::mbstowcs(&wide[0], text, wide.size());
  wide.resize(n == static_cast<std::size_t>(-1) ? 0 : n);
  return wide;
}

// The worker: runs the host system until it is shut down by a signal or by the service stop.
void runHost(void*) {
  Unknown::Handle_T<ServiceSystem> host = ServiceSystem::getSystem();
  std::thread watcher([] {
    g_stop->wait(0xFFFFFFFFu, false);
    ServiceSystem::shutdownSystem();
  });
  host->load();
  ServiceSystem::_serviceStart = 1;
  host->start();
  ServiceSystem::_serviceStart = 2;
  g_stop->signal();  // lets the watcher go when the stop came from elsewhere
  watcher.join();
  if (g_asService) stopService();  // tells the service manager when the host ended by itself
}

// A host system that gives the processor away between its passes.
struct Host : ServiceSystem {
  static Handle_T<Host> create() { return Handle_T<Host>(new Host()); }
  bool init() override {
    if (!ServiceSystem::init()) return false;
    Log::message(L"%s running", ServiceSystem::getSystemName().getBuffer());
    return Yield::createInstance()->start(this);
  }
};

// Hands the stop signals to ServiceSystem::signal outside any signal handler.
void takeSignals() {
#if defined(_WIN32)
  // A service has no console; the service manager's stop reaches serviceInitialize instead.
  g_asService = true;  // until the service dispatcher fails to start
  std::signal(SIGINT, [](int number) { ServiceSystem::signal(number); });
  std::signal(SIGBREAK, [](int number) { ServiceSystem::signal(number); });
#else
  g_asService = std::getenv("NOTIFY_SOCKET") != nullptr;
  sigset_t taken;
  sigemptyset(&taken);
  sigaddset(&taken, SIGINT);
  sigaddset(&taken, SIGQUIT);
  if (!g_asService) sigaddset(&taken, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &taken, nullptr);  // before any thread, so every thread inherits it
  std::thread signals([taken] {
    int number = 0;
    if (sigwait(&taken, &number) == 0) ServiceSystem::signal(number);
  });
  signals.detach();
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  ErrorListener listener;
  Log::addListener(&listener);
  std::vector<std::wstring> arguments;
  for (int i = 0; i < argc; ++i)
    arguments.push_back(widen(argv[i]));
  std::vector<const wchar_t*> pointers;
  for (const std::wstring& argument : arguments)
    pointers.push_back(argument.c_str());
  ServiceSystem::_argc = argc;
  ServiceSystem::_argv = pointers.data();
  ServiceSystem::setSystemName(kName);

  if (argc > 1 && std::strcmp(argv[1], "install") == 0) {
    const std::wstring path = std::filesystem::absolute(argv[0]).wstring();
    return serviceInstall(1, kName, L"vemo example service host", path.c_str(), nullptr, nullptr)
               ? 0
               : 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "remove") == 0) return serviceRemove(kName) ? 0 : 1;

  handled_exception_filter();
  ServiceSystem::setSupportAddress(L"support@example.org");
  takeSignals();

  Unknown::Handle_T<Semaphore> stop = Semaphore::createInstance();
  g_stop = stop.get();
  setShutdownEvent(stop.get());
  {
    MutexLock lock(ServiceSystem::_mutex);
    ServiceSystem::_hSystem = Host::create();
  }
  if (!serviceInitialize(kName, reinterpret_cast<void*>(&runHost))) {
    g_asService = false;
    runHost(nullptr);
  }
  setShutdownEvent(nullptr);
  {
    MutexLock lock(ServiceSystem::_mutex);
    ServiceSystem::_hSystem = nullptr;
  }
  Log::removeListener(&listener);
  return 0;
}
