// ChildProcess on POSIX systems: posix_spawn, kill and waitpid.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "ChildProcess.h"

extern char** environ;

struct ChildProcess::Handle {
  pid_t pid = -1;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : _handle(new Handle()) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&_handle->pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    _handle->pid = -1;
}

ChildProcess::~ChildProcess() {
  if (_handle->pid > 0) {
    kill();
    wait();
  }
  delete _handle;
}

bool ChildProcess::running() const {
  return _handle->pid > 0;
}

void ChildProcess::kill() {
  if (_handle->pid > 0) ::kill(_handle->pid, SIGKILL);
}

int ChildProcess::wait() {
  if (_handle->pid <= 0) return -1;
  int status = 0;
  while (waitpid(_handle->pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  _handle->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ownProgram(const char* argv0) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string(argv0);
}
