// The service host: arguments, signals and the shutdown of the host system on every platform;
// on Linux installing and removing systemd units through a stand-in systemctl, and the
// notification protocol spoken to a socket that the test binds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <thread>

#include "ServiceHooks.h"
#include "TestSupport.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/ServiceSystem.h"

#if defined(_WIN32)
#if !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace vemo {
namespace {

using tests::finishWithin;
using tests::LogCapture;

// Puts the statics back as they were at load, so that scenarios do not see each other.
struct HostStatics {
  HostStatics() { reset(); }
  ~HostStatics() { reset(); }
  static void reset() {
    ServiceSystem::_argc = 0;
    ServiceSystem::_argv = nullptr;
    ServiceSystem::_serviceStart = 0;
    MutexLock lock(ServiceSystem::_mutex);
    ServiceSystem::_hSystem = nullptr;
  }
};

TEST(ServiceSystem, ArgumentsSignalsAndShutdownOfTheHostSystem) {
  HostStatics statics;
  const wchar_t* const argv[] = {L"port=1", L"portx=1", L"port=8080", L"port=9090", L"name="};
  ServiceSystem::_argc = 5;
  ServiceSystem::_argv = argv;
  EXPECT_EQ(ServiceSystem::argc(), 5);
  EXPECT_EQ(ServiceSystem::argv(), argv);
  // The program name is never searched, a longer key does not match, the first match wins.
  EXPECT_STREQ(ServiceSystem::getArguments(L"port", L"80").getBuffer(), L"8080");
  EXPECT_STREQ(ServiceSystem::getArguments(L"name", L"x").getBuffer(), L"");
  EXPECT_STREQ(ServiceSystem::getArguments(L"por", L"none").getBuffer(), L"none");
  EXPECT_STREQ(ServiceSystem::getArguments(L"host", L"localhost").getBuffer(), L"localhost");
  ServiceSystem::_argc = 1;
  EXPECT_STREQ(ServiceSystem::getArguments(L"port", L"80").getBuffer(), L"80");

  ServiceSystem::setSystemName(L"gateway");
  EXPECT_STREQ(ServiceSystem::getSystemName().getBuffer(), L"gateway");
  ServiceSystem::setSupportAddress(L"support@example.org");
  EXPECT_STREQ(ServiceSystem::getSupportAddress().getBuffer(), L"support@example.org");

  // A stop asked for before the host system runs waits for it, then ends its run.
  Unknown::Handle_T<ServiceSystem> host = ServiceSystem::createInstance();
  {
    MutexLock lock(ServiceSystem::_mutex);
    ServiceSystem::_hSystem = host;
  }
  EXPECT_EQ(ServiceSystem::getSystem().get(), host.get());
  ASSERT_TRUE(host->load());
  LogCapture log;
  std::atomic<bool> signalled{false};
  std::thread stopper([&] {
    ServiceSystem::signal(SIGINT);
    signalled = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(signalled.load());
  EXPECT_EQ(host->getState(), System::ES_LOADED);
  finishWithin(std::chrono::seconds(20), "the host system's run", [&] {
    ServiceSystem::_serviceStart = 1;
    host->start();  // returns once the signal has shut it down
  });
  stopper.join();
  EXPECT_EQ(host->getState(), System::ES_SHUTDOWN);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], L"CTRL+C signal.");

  // Once stopping, the host system is not touched again.
  host->unload();
  ASSERT_TRUE(host->load());
  ServiceSystem::_serviceStart = 2;
  EXPECT_TRUE(ServiceSystem::shutdownSystem());
  EXPECT_EQ(host->getState(), System::ES_LOADED);

  const int numbers[] = {
    SIGILL,
    SIGFPE,
    SIGSEGV,
    SIGTERM,
    SIGABRT,
#if defined(SIGBREAK)
    SIGBREAK,
#else
    SIGQUIT,
#endif
    12345,
    -1
  };
  for (int number : numbers)
    ServiceSystem::signal(number);
  const std::vector<std::wstring> texts = {
      L"CTRL+C signal.",          L"Illegal instruction.", L"Floating-point error.",
      L"Illegal storage access.", L"Termination request.", L"Abnormal termination.",
      L"Ctrl-Break sequence",     L"Unknown signal.",      L"Unknown signal."};
  EXPECT_EQ(log.lines, texts);
  EXPECT_EQ(host->getState(), System::ES_LOADED);

  // Without a host system a stop is a no-op that still succeeds.
  HostStatics::reset();
  ServiceSystem::_serviceStart = 1;
  EXPECT_TRUE(ServiceSystem::shutdownSystem());
}

TEST(ServiceSystem, NotStartedByTheServiceManager) {
#if defined(_WIN32)
  // The dispatcher fails at once outside the service control manager (Wine included).
#else
  tests::ScopedVariable none("NOTIFY_SOCKET", "");
  unsetenv("NOTIFY_SOCKET");
#endif
  static std::atomic<int> runs{0};
  void (*worker)(void*) = [](void*) { ++runs; };
  EXPECT_EQ(serviceInitialize(L"vemo-test", reinterpret_cast<void*>(worker)), 0);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(serviceInitialize(std::wstring(300, L'a').c_str(), reinterpret_cast<void*>(worker)), 0);
}

// What a call printed, its result checked.
std::string captured(const std::function<int()>& call, int expected) {
  testing::internal::CaptureStdout();
  const int result = call();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, expected) << out;
  return out;
}

