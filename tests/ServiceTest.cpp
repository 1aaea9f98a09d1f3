// The service host: arguments, signals and the shutdown of the host system on every platform;
// on Linux installing and removing systemd units through a stand-in systemctl, and the
// notification protocol spoken to a socket that the test binds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "ServiceHooks.h"
#include "TestSupport.h"
#include "vemo/core/Log.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/ServiceApplication.h"
#include "vemo/core/ServiceSystem.h"
#include "vemo/core/Tick.h"

#if defined(_WIN32)
#if !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;
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
    // A stop asked for and not carried out yet is carried out by a host system of its own.
    Unknown::Handle_T<ServiceSystem> sink = ServiceSystem::createInstance();
    {
      MutexLock lock(ServiceSystem::_mutex);
      ServiceSystem::_hSystem = sink;
    }
    sink->load();
    ServiceSystem::_serviceStart = 1;
    sink->tick();
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

  // A stop asked for before the host system runs returns at once and is kept for the run,
  // which it ends at its first tick.
  Unknown::Handle_T<ServiceSystem> host = ServiceSystem::createInstance();
  {
    MutexLock lock(ServiceSystem::_mutex);
    ServiceSystem::_hSystem = host;
  }
  EXPECT_EQ(ServiceSystem::getSystem().get(), host.get());
  LogCapture log;
  finishWithin(std::chrono::seconds(20), "a stop asked for before the run",
               [&] { ServiceSystem::signal(SIGINT); });
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], L"CTRL+C signal.");
  ASSERT_TRUE(host->load());
  finishWithin(std::chrono::seconds(20), "the host system's run", [&] {
    ServiceSystem::_serviceStart = 1;
    host->start();  // returns once the stop has ended it
  });
  EXPECT_EQ(host->getState(), System::ES_SHUTDOWN);
  ASSERT_EQ(log.lines.size(), 1u);

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

  // Without a host system a stop still succeeds; it waits for one.
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

