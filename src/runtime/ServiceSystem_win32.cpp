// The service host on Windows: the service control manager, a dispatcher that calls the service
// main on a thread of its own, and a control handler that reports to the manager.
#include <windows.h>

#include <process.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "ServiceHooks.h"
#include "vemo/core/ServiceSystem.h"

namespace vemo {
namespace {

constexpr DWORD kAllControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;

// One service per process; the control handler and the worker share only the events and the
// state value.
wchar_t g_name[261];
void (*g_worker)(void*) = nullptr;
HANDLE g_workerThread = nullptr;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
volatile DWORD g_state = SERVICE_STOPPED;
HANDLE g_terminateEvent = nullptr;
HANDLE g_shutdownEvent = nullptr;

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void setEvents() {
  if (g_shutdownEvent) SetEvent(g_shutdownEvent);
  if (g_terminateEvent) SetEvent(g_terminateEvent);
}

bool report(DWORD state, DWORD controls, DWORD checkPoint, DWORD waitHint, DWORD exitCode = 0) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controls;
  status.dwWin32ExitCode = exitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  return SetServiceStatus(g_statusHandle, &status) != 0;
}

// Reports and, when the report fails, sets the events so that the worker and the service main
// end.
bool reportOrStop(DWORD state, DWORD controls, DWORD checkPoint, DWORD waitHint) {
  if (report(state, controls, checkPoint, waitHint)) return true;
  setEvents();
  return false;
}

bool isAdministrator() {
  SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                0, 0, 0, 0, 0, 0, &administrators))
    return false;
  // CheckTokenMembership with a null token looks at the thread's token, or the process's when
  // the thread has none.
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

enum class Mode { kInstall, kRemove };

bool preCheck(Mode mode, const wchar_t* name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    if (GetLastError() == ERROR_ACCESS_DENIED) {
      say("Install/remove of the Service Denied!\n");
      if (!isAdministrator())
        say("That operation should be made by an user with Administrator privileges!\n");
    } else {
      say("There is a problem for to open the Service Control Dictionary!\n");
    }
    return false;
  }
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
  bool pass = false;
  if (mode == Mode::kInstall) {
    if (!service) {
      pass = true;
    } else {
      say("The service already exists!\n");
      union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[4096];
      } buffer;
      DWORD needed = 0;
      std::string path;
      if (QueryServiceConfigW(service, &buffer.config, sizeof buffer, &needed) &&
          buffer.config.lpBinaryPathName) {
        const wchar_t* wide = buffer.config.lpBinaryPathName;
        const int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        if (size > 0) {
          path.resize(static_cast<std::size_t>(size));
          WideCharToMultiByte(CP_ACP, 0, wide, -1, &path[0], size, nullptr, nullptr);
          path.resize(static_cast<std::size_t>(size - 1));
        }
      }
      std::printf("The current server installed: %s\n", path.c_str());
      std::fflush(stdout);
    }
  } else if (!service) {
    say("The service doesn't exist!\n");
  } else {
    SERVICE_STATUS status;
    if (QueryServiceStatus(service, &status)) {
      if (status.dwCurrentState == SERVICE_RUNNING) {
        say("Failed to remove the service because the service is running\n"
            "Stop the service and try again\n");
      } else if (status.dwCurrentState == SERVICE_STOP_PENDING) {
        say("Failed to remove the service because the service is in stop pending state!\n"
            "Wait 30 seconds and try again.\n"
            "If this condition persist, reboot the machine and try again\n");
      } else {
        pass = true;
      }
    }
  }
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return pass;
}

void WINAPI controlHandler(DWORD control) {
  bool ok;
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    g_state = SERVICE_STOP_PENDING;
    ok = report(SERVICE_STOP_PENDING, kAllControls, 1, 86400000);
    // A host that watches no event of its own is stopped here.
    const bool event = g_shutdownEvent != nullptr;
    setEvents();
    if (!event) {
      ServiceSystem::shutdownSystem();
      service_detail::honourStopRequest();
    }
  } else {
    const DWORD state = g_state;
    ok = report(state, state == SERVICE_START_PENDING ? 0 : kAllControls, 0, 0);
  }
  if (!ok) setEvents();
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
  g_statusHandle = RegisterServiceCtrlHandlerW(g_name, controlHandler);
  if (!g_statusHandle) {
    exitService(GetLastError());
    return;
  }
  g_state = SERVICE_START_PENDING;
  if (!reportOrStop(SERVICE_START_PENDING, 0, 1, 8000)) {
    exitService(GetLastError());
    return;
  }
  g_terminateEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_terminateEvent) {
    exitService(GetLastError());
    return;
  }
  if (!reportOrStop(SERVICE_START_PENDING, 0, 3, 15000)) {
    exitService(GetLastError());
    return;
  }
  const uintptr_t thread = _beginthread(g_worker, 0, nullptr);
  if (thread == static_cast<uintptr_t>(-1)) {
    exitService(GetLastError());
    return;
  }
  // _beginthread's handle closes itself when the thread ends: wait on a copy of our own.
  HANDLE worker = nullptr;
  DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(thread), GetCurrentProcess(),
                  &worker, 0, FALSE, DUPLICATE_SAME_ACCESS);
  g_workerThread = worker;
  g_state = SERVICE_RUNNING;
  if (!reportOrStop(SERVICE_RUNNING, kAllControls, 0, 0)) {
    if (worker) WaitForSingleObject(worker, INFINITE);
    exitService(GetLastError());
    return;
  }
  WaitForSingleObject(g_terminateEvent, INFINITE);
  if (worker) WaitForSingleObject(worker, INFINITE);
  exitService(0);
  g_workerThread = nullptr;
  if (worker) CloseHandle(worker);
}

}  // namespace

