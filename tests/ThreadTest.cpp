// Threads that run systems: the start hand-off, shutdown, restarts, threads that end by
// themselves, and thread ids.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/ThreadMessage.h"
#include "vemo/core/Tick.h"

using vemo::Semaphore;
using vemo::System;
using vemo::Thread;

using vemo::tests::eventually;
using vemo::tests::pause;

namespace {

// A system that yields on every pass, counts its passes and lets a test hold its init.
class Worker : public System {
 public:
  static Handle_T<Worker> createInstance() { return Handle_T<Worker>(new Worker()); }

  bool init() override {
    if (gate) gate->wait(0xFFFFFFFFu, false);
    if (!System::init()) return false;
    runThread = Thread::getCurrentThreadId();
    ++inits;
    return vemo::Yield::createInstance()->start(this);
  }
  void exit() override {
    System::exit();
    ++exits;
  }
  void onTick(unsigned int elapsed) override {
    System::onTick(elapsed);
    ++passes;
    if (stopAfter != 0 && passes.load() >= stopAfter) shutdown();
  }

  Handle_T<Semaphore> gate;
  int stopAfter = 0;
  std::atomic<int> inits{0}, exits{0}, passes{0};
  std::atomic<unsigned long> runThread{0};
};

template <class T>
class Nested {
 public:
  class AWorkerWithALongName : public Worker {
   public:
    static Handle_T<AWorkerWithALongName> createInstance() {
      return Handle_T<AWorkerWithALongName>(new AWorkerWithALongName());
    }
  };
};
using AWorkerWithALongName = Nested<int>::AWorkerWithALongName;

}  // namespace

TEST(Thread, StartShutdownAndRestart) {
  vemo::tests::finishWithin(std::chrono::seconds(120), "thread life cycle", [] {
    auto thread = Thread::createInstance();
    EXPECT_TRUE(thread->shutdown());  // idle
    EXPECT_FALSE(thread->start(nullptr));
    EXPECT_TRUE(thread->getSystem().isNull());

    auto worker = Worker::createInstance();
    worker->gate = Semaphore::createInstance();
    ASSERT_TRUE(thread->start(worker));
    // start waited only for the thread to begin: init is held at the gate.
    EXPECT_EQ(worker->inits.load(), 0);
    EXPECT_EQ(thread->getSystem().get(), worker.get());

    // A second start on a running Thread fails and leaves its system claimed.
    auto other = Worker::createInstance();
    EXPECT_FALSE(thread->start(other));
    EXPECT_EQ(other->getState(), System::ES_LOADED);
    // A system another Thread runs cannot be started again.
    auto second = Thread::createInstance();
    EXPECT_FALSE(second->start(worker));
    EXPECT_TRUE(second->getSystem().isNull());

    worker->gate->signal();
    ASSERT_TRUE(eventually([&] { return worker->passes.load() > 10; }));
    EXPECT_EQ(worker->getState(), System::ES_RUNNING);
    EXPECT_NE(worker->runThread.load(), Thread::getCurrentThreadId());
    EXPECT_EQ(worker->getRunThreadId(), worker->runThread.load());

    EXPECT_TRUE(thread->shutdown());
    EXPECT_TRUE(thread->getSystem().isNull());
    EXPECT_EQ(worker->getState(), System::ES_UNLOADED);
    EXPECT_EQ(worker->exits.load(), 1);
    EXPECT_TRUE(thread->shutdown());

    // The same Thread runs the same system again, on a new thread.
    worker->gate = nullptr;
    ASSERT_TRUE(thread->start(worker));
    ASSERT_TRUE(eventually([&] { return worker->inits.load() == 2; }));
    EXPECT_TRUE(thread->shutdown());
    EXPECT_EQ(worker->exits.load(), 2);

    // The system claimed by the failed start stays ES_LOADED: it starts only once it has been
    // shut down and unloaded.
    EXPECT_FALSE(thread->start(other));
    other->shutdown();
    other->unload();
    ASSERT_TRUE(thread->start(other));
    ASSERT_TRUE(eventually([&] { return other->passes.load() > 0; }));
    EXPECT_TRUE(thread->shutdown());
    EXPECT_EQ(other->getState(), System::ES_UNLOADED);
  });
}

