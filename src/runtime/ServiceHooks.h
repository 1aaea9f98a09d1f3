// What the service host's portable and platform files and ServiceApplication share, and the
// hooks through which the tests point the Linux service functions at unit directories, a
// systemctl program and a "systemd is running" marker of their own. Not settings for users: the
// tests set them.
#pragma once

#include <string>
#include <vector>

#include "vemo/core/Export.h"

namespace vemo {
namespace service_detail {

// Ticks completed by every ServiceSystem so far.
unsigned long tickCount();
// The next tick that a ServiceSystem completes calls wake() once.
void wakeOnNextTick();
// Asks the host system for a pass even when it waits idle with nothing due, so that a live host
// shows a tick to the next watchdog check and a hung one does not.
void nudgeHost();

// Stop requests. shutdownSystem only notes one (an atomic flag) and calls wake(), which is all
// a signal handler may do; the request is carried out in an ordinary context by
// honourStopRequest: by the host system's next tick, the service loop, or the thread that takes
// the signals. It shuts the host system down once it has been claimed (loaded), and keeps the
// request until then; true when it shut the host system down.
bool stopRequested();
bool honourStopRequest();
// How many stop requests shutdownSystem has taken so far.
unsigned long stopRequests();
// Logs the texts of signals that ServiceSystem::signal noted inside a signal handler.
void logNotedSignals();
// ServiceSystem::signal in an ordinary context: logs the signal's text, asks for the stop and
// carries it out.
void takeSignal(int number);

// Platform: true when `number` is blocked in the calling thread, as it is inside its own
// handler (or on a thread that takes it with sigwait). Always false on Windows, where the
// run-time library calls signal functions on ordinary threads.
bool signalBlocked(int number);
// Platform: wakes the service loop, if one runs; otherwise the thread that takes a foreground
// host's signals, which carries a stop request out (an idle host would not tick to do it).
// Async-signal-safe.
void wake();
// Platform: asks the thread that takes the signals of a host run by ServiceApplication to carry
// out a stop request; nothing when there is none. Async-signal-safe.
void wakeSignalThread();

// Platform: true while the process runs as a service (the service loop or the service main).
bool runningAsService();
// Platform: true once the running service loop has told the manager it stops (STOPPING=1);
// always false on Windows.
bool stopping();
// Platform: the service manager's stop control (SIGTERM under systemd) given to the running
// service loop from an ordinary thread; false when no service loop runs.
bool stopControl();
// Platform: one notification to the service manager ("STATUS=...", "RELOADING=1", ...); false
// when the process is not running as a service or it could not be sent. Linux only: Windows
// has none of these notifications and returns false.
bool notify(const std::string& text);
// Platform: installs the service like serviceInstall, with `arguments` after the program in
// the command that the service manager runs.
int install(int startMode, const wchar_t* name, const wchar_t* displayName, const wchar_t* program,
            const std::vector<std::wstring>& arguments, const wchar_t* account,
            const wchar_t* password);

// Platform, for ServiceApplication: the running program's own path as the service manager wants
// it; what a worker does when the host system has ended.
std::wstring programPath();
void hostEnded();

// Empty strings restore the defaults (/etc/systemd/system, systemctl from PATH,
// /run/systemd/system, and systemd's list of unit directories). `otherDirectories` are the
// directories, besides the unit directory, in which existing units are looked for.
VEMO_CORE_API void setTestHooks(const std::string& unitDirectory, const std::string& systemctl,
                                const std::string& runningMarker,
                                const std::vector<std::string>& otherDirectories = {});

}  // namespace service_detail
}  // namespace vemo