void service_detail::setTestHooks(const std::string&, const std::string&, const std::string&,
                                  const std::vector<std::string>&) {}

// The run-time library calls signal functions on ordinary threads (a console's Ctrl handler
// thread) or on the thread that raised the signal.
bool service_detail::signalBlocked(int) {
  return false;
}
// The host system's ticks carry stop requests out; there is no loop to wake, but a host that
// waits idle is asked for a pass. Windows runs signal functions and console handlers on threads
// of their own, never inside another thread's code, so this may take the host's lock.
void service_detail::wake() {
  nudgeHost();
}
// wake's pass carries the request out; there is no thread to ask.
void service_detail::wakeSignalThread() {}
bool service_detail::runningAsService() {
  return g_statusHandle != nullptr;
}
bool service_detail::stopping() {
  return false;
}

bool service_detail::stopControl() {
  return false;
}
bool service_detail::notify(const std::string&) {
  return false;
}

int isService(const wchar_t* name) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (!manager) return 0;
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return service ? 1 : 0;
}

int serviceInitialize(const wchar_t* name, void* worker) {
  // The name's buffer holds 260 characters; a longer name cannot be a service's.
  if (!name || std::wcslen(name) > 260) return 0;
  std::wcscpy(g_name, name);
  g_worker = reinterpret_cast<void (*)(void*)>(worker);
  SERVICE_TABLE_ENTRYW table[] = {{g_name, serviceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 1 : 0;
}

namespace {

// One argument of a command line as the run-time library splits it: quoted when it has blanks,
// tabs or quotes (or is empty), with the backslashes before a quote doubled.
std::wstring quoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

}  // namespace

int service_detail::install(int startMode, const wchar_t* name, const wchar_t* displayName,
                            const wchar_t* program, const std::vector<std::wstring>& arguments,
                            const wchar_t* account, const wchar_t* password) {
  if (!program || !program[0]) {
    say("Failed to install the service (Couldn't create service)\n");
    return 0;
  }
  std::wstring command = L"\"" + std::wstring(program) + L"\"";
  for (const std::wstring& argument : arguments)
    command += L" " + quoteArgument(argument);
  return serviceInstall(startMode, name, displayName, command.c_str(), account, password);
}

int serviceInstall(int startMode, const wchar_t* name, const wchar_t* displayName,
                   const wchar_t* path, const wchar_t* account, const wchar_t* password) {
  if (!preCheck(Mode::kInstall, name)) return 0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    say("Failed to install the service (Couldn't open the SCM)\n");
    return 0;
  }
  SC_HANDLE service =
      CreateServiceW(manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                     startMode == 1 ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
                     SERVICE_ERROR_NORMAL, path, nullptr, nullptr, nullptr, account, password);
  if (service) {
    say("Service successfully installed.\n");
    CloseServiceHandle(service);
  } else {
    say("Failed to install the service (Couldn't create service)\n");
  }
  CloseServiceHandle(manager);
  return service ? 1 : 0;
}

int serviceRemove(const wchar_t* name) {
  if (!preCheck(Mode::kRemove, name)) return 0;
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    say("Failed to remove the service (Couldn't open the SCM)\n");
    return 0;
  }
  SC_HANDLE service = OpenServiceW(manager, name, DELETE);
  int result = 0;
  if (!service) {
    say("Failed to remove the service (Couldn't open the service)\n");
  } else {
    if (DeleteService(service)) {
      say("Service successfully removed.\n");
      result = 1;
    } else {
      say("Failed to remove the service\n");
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

void exitService(unsigned long code) {
  if (g_terminateEvent) {
    CloseHandle(g_terminateEvent);
    g_terminateEvent = nullptr;
  }
  if (g_statusHandle) {
    g_state = SERVICE_STOPPED;
    if (!report(SERVICE_STOPPED, kAllControls, 0, 0, code) && g_shutdownEvent)
      SetEvent(g_shutdownEvent);
  }
}

void stopService() {
  if (!report(SERVICE_STOP_PENDING, kAllControls, 1, 60000)) setEvents();
  setEvents();
  if (!report(SERVICE_STOPPED, kAllControls, 1, 1000)) setEvents();
}

void pauseService() {
  if (g_workerThread) SuspendThread(g_workerThread);
}

void resumeService() {
  if (g_workerThread) ResumeThread(g_workerThread);
}

// The worker is stopped from outside on Windows: it never has to wait for itself.
bool isServicePaused() {
  return false;
}
void waitWhileServicePaused() {}

void setShutdownEvent(void* event) {
  g_shutdownEvent = static_cast<HANDLE>(event);
}

}  // namespace vemo
