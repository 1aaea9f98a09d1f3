// A peer process of the net tests (NetPeer) with its standard output read line by line, each
// wait bounded by a deadline that fails the test instead of hanging it. POSIX: NetChild_posix.cpp,
// Windows: NetChild_win32.cpp.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace nettest {

class Child {
 public:
  // `env`: "NAME=value" entries that the child's environment gets beside (or instead of) the
  // test's own (POSIX only).
  explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // Kills the process if it still runs.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const;
  // The next line, or "" (after `timeout`, or at the end of the output).
  std::string line(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void killHard();
  // The exit status, or -1 (killed, or not started).
  int wait();

 private:
  struct Process;
  std::unique_ptr<Process> _process;
};

}  // namespace nettest