// Started by the service control manager with this argument, the test program is a host
// written with ServiceApplication: the manager's stop ends its host system, which watches no
// event of its own.
struct WindowsAppHost : ServiceSystem {
  static Handle_T<ServiceSystem> create() { return Handle_T<ServiceSystem>(new WindowsAppHost()); }
  bool init() override { return ServiceSystem::init() && Yield::createInstance()->start(this); }
};
const bool g_serviceAppChild = [] {
  if (__argc < 2 || std::strcmp(__argv[1], "--vemo-service-app-child") != 0) return false;
  ServiceApplication app(L"vemo-app", L"ServiceApplication test", &WindowsAppHost::create);
  std::_Exit(app.run(__argc, __argv));
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

TEST(ServiceApplication, StartAndStopThroughTheServiceControlManager) {
  wchar_t program[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
  const std::wstring command = L"\"" + std::wstring(program) + L"\" --vemo-service-app-child";
  const wchar_t* name = L"vemo-app";
  ASSERT_EQ(
      captured([&] { return serviceInstall(0, name, L"App", command.c_str(), nullptr, nullptr); },
               1),
      "Service successfully installed.\n");
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE service =
      OpenServiceW(manager, name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  ASSERT_NE(service, nullptr);
  ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  EXPECT_EQ(waitForState(service, SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
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

// What `systemd-analyze verify` says of a unit file: "" when it accepts it; "skipped" where the
// program is not installed.
std::string systemdVerdict(const fs::path& unit) {
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0) return "skipped";
  const std::string command = "systemd-analyze verify '" + unit.string() + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe))
    output += buffer;
  const int status = ::pclose(pipe);
  return status == 0 ? output : "status " + std::to_string(status) + ": " + output;
}

// Every unit written into `directory` is one that systemd accepts.
void expectSystemdAccepts(const fs::path& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string verdict = systemdVerdict(entry.path());
    if (verdict == "skipped") {
      std::printf("systemd-analyze is not installed: %s not verified\n", entry.path().c_str());
      continue;
    }
    EXPECT_EQ(verdict, "") << entry.path();
  }
}

// A unit directory, a directory of the distribution's units, a stand-in systemctl that notes
// its arguments and answers is-active from a file, and a marker for "systemd is running".
// Programs that units may name exist in bin/.
struct FakeSystemd {
  explicit FakeSystemd(const std::string& tag = "") {
    root = fs::temp_directory_path() / ("vemo-service-" + tag + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "units");
    fs::create_directories(root / "vendor");
    fs::create_directories(root / "bin");
    writeFile(root / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + (root / "calls").string() +
                                      "'\nif [ \"$1\" = is-active ]; then cat '" +
                                      (root / "state").string() + "'; fi\n[ -e '" +
                                      (root / "fail").string() + "' ] && exit 1\nexit 0\n");
    fs::permissions(root / "systemctl", fs::perms::owner_all);
    setState("inactive");
    hook();
  }
  ~FakeSystemd() {
    service_detail::setTestHooks("", "", "");
    fs::remove_all(root);
  }
  void hook(const std::string& systemctl = "systemctl") {
    service_detail::setTestHooks((root / "units").string(), (root / systemctl).string(),
                                 (root / "running").string(), {(root / "vendor").string()});
  }
  void setState(const std::string& state) { writeFile(root / "state", state + "\n"); }
  std::string takeCalls() {
    std::string calls = readFile(root / "calls");
    fs::remove(root / "calls");
    return calls;
  }
  // An executable program at `relative` under bin/ (its directories made); its full path.
  fs::path program(const std::string& relative) {
    const fs::path path = root / "bin" / fs::u8path(relative);
    fs::create_directories(path.parent_path());
    fs::create_symlink("/bin/true", path);
    return path;
  }
  fs::path root;
};

TEST(ServiceInstall, InstallSecondInstallAndRemoveInEveryState) {
  FakeSystemd systemd;
  const wchar_t* name = L"vemo-test";
  const fs::path host = systemd.program("my host/bin/host$1");
  auto install = [&] {
    return serviceInstall(1, name, L"Test 100% host", host.wstring().c_str(), L"daemon", L"pw");
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
            "ExecStart=\"" +
                host.string() +
                "\"\nUser=daemon\n\n"
                "[Install]\nWantedBy=multi-user.target\n");
  EXPECT_EQ(fs::status(unit).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  expectSystemdAccepts(systemd.root / "units");

  // The second install names the program installed and changes nothing.
  EXPECT_EQ(
      captured([&] { return serviceInstall(0, name, L"Other", L"/bin/other", nullptr, nullptr); },
               0),
      "The service already exists!\nThe current server installed: " + host.string() + "\n");
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
  systemd.hook("missing-systemctl");
  EXPECT_EQ(captured([&] { return serviceRemove(name); }, 0), "");
  systemd.hook();

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
      captured([&] { return serviceInstall(0, name, L"Host", L"/bin/true", L"", nullptr); }, 1),
      "Service successfully installed.\n");
  setServiceWatchdog(0);
  EXPECT_EQ(systemd.takeCalls(), "daemon-reload\n");
  EXPECT_NE(readFile(unit).find("ExecStart=\"/bin/true\"\nWatchdogSec=30\n\n"), std::string::npos);
  expectSystemdAccepts(systemd.root / "units");
  fs::remove(unit);
  writeFile(systemd.root / "fail", "");
  EXPECT_EQ(captured(install, 0), "Failed to install the service (Couldn't create service)\n");
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));
  fs::remove(systemd.root / "fail");
  systemd.takeCalls();

  // Names that are no unit's.
  EXPECT_EQ(
      captured([&] { return serviceInstall(1, L"../x", L"X", L"/bin/true", nullptr, nullptr); }, 0),
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

// A unit name has at most 255 bytes with its ".service": 247 characters are a service's name,
// 248 are not; the unit's file, and the temporary one it is written under, fit the directory.
TEST(ServiceInstall, LongestUnitName) {
  FakeSystemd systemd;
  writeFile(systemd.root / "running", "");
  const std::wstring longest(247, L'a');
  const std::wstring tooLong(248, L'a');
  EXPECT_EQ(
      captured(
          [&] { return serviceInstall(0, longest.c_str(), L"L", L"/bin/true", nullptr, nullptr); },
          1),
      "Service successfully installed.\n");
  EXPECT_EQ(isService(longest.c_str()), 1);
  EXPECT_TRUE(fs::exists(systemd.root / "units" / (std::string(247, 'a') + ".service")));
  EXPECT_EQ(
      captured(
          [&] { return serviceInstall(0, tooLong.c_str(), L"L", L"/bin/true", nullptr, nullptr); },
          0),
      "Failed to install the service (Couldn't create service)\n");
  EXPECT_EQ(isService(tooLong.c_str()), 0);
  EXPECT_EQ(captured([&] { return serviceRemove(tooLong.c_str()); }, 0),
            "The service doesn't exist!\n");
  EXPECT_EQ(captured([&] { return serviceRemove(longest.c_str()); }, 1),
            "Service successfully removed.\n");
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));
}

// Units of the distribution (or of other tools) in the other unit directories count: they are
// never shadowed by an installed unit nor removed.
TEST(ServiceInstall, UnitsInEveryDirectorySystemdLoadsFrom) {
  FakeSystemd systemd;
  writeFile(systemd.root / "running", "");
  writeFile(systemd.root / "vendor" / "systemd-journald.service",
            "[Service]\nExecStart=/lib/systemd/systemd-journald\n");
  writeFile(systemd.root / "vendor" / "getty@.service", "[Service]\nExecStart=-/sbin/agetty\n");
  EXPECT_EQ(isService(L"systemd-journald"), 1);
  EXPECT_EQ(isService(L"getty@tty1"), 1);
  EXPECT_EQ(isService(L"getty"), 0);
  EXPECT_EQ(captured(
                [&] {
                  return serviceInstall(1, L"systemd-journald", L"J", L"/bin/true", nullptr,
                                        nullptr);
                },
                0),
            "The service already exists!\n"
            "The current server installed: /lib/systemd/systemd-journald\n");
  EXPECT_EQ(
      captured(
          [&] { return serviceInstall(1, L"getty@tty1", L"G", L"/bin/true", nullptr, nullptr); },
          0),
      "The service already exists!\nThe current server installed: /sbin/agetty\n");
  EXPECT_EQ(captured([&] { return serviceRemove(L"systemd-journald"); }, 0),
            "Failed to remove the service (Couldn't open the service)\n");
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));
  EXPECT_TRUE(fs::exists(systemd.root / "vendor" / "systemd-journald.service"));
  EXPECT_EQ(systemd.takeCalls(), "");

  // The machine's own directories, where the distribution installed systemd's units.
  service_detail::setTestHooks("", "", "");
  if (fs::exists("/lib/systemd/system/systemd-journald.service") ||
      fs::exists("/usr/lib/systemd/system/systemd-journald.service")) {
    EXPECT_EQ(isService(L"systemd-journald"), 1);
  }
  EXPECT_EQ(isService(L"vemo-no-such-unit-here"), 0);
}