#if defined(_WIN32)
// Install and remove through the service control manager (Wine has one). Removing a running
// or stopping service needs a service process of its own and is not exercised here.
TEST(ServiceInstall, InstallSecondInstallAndRemoveThroughTheServiceControlManager) {
  const wchar_t* name = L"vemo-test";
  const wchar_t* path = L"C:\\Program Files\\vemo\\host.exe";
  EXPECT_EQ(isService(name), 0);
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0), "The service doesn't exist!\n");
  EXPECT_EQ(
      captured([&] { return serviceInstall(0, name, L"Test host", path, nullptr, nullptr); }, 1),
      "Service successfully installed.\n");
  EXPECT_EQ(isService(name), 1);
  EXPECT_EQ(
      captured(
          [&] { return serviceInstall(1, name, L"Other", L"C:\\other.exe", nullptr, nullptr); }, 0),
      "The service already exists!\nThe current server installed: C:\\Program "
      "Files\\vemo\\host.exe\n");
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 1), "Service successfully removed.\n");
  EXPECT_EQ(isService(name), 0);
}

// Started by the service control manager with this argument, the test program is the service:
// its worker waits for the shutdown event, then the program ends before any test runs.
HANDLE g_childStop = nullptr;
const bool g_serviceChild = [] {
  if (__argc < 2 || std::strcmp(__argv[1], "--vemo-service-child") != 0) return false;
  g_childStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  setShutdownEvent(g_childStop);
  void (*worker)(void*) = [](void*) { WaitForSingleObject(g_childStop, 60000); };
  std::_Exit(serviceInitialize(L"vemo-run", reinterpret_cast<void*>(worker)) ? 0 : 3);
}();

DWORD waitForState(SC_HANDLE service, DWORD wanted) {
  SERVICE_STATUS status = {};
  for (int i = 0; i < 600; ++i) {
    if (!QueryServiceStatus(service, &status)) return 0;
    if (status.dwCurrentState == wanted) break;
    Sleep(50);
  }
  return status.dwCurrentState;
}

