// FileMutex: exclusion between objects on one name, in one process and across processes; the
// lock file is gone once its holder lets go; waiting with and without a limit.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/FileMutex.h"

using namespace vemo;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using tests::millisecondsSince;
using tests::toPath;
using Scratch = tests::ScratchDirectory;

String nameIn(const Scratch& scratch, const std::wstring& leaf) {
  return String(tests::toWide(scratch.at(leaf)).c_str());
}

}  // namespace

TEST(FileMutex, ObjectsOnOneFileExcludeEachOther) {
  Scratch scratch;
  const String name = nameIn(scratch, L"l\u00F6ck");
  const fs::path file = scratch.path / toPath(L"l\u00F6ck");
  auto first = FileMutex::createInstance(name);
  auto second = FileMutex::createInstance(name);
  EXPECT_FALSE(first->isLocked());
  first->unlock();  // not held: nothing happens
  EXPECT_FALSE(fs::exists(file));

  ASSERT_TRUE(first->lock(0));
  EXPECT_TRUE(first->isLocked());
  EXPECT_TRUE(fs::exists(file));
  EXPECT_TRUE(first->lock(0));  // already held
  EXPECT_FALSE(second->lock(0));
  EXPECT_FALSE(second->isLocked());

  // A limited wait takes its whole time, never less; the retries never run past it by much.
  const auto start = Clock::now();
  EXPECT_FALSE(second->lock(150));
  const long long waited = millisecondsSince(start);
  EXPECT_GE(waited, 150);
  EXPECT_LT(waited, 5000);
  // The same with a std::chrono duration, rounded up to whole milliseconds.
  const auto again = Clock::now();
  EXPECT_FALSE(second->lock(std::chrono::microseconds(59001)));
  EXPECT_GE(millisecondsSince(again), 60);
  EXPECT_TRUE(first->lock(std::chrono::seconds(0)));  // already held

  first->unlock();
  EXPECT_FALSE(first->isLocked());
  EXPECT_FALSE(fs::exists(file));
  ASSERT_TRUE(second->lock(0));
  EXPECT_TRUE(fs::exists(file));
  EXPECT_FALSE(first->lock(0));
  second = nullptr;  // destruction lets go like unlock
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(first->lock(0));
  first = nullptr;
  EXPECT_FALSE(fs::exists(file));

  // A file that cannot be made is never held.
  auto unreachable = FileMutex::createInstance(nameIn(scratch, L"missing/lock"));
  EXPECT_FALSE(unreachable->lock(0));
  EXPECT_FALSE(unreachable->lock(60));
  EXPECT_FALSE(unreachable->isLocked());
  EXPECT_FALSE(FileMutex::createInstance(String())->lock(0));
}

// Holders come and go as fast as they can: never two at once, and never one holding a file that
// has lost its name while another holds the new file.
TEST(FileMutex, WaitersAndManyRoundsNeverTwoHolders) {
  Scratch scratch;
  const String name = nameIn(scratch, L"lock");
  // Waiters with and without a limit get the lock when it is released.
  auto holder = FileMutex::createInstance(name);
  ASSERT_TRUE(holder->lock(0));
  tests::finishWithin(std::chrono::seconds(60), "waiting for a file lock", [&] {
    std::atomic<bool> limited{false}, unlimited{false};
    std::thread a([&] { limited = FileMutex::createInstance(name)->lock(30000); });
    std::thread b([&] { unlimited = FileMutex::createInstance(name)->lock(0xFFFFFFFFu); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holder->unlock();
    a.join();
    b.join();
    EXPECT_TRUE(limited);
    EXPECT_TRUE(unlimited);
  });
  EXPECT_FALSE(fs::exists(scratch.path / "lock"));

  std::atomic<int> inside{0}, overlaps{0}, rounds{0};
  tests::finishWithin(std::chrono::seconds(120), "rounds of file locks", [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([&] {
        auto mutex = FileMutex::createInstance(name);
        for (int i = 0; i < 100; ++i) {
          if (!mutex->lock(0xFFFFFFFFu)) continue;
          if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
          std::this_thread::yield();
          inside.fetch_sub(1);
          rounds.fetch_add(1);
          mutex->unlock();
        }
      });
    for (auto& thread : threads)
      thread.join();
  });
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(rounds.load(), 300);
  EXPECT_FALSE(fs::exists(scratch.path / "lock"));
}

// Holders hand the lock on as fast as the system lets them, each trying without a pause: a
// holder must not let go of its file before its name is gone, or a waiter locks the file that
// is about to lose its name while a third makes and locks a new one.
TEST(FileMutex, HandingOnAtFullSpeedNeverMakesTwoHolders) {
  Scratch scratch;
  const String name = nameIn(scratch, L"busy");
#if defined(_WIN32)
  // Windows refuses to delete a file another handle holds open: the pattern cannot arise there,
  // and each attempt is a slower system call (under Wine a call to its server).
  constexpr int kRounds = 500;
#elif defined(__SANITIZE_THREAD__)
  constexpr int kRounds = 10000;
#else
  constexpr int kRounds = 40000;
#endif
  constexpr int kThreads = 4;
  std::atomic<int> inside{0}, overlaps{0}, rounds{0};
  tests::finishWithin(std::chrono::seconds(240), "handing a file lock on", [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        auto mutex = FileMutex::createInstance(name);
        for (int i = 0; i < kRounds && overlaps.load() == 0; ++i) {
          while (!mutex->lock(0)) {
          }
          if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
          for (int spin = 0; spin < 200; ++spin)
            if (inside.load() != 1) overlaps.fetch_add(1);
          inside.fetch_sub(1);
          rounds.fetch_add(1);
          mutex->unlock();
        }
      });
    for (auto& thread : threads)
      thread.join();
  });
  EXPECT_EQ(overlaps.load(), 0);
  if (overlaps.load() == 0) {
    EXPECT_EQ(rounds.load(), kThreads * kRounds);
  }
  EXPECT_FALSE(fs::exists(scratch.path / "busy"));
}

