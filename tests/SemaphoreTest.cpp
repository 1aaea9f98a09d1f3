// The counting wake-up object: counts, taking all, time limits, waking other threads and
// waiting for wake-ups to be taken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Semaphore.h"

using vemo::Semaphore;
using Clock = std::chrono::steady_clock;

namespace {

long long millisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(Semaphore, CountsTakesAllAndTimesOut) {
  auto semaphore = Semaphore::createInstance();
  semaphore->signal();
  semaphore->signal();
  EXPECT_TRUE(semaphore->wait(0, false));
  EXPECT_TRUE(semaphore->wait(0, false));
  Clock::time_point begin = Clock::now();
  EXPECT_FALSE(semaphore->wait(0, false));
  EXPECT_LT(millisecondsSince(begin), 1000);

  semaphore->signal();
  semaphore->signal();
  semaphore->signal();
  EXPECT_TRUE(semaphore->wait(100, true));
  EXPECT_FALSE(semaphore->wait(0, true));  // all three were taken
  semaphore->sync(0);                      // nothing left: returns at once

  begin = Clock::now();
  EXPECT_FALSE(semaphore->wait(100, false));
  const long long waited = millisecondsSince(begin);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 5000);
}

TEST(Semaphore, WakesWaitersOnOtherThreadsAndSyncWaitsUntilTaken) {
  vemo::tests::finishWithin(std::chrono::seconds(60), "semaphore threads", [] {
    auto semaphore = Semaphore::createInstance();
    std::atomic<int> taken{0};
    std::thread waiter([&] {
      // Without limit (all bits set): returns only when signalled.
      EXPECT_TRUE(semaphore->wait(0xFFFFFFFFu, false));
      ++taken;
      for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(semaphore->wait(60000, false));
        ++taken;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    semaphore->signal();
    semaphore->signal();
    semaphore->signal();
    semaphore->signal();
    semaphore->sync(0);          // until the waiter has taken all four
    EXPECT_GE(taken.load(), 3);  // the fourth taking may still be counting
    waiter.join();
    EXPECT_EQ(taken.load(), 4);
    EXPECT_FALSE(semaphore->wait(0, false));

    // Many signallers and takers: every wake-up is taken exactly once.
    constexpr int kThreads = 4, kEach = 500;
    std::atomic<int> received{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i)
          semaphore->signal();
      });
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) {
          if (semaphore->wait(60000, false)) ++received;
        }
      });
    }
    for (std::thread& thread : threads)
      thread.join();
    EXPECT_EQ(received.load(), kThreads * kEach);
    EXPECT_FALSE(semaphore->wait(0, false));
  });
}

TEST(Semaphore, SyncWithRoomLeftAndLateSignals) {
  auto semaphore = Semaphore::createInstance();
  semaphore->signal();
  semaphore->signal();
  semaphore->sync(2);  // the count is not above 2: no wait
  std::thread taker([&] { EXPECT_TRUE(semaphore->wait(60000, false)); });
  semaphore->sync(1);
  taker.join();
  EXPECT_TRUE(semaphore->wait(0, false));
  EXPECT_FALSE(semaphore->wait(0, false));

  // A signal that comes while a waiter waits with a short limit releases it.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    semaphore->signal();
  });
  EXPECT_TRUE(semaphore->wait(60000, true));
  late.join();
}
