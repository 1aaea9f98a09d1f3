// What the net tests share beside their peer processes (NetChild.h): a directory of their own
// and bounded waits for something they can see.
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <thread>

namespace nettest {

// A directory of the test's own for ipc:// socket files and journals, made anew (never one
// that exists already), removed with everything in it.
struct TempDir {
  TempDir() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int tries = 0; tries < 100 && path.empty(); ++tries) {
      const std::filesystem::path candidate =
          base / ("vemo-net-" + std::to_string(random()) + std::to_string(random()));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path = candidate.generic_string();
    }
  }
  ~TempDir() {
    std::error_code error;
    if (!path.empty()) std::filesystem::remove_all(path, error);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

// Waits until `condition` holds (true) or `limit` has passed (false), looking every `every`.
template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30),
             std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

}  // namespace nettest