#if !defined(_WIN32)
// A symbolic link planted at the lock's name in a shared directory is never followed: the
// holder neither makes nor locks nor deletes the file it leads to, and the link stays.
TEST(FileMutex, NeverFollowsALinkAtItsName) {
  Scratch scratch;
  const String name = nameIn(scratch, L"lock");
  const fs::path link = scratch.path / "lock";
  const fs::path missing = scratch.path / "made-through-the-link";
  const fs::path victim = scratch.path / "victim";
  scratch.put("victim", "precious");

  fs::create_symlink(missing, link);
  auto mutex = FileMutex::createInstance(name);
  EXPECT_FALSE(mutex->lock(0));
  EXPECT_FALSE(mutex->lock(60));
  EXPECT_FALSE(mutex->isLocked());
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(fs::is_symlink(link));

  fs::remove(link);
  fs::create_symlink(victim, link);
  EXPECT_FALSE(mutex->lock(0));
  mutex->unlock();
  mutex = nullptr;
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(scratch.bytes("victim"), "precious");
  // The file the link leads to was not locked either.
  auto direct = FileMutex::createInstance(String(tests::toWide(victim).c_str()));
  EXPECT_TRUE(direct->lock(0));
  direct = nullptr;  // and lets go of it, deleting it: it was the lock's file now
  EXPECT_FALSE(fs::exists(victim));

  // A name that is no regular file (here a directory) is not taken either.
  fs::remove(link);
  fs::create_directory(link);
  EXPECT_FALSE(FileMutex::createInstance(name)->lock(0));
  EXPECT_TRUE(fs::is_directory(link));
  // Once the name is free again, the lock works as before.
  fs::remove(link);
  auto fresh = FileMutex::createInstance(name);
  EXPECT_TRUE(fresh->lock(0));
  EXPECT_TRUE(fs::is_regular_file(link));
  fresh = nullptr;
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

// The lock holds against another process, and is free for this one once that process has let go.
TEST(FileMutex, ExcludesAnotherProcess) {
  Scratch scratch;
  const String name = nameIn(scratch, L"lock");
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto mutex = FileMutex::createInstance(name);
    char byte = mutex->lock(0) ? 'L' : 'F';
    bool ok = write(toParent[1], &byte, 1) == 1 && read(toChild[0], &byte, 1) == 1;
    mutex->unlock();
    _exit(ok ? 0 : 1);
  }
  char byte = 0;
  ASSERT_EQ(read(toParent[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'L');
  auto mutex = FileMutex::createInstance(name);
  EXPECT_FALSE(mutex->lock(50));
  EXPECT_TRUE(fs::exists(scratch.path / "lock"));
  ASSERT_EQ(write(toChild[1], "u", 1), 1);
  EXPECT_TRUE(mutex->lock(30000));
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  mutex->unlock();
  EXPECT_FALSE(fs::exists(scratch.path / "lock"));
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
    close(fd);
}
#endif
