// ChildProcess on Windows: CreateProcessW, TerminateProcess and WaitForSingleObject.
#include <windows.h>

#include "ChildProcess.h"

namespace {

std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// One argument quoted so that the child's command-line parser gives it back as it was.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t ch : arg) {
    if (ch == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(ch == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += ch;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

}  // namespace

struct ChildProcess::Handle {
  HANDLE process = nullptr;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args)
    : _handle(new Handle()) {
  std::wstring line;
  appendQuoted(line, widen(program));
  for (const std::string& arg : args) {
    line += L' ';
    appendQuoted(line, widen(arg));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (CreateProcessW(widen(program).c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &info)) {
    CloseHandle(info.hThread);
    _handle->process = info.hProcess;
  }
}

ChildProcess::~ChildProcess() {
  if (_handle->process) {
    kill();
    wait();
  }
  delete _handle;
}

bool ChildProcess::running() const {
  return _handle->process != nullptr;
}

void ChildProcess::kill() {
  if (_handle->process) TerminateProcess(_handle->process, 1);
}

int ChildProcess::wait() {
  if (!_handle->process) return -1;
  WaitForSingleObject(_handle->process, INFINITE);
  DWORD code = 0;
  const bool known = GetExitCodeProcess(_handle->process, &code) != 0;
  CloseHandle(_handle->process);
  _handle->process = nullptr;
  return known ? static_cast<int>(code) : -1;
}

std::string ownProgram(const char* argv0) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return argv0;
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), &text[0], size, nullptr, nullptr);
  return text;
}
