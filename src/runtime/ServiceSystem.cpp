#include "vemo/core/ServiceSystem.h"

#include <chrono>
#include <csignal>
#include <cwchar>
#include <thread>

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
std::atomic<unsigned int> g_watchdogSeconds{0};

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
  // The start-up code sets the flag to 1 right after it made the host system: a stop asked for
  // before then must wait for the system to exist rather than be lost.
  while (_serviceStart.load(std::memory_order_acquire) < 1)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (_serviceStart.load(std::memory_order_acquire) > 1) return true;
  Handle_T<ServiceSystem> system = getSystem();
  if (system) system->shutdown();
  return true;
}

void ServiceSystem::signal(int number) {
  const wchar_t* text = L"Unknown signal.";
  switch (number) {
    case SIGINT:
      text = L"CTRL+C signal.";
      break;
    case SIGILL:
      text = L"Illegal instruction.";
      break;
    case SIGFPE:
      text = L"Floating-point error.";
      break;
    case SIGSEGV:
      text = L"Illegal storage access.";
      break;
    case SIGTERM:
      text = L"Termination request.";
      break;
    case SIGABRT:
      text = L"Abnormal termination.";
      break;
#if defined(SIGBREAK)
    case SIGBREAK:
      text = L"Ctrl-Break sequence";
      break;
#elif defined(SIGQUIT)
    case SIGQUIT:
      text = L"Ctrl-Break sequence";
      break;
#endif
    default:
      break;
  }
  Log::warning(L"%s", text);
  shutdownSystem();
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

void ServiceSystem::setCrashReportDirectory(const String& directory) {
  {
    MutexLock lock(supportMutex());
    crashReportDirectory() = directory;
  }
  detail::setCrashReportDirectory(directory);
}

String ServiceSystem::getCrashReportDirectory() {
  MutexLock lock(supportMutex());
  return crashReportDirectory();
}

void ServiceSystem::tick() {
  System::tick();
  g_ticks.fetch_add(1, std::memory_order_relaxed);
}

void setServiceWatchdog(unsigned int seconds) {
  g_watchdogSeconds.store(seconds, std::memory_order_relaxed);
}
unsigned int getServiceWatchdog() {
  return g_watchdogSeconds.load(std::memory_order_relaxed);
}

}  // namespace vemo
