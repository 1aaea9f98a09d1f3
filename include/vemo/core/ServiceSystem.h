/// \file
/// ServiceSystem: the system of a long-lived host program, and the functions that install, remove
/// and run such a program as a service of the operating system.
///
/// \code
/// // start-up code of the host program
/// ServiceSystem::_argc = argc;  ServiceSystem::_argv = argv;
/// ServiceSystem::_hSystem = MyHost::createInstance();
/// if (!serviceInitialize(L"myhost", reinterpret_cast<void*>(&runHost)))
///   runHost(nullptr);   // not started by the service manager: run in the foreground
/// \endcode
///
/// The statics are process-wide and filled by the host program's start-up code; the library reads
/// them (`setSystemName` writes `_systemName`). `_hSystem` is read and written under `_mutex`.
/// `_serviceStart` is 0 before the host system runs, 1 while it runs and above 1 once it is being
/// (or has been) stopped; it is atomic so that any thread may read it.
///
/// `signal` and `shutdownSystem` may be called from a signal handler: `shutdownSystem` only notes
/// the request (an atomic flag) and wakes the service loop through a pipe; the host system's next
/// tick, or the service loop, carries it out in an ordinary context. `signal` called inside the
/// handler of its own signal (the signal is blocked there) notes its text the same way, to be
/// logged when the stop is carried out; called from an ordinary thread it logs at once.
/// ServiceApplication (ServiceApplication.h) does all of a host's start-up for it.
///
/// Service manager: on Windows the service control manager; on Linux systemd. There a service is
/// a unit file "<name>.service" in the system unit directory (Type=notify), installed and removed
/// with `systemctl`, and `serviceInitialize` speaks the notification protocol over NOTIFY_SOCKET.
/// A process not started by systemd (no NOTIFY_SOCKET) gets 0 from `serviceInitialize` at once,
/// like a failed dispatcher start on Windows, so the host can run in the foreground. Under
/// systemd READY=1 goes out once the host system has completed its first tick, and SIGTERM stops
/// the host system itself when no shutdown event is set.
///
/// Install and remove print their outcome to the standard output (narrow text) and return 1 on
/// success, 0 otherwise; nothing throws.
#pragma once

#include <atomic>

#include "vemo/core/Export.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/String.h"
#include "vemo/core/System.h"

namespace vemo {

/// The system a service host runs, with the process-wide state of the service: its name,
/// version and arguments, the running host system and the crash notice's settings.
class VEMO_CORE_API ServiceSystem : public System {
 public:
  /// A new host system.
  static Handle_T<ServiceSystem> createInstance() {
    return Handle_T<ServiceSystem>(new ServiceSystem());
  }

  ///@{
  /// The service's name.
  static void setSystemName(String name);
  static const String& getSystemName();
  ///@}
  /// The version text the host program set (_version).
  static const String& getVersion();
  ///@{
  /// The program's arguments as the host program handed them over (_argc, _argv).
  static int argc();
  static const wchar_t* const* argv();
  ///@}
  /// The text after "key=" of the first of arguments 1 to _argc - 1 that begins with it, or
  /// `defaultValue` when none does. The program name (argument 0) is never searched.
  static String getArguments(const String& key, const String& defaultValue);
  /// The running host system (a new handle to it), taken under _mutex; null when there is none.
  static Handle_T<ServiceSystem> getSystem();
  /// Asks the host system to shut down and returns at once (always true); nothing when
  /// _serviceStart is above 1 (already stopping). The host system ends its run after its next
  /// tick; a request made before it runs ends its run at its first tick. Async-signal-safe.
  static bool shutdownSystem();
  /// Logs the signal's text as a warning and calls shutdownSystem; inside the signal's own
  /// handler the text is logged when the stop is carried out. Signals are told by their
  /// symbols: SIGINT "CTRL+C signal.", SIGILL "Illegal instruction.", SIGFPE "Floating-point
  /// error.", SIGSEGV "Illegal storage access.", SIGTERM "Termination request.", SIGBREAK (on
  /// Linux SIGQUIT) "Ctrl-Break sequence", SIGABRT "Abnormal termination.", any other "Unknown
  /// signal.".
  static void signal(int number);