// Program paths that systemd would refuse or read otherwise are refused with the install's
// failure text and leave nothing behind; what is accepted is what systemd runs.
TEST(ServiceInstall, ProgramPathsThatSystemdTakesAsTheyAre) {
  FakeSystemd systemd;
  writeFile(systemd.root / "running", "");
  const wchar_t* refused[] = {L"bin/host",    L"host",
                              L"./host",      L"",
                              L"/bin/ho\"st", L"/bin/ho'st",
                              L"/bin/ho\\st", L"/bin/ho\nst",
                              L"/bin/ho\tst", L"/bin/../bin/true",
                              L"/bin/./true", L"//bin/true",
                              L"/bin//true",  L"/bin/true/",
                              L"/",           L"+/bin/true",
                              L"-/bin/true",  L"!/bin/true",
                              L"@/bin/true",  L":/bin/true",
                              L"!!/bin/true"};
  for (const wchar_t* path : refused) {
    EXPECT_EQ(
        captured([&] { return serviceInstall(0, L"vemo-path", L"P", path, nullptr, nullptr); }, 0),
        "Failed to install the service (Couldn't create service)\n")
        << tests::toPath(path);
  }
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));
  EXPECT_EQ(systemd.takeCalls(), "");

  // Blanks, '%', '$', a leading '-' in a later part and names that are not ASCII are taken.
  const fs::path program = systemd.program("dir 100% $HOME/-host Grüße");
  EXPECT_EQ(captured(
                [&] {
                  return serviceInstall(0, L"vemo-path", L"P", tests::toWide(program).c_str(),
                                        nullptr, nullptr);
                },
                1),
            "Service successfully installed.\n");
  expectSystemdAccepts(systemd.root / "units");
  EXPECT_EQ(
      captured([&] { return serviceInstall(0, L"vemo-path", L"P", L"/x", nullptr, nullptr); }, 0),
      "The service already exists!\nThe current server installed: " + program.string() + "\n");
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
  EXPECT_EQ(systemdVerdict(systemd.root / "units" / "vemo-verify.service"), "");
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
  // The next datagram that is not a watchdog's, or "" when none comes within the time.
  std::string nextBesidesWatchdog(int ms = 20000) {
    const auto begin = std::chrono::steady_clock::now();
    for (;;) {
      const long long left = ms - tests::millisecondsSince(begin);
      if (left <= 0) return std::string();
      std::string text = next(static_cast<int>(left));
      if (text != "WATCHDOG=1") return text;
    }
  }
  int descriptor;
  std::string path;
};

std::string socketPath(const char* tag) {
  return (fs::temp_directory_path() /
          ("vemo-notify-" + std::string(tag) + "-" + std::to_string(::getpid())))
      .string();
}

// A host system that gives the processor away between its passes (or, `idle`, sleeps until it
// is woken), notes when its first tick began and ended, and may be stuck in a tick for a while.
struct TestHost : ServiceSystem {
  static Handle_T<TestHost> create() { return Handle_T<TestHost>(new TestHost()); }
  bool init() override {
    if (initDelay) std::this_thread::sleep_for(std::chrono::milliseconds(initDelay));
    if (failInit || !ServiceSystem::init()) return false;
    if (idle) {
      setIdleWait(true);
      return true;
    }
    return Yield::createInstance()->start(this);
  }
  void tick() override {
    // Counted before the base tick, which is where the service hears of it (READY=1).
    ticks.fetch_add(1);
    ServiceSystem::tick();
    if (stuckFor.load() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(stuckFor.exchange(0)));
    }
  }
  int initDelay = 0;
  bool failInit = false;
  bool idle = false;
  std::atomic<int> ticks{0};
  std::atomic<int> stuckFor{0};
};

// The worker of a host program written with the functions alone: it runs the host system,
// which the service stops itself when no shutdown event is set.
void runHostSystem(void*) {
  Unknown::Handle_T<ServiceSystem> system = ServiceSystem::getSystem();
  system->load();
  ServiceSystem::_serviceStart = 1;
  system->start();
  ServiceSystem::_serviceStart = 2;
  system->unload();
}

// serviceInitialize on a thread of its own, with the variables systemd sets.
struct ServiceRunner {
  ServiceRunner(const std::string& socket, const std::string& watchdogUsec)
      : notify("NOTIFY_SOCKET", socket),
        usec("WATCHDOG_USEC", watchdogUsec),
        pid("WATCHDOG_PID", std::to_string(::getpid())) {}
  void start(void (*worker)(void*)) {
    thread = std::thread([this, worker] {
      result = serviceInitialize(L"vemo-test", reinterpret_cast<void*>(worker));
    });
  }
  void join() {
    finishWithin(std::chrono::seconds(20), "serviceInitialize", [&] { thread.join(); });
  }
  tests::ScopedVariable notify, usec, pid;
  std::thread thread;
  std::atomic<int> result{-2};
};

Unknown::Handle_T<TestHost> g_host;
std::atomic<bool> g_childVariables{true};
std::string g_workerName;  // written by the worker before READY=1, read after
std::atomic<bool> g_workerCrashStack{false};

void installHost(const Unknown::Handle_T<TestHost>& host) {
  MutexLock lock(ServiceSystem::_mutex);
  ServiceSystem::_hSystem = host;
  g_host = host;
}

