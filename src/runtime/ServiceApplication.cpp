#include "vemo/core/ServiceApplication.h"

#include <cstdio>
#include <string>
#include <utility>

#include "LogListeners.h"
#include "ServiceHooks.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/Process.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

// The application whose host system runs (one per process): the worker finds it here.
ServiceApplication* g_running = nullptr;

// The log on the standard error stream. When that stream is the journal, every line carries
// the journal's priority prefix instead of a word.
class StandardErrorListener : public LogListener {
 public:
  explicit StandardErrorListener(bool journal) : _journal(journal) {}
  const wchar_t* getName() override { return L"stderr"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { write(prefix(LogLevel::kError, "error: "), text); }
  void warning(const wchar_t* text) override {
    write(prefix(LogLevel::kWarning, "warning: "), text);
  }
  void message(const wchar_t* text) override { write(prefix(LogLevel::kMessage, ""), text); }
  void debug(const wchar_t* text) override {
    if (_journal) write(detail::journalPrefix(LogLevel::kDebug), text);
  }
  void whistle(bool) override {}

 private:
  const char* prefix(LogLevel level, const char* word) const {
    return _journal ? detail::journalPrefix(level) : word;
  }
  void write(const char* prefix, const wchar_t* text) {
    const String_T<char> utf8 = StringHelper::wideToUtf8(text ? text : L"");
    const char* bytes = utf8.getBuffer() ? utf8.getBuffer() : "";
    std::string out = prefix;
    for (const char* c = bytes; *c; ++c) {
      out += *c;
      if (*c == '\n' && _journal && c[1]) out += prefix;
    }
    if (out.empty() || out.back() != '\n') out += '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
  }
  bool _journal;
};

std::string statusLine(const String& text) {
  const String_T<char> utf8 = StringHelper::wideToUtf8(text.getBuffer() ? text.getBuffer() : L"");
  std::string line = utf8.getBuffer() ? utf8.getBuffer() : "";
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  return line;
}

}  // namespace

ServiceApplication::ServiceApplication(const wchar_t* name, const wchar_t* displayName,
                                       Factory factory)
    : _name(name ? name : L""),
      _displayName(displayName ? displayName : L""),
      _factory(std::move(factory)) {}

ServiceApplication::~ServiceApplication() = default;

void ServiceApplication::setVersion(const String& version) {
  _version = version;
}
void ServiceApplication::setSupportAddress(const String& address) {
  _supportAddress = address;
}
void ServiceApplication::setStartMode(int mode) {
  _startMode = mode;
}
void ServiceApplication::setAccount(const String& account, const String& password) {
  _account = account;
  _password = password;
}
void ServiceApplication::setWatchdog(unsigned int seconds) {
  setServiceWatchdog(seconds);
}
void ServiceApplication::setReloadHandler(ReloadHandler handler) {
  _reloadHandler = std::move(handler);
}

int ServiceApplication::run(int argc, char** argv) {
  // Every character of the arguments (Windows: from the wide command line), and on POSIX
  // systems the very bytes, so that "install" writes them into the unit unchanged.
  _arguments.clear();
  for (const String& argument : getProgramArguments(argc, argv))
    _arguments.push_back(argument.getBuffer() ? argument.getBuffer() : L"");
  return runArguments();
}

int ServiceApplication::run(int argc, wchar_t** argv) {
  _arguments.clear();
  for (int i = 0; i < argc && argv && argv[i]; ++i)
    _arguments.push_back(argv[i]);
  return runArguments();
}

void ServiceApplication::setStatus(const String& text) {
  service_detail::notify("STATUS=" + statusLine(text));
}

void ServiceApplication::extendStartTimeout(unsigned int ms) {
  service_detail::notify("EXTEND_TIMEOUT_USEC=" +
                         std::to_string(static_cast<unsigned long long>(ms) * 1000));
}

Unknown::Handle_T<ServiceSystem> ServiceApplication::createSystem() {
  return _factory ? _factory() : Unknown::Handle_T<ServiceSystem>();
}

