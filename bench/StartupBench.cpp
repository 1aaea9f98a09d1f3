// How long a host program takes from exec to READY=1: this benchmark program started again as
// a ServiceApplication host under a notify socket of its own (the service manager's view of a
// start), beside the reference from the same run: the same program that only loads the library
// and exits. Each figure is the median of the iterations, in milliseconds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vemo/core/ServiceApplication.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The host the child runs: it sleeps between its passes, as a real service host does.
struct Host : vemo::ServiceSystem {
  static Handle_T<vemo::ServiceSystem> create() { return Handle_T<ServiceSystem>(new Host()); }
  bool init() override {
    if (!ServiceSystem::init()) return false;
    setIdleWait(true);
    return true;
  }
};

// Started with VEMO_STARTUP_CHILD set, this program is the child before any benchmark runs.
const bool g_child = [] {
  const char* mode = std::getenv("VEMO_STARTUP_CHILD");
  if (!mode) return false;
  if (std::strcmp(mode, "load") == 0) std::_Exit(0);
  vemo::ServiceApplication app(L"vemo-startup", L"start-up benchmark", &Host::create);
  char name[] = "StartupBench";
  char* argv[] = {name, nullptr};
  std::_Exit(app.run(1, argv));
}();

struct NotifySocket {
  NotifySocket() {
    path = "/tmp/vemo-startup-" + std::to_string(::getpid());
    descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ::unlink(path.c_str());
    ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~NotifySocket() {
    ::close(descriptor);
    ::unlink(path.c_str());
  }
  // Waits for READY=1 (10 s at most); false when it did not come.
  bool waitReady() {
    timeval limit{10, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[512];
    for (;;) {
      const ssize_t n = ::recv(descriptor, buffer, sizeof buffer - 1, 0);
      if (n <= 0) return false;
      if (std::strncmp(buffer, "READY=1", 7) == 0) return true;
    }
  }
  std::string path;
  int descriptor;
};

pid_t spawnSelf(const std::vector<std::string>& variables) {
  std::vector<std::string> environment(variables);
  for (char** variable = environ; *variable; ++variable)
    if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) environment.push_back(*variable);
  std::vector<char*> envp;
  for (std::string& variable : environment)
    envp.push_back(&variable[0]);
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ::posix_spawn(&pid, self, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void reportMedian(benchmark::State& state, std::vector<double>& ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["min_ms"] = ms.front();
}

void BM_ExecToReady(benchmark::State& state) {
  NotifySocket socket;
  std::vector<double> ms;
  for (auto _ : state) {
    const auto begin = Clock::now();
    const pid_t pid = spawnSelf({"VEMO_STARTUP_CHILD=host", "NOTIFY_SOCKET=" + socket.path});
    if (!socket.waitReady()) {
      state.SkipWithError("no READY=1 within 10 s");
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      break;
    }
    const double took = std::chrono::duration<double>(Clock::now() - begin).count();
    state.SetIterationTime(took);
    ms.push_back(took * 1000);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  reportMedian(state, ms);
}
BENCHMARK(BM_ExecToReady)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// Reference: exec of the same program, which loads the library and exits.
void BM_ExecLoadOnly(benchmark::State& state) {
  std::vector<double> ms;
  for (auto _ : state) {
    const auto begin = Clock::now();
    const pid_t pid = spawnSelf({"VEMO_STARTUP_CHILD=load"});
    ::waitpid(pid, nullptr, 0);
    const double took = std::chrono::duration<double>(Clock::now() - begin).count();
    state.SetIterationTime(took);
    ms.push_back(took * 1000);
  }
  reportMedian(state, ms);
}
BENCHMARK(BM_ExecLoadOnly)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
