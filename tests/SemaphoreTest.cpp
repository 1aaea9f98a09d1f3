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

using vemo::tests::millisecondsSince;

TEST(Semaphore, CountsTakesAllTimesOutAndSyncs) {
  auto semaphore = Semaphore::createInstance();
  semaphore->signal();
  semaphore->signal();
  EXPECT_TRUE(semaphore->wait(0, false));
  EXPECT_TRUE(semaphore->wait(0, false));
  EXPECT_FALSE(semaphore->wait(0, false));

  semaphore->signal();
  semaphore->signal();
  semaphore->signal();
  EXPECT_TRUE(semaphore->wait(100, true));
  EXPECT_FALSE(semaphore->wait(0, true));  // all three were taken
  semaphore->sync(0);                      // nothing left: returns at once

  const Clock::time_point begin = Clock::now();
  EXPECT_FALSE(semaphore->wait(100, false));
  const long long waited = millisecondsSince(begin);
  EXPECT_GE(waited, 90);
  EXPECT_LT(waited, 5000);

  // sync with room left waits only while the count is above it.
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
    for (int i = 0; i < 4; ++i)
      semaphore->signal();
    semaphore->sync(0);          // until the waiter has taken all four
    EXPECT_GE(taken.load(), 3);  // the fourth taking may still be counting
    waiter.join();
    EXPECT_EQ(taken.load(), 4);
    EXPECT_FALSE(semaphore->wait(0, false));

    // Many signallers and takers: every wake-up is taken exactly once (the takers all finish and
    // none is left over).
    constexpr int kThreads = 4, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i)
          semaphore->signal();
      });
      threads.emplace_back([&] {
        for (int taken = 0; taken < kEach;)
          taken += semaphore->wait(20, false) ? 1 : 0;
      });
    }
    for (std::thread& thread : threads)
      thread.join();
    EXPECT_FALSE(semaphore->wait(0, false));
  });
}

// Every signal given while threads wait releases one of them: n waiters and n signals, all of
// them return at once, whatever the order in which they wake.
TEST(Semaphore, EachSignalReleasesOneOfSeveralWaiters) {
  vemo::tests::finishWithin(std::chrono::seconds(120), "several waiters", [] {
    for (int waiters = 2; waiters <= 8; ++waiters) {
      for (bool limited : {true, false}) {
        auto semaphore = Semaphore::createInstance();
        std::atomic<int> started{0}, released{0}, failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < waiters; ++t)
          threads.emplace_back([&] {
            ++started;
            if (semaphore->wait(limited ? 20000u : 0xFFFFFFFFu, false))
              ++released;
            else
              ++failed;
          });
        // Every waiter is inside its wait (it has nothing to take before the signals).
        while (started.load() < waiters)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Clock::time_point begin = Clock::now();
        for (int t = 0; t < waiters; ++t)
          semaphore->signal();
        // A lost wake-up leaves a waiter sleeping with wake-ups counted: after 2 s the
        // stragglers get more signals, so that the test ends, and the failure is counted.
        int rescues = 0;
        while (released.load() + failed.load() < waiters) {
          if (millisecondsSince(begin) > 2000) {
            semaphore->signal();
            ++rescues;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::thread& thread : threads)
          thread.join();
        EXPECT_EQ(rescues, 0) << waiters << (limited ? " waiters with a limit" : " waiters");
        EXPECT_EQ(released.load(), waiters);
        EXPECT_EQ(failed.load(), 0);
        if (rescues == 0) {
          EXPECT_FALSE(semaphore->wait(0, false)) << "a wake-up left over";
        }
      }
    }
  });
}
