// Helpers shared by the test programs: a log listener that records what is logged, an IO over
// a byte string, and scoped changes to the process's environment and limits.
#pragma once

#include <stdlib.h>  // setenv/unsetenv, or _putenv_s on Windows
#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/Stream.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace tests {

// Records the errors ("error: " and the text) and warnings (the text) logged while it lives.
struct LogCapture : LogListener {
  LogCapture() { Log::addListener(this); }
  ~LogCapture() { Log::removeListener(this); }
  const wchar_t* getName() override { return L"log-capture"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { lines.push_back(L"error: " + std::wstring(text)); }
  void warning(const wchar_t* text) override { lines.push_back(text); }
  void message(const wchar_t*) override {}
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
  std::vector<std::wstring> lines;
};

// Collects written bytes, taking at most `room` bytes of each write; or hands out given bytes.
// `failure`, when not 0, is what available() reports instead of the count (a source that fails).
struct Bytes final : IO {
  explicit Bytes(std::string in = "") : bytes(std::move(in)) {}
  int write(const void* data, int size) override {
    const int taken = size < room ? size : room;
    bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(taken));
    return taken;
  }
  int available() const override { return failure ? failure : static_cast<int>(bytes.size()); }
  int peek(void* out, int size) const override {
    return static_cast<int>(bytes.copy(static_cast<char*>(out), static_cast<std::size_t>(size)));
  }
  int read(void* out, int size) override {
    const int n = peek(out, size);
    bytes.erase(0, static_cast<std::size_t>(n));
    return n;
  }
  std::string bytes;
  int room = 1 << 20;
  int failure = 0;
};

// Runs `work` on a thread of its own; when it has not finished within the time, the program
// ends at once with a failure (a deadlocked test cannot be unwound).
template <class Work>
void finishWithin(std::chrono::seconds limit, const char* what, Work work) {
  std::packaged_task<void()> task(std::move(work));
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: %s did not finish within %d s\n", what,
                 static_cast<int>(limit.count()));
    std::_Exit(1);
  }
  runner.join();
  done.get();
}

// Wide paths in both directions without the C library's locale (which knows no UTF-8 here).
inline std::filesystem::path toPath(const std::wstring& wide) {
#if defined(_WIN32)
  return std::filesystem::path(wide);
#else
  return std::filesystem::u8path(StringHelper::wideToUtf8(wide.c_str()).getBuffer());
#endif
}
inline std::wstring toWide(const std::filesystem::path& path) {
#if defined(_WIN32)
  return path.wstring();
#else
  return StringHelper::utf8ToWide(path.u8string().c_str()).getBuffer();
#endif
}

// Sleeps the calling thread; the milliseconds since `start` on the steady clock.
inline void pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
inline long long millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Waits until `condition` holds, at most 20 s; false when it never did.
template <class Condition>
bool eventually(Condition condition) {
  const auto begin = std::chrono::steady_clock::now();
  while (!condition()) {
    if (millisecondsSince(begin) > 20000) return false;
    pause(1);
  }
  return true;
}

// A new directory of the program's own in the system's temporary directory, removed with its
// content when it goes.
struct ScratchDirectory {
  ScratchDirectory() { std::filesystem::create_directories(path); }
  ~ScratchDirectory() {
    std::error_code ignored;
    // A test that went into it (or into a directory since deleted) leaves first: Windows does
    // not remove a current directory.
    const std::wstring current = toWide(std::filesystem::current_path(ignored));
    if (ignored || current.compare(0, toWide(path).size(), toWide(path)) == 0)
      std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
    std::filesystem::remove_all(path, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  // The wide name of the file `leaf` (ASCII) in it, and its content.
  std::wstring name(const char* leaf) const { return (path / leaf).wstring(); }
  void put(const char* leaf, const std::string& bytes) const {
    std::ofstream(path / leaf, std::ios::binary) << bytes;
  }
  std::string bytes(const char* leaf) const {
    std::ifstream in(path / leaf, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The path of `relative` (any characters) in it; its own path with '/' separators and a
  // closing '/', as the directory scans take it.
  std::filesystem::path at(const std::wstring& relative) const { return path / toPath(relative); }
  std::wstring root() const { return toWide(path.generic_string()) + L"/"; }
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("vemo-test-" + std::to_string(std::random_device{}()));
};

// Sets an environment variable while it lives, then restores it (or its absence). On Windows
// the run-time library's _putenv_s also changes the system's copy that Win32 calls read; there
// an empty value removes the variable.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : _name(name) {
    const char* old = std::getenv(name);
    _had = old != nullptr;
    if (old) _saved = old;
    set(value.c_str());
  }
  ~ScopedVariable() { _had ? set(_saved.c_str()) : unset(); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
#if defined(_WIN32)
  void set(const char* value) {
    _putenv_s(_name, value);
  }
  void unset() {
    _putenv_s(_name, "");
  }
#else
  void set(const char* value) {
    setenv(_name, value, 1);
  }
  void unset() {
    unsetenv(_name);
  }
#endif
  const char* _name;
  bool _had;
  std::string _saved;
};

// Points the library's temporary directory elsewhere while it lives: TMPDIR, or on Windows TMP,
// which GetTempPathW looks at first (set in wide characters there, so that any name survives).
#if defined(_WIN32)
class ScopedTempDirectory {
 public:
  explicit ScopedTempDirectory(const std::filesystem::path& path) {
    const wchar_t* old = _wgetenv(L"TMP");
    _had = old != nullptr;
    if (old) _saved = old;
    _wputenv_s(L"TMP", path.c_str());
  }
  ~ScopedTempDirectory() { _wputenv_s(L"TMP", _had ? _saved.c_str() : L""); }
  ScopedTempDirectory(const ScopedTempDirectory&) = delete;
  ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;

 private:
  bool _had;
  std::wstring _saved;
};
#else
struct ScopedTempDirectory : ScopedVariable {
  explicit ScopedTempDirectory(const std::filesystem::path& path)
      : ScopedVariable("TMPDIR", path.string()) {}
};
#endif

#if !defined(_WIN32)
// Limits the size to which this process may grow files (RLIMIT_FSIZE) while it lives, and
// ignores SIGXFSZ meanwhile, so that a write past the limit fails (EFBIG) like one onto a full
// disk instead of ending the process. Only where the system has such a limit: Windows has no
// per-process file size limit, and tests that need one are left out there.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &_saved);
    rlimit limited = _saved;
    limited.rlim_cur = bytes;
    _handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~ScopedFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &_saved);
    std::signal(SIGXFSZ, _handler);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit _saved;
  void (*_handler)(int);
};
#endif

// Refusals of class registrations at load time that a test program makes on purpose: the check
// linked into every test program (LoadCheck.cpp) fails the program for any other.
inline std::vector<std::wstring>& expectedSetupFailures() {
  static std::vector<std::wstring> texts;
  return texts;
}

}  // namespace tests
}  // namespace vemo
