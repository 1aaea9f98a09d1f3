// A peer process of the net tests (NetPeer) with its standard output read line by line, each
// wait bounded by a deadline that fails the test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace nettest {

class Child {
 public:
  // `env`: "NAME=value" entries that the child's environment gets beside (or instead of) the
  // test's own.
  explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
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
    if (posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environment.data()) != 0)
      _pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    _out = fds[0];
  }
  ~Child() {
    if (_pid > 0) {
      kill(_pid, SIGKILL);
      wait();
    }
    if (_out >= 0) close(_out);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return _pid > 0; }
  // The next line, or "" (after `timeout`, or at the end of the output).
  std::string line(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto end = _buffer.find('\n');
      if (end != std::string::npos) {
        std::string text = _buffer.substr(0, end);
        _buffer.erase(0, end + 1);
        return text;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::string();
      pollfd item{_out, POLLIN, 0};
      if (poll(&item, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t got = read(_out, chunk, sizeof chunk);
      if (got <= 0) return std::string();
      _buffer.append(chunk, static_cast<std::size_t>(got));
    }
  }
  void killHard() {
    if (_pid > 0) kill(_pid, SIGKILL);
  }
  // The exit status, or -1 (killed by a signal, or not started).
  int wait() {
    if (_pid <= 0) return -1;
    int status = 0;
    while (waitpid(_pid, &status, 0) < 0)
      if (errno != EINTR) return -1;
    _pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t _pid = -1;
  int _out = -1;
  std::string _buffer;
};

}  // namespace nettest
