#include "vemo/core/ServiceSystem.h"

#include <csignal>
#include <cwchar>

#include "CrashHandler.h"
#include "ServiceHooks.h"
#include "vemo/core/Log.h"

namespace vemo {

String ServiceSystem::_systemName;
String ServiceSystem::_version;
Unknown::Handle_T<ServiceSystem> ServiceSystem::_hSystem;
Mutex ServiceSystem::_mutex;
int ServiceSystem::_argc = 0;
const wchar_t* const* ServiceSystem::_argv = nullptr;
int ServiceSystem::_launch_flag = 0;
std::atomic<int> ServiceSystem::_serviceStart{0};

namespace {

std::atomic<unsigned long> g_ticks{0};
std::atomic<bool> g_wakeOnTick{false};
std::atomic<bool> g_stopRequested{false};
std::atomic<unsigned long> g_stopRequests{0};
// Signals noted inside a handler, one bit each (the index in kSignalTexts), logged later.
std::atomic<unsigned int> g_notedSignals{0};
std::atomic<unsigned int> g_watchdogSeconds{0};

struct SignalText {
  int number;
  const wchar_t* text;
};

const SignalText kSignalTexts[] = {
    {SIGINT, L"CTRL+C signal."},         {SIGILL, L"Illegal instruction."},
    {SIGFPE, L"Floating-point error."},  {SIGSEGV, L"Illegal storage access."},
    {SIGTERM, L"Termination request."},
#if defined(SIGBREAK)
    {SIGBREAK, L"Ctrl-Break sequence"},
#elif defined(SIGQUIT)
    {SIGQUIT, L"Ctrl-Break sequence"},
#endif
    {SIGABRT, L"Abnormal termination."},
};
constexpr unsigned int kUnknownSignal = sizeof kSignalTexts / sizeof kSignalTexts[0];

unsigned int signalIndex(int number) {
  for (unsigned int i = 0; i < kUnknownSignal; ++i)
    if (kSignalTexts[i].number == number) return i;
  return kUnknownSignal;
}

const wchar_t* signalText(unsigned int index) {
  return index < kUnknownSignal ? kSignalTexts[index].text : L"Unknown signal.";
}

// The support address is set once at start-up; the crash notice reads its own copy, which
// takes no lock.
Mutex& supportMutex() {
  static Mutex mutex;
  return mutex;
}
String& supportAddress() {
  static String address;
  return address;
}
String& crashReportDirectory() {
  static String directory;
  return directory;
}

}  // namespace

namespace service_detail {

unsigned long tickCount() {
  return g_ticks.load(std::memory_order_relaxed);
}

void wakeOnNextTick() {
  g_wakeOnTick.store(true, std::memory_order_release);
}

void nudgeHost() {
  if (Unknown::Handle_T<ServiceSystem> system = ServiceSystem::getSystem()) system->notify();
}

unsigned long stopRequests() {
  return g_stopRequests.load(std::memory_order_acquire);
}

bool stopRequested() {
  return g_stopRequested.load(std::memory_order_acquire);
}

bool honourStopRequest() {
  if (!g_stopRequested.load(std::memory_order_acquire)) return false;
  Unknown::Handle_T<ServiceSystem> system = ServiceSystem::getSystem();
  // Not yet claimed: the request waits for the run it is meant to end.
  if (!system || system->getState() == System::ES_UNLOADED) return false;
  if (!g_stopRequested.exchange(false, std::memory_order_acq_rel)) return false;
  system->shutdown();
  return true;
}

void logNotedSignals() {
  unsigned int noted = g_notedSignals.exchange(0, std::memory_order_acq_rel);
  for (unsigned int i = 0; noted != 0; ++i, noted >>= 1)
    if (noted & 1u) Log::warning(L"%s", signalText(i));
}

void takeSignal(int number) {
  logNotedSignals();
  Log::warning(L"%s", signalText(signalIndex(number)));
  ServiceSystem::shutdownSystem();
  honourStopRequest();
}

}  // namespace service_detail

void ServiceSystem::setSystemName(String name) {
  _systemName = name;
}
const String& ServiceSystem::getSystemName() {
  return _systemName;
}
const String& ServiceSystem::getVersion() {
  return _version;
}
int ServiceSystem::argc() {
  return _argc;
}
const wchar_t* const* ServiceSystem::argv() {
  return _argv;
}

String ServiceSystem::getArguments(const String& key, const String& defaultValue) {
  const wchar_t* wanted = key.getBuffer();
  const std::size_t length = wanted ? std::wcslen(wanted) : 0;
  for (int i = 1; i < _argc && _argv; ++i) {
    const wchar_t* argument = _argv[i];
    if (!argument) continue;
    if (std::wcsncmp(argument, wanted ? wanted : L"", length) == 0 && argument[length] == L'=')
      return String(argument + length + 1);
  }
  return defaultValue;
}

Unknown::Handle_T<ServiceSystem> ServiceSystem::getSystem() {
  MutexLock lock(_mutex);
  return _hSystem;
}

bool ServiceSystem::shutdownSystem() {
  // Only an atomic flag and a write to a pipe: a signal handler may call this. A stop asked for
  // before the host system runs is kept for its run, which it ends at its first tick.
  if (_serviceStart.load(std::memory_order_acquire) > 1) return true;
  g_stopRequests.fetch_add(1, std::memory_order_acq_rel);
  g_stopRequested.store(true, std::memory_order_release);
  service_detail::wake();
  return true;
}

void ServiceSystem::signal(int number) {
  if (service_detail::signalBlocked(number)) {
    // Inside the signal's handler (or on a thread that waits for it): nothing that locks or
    // allocates. The text is logged by whoever carries the stop out.
    g_notedSignals.fetch_or(1u << signalIndex(number), std::memory_order_acq_rel);
    shutdownSystem();
    return;
  }
  service_detail::takeSignal(number);
}

void ServiceSystem::setSupportAddress(const String& address) {
  {
    MutexLock lock(supportMutex());
    supportAddress() = address;
  }
  detail::setCrashSupportAddress(address);
}

String ServiceSystem::getSupportAddress() {
  MutexLock lock(supportMutex());
  return supportAddress();
}

bool ServiceSystem::setCrashReportDirectory(const String& directory) {
  bool set;
  {
    MutexLock lock(supportMutex());
    set = detail::setCrashReportDirectory(directory);
    if (set) crashReportDirectory() = directory;
  }
  if (!set)
    Log::error(
        L"The crash report directory \"%s\" is too long: a report's path would not fit in "
        L"%d bytes. Reports go where they went before.",
        directory.getBuffer(), static_cast<int>(detail::kCrashPathLimit));
  return set;
}

String ServiceSystem::getCrashReportDirectory() {
  MutexLock lock(supportMutex());
  return crashReportDirectory();
}

void ServiceSystem::tick() {
  System::tick();
  g_ticks.fetch_add(1, std::memory_order_relaxed);
  if (g_wakeOnTick.load(std::memory_order_relaxed) &&
      g_wakeOnTick.exchange(false, std::memory_order_acq_rel))
    service_detail::wake();
  if (g_stopRequested.load(std::memory_order_relaxed)) {
    service_detail::logNotedSignals();
    service_detail::honourStopRequest();
  }
}

void setServiceWatchdog(unsigned int seconds) {
  g_watchdogSeconds.store(seconds, std::memory_order_relaxed);
}
unsigned int getServiceWatchdog() {
  return g_watchdogSeconds.load(std::memory_order_relaxed);
}

}  // namespace vemo