// READY=1 only once the host system has completed a tick; children of the service do not see
// the variables; SIGTERM with no shutdown event stops the host system, and the handler that
// took it is given back.
TEST(ServiceRun, ReadyAfterTheFirstTickAndTheStopControlWithoutAnEvent) {
  HostStatics statics;
  const std::string path = socketPath("ready");
  NotifySocket socket(path);
  Unknown::Handle_T<TestHost> host = TestHost::create();
  host->initDelay = 300;
  installHost(host);
  ServiceRunner runner(path, "");
  runner.start([](void* argument) {
    g_childVariables =
        std::getenv("NOTIFY_SOCKET") || std::getenv("WATCHDOG_USEC") || std::getenv("WATCHDOG_PID");
    char name[16] = {};
    ::pthread_getname_np(::pthread_self(), name, sizeof name);
    g_workerName = name;
    stack_t crashStack{};
    g_workerCrashStack = ::sigaltstack(nullptr, &crashStack) == 0 &&
                         !(crashStack.ss_flags & SS_DISABLE) && crashStack.ss_size > 0;
    runHostSystem(argument);
  });
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");
  EXPECT_GE(host->ticks.load(), 1);
  EXPECT_EQ(host->getState(), System::ES_RUNNING);
  EXPECT_FALSE(g_childVariables.load());
  EXPECT_EQ(g_workerName, "vemo-service");
  EXPECT_TRUE(g_workerCrashStack.load());  // a stack overflow in the host can be reported
  EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
  EXPECT_EQ(runner.result.load(), -2);
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);  // the process lives on: the stop control
  EXPECT_EQ(socket.next(), "STOPPING=1\nSTATUS=stopping");
  runner.join();
  EXPECT_EQ(runner.result.load(), 1);
  EXPECT_EQ(host->getState(), System::ES_UNLOADED);
  struct sigaction now;
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);  // given back
  EXPECT_EQ(socket.next(200), "");
  g_host = nullptr;
}

// A host system whose init fails is never reported ready: serviceInitialize says so, after a
// status line with the reason, so that the program can exit with a failure.
TEST(ServiceRun, AHostThatNeverTicksIsNotReady) {
  HostStatics statics;
  const std::string path = socketPath("fail");
  NotifySocket socket(path);
  Unknown::Handle_T<TestHost> host = TestHost::create();
  host->failInit = true;
  installHost(host);
  ServiceRunner runner(path, "");
  runner.start(&runHostSystem);
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(),
            "STATUS=failed to start: the host system ended before it completed a tick");
  runner.join();
  EXPECT_EQ(runner.result.load(), -1);
  EXPECT_EQ(socket.next(200), "");
  g_host = nullptr;
}