TEST(ServiceRun, RemoveRefusedWhileRunningThenStopAndRemove) {
  wchar_t program[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
  const std::wstring command = L"\"" + std::wstring(program) + L"\" --vemo-service-child";
  const wchar_t* name = L"vemo-run";
  ASSERT_EQ(
      captured([&] { return serviceInstall(0, name, L"Run", command.c_str(), nullptr, nullptr); },
               1),
      "Service successfully installed.\n");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service =
      OpenServiceW(manager, name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  EXPECT_EQ(waitForState(service, SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0),
            "Failed to remove the service because the service is running\n"
            "Stop the service and try again\n");
  SERVICE_STATUS status = {};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_EQ(waitForState(service, SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 1), "Service successfully removed.\n");
}
#endif

#if !defined(_WIN32)

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A unit directory, a stand-in systemctl that notes its arguments and answers is-active from a
// file, and a marker for "systemd is running".
struct FakeSystemd {
  FakeSystemd() {
    root = fs::temp_directory_path() / ("vemo-service-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "units");
    writeFile(root / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + (root / "calls").string() +
                                      "'\nif [ \"$1\" = is-active ]; then cat '" +
                                      (root / "state").string() + "'; fi\n[ -e '" +
                                      (root / "fail").string() + "' ] && exit 1\nexit 0\n");
    fs::permissions(root / "systemctl", fs::perms::owner_all);
    setState("inactive");
    service_detail::setTestHooks((root / "units").string(), (root / "systemctl").string(),
                                 (root / "running").string());
  }
  ~FakeSystemd() {
    service_detail::setTestHooks("", "", "");
    fs::remove_all(root);
  }
  void setState(const std::string& state) { writeFile(root / "state", state + "\n"); }
  std::string takeCalls() {
    std::string calls = readFile(root / "calls");
    fs::remove(root / "calls");
    return calls;
  }
  fs::path root;
};

TEST(ServiceInstall, InstallSecondInstallAndRemoveInEveryState) {
  FakeSystemd systemd;
  const wchar_t* name = L"vemo-test";
  auto install = [&] {
    return serviceInstall(1, name, L"Test 100% host", L"/opt/my host/bin/host$1", L"daemon", L"pw");
  };
  // Without systemd there is no one to install for.
  EXPECT_EQ(captured(install, 0),
            "There is a problem for to open the Service Control Dictionary!\n");
  writeFile(systemd.root / "running", "");
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0), "The service doesn't exist!\n");
  EXPECT_EQ(isService(name), 0);

  EXPECT_EQ(captured(install, 1), "Service successfully installed.\n");
  EXPECT_EQ(systemd.takeCalls(), "daemon-reload\nenable vemo-test.service\n");
  EXPECT_EQ(isService(name), 1);
  const fs::path unit = systemd.root / "units" / "vemo-test.service";
  EXPECT_EQ(readFile(unit),
            "[Unit]\nDescription=Test 100%% host\n\n[Service]\nType=notify\n"
            "ExecStart=\"/opt/my host/bin/host$1\"\nUser=daemon\n\n"
            "[Install]\nWantedBy=multi-user.target\n");
  EXPECT_EQ(fs::status(unit).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);

  // The second install names the program installed and changes nothing.
  EXPECT_EQ(
      captured([&] { return serviceInstall(0, name, L"Other", L"/bin/other", nullptr, nullptr); },
               0),
      "The service already exists!\nThe current server installed: /opt/my host/bin/host$1\n");
  EXPECT_EQ(systemd.takeCalls(), "");

  systemd.setState("active");
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0),
            "Failed to remove the service because the service is running\n"
            "Stop the service and try again\n");
  systemd.setState("deactivating");
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0),
            "Failed to remove the service because the service is in stop pending state!\n"
            "Wait 30 seconds and try again.\n"
            "If this condition persist, reboot the machine and try again\n");
  EXPECT_EQ(systemd.takeCalls(), "is-active vemo-test.service\nis-active vemo-test.service\n");
  EXPECT_EQ(isService(name), 1);

  // A state that cannot be asked fails without a word.
  service_detail::setTestHooks((systemd.root / "units").string(),
                               (systemd.root / "missing-systemctl").string(),
                               (systemd.root / "running").string());
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0), "");
  service_detail::setTestHooks((systemd.root / "units").string(),
                               (systemd.root / "systemctl").string(),
                               (systemd.root / "running").string());

  systemd.setState("inactive");
  writeFile(systemd.root / "fail", "");  // systemctl disable fails: the unit stays
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0),
            "Failed to remove the service (Couldn't open the service)\n");
  EXPECT_EQ(isService(name), 1);
  fs::remove(systemd.root / "fail");
  systemd.takeCalls();
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 1), "Service successfully removed.\n");
  EXPECT_EQ(systemd.takeCalls(),
            "is-active vemo-test.service\ndisable vemo-test.service\ndaemon-reload\n");
  EXPECT_EQ(isService(name), 0);
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));

  // On demand, with a watchdog and no account; a failing enable leaves nothing behind.
  setServiceWatchdog(30);
  EXPECT_EQ(
      captured([&] { return serviceInstall(0, name, L"Host", L"/bin/host", L"", nullptr); }, 1),
      "Service successfully installed.\n");
  setServiceWatchdog(0);
  EXPECT_EQ(systemd.takeCalls(), "daemon-reload\n");
  EXPECT_NE(readFile(unit).find("ExecStart=\"/bin/host\"\nWatchdogSec=30\n\n"), std::string::npos);
  fs::remove(unit);
  writeFile(systemd.root / "fail", "");
  EXPECT_EQ(captured(install, 0), "Failed to install the service (Couldn't create service)\n");
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));
  fs::remove(systemd.root / "fail");
  systemd.takeCalls();

  // Names that are no unit's.
  EXPECT_EQ(
      captured([&] { return serviceInstall(1, L"../x", L"X", L"/bin/x", nullptr, nullptr); }, 0),
      "Failed to install the service (Couldn't create service)\n");
  EXPECT_EQ(captured([&] { return serviceRemove(L""); }, 0), "The service doesn't exist!\n");
  EXPECT_EQ(systemd.takeCalls(), "");

  // A unit directory that may not be changed (the super-user may change any).
  if (::geteuid() != 0) {
    fs::permissions(systemd.root / "units", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(captured(install, 0),
              "Install/remove of the Service Denied!\n"
              "That operation should be made by an user with Administrator privileges!\n");
    fs::permissions(systemd.root / "units", fs::perms::owner_all);
  }
}

