// Helpers shared by the test programs: a log listener that records what is logged, and an IO
// over a byte string.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/Stream.h"

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

}  // namespace tests
}  // namespace vemo
