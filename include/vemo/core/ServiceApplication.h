/// \file
/// ServiceApplication: the whole start-up of a host program that runs one ServiceSystem in the
/// foreground or as a service, and installs and removes itself.
///
/// \code
/// struct Host : ServiceSystem {
///   static Handle_T<ServiceSystem> create() { return Handle_T<ServiceSystem>(new Host()); }
///   bool init() override {
///     setIdleWait(true);  // sleeps until there is work (System.h)
///     return ServiceSystem::init();
///   }
/// };
///
/// int main(int argc, char** argv) {
///   ServiceApplication app(L"myhost", L"My host", &Host::create);
///   app.setSupportAddress(L"support@example.org");
///   return app.run(argc, argv);
/// }
/// \endcode
///
/// The command line: "install" installs the service (the running program, with the arguments
/// that follow, as its command; automatic start unless setStartMode says otherwise), "remove"
/// removes it, "run" or anything else runs the host. The program's own arguments reach the host
/// through ServiceSystem::getArguments ("port=8080").
///
/// `run` fills the ServiceSystem statics, installs the crash handler, logs to the standard error
/// stream (with the journal's priority prefixes <3> <4> <6> <7> when that stream is the journal;
/// not when the program registered a listener named "console", such as a ConsoleLogListener,
/// which then writes the lines alone), creates the host system and runs it: as a service when the
/// service manager started the program, otherwise in the foreground. It returns the program's exit
/// status: 0 after a clean stop, 1 when the host system never completed a tick (its init failed) or
/// when installing or removing failed.
///
/// Linux: SIGINT, SIGTERM and SIGQUIT are taken by a thread of their own (sigwait); under systemd
/// SIGTERM is the stop control (STOPPING=1). SIGHUP calls `reload` between RELOADING=1 (with
/// MONOTONIC_USEC) and READY=1. `run` blocks these four signals in the calling thread before it
/// starts any thread; call it from main before the program starts threads of its own, since a
/// thread that does not block them may receive them instead (and end the process). They stay
/// blocked after `run` returns. READY=1 goes out once the host system has completed its first
/// tick; a host system that ends before then is reported failed (exit status 1).
///
/// Windows: under the service control manager the manager's stop ends the host; in the
/// foreground the console's Ctrl+C, Ctrl+Break and close events do. The service's readiness is
/// reported as the service control manager knows it (running once the worker started).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "vemo/core/Duration.h"
#include "vemo/core/Export.h"
#include "vemo/core/ServiceSystem.h"
#include "vemo/core/String.h"

namespace vemo {

/// A program that runs a host system as a service, or in the foreground (see
/// ServiceApplication.h).
class VEMO_CORE_API ServiceApplication {
 public:
  /// Makes the host system: a plain function, or a lambda that captures what the system needs.
  using Factory = std::function<Unknown::Handle_T<ServiceSystem>()>;
  /// Reloads the configuration; false when it could not. A function or a lambda.
  using ReloadHandler = std::function<bool()>;

  /// `name` is the service's name (at most 260 characters), `displayName` its description.
  /// `factory` makes the host system; a derived class may override createSystem instead.
  ServiceApplication(const wchar_t* name, const wchar_t* displayName, Factory factory = nullptr);
  virtual ~ServiceApplication();
  ServiceApplication(const ServiceApplication&) = delete;
  ServiceApplication& operator=(const ServiceApplication&) = delete;

  /// The version text the host system gives (ServiceSystem::getVersion).
  void setVersion(const String& version);
  /// The address the crash notice names; empty (the default) names the program file.
  void setSupportAddress(const String& address);
  /// Install: start mode 1 (the default) starts the service automatically, any other on demand.
  void setStartMode(int mode);
  /// Install: the account the service runs as (empty: the system's default) and its password
  /// (Windows only).
  void setAccount(const String& account, const String& password);
  /// Install: the service watchdog's interval in seconds (0: none).
  void setWatchdog(unsigned int seconds);
  /// The function `reload` calls (when no derived class overrides it); set it before `run`.
  void setReloadHandler(ReloadHandler handler);

  ///@{
  /// Runs the program as the command line says; returns its exit status.
  int run(int argc, char** argv);
  int run(int argc, wchar_t** argv);
  ///@}

  /// Sends a status line to the service manager (systemctl status shows it); nothing when the
  /// program does not run as a service. Callable from any thread, anywhere in the program.
  static void setStatus(const String& text);
  ///@{
  /// Asks the service manager for `ms` more milliseconds of start-up (an init that takes long);
  /// nothing when the program does not run as a service.
  static void extendStartTimeout(unsigned int ms);
  template <class Rep, class Period>
  static void extendStartTimeout(std::chrono::duration<Rep, Period> duration) {
    extendStartTimeout(detail::toMilliseconds(duration));
  }
  ///@}

 protected:
  /// The host system; the default calls the factory. Null ends `run` with status 1.
  virtual Unknown::Handle_T<ServiceSystem> createSystem();
  /// Reloads the configuration (SIGHUP on Linux), called on the thread that takes the signals
  /// while the host system runs on its own: share state with it under a lock. The default calls
  /// the reload handler, or does nothing. False is logged as a failed reload.
  virtual bool reload();

 private:
  int runArguments();
  void runHost();
  static void worker(void*);
  // Platform: start and end taking the signals; the console's handlers on Windows.
  void takeSignals();
  void releaseSignals();
  void onReloadSignal();
  // True once the host system has completed a tick, until it is asked to stop.
  bool hostRunning() const;

  String _name;
  String _displayName;
  Factory _factory;
  ReloadHandler _reloadHandler = nullptr;
  String _version;
  String _supportAddress;
  int _startMode = 1;
  String _account;
  String _password;
  std::vector<std::wstring> _arguments;
  std::vector<const wchar_t*> _pointers;
  bool _foreground = false;
  bool _started = false;
  std::atomic<unsigned long> _ticksAtStart{0};
  struct Signals;
  Signals* _signals = nullptr;
};

}  // namespace vemo