// systemd's own reading of the unit we write: a program path with a blank, a '%' and a '$',
// a watchdog and an account must come out as the program that exists.
TEST(ServiceInstall, SystemdAcceptsTheUnit) {
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  FakeSystemd systemd;
  writeFile(systemd.root / "running", "");
  const fs::path program = systemd.root / "my 100% $HOME";
  fs::create_symlink("/bin/true", program);
  setServiceWatchdog(10);
  EXPECT_EQ(captured(
                [&] {
                  return serviceInstall(0, L"vemo-verify", L"Verify 50% \\",
                                        program.wstring().c_str(), L"root", nullptr);
                },
                1),
            "Service successfully installed.\n");
  setServiceWatchdog(0);
  const std::string command = "systemd-analyze verify '" +
                              (systemd.root / "units" / "vemo-verify.service").string() + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe))
    output += buffer;
  EXPECT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output, "");
}

// A program path that is not UTF-8 (Latin-1 bytes) goes into the unit as C escapes, which
// systemd reads as the very bytes, and the installed program is named by the same bytes.
TEST(ServiceInstall, ProgramPathsThatAreNotUtf8) {
  FakeSystemd systemd;
  writeFile(systemd.root / "running", "");
  const std::string program = systemd.root.string() + "/caf\xE9 h\xF4te";
  fs::create_symlink("/bin/true", program);
  const std::wstring wide = systemd.root.wstring() + L"/caf\xDCE9 h\xDCF4te";
  EXPECT_EQ(captured(
                [&] {
                  return serviceInstall(0, L"vemo-latin", L"Latin", wide.c_str(), nullptr, nullptr);
                },
                1),
            "Service successfully installed.\n");
  const fs::path unit = systemd.root / "units" / "vemo-latin.service";
  EXPECT_NE(
      readFile(unit).find("\nExecStart=\"" + systemd.root.string() + "/caf\\xe9 h\\xf4te\"\n"),
      std::string::npos)
      << readFile(unit);
  EXPECT_EQ(
      captured([&] { return serviceInstall(0, L"vemo-latin", L"X", L"/bin/x", nullptr, nullptr); },
               0),
      "The service already exists!\nThe current server installed: " + program + "\n");

  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) return;
  const std::string command = "systemd-analyze verify '" + unit.string() + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe))
    output += buffer;
  EXPECT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output, "");
}

// The test's end of NOTIFY_SOCKET.
struct NotifySocket {
  explicit NotifySocket(const std::string& name) {
    descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
      address.sun_path[0] = '\0';
    else
      ::unlink(name.c_str());
    path = name[0] == '@' ? "" : name;
    EXPECT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0);
  }
  ~NotifySocket() {
    ::close(descriptor);
    if (!path.empty()) ::unlink(path.c_str());
  }
  // The next datagram, or "" when none comes within the time.
  std::string next(int ms = 20000) {
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[4096];
    const ssize_t n = ::recv(descriptor, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }
  int descriptor;
  std::string path;
};