bool ServiceApplication::reload() {
  return _reloadHandler ? _reloadHandler() : true;
}

int ServiceApplication::runArguments() {
  _pointers.clear();
  for (const std::wstring& argument : _arguments)
    _pointers.push_back(argument.c_str());
  _pointers.push_back(nullptr);
  ServiceSystem::_argc = static_cast<int>(_arguments.size());
  ServiceSystem::_argv = _pointers.data();
  ServiceSystem::setSystemName(_name);
  ServiceSystem::_version = _version;

  const std::wstring command = _arguments.size() > 1 ? _arguments[1] : std::wstring();
  if (command == L"install") {
    const std::vector<std::wstring> rest(_arguments.begin() + 2, _arguments.end());
    const std::wstring program = service_detail::programPath();
    const wchar_t* account =
        _account.getBuffer() && _account.getBuffer()[0] ? _account.getBuffer() : nullptr;
    return service_detail::install(_startMode, _name.getBuffer(), _displayName.getBuffer(),
                                   program.c_str(), rest, account, _password.getBuffer())
               ? 0
               : 1;
  }
  if (command == L"remove") return serviceRemove(_name.getBuffer()) ? 0 : 1;

  // A program that registered a console listener of its own has its lines written there.
  StandardErrorListener listener(detail::inspectStandardError().journal);
  const bool ownListener = !Log::getLogListener(L"console");
  if (ownListener) Log::addListener(&listener);
  handled_exception_filter();
  if (_supportAddress.getBuffer() && _supportAddress.getBuffer()[0])
    ServiceSystem::setSupportAddress(_supportAddress);

  int status = 1;
  Unknown::Handle_T<ServiceSystem> host = createSystem();
  if (!host) {
    Log::error(L"%s: no host system to run.", _name.getBuffer());
  } else if (g_running) {
    Log::error(L"%s: another host runs in this process.", _name.getBuffer());
  } else {
    {
      MutexLock lock(ServiceSystem::_mutex);
      ServiceSystem::_hSystem = host;
    }
    ServiceSystem::_serviceStart = 0;
    g_running = this;
    _started = false;
    _foreground = false;
    takeSignals();
    const int served = serviceInitialize(_name.getBuffer(), reinterpret_cast<void*>(&worker));
    if (served == 0) {
      _foreground = true;
      runHost();
    }
    releaseSignals();
    g_running = nullptr;
    {
      MutexLock lock(ServiceSystem::_mutex);
      ServiceSystem::_hSystem = nullptr;
    }
    if (!_started) Log::error(L"%s did not start.", _name.getBuffer());
    status = served >= 0 && _started ? 0 : 1;
  }
  Log::removeListener(&listener);
  return status;
}

void ServiceApplication::worker(void*) {
  if (g_running) g_running->runHost();
}

void ServiceApplication::runHost() {
  Unknown::Handle_T<ServiceSystem> host = ServiceSystem::getSystem();
  const unsigned long ticks = service_detail::tickCount();
  const unsigned long stops = service_detail::stopRequests();
  _ticksAtStart.store(ticks);
  if (host && host->load()) {
    ServiceSystem::_serviceStart = 1;
    host->start();
    host->unload();
  }
  ServiceSystem::_serviceStart = 2;
  // A host that was asked to stop before its first tick did not fail.
  _started = service_detail::tickCount() != ticks || service_detail::stopRequests() != stops;
  if (!_foreground) service_detail::hostEnded();
}

}  // namespace vemo

namespace vemo {

bool ServiceApplication::hostRunning() const {
  if (ServiceSystem::_serviceStart.load(std::memory_order_acquire) != 1) return false;
  if (service_detail::tickCount() == _ticksAtStart.load()) return false;
  if (service_detail::stopRequested() || service_detail::stopping()) return false;
  const Unknown::Handle_T<ServiceSystem> host = ServiceSystem::getSystem();
  return host && host->getState() == System::ES_RUNNING;
}

}  // namespace vemo