// exitService from the worker ends the service loop; the loop's pipe is not closed under it, so
// descriptors that the worker opens afterwards keep their bytes.
TEST(ServiceRun, ExitServiceFromTheWorker) {
  HostStatics statics;
  const std::string path = socketPath("exit");
  NotifySocket socket(path);
  static std::string g_read;
  ServiceRunner runner(path, "");
  runner.start([](void*) {
    exitService(0);
    int ends[2];
    if (::pipe(ends) != 0) return;
    (void)!::write(ends[1], "abcdef", 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char buffer[16] = {};
    const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
    g_read.assign(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    ::close(ends[0]);
    ::close(ends[1]);
  });
  runner.join();
  EXPECT_EQ(g_read, "abcdef");
  EXPECT_EQ(runner.result.load(), -1);  // it ended before the host system ever ticked
  // A second service in the same process runs as the first did.
  ServiceRunner again(path, "");
  while (!socket.next(100).empty()) {
  }
  again.start([](void*) { exitService(0); });
  again.join();
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
}

void noSignal(int) {}

// Other signals interrupt the loop's wait; the watchdog still goes out at half its interval,
// also for a host that sleeps between its passes with nothing due (the loop asks it for a pass
// after each check, so a live host always has a tick to show).
TEST(ServiceRun, WatchdogWhileOtherSignalsArriveAndTheHostSleeps) {
  HostStatics statics;
  const std::string path = socketPath("eintr");
  NotifySocket socket(path);
  struct sigaction quiet {
  }, previous{};
  quiet.sa_handler = noSignal;
  sigemptyset(&quiet.sa_mask);
  ::sigaction(SIGUSR1, &quiet, &previous);
  Unknown::Handle_T<TestHost> host = TestHost::create();
  host->idle = true;
  installHost(host);
  ServiceRunner runner(path, "400000");
  runner.start(&runHostSystem);
  EXPECT_EQ(socket.nextBesidesWatchdog(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.nextBesidesWatchdog(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.nextBesidesWatchdog(), "READY=1\nSTATUS=running");
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    while (!done.load()) {
      ::pthread_kill(runner.thread.native_handle(), SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  });
  int watchdogs = 0;
  const auto begin = std::chrono::steady_clock::now();
  while (tests::millisecondsSince(begin) < 2000) {
    const std::string text = socket.next(100);
    if (text == "WATCHDOG=1") ++watchdogs;
  }
  done = true;
  interrupter.join();
  EXPECT_GE(watchdogs, 5);             // about ten: one per 200 ms
  EXPECT_LT(host->ticks.load(), 100);  // asleep between the checks, not polling
  stopService();
  runner.join();
  EXPECT_EQ(runner.result.load(), 1);
  ::sigaction(SIGUSR1, &previous, nullptr);
  g_host = nullptr;
}

// The first keep-alive of a host that sleeps between its passes comes half a watchdog interval
// after READY=1, well before the manager's first check at a whole interval.
TEST(ServiceRun, FirstWatchdogOfAnIdleHostComesHalfAnIntervalAfterReady) {
  HostStatics statics;
  const std::string path = socketPath("first");
  NotifySocket socket(path);
  Unknown::Handle_T<TestHost> host = TestHost::create();
  host->idle = true;
  installHost(host);
  ServiceRunner runner(path, "4000000");
  runner.start(&runHostSystem);
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");
  const auto ready = std::chrono::steady_clock::now();
  EXPECT_EQ(socket.next(), "WATCHDOG=1");
  const long long gap = tests::millisecondsSince(ready);
  EXPECT_LT(gap, 3500);  // 2000 ms due; the manager gives up at 4000
  stopService();
  runner.join();
  EXPECT_EQ(runner.result.load(), 1);
  g_host = nullptr;
}

// A manager whose socket is named relatively is not used; one that cannot be reached, or whose
// reader stopped reading, is warned of once by name while the service runs and stops as usual.
TEST(ServiceRun, AManagerThatCannotBeReachedNeverHoldsTheHost) {
  HostStatics statics;
  {
    LogCapture log;
    ServiceRunner relative("vemo-relative-socket", "");
    relative.start([](void*) {});
    relative.join();
    EXPECT_EQ(relative.result.load(), 0);  // the program runs in the foreground
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].rfind(L"NOTIFY_SOCKET=vemo-relative-socket is neither", 0), 0u);
  }
  const std::string missing = socketPath("missing");
  const std::string full = socketPath("full");
  NotifySocket socket(full);
  // The test fills the reader's queue: a manager that has stopped reading.
  const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, full.data(), full.size());
  ASSERT_EQ(::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  while (::send(sender, "x", 1, MSG_DONTWAIT) == 1) {
  }
  ::close(sender);
  for (const std::string& path : {missing, full}) {
    LogCapture log;
    Unknown::Handle_T<TestHost> host = TestHost::create();
    installHost(host);
    ServiceRunner runner(path, "2000");  // a keep-alive every millisecond
    runner.start(&runHostSystem);
    ASSERT_TRUE(tests::eventually([&] { return host->ticks.load() > 0; }));
    stopService();
    runner.join();
    EXPECT_EQ(runner.result.load(), 1) << path;
    EXPECT_EQ(host->getState(), System::ES_UNLOADED);
    ASSERT_EQ(log.lines.size(), 1u) << path;  // once, however many notifications failed
    EXPECT_EQ(
        log.lines[0].rfind(
            L"The service manager's socket " + tests::toWide(path) + L" cannot be reached (", 0),
        0u)
        << path;
    g_host = nullptr;
  }
}

// ServiceSystem::signal as the handler of a real signal, arriving while the interrupted thread
// holds the host system's own locks: it only notes the stop, which the host's tick carries out.
TEST(ServiceRun, SignalFromARealHandler) {
  HostStatics statics;
  Unknown::Handle_T<TestHost> host = TestHost::create();
  installHost(host);
  LogCapture log;
  struct sigaction handler {
  }, previous{};
  handler.sa_handler = &ServiceSystem::signal;
  sigemptyset(&handler.sa_mask);
  ::sigaction(SIGUSR2, &handler, &previous);
  ASSERT_TRUE(host->load());
  ServiceSystem::_serviceStart = 1;
  std::thread run([&] { host->start(); });
  ASSERT_TRUE(tests::eventually([&] { return host->ticks.load() > 0; }));
  std::atomic<bool> done{false};
  std::thread busy([&] {
    while (!done.load())
      host->waken();  // the host's semaphore, taken and left again and again
  });
  finishWithin(std::chrono::seconds(20), "signals handled by ServiceSystem::signal", [&] {
    for (int i = 0; i < 300; ++i) {
      ::pthread_kill(busy.native_handle(), SIGUSR2);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    run.join();
  });
  done = true;
  busy.join();
  ServiceSystem::_serviceStart = 2;
  EXPECT_EQ(host->getState(), System::ES_SHUTDOWN);
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines[0], L"Unknown signal.");
  ::sigaction(SIGUSR2, &previous, nullptr);
  g_host = nullptr;
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

Semaphore* g_stop = nullptr;

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
  std::atomic<int> result{-2};
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
  EXPECT_EQ(socket.nextBesidesWatchdog(), "STOPPING=1\nSTATUS=stopping");
  finishWithin(std::chrono::seconds(20), "serviceInitialize", [&] { service.join(); });
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(host->getState(), System::ES_SHUTDOWN);
  EXPECT_EQ(socket.next(200), "");  // STOPPING=1 once
  setShutdownEvent(nullptr);
}

// ---- a host program written with ServiceApplication, run as a child process ----

// The child: this test program started with VEMO_TEST_SERVICE_APP set runs a host with
// ServiceApplication before any test, and exits with its status.
std::atomic<int> g_appTicks{0};
std::atomic<int> g_appStuckFor{0};
std::atomic<bool> g_appGoOn{false};

struct AppHost : ServiceSystem {
  static Handle_T<ServiceSystem> create() { return Handle_T<ServiceSystem>(new AppHost()); }
  bool init() override {
    const char* mode = std::getenv("VEMO_TEST_SERVICE_APP");
    if (mode && std::strcmp(mode, "fail") == 0) return false;
    if (!ServiceSystem::init()) return false;
    if (mode && std::strcmp(mode, "mask") == 0) {
      // A child the host starts (not a shell, which clears the mask itself): its blocked
      // signals go to the test's pipe.
      pid_t child = -1;
      char grep[] = "grep", pattern[] = "SigBlk", file[] = "/proc/self/status";
      char* argv[] = {grep, pattern, file, nullptr};
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, 2, 1);
      if (::posix_spawnp(&child, "grep", &actions, nullptr, argv, environ) == 0)
        ::waitpid(child, nullptr, 0);
      posix_spawn_file_actions_destroy(&actions);
    }
    if (mode && std::strcmp(mode, "slowinit") == 0) {
      // Initialising until the test says go on (SIGUSR2).
      Log::message(L"host initialising");
      for (int i = 0; i < 20000 && !g_appGoOn.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ServiceApplication::extendStartTimeout(30000);
    Log::message(L"host running");
    if (mode && std::strcmp(mode, "idle") == 0) {
      // Nothing due: the host sleeps until woken. A thread of the program asks for the stop
      // when the test says so (SIGUSR2, blocked in every thread since the start and taken by
      // this one with sigtimedwait: a handler could run late, or never, on a thread that
      // sleeps in a wait a sanitizer does not see), once the host has said it is idle.
      setIdleWait(true);
      std::thread([] {
        sigset_t word;
        sigemptyset(&word);
        sigaddset(&word, SIGUSR2);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
          const auto left = deadline - std::chrono::steady_clock::now();
          if (left <= std::chrono::nanoseconds::zero()) break;
          const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
          const timespec wait{static_cast<time_t>(seconds.count()),
                              static_cast<long>((left - seconds).count())};
          if (::sigtimedwait(&word, nullptr, &wait) == SIGUSR2 || errno != EINTR) break;
        }
        ServiceSystem::shutdownSystem();
      }).detach();
      return true;
    }
    return Yield::createInstance()->start(this);
  }
  void tick() override {
    // Sent inside the first tick: the service manager must hear it before READY=1.
    const bool first = g_appTicks.fetch_add(1) == 0;
    if (first) ServiceApplication::setStatus(L"first tick");
    ServiceSystem::tick();
    const char* mode = std::getenv("VEMO_TEST_SERVICE_APP");
    if (first && mode && std::strcmp(mode, "idle") == 0) Log::message(L"host idle");
    if (const int ms = g_appStuckFor.exchange(0))
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

bool reloadApp() {
  ServiceApplication::setStatus(L"reloaded");
  return true;
}

// SIGUSR1 makes the host's loop stuck for 1.5 s; SIGUSR2 lets a slow init go on.
void stickApp(int) {
  g_appStuckFor = 1500;
}
void goOnApp(int) {
  g_appGoOn = true;
}

std::vector<std::string> commandLine() {
  std::vector<std::string> arguments;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string argument;
  while (std::getline(in, argument, '\0'))
    arguments.push_back(argument);
  return arguments;
}

const bool g_serviceAppChild = [] {
  const char* mode = std::getenv("VEMO_TEST_SERVICE_APP");
  if (!mode) return false;
  struct sigaction stick {};
  stick.sa_handler = stickApp;
  sigemptyset(&stick.sa_mask);
  ::sigaction(SIGUSR1, &stick, nullptr);
  stick.sa_handler = goOnApp;
  ::sigaction(SIGUSR2, &stick, nullptr);
  if (std::strcmp(mode, "idle") == 0) {
    // Before any thread starts: every thread inherits the mask, and the thread that waits for
    // the test's word takes it (see the host's init).
    sigset_t word;
    sigemptyset(&word);
    sigaddset(&word, SIGUSR2);
    ::pthread_sigmask(SIG_BLOCK, &word, nullptr);
  }
  if (const char* root = std::getenv("VEMO_TEST_SERVICE_ROOT"))
    service_detail::setTestHooks(std::string(root) + "/units", std::string(root) + "/systemctl",
                                 std::string(root) + "/running", {});
  std::vector<std::string> arguments = commandLine();
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  // "console": the program registers a console listener of its own, which then has the lines.
  std::optional<ScopedLogListener> console;
  if (std::strcmp(mode, "console") == 0) {
    ConsoleLogListener::Options options;
    options.timeStamp = false;
    console.emplace(ScopedLogListener::make<ConsoleLogListener>(options));
  }
  ServiceApplication app(L"vemo-app", L"ServiceApplication test", &AppHost::create);
  app.setReloadHandler(&reloadApp);
  app.setSupportAddress(L"support@example.org");
  std::fflush(stdout);
  std::_Exit(app.run(static_cast<int>(arguments.size()), argv.data()));
}();

// This test program as a child host with `mode`, the variables and the arguments; its standard
// error stream is read by the test.
struct AppChild {
  AppChild(const std::string& mode, const std::vector<std::string>& variables,
           const std::vector<std::string>& arguments = {}, bool journal = false) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    errors = ends[0];
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
      const std::string text = *variable;
      if (text.rfind("NOTIFY_SOCKET=", 0) != 0 && text.rfind("WATCHDOG_", 0) != 0 &&
          text.rfind("JOURNAL_STREAM=", 0) != 0)
        environment.push_back(text);
    }
    environment.push_back("VEMO_TEST_SERVICE_APP=" + mode);
    for (const std::string& variable : variables)
      environment.push_back(variable);
    if (journal) {
      struct stat info;
      ::fstat(ends[1], &info);
      environment.push_back("JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" +
                            std::to_string(info.st_ino));
    }
    std::vector<char*> envp;
    for (std::string& variable : environment)
      envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    std::vector<std::string> command = {"/proc/self/exe"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : command)
      argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
    EXPECT_EQ(::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
  }
  ~AppChild() {
    if (pid > 0 && status < 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::close(errors);
  }
  void signal(int number) { ::kill(pid, number); }
  // Reads what the child writes until `line` has appeared (true) or 20 s have passed (false).
  bool waitForLine(const std::string& line) {
    const auto begin = std::chrono::steady_clock::now();
    while (text.find(line) == std::string::npos) {
      const long long left = 20000 - tests::millisecondsSince(begin);
      pollfd ready = {errors, POLLIN, 0};
      if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::read(errors, buffer, sizeof buffer);
      if (n <= 0) return false;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  // The exit status once the child has ended (killed after 20 s), and what it wrote.
  int wait() {
    for (int i = 0; i < 2000 && status < 0; ++i) {
      int raw = 0;
      if (::waitpid(pid, &raw, WNOHANG) == pid) {
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        break;
      }
      tests::pause(10);
    }
    if (status < 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      status = 999;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(errors, buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<std::size_t>(n));
    return status;
  }
  pid_t pid = -1;
  int errors = -1;
  int status = -1;
  std::string text;
};

unsigned long long monotonicMicroseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
}

// Under a fake service manager: ready only after the first tick, the watchdog at half its
// interval also while other signals arrive, reloading around SIGHUP, a clean stop on SIGTERM,
// and log lines with the journal's priorities.
TEST(ServiceApplication, UnderAServiceManager) {
  const std::string path = socketPath("app");
  NotifySocket socket(path);
  AppChild child("run", {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=400000"}, {"port=8080"}, true);
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=30000000");  // asked for by the host's init
  EXPECT_EQ(socket.next(), "STATUS=first tick");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");

  // A signal with a handler of the program's own interrupts whatever thread it reaches: it may
  // not hold the watchdog back.
  int watchdogs = 0;
  const auto begin = std::chrono::steady_clock::now();
  long long lastSignal = -150;
  while (tests::millisecondsSince(begin) < 2000) {
    if (tests::millisecondsSince(begin) - lastSignal >= 150) {
      child.signal(SIGUSR2);
      lastSignal = tests::millisecondsSince(begin);
    }
    if (socket.next(50) == "WATCHDOG=1") ++watchdogs;
  }
  EXPECT_GE(watchdogs, 5);  // about ten, one per 200 ms

  // Stuck in a tick, the host's loop makes the watchdog fall silent; it pings again after.
  child.signal(SIGUSR1);
  auto last = std::chrono::steady_clock::now();
  long long longestGap = 0;
  while (tests::millisecondsSince(begin) < 5000) {
    if (socket.next(50) != "WATCHDOG=1") continue;
    longestGap = std::max(longestGap, tests::millisecondsSince(last));
    last = std::chrono::steady_clock::now();
  }
  EXPECT_GE(longestGap, 1200);
  EXPECT_LT(tests::millisecondsSince(last), 1000);  // alive again

  const unsigned long long before = monotonicMicroseconds();
  child.signal(SIGHUP);
  const std::string reloading = socket.nextBesidesWatchdog();
  const unsigned long long after = monotonicMicroseconds();
  ASSERT_EQ(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading;
  const unsigned long long stamp = std::stoull(reloading.substr(reloading.find('=', 12) + 1));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
  EXPECT_EQ(socket.nextBesidesWatchdog(), "STATUS=reloaded");
  EXPECT_EQ(socket.nextBesidesWatchdog(), "READY=1");

  child.signal(SIGTERM);
  EXPECT_EQ(socket.nextBesidesWatchdog(), "STOPPING=1\nSTATUS=stopping");
  EXPECT_EQ(child.wait(), 0) << child.text;
  EXPECT_NE(child.text.find("<6>host running\n"), std::string::npos) << child.text;
  EXPECT_NE(child.text.find("<6>vemo-app: reloading.\n"), std::string::npos) << child.text;
  EXPECT_NE(child.text.find("<4>Termination request.\n"), std::string::npos) << child.text;
  EXPECT_EQ(child.text.find("warning:"), std::string::npos) << child.text;
}

// A reload signal that arrives before the host runs is not a reload: no RELOADING=1, no early
// READY=1 (units that wait for this one would start before it has initialised).
TEST(ServiceApplication, AReloadSignalBeforeTheFirstTickIsIgnored) {
  const std::string path = socketPath("early");
  NotifySocket socket(path);
  AppChild child("slowinit", {"NOTIFY_SOCKET=" + path});
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  ASSERT_TRUE(child.waitForLine("host initialising\n")) << child.text;
  child.signal(SIGHUP);
  ASSERT_TRUE(child.waitForLine("vemo-app: not running, the reload signal is ignored.\n"))
      << child.text;
  child.signal(SIGUSR2);
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=30000000");
  EXPECT_EQ(socket.next(), "STATUS=first tick");
  EXPECT_EQ(socket.next(), "READY=1\nSTATUS=running");
  child.signal(SIGTERM);
  EXPECT_EQ(socket.nextBesidesWatchdog(), "STOPPING=1\nSTATUS=stopping");
  EXPECT_EQ(child.wait(), 0) << child.text;
  EXPECT_EQ(child.text.find("reloading"), std::string::npos) << child.text;
}

// The programs a host starts begin with no signal blocked, so that a stop reaches them.
TEST(ServiceApplication, ChildrenOfTheHostStartWithNoSignalBlocked) {
  AppChild child("mask", {});
  ASSERT_TRUE(child.waitForLine("host running\n")) << child.text;
  // The thread that takes the signals is named for what it does.
  std::set<std::string> names;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(child.pid) + "/task"))
    names.insert(readFile(task.path() / "comm"));
  EXPECT_EQ(names.count("vemo-signals\n"), 1u);
  child.signal(SIGINT);
  EXPECT_EQ(child.wait(), 0) << child.text;
  EXPECT_NE(child.text.find("SigBlk:\t0000000000000000\n"), std::string::npos) << child.text;
}

// A host whose init fails is never ready and ends with a failure, under a service manager and
// in the foreground alike.
TEST(ServiceApplication, AHostThatFailsToStart) {
  const std::string path = socketPath("appfail");
  NotifySocket socket(path);
  AppChild child("fail", {"NOTIFY_SOCKET=" + path});
  EXPECT_EQ(socket.next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  EXPECT_EQ(socket.next(), "EXTEND_TIMEOUT_USEC=15000000");
  EXPECT_EQ(socket.next(),
            "STATUS=failed to start: the host system ended before it completed a tick");
  EXPECT_EQ(child.wait(), 1) << child.text;
  EXPECT_EQ(socket.next(200), "");
  EXPECT_NE(child.text.find("error: vemo-app did not start.\n"), std::string::npos) << child.text;

  AppChild foreground("fail", {});
  EXPECT_EQ(foreground.wait(), 1) << foreground.text;
  EXPECT_NE(foreground.text.find("error: vemo-app did not start.\n"), std::string::npos)
      << foreground.text;
}

// In the foreground: Ctrl+C (SIGINT) stops the host cleanly, and so does SIGTERM; the log has
// words, not priorities.
TEST(ServiceApplication, InTheForeground) {
  for (int number : {SIGINT, SIGTERM, SIGQUIT}) {
    AppChild child("run", {});
    ASSERT_TRUE(child.waitForLine("host running\n")) << child.text;
    child.signal(number);
    EXPECT_EQ(child.wait(), 0) << child.text;
    const std::string text = number == SIGINT    ? "warning: CTRL+C signal.\n"
                             : number == SIGTERM ? "warning: Termination request.\n"
                                                 : "warning: Ctrl-Break sequence\n";
    EXPECT_NE(child.text.find("host running\n"), std::string::npos) << child.text;
    EXPECT_NE(child.text.find(text), std::string::npos) << child.text;
  }
}

// A host that waits idle, with nothing due, stops when a thread of the program asks for it
// (nothing wakes it but the request).
TEST(ServiceApplication, AnIdleHostStopsWhenAnotherThreadAsks) {
  AppChild child("idle", {});
  ASSERT_TRUE(child.waitForLine("host idle\n")) << child.text;
  child.signal(SIGUSR2);
  EXPECT_EQ(child.wait(), 0) << child.text;
}

// A program that registered a console listener has its lines written there, once each, in that
// listener's layout.
TEST(ServiceApplication, LeavesTheStandardErrorToTheProgramsConsoleListener) {
  AppChild child("console", {});
  ASSERT_TRUE(child.waitForLine("host running\n")) << child.text;
  child.signal(SIGINT);
  EXPECT_EQ(child.wait(), 0) << child.text;
  const std::size_t first = child.text.find("host running\n");
  ASSERT_NE(first, std::string::npos) << child.text;
  EXPECT_EQ(child.text.find("host running\n", first + 1), std::string::npos) << child.text;
  EXPECT_NE(child.text.find("message host running\n"), std::string::npos) << child.text;
  EXPECT_NE(child.text.find("warning CTRL+C signal.\n"), std::string::npos) << child.text;
}

// "install" with the program's own arguments: the unit runs this very program with them, as
// systemd reads them; "remove" removes it.
TEST(ServiceApplication, InstallAndRemoveFromTheCommandLine) {
  FakeSystemd systemd("app");
  writeFile(systemd.root / "running", "");
  AppChild install("install", {"VEMO_TEST_SERVICE_ROOT=" + systemd.root.string()},
                   {"install", "port=8080", "a \"quoted\" 100% $HOME\\", "caf\xE9"});
  EXPECT_EQ(install.wait(), 0) << install.text;
  const std::string unit = readFile(systemd.root / "units" / "vemo-app.service");
  EXPECT_NE(unit.find("ExecStart=\"" + fs::read_symlink("/proc/self/exe").string() +
                      "\" \"port=8080\" \"a \\\"quoted\\\" 100%% $$HOME\\\\\" \"caf\\xe9\"\n"),
            std::string::npos)
      << unit;
  expectSystemdAccepts(systemd.root / "units");
  EXPECT_EQ(systemd.takeCalls(), "daemon-reload\nenable vemo-app.service\n");
  AppChild again("install", {"VEMO_TEST_SERVICE_ROOT=" + systemd.root.string()}, {"install"});
  EXPECT_EQ(again.wait(), 1);
  AppChild remove("remove", {"VEMO_TEST_SERVICE_ROOT=" + systemd.root.string()}, {"remove"});
  EXPECT_EQ(remove.wait(), 0) << remove.text;
  EXPECT_TRUE(fs::is_empty(systemd.root / "units"));
}

#endif

}  // namespace
}  // namespace vemo