TEST(Thread, EndsByItselfShutdownFromSeveralThreadsAndFromItsOwn) {
  vemo::tests::finishWithin(std::chrono::seconds(120), "ends of threads", [] {
    // A system that ends by itself leaves the Thread idle.
    {
      auto thread = Thread::createInstance();
      auto worker = Worker::createInstance();
      worker->stopAfter = 5;
      ASSERT_TRUE(thread->start(worker));
      ASSERT_TRUE(eventually([&] { return thread->getSystem().isNull(); }));
      EXPECT_EQ(worker->getState(), System::ES_UNLOADED);
      EXPECT_GE(worker->passes.load(), 5);
      EXPECT_TRUE(thread->shutdown());

      // Nobody keeps the Thread but its own running thread: it lives until that thread ends.
      worker->stopAfter = 0;
      {
        auto orphan = Thread::createInstance();
        ASSERT_TRUE(orphan->start(worker));
      }
      ASSERT_TRUE(eventually([&] { return worker->passes.load() > 20; }));
      worker->shutdown();
      ASSERT_TRUE(eventually([&] { return worker->getState() == System::ES_UNLOADED; }));
    }

    // Shut down from several threads at once.
    for (int round = 0; round < 20; ++round) {
      auto thread = Thread::createInstance();
      auto worker = Worker::createInstance();
      ASSERT_TRUE(thread->start(worker));
      std::vector<std::thread> stoppers;
      for (int i = 0; i < 3; ++i) {
        stoppers.emplace_back([&] {
          EXPECT_TRUE(thread->shutdown());
          // Every caller returns only after the thread has ended.
          EXPECT_TRUE(thread->getSystem().isNull());
          EXPECT_EQ(worker->getState(), System::ES_UNLOADED);
        });
      }
      for (std::thread& stopper : stoppers)
        stopper.join();
    }

    // Shut down from a call posted to the system's own thread: it does not wait for itself.
    auto thread = Thread::createInstance();
    auto worker = Worker::createInstance();
    ASSERT_TRUE(thread->start(worker));
    ASSERT_TRUE(eventually([&] { return worker->passes.load() > 0; }));
    std::atomic<bool> returned{false};
    ASSERT_TRUE(vemo::postThreadCall(worker->getRunThreadId(), [&] {
      EXPECT_TRUE(thread->shutdown());
      returned = true;
    }));
    ASSERT_TRUE(eventually([&] { return thread->getSystem().isNull(); }));
    EXPECT_TRUE(returned.load());
  });
}

TEST(Thread, ThreadIdsAndPostingToEndedThreads) {
  const unsigned long self = Thread::getCurrentThreadId();
  EXPECT_NE(self, 0u);
  EXPECT_EQ(Thread::getCurrentThreadId(), self);
  std::set<unsigned long> ids{self};
  std::vector<unsigned long> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&seen, i] {
      seen[i] = Thread::getCurrentThreadId();
      vemo::createThreadMessageQueue();
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  ids.insert(seen.begin(), seen.end());
  EXPECT_EQ(ids.size(), 5u);
  // Their queues went with them.
  for (unsigned long id : seen)
    EXPECT_FALSE(vemo::postThreadMessage(id, 1, 2, 3));
  EXPECT_FALSE(vemo::postThreadCall(0, [] {}));

  // A thread with a queue of its own serves what was posted to it, in order.
  vemo::createThreadMessageQueue();
  std::vector<int> order;
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(vemo::postThreadCall(self, [&order, i] { order.push_back(i); }));
  while (vemo::dispatchThreadMessage()) {
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

// The child of a fork is a thread of its own: its id is its own (the process id, for the only
// thread of the child), not the id of the parent's thread that forked, known before the fork.
TEST(Thread, ThreadIdAfterFork) {
#if defined(_WIN32)
  GTEST_SKIP() << "no fork";
#else
  const unsigned long parent = Thread::getCurrentThreadId();
  ASSERT_EQ(parent, Thread::getCurrentThreadId());
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const unsigned long own = Thread::getCurrentThreadId();
    _exit(own == static_cast<unsigned long>(getpid()) && own != parent ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Thread::getCurrentThreadId(), parent);
#endif
}

// A thread carries its system's class name, or the name it was given, cut to what the platform
// keeps (15 bytes on Linux, never inside a character).
TEST(Thread, CarriesItsName) {
#if defined(__linux__)
  auto comm = [](unsigned long id) {
    std::ifstream file("/proc/self/task/" + std::to_string(id) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
  };
  auto thread = vemo::Thread::createInstance();
  auto worker = Worker::createInstance();
  ASSERT_TRUE(thread->start(worker));
  ASSERT_TRUE(vemo::tests::eventually([&] { return worker->getRunThreadId() != 0; }));
  const std::string ownName = comm(worker->getRunThreadId());
  thread->shutdown();
  // Worker is not a registered class: it is named after its own type, not the one it inherits.
  EXPECT_EQ(ownName, "Worker");
  // A longer name is cut.
  auto longThread = vemo::Thread::createInstance();
  auto longName = AWorkerWithALongName::createInstance();
  ASSERT_TRUE(longThread->start(longName));
  ASSERT_TRUE(vemo::tests::eventually([&] { return longName->getRunThreadId() != 0; }));
  EXPECT_EQ(comm(longName->getRunThreadId()), "AWorkerWithALon");
  longThread->shutdown();

  // 14 ASCII bytes and a two-byte character: the character is dropped whole.
  thread->setName(vemo::String(L"box-0123456789\u00e9x"));
  EXPECT_EQ(thread->getName(), vemo::String(L"box-0123456789\u00e9x"));
  ASSERT_TRUE(thread->start(worker));
  ASSERT_TRUE(vemo::tests::eventually([&] {
    return worker->getState() == vemo::System::ES_RUNNING ||
           worker->getState() == vemo::System::ES_INITIALISED;
  }));
  EXPECT_EQ(comm(worker->getRunThreadId()), "box-0123456789");
  thread->shutdown();
#else
  GTEST_SKIP() << "thread names are read from /proc";
#endif
}