Semaphore* g_stop = nullptr;
std::atomic<bool> g_workerSawStop{false};

TEST(ServiceRun, NotifySequenceAndTheStopControl) {
  const std::string path =
      (fs::temp_directory_path() / ("vemo-notify-" + std::to_string(::getpid()))).string();
  NotifySocket socket(path);
  tests::ScopedVariable variable("NOTIFY_SOCKET", path);
  Unknown::Handle_T<Semaphore> stop = Semaphore::createInstance();
  g_stop = stop.get();
  setShutdownEvent(stop.get());
  void (*worker)(void*) = [](void*) { g_workerSawStop = g_stop->wait(20000, false); };
  std::atomic<int> result{-1};
  std::thread host(
      [&] { result = serviceInitialize(L"vemo-test", reinterpret_cast<void*>(worker)); });
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");
  EXPECT_EQ(result.load(), -1);
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);  // the process lives on: the stop control
  EXPECT_EQ(socket.next(), "STOPPING=1\nSTATUS=stopping");
  finishWithin(std::chrono::seconds(20), "serviceInitialize", [&] { host.join(); });
  EXPECT_EQ(result.load(), 1);
  EXPECT_TRUE(g_workerSawStop.load());
  setShutdownEvent(nullptr);
  struct sigaction now;
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);  // given back
  EXPECT_EQ(socket.next(200), "");
}

// A host system that a paused service holds between ticks.
struct PausableHost : ServiceSystem {
  static Handle_T<PausableHost> create() { return Handle_T<PausableHost>(new PausableHost()); }
  void tick() override {
    waitWhileServicePaused();
    ServiceSystem::tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

TEST(ServiceRun, WatchdogOnlyWhileTheHostSystemTicksOverAnAbstractSocket) {
  HostStatics statics;
  const std::string name = "@vemo-notify-" + std::to_string(::getpid());
  NotifySocket socket(name);
  tests::ScopedVariable variable("NOTIFY_SOCKET", name);
  tests::ScopedVariable watchdog("WATCHDOG_USEC", "100000");
  tests::ScopedVariable pid("WATCHDOG_PID", std::to_string(::getpid()));
  Unknown::Handle_T<PausableHost> host = PausableHost::create();
  {
    MutexLock lock(ServiceSystem::_mutex);
    ServiceSystem::_hSystem = host;
  }
  Unknown::Handle_T<Semaphore> stop = Semaphore::createInstance();
  g_stop = stop.get();
  setShutdownEvent(stop.get());
  void (*worker)(void*) = [](void*) {
    Unknown::Handle_T<ServiceSystem> system = ServiceSystem::getSystem();
    std::thread watcher([] {
      g_stop->wait(20000, false);
      ServiceSystem::shutdownSystem();
    });
    system->load();
    ServiceSystem::_serviceStart = 1;
    system->start();
    ServiceSystem::_serviceStart = 2;
    watcher.join();
  };
  std::atomic<int> result{-1};
  std::thread service(
      [&] { result = serviceInitialize(L"vemo-test", reinterpret_cast<void*>(worker)); });
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");
  EXPECT_EQ(socket.next(), "WATCHDOG=1");
  EXPECT_EQ(socket.next(), "WATCHDOG=1");

  // Paused, the host system completes no tick and the watchdog falls silent.
  pauseService();
  EXPECT_TRUE(isServicePaused());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  while (!socket.next(50).empty()) {
  }
  EXPECT_EQ(socket.next(600), "");
  resumeService();
  EXPECT_EQ(socket.next(), "WATCHDOG=1");

  // A stop asked for by the host itself; a paused worker is let go as well.
  pauseService();
  stopService();
  EXPECT_FALSE(isServicePaused());
  std::string last;
  while ((last = socket.next()) == "WATCHDOG=1") {
  }
  EXPECT_EQ(last, "STOPPING=1\nSTATUS=stopping");
  finishWithin(std::chrono::seconds(20), "serviceInitialize", [&] { service.join(); });
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(host->getState(), System::ES_SHUTDOWN);
  setShutdownEvent(nullptr);
}

#endif

}  // namespace
}  // namespace vemo
