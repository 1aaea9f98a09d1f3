// A child process of the examples: started with its arguments, killed outright, waited for.
#pragma once

#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts `program` with `args` (the program's own name not among them); running() tells
  // whether that worked.
  ChildProcess(const std::string& program, const std::vector<std::string>& args);
  // Kills a child still running and waits for it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const;
  // Ends the child at once (SIGKILL, TerminateProcess): it gets no chance to clean up.
  void kill();
  // Waits for the child to end: its exit status, or -1 when it was killed or never ran.
  int wait();

 private:
  struct Handle;
  Handle* _handle;
};

// The path of the running program, to start it again.
std::string ownProgram(const char* argv0);
