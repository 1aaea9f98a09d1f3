// NetChild.h on POSIX systems: posix_spawn, the output read through a pipe with poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "NetChild.h"

extern char** environ;

namespace nettest {

struct Child::Process {
  pid_t pid = -1;
  int out = -1;
  std::string buffer;
};

Child::Child(const std::vector<std::string>& args, const std::vector<std::string>& env)
    : _process(new Process()) {
  std::vector<char*> environment;
  for (const std::string& entry : env)
    environment.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry; ++entry) {
    const std::string name = std::string(*entry).substr(0, std::string(*entry).find('='));
    bool replaced = false;
    for (const std::string& mine : env)
      replaced = replaced || mine.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) environment.push_back(*entry);
  }
  environment.push_back(nullptr);
  int fds[2];
  if (pipe(fds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> argv;
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&_process->pid, argv[0], &actions, nullptr, argv.data(), environment.data()) != 0)
    _process->pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  _process->out = fds[0];
}

Child::~Child() {
  if (_process->pid > 0) {
    kill(_process->pid, SIGKILL);
    wait();
  }
  if (_process->out >= 0) close(_process->out);
}

bool Child::started() const {
  return _process->pid > 0;
}

std::string Child::line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string& buffer = _process->buffer;
  for (;;) {
    const auto end = buffer.find('\n');
    if (end != std::string::npos) {
      std::string text = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return text;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::string();
    pollfd item{_process->out, POLLIN, 0};
    if (poll(&item, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t got = read(_process->out, chunk, sizeof chunk);
    if (got <= 0) return std::string();
    buffer.append(chunk, static_cast<std::size_t>(got));
  }
}

void Child::killHard() {
  if (_process->pid > 0) kill(_process->pid, SIGKILL);
}

int Child::wait() {
  if (_process->pid <= 0) return -1;
  int status = 0;
  while (waitpid(_process->pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  _process->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nettest
