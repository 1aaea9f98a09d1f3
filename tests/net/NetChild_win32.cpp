// NetChild.h on Windows: CreateProcess with the standard output on an anonymous pipe, which a
// thread of the child's own reads into a buffer that line() waits on.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "NetChild.h"

namespace nettest {

namespace {
// One argument of a command line, quoted as the C runtime's parser reads it back.
std::string quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    text += c;
  }
  text.append(2 * backslashes, '\\');
  return text + "\"";
}
}  // namespace

struct Child::Process {
  HANDLE process = nullptr;
  HANDLE out = nullptr;
  bool killed = false;
  std::thread reader;
  std::mutex lock;
  std::condition_variable more;
  std::string buffer;  // under lock
  bool ended = false;  // under lock: the pipe was closed
};

Child::Child(const std::vector<std::string>& args, const std::vector<std::string>&)
    : _process(new Process()) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE write = nullptr;
  if (!CreatePipe(&_process->out, &write, &inherit, 0)) return;
  SetHandleInformation(_process->out, HANDLE_FLAG_INHERIT, 0);
  std::string commandLine;
  for (const std::string& arg : args)
    commandLine += (commandLine.empty() ? "" : " ") + quote(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &info)) {
    CloseHandle(info.hThread);
    _process->process = info.hProcess;
  }
  CloseHandle(write);
  Process* process = _process.get();
  _process->reader = std::thread([process] {
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(process->out, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      std::lock_guard<std::mutex> guard(process->lock);
      process->buffer.append(chunk, got);
      process->more.notify_all();
    }
    std::lock_guard<std::mutex> guard(process->lock);
    process->ended = true;
    process->more.notify_all();
  });
}

Child::~Child() {
  if (_process->process) {
    TerminateProcess(_process->process, 137);
    wait();
  }
  // The pipe ends with the process (nothing else holds its writing end).
  if (_process->reader.joinable()) _process->reader.join();
  if (_process->out) CloseHandle(_process->out);
}

bool Child::started() const {
  return _process->process != nullptr;
}

std::string Child::line(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(_process->lock);
  std::string& buffer = _process->buffer;
  std::size_t end = std::string::npos;
  _process->more.wait_for(guard, timeout, [&] {
    end = buffer.find('\n');
    return end != std::string::npos || _process->ended;
  });
  if (end == std::string::npos) return std::string();
  std::string text = buffer.substr(0, end);
  buffer.erase(0, end + 1);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

void Child::killHard() {
  if (_process->process) {
    _process->killed = true;
    TerminateProcess(_process->process, 137);
  }
}

int Child::wait() {
  if (!_process->process) return -1;
  WaitForSingleObject(_process->process, INFINITE);
  DWORD code = 0;
  const bool known = GetExitCodeProcess(_process->process, &code) != 0;
  CloseHandle(_process->process);
  _process->process = nullptr;
  return known && !_process->killed ? static_cast<int>(code) : -1;
}

}  // namespace nettest