  /// The address printed in the crash notice for users to write to; empty until set (the notice
  /// then names the program file).
  ///@{
  static void setSupportAddress(const String& address);
  static String getSupportAddress();
  ///@}
  /// The directory crash reports go to first; empty (the default) leaves the choice to the crash
  /// handler: the program's directory, then on Linux $LOGS_DIRECTORY, $STATE_DIRECTORY, $TMPDIR
  /// and /tmp, on Windows the temporary directory. A relative path is taken from the current
  /// directory at this call. A directory too long for a report's path (made absolute, with
  /// room for a report's name within the system's longest path: 4096 bytes on Linux, 260
  /// characters on Windows) is refused with an error logged: false, and the directory set before
  /// stays.
  ///@{
  static bool setCrashReportDirectory(const String& directory);
  static String getCrashReportDirectory();
  ///@}

  /// One tick of System; counts the completed ticks, which the service watchdog looks at.
  void tick() override;

  ///@{
  /// Filled by the host program's start-up code: the name, the version, the running host system
  /// (under _mutex), the arguments, the launch flag and the run state (_serviceStart: 0 before the
  /// host system runs, 1 while it runs, above 1 once it is being stopped).
  static String _systemName;
  static String _version;
  static Handle_T<ServiceSystem> _hSystem;
  static Mutex _mutex;
  static int _argc;
  static const wchar_t* const* _argv;
  static int _launch_flag;
  static std::atomic<int> _serviceStart;
  ///@}

 protected:
  ServiceSystem() = default;
};

/// 1 when a service of that name is installed, else 0. On Linux: a unit file of that name (or
/// the template of an instance name) in any directory systemd loads units from.
VEMO_CORE_API int isService(const wchar_t* name);
/// Runs the calling process as the service `name`: starts `worker` (a void (*)(void*), called
/// with a null argument) on its own thread, reports start, running and stop to the service
/// manager and returns once a stop was asked for and the worker has ended (1). Returns 0 at once
/// when the process was not started by the service manager, or when `name` is longer than 260
/// characters. On Linux it returns -1 when the worker ended (or asked to stop) before the host
/// system completed its first tick: the service never became ready, and told systemd why in a
/// STATUS= line. NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID are taken out of the environment.
VEMO_CORE_API int serviceInitialize(const wchar_t* name, void* worker);
/// Installs the service: start mode 1 starts it automatically (on Linux: enabled), any other on
/// demand. `account` may be null or empty; the password is used on Windows only. On Linux the
/// path must be an absolute, normalised path without quotes, backslashes or control characters,
/// and a unit of that name in any of systemd's unit directories counts as an existing service.
VEMO_CORE_API int serviceInstall(int startMode, const wchar_t* name, const wchar_t* displayName,
                                 const wchar_t* path, const wchar_t* account,
                                 const wchar_t* password);
/// Removes a service that is not running nor stopping.
VEMO_CORE_API int serviceRemove(const wchar_t* name);
/// Reports the service stopped with the given exit code (Windows); on Linux the exit of the
/// process says it, and this only sets the terminate event: the service loop ends.
VEMO_CORE_API void exitService(unsigned long code);
/// Reports stopping, sets the shutdown event and the terminate event.
VEMO_CORE_API void stopService();
/// Windows: suspends and resumes the worker thread. Linux has no safe way to stop one thread
/// from outside, so there they only set and clear a pause state that the worker honours by
/// calling waitWhileServicePaused at points where pausing is safe.
///@{
VEMO_CORE_API void pauseService();
VEMO_CORE_API void resumeService();
VEMO_CORE_API bool isServicePaused();
///@}
/// Returns at once when not paused; otherwise waits until resumeService or stopService.
VEMO_CORE_API void waitWhileServicePaused();
/// The host's event set when the service is asked to stop: a Windows event handle on Windows, a
/// vemo::Semaphore* (signalled) on Linux. Null for none.
VEMO_CORE_API void setShutdownEvent(void* event);
/// Asks for a service watchdog of `seconds` (0: none, the default): serviceInstall then writes
/// it into the unit (Linux). While the service manager watches the process, the host tells it
/// alive at half the interval, but only while the host system is still completing ticks.
///@{
VEMO_CORE_API void setServiceWatchdog(unsigned int seconds);
VEMO_CORE_API unsigned int getServiceWatchdog();
///@}

}  // namespace vemo
