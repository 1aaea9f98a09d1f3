// Pipe and MutexPipe: forwarding, per-direction locks, missing ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/MemoryStream.h"
#include "vemo/core/Pipe.h"

using namespace vemo;
using namespace std::chrono_literals;

namespace {

// An Output that copies slowly, one byte at a time, so that unserialised writers would mix;
// and an Input whose read waits until released.
struct Slow final : IO {
  int write(const void* data, int size) override {
    for (int i = 0; i < size; ++i, std::this_thread::yield())
      bytes[position++] = static_cast<const char*>(data)[i];
    return size;
  }
  int available() const override { return 0; }
  int peek(void*, int) const override { return 0; }
  int read(void*, int) override {
    for (entered = true; !released;)
      std::this_thread::yield();
    return 0;
  }
  std::vector<char> bytes;
  std::atomic<size_t> position{0};
  std::atomic<bool> entered{false}, released{false};
};

TEST(Pipe, ForwardsToItsEnds) {
  Unknown::Handle_T<MemoryStream> stream = MemoryStream::createInstance();
  Unknown::Handle_T<Pipe> pipe = Pipe::createInstance(stream, stream);
  EXPECT_EQ(pipe->write("hello", 5), 5);
  EXPECT_EQ(pipe->available(), 5);
  char bytes[8] = {};
  EXPECT_EQ(pipe->peek(bytes, 2), 2);
  EXPECT_EQ(pipe->read(bytes, 8), 5);
  EXPECT_EQ(std::string(bytes, 5), "hello");

  Unknown::Handle_T<Pipe> open = Pipe::createInstance(nullptr, nullptr);
  Unknown::Handle_T<MutexPipe> locked =
      MutexPipe::createInstance(nullptr, SharedPtr<Mutex>(new Mutex), nullptr, SharedPtr<Mutex>());
  for (IO* io : {static_cast<IO*>(open.get()), static_cast<IO*>(locked.get())})
    for (int result : {io->available(), io->peek(bytes, 1), io->read(bytes, 1), io->write("x", 1)})
      EXPECT_EQ(result, -1);
}

TEST(Pipe, SharedOutputLockKeepsWritesWhole) {
  constexpr int kBlocks = 1000, kBlockSize = 16;
  Unknown::Handle_T<Slow> out = new Slow;
  out->bytes.resize(2 * kBlocks * kBlockSize);
  const SharedPtr<Mutex> outputLock(new Mutex);
  auto writer = [&](char tag) {
    Unknown::Handle_T<MutexPipe> pipe =
        MutexPipe::createInstance(nullptr, SharedPtr<Mutex>(), out, outputLock);
    const std::string block(kBlockSize, tag);
    for (int i = 0; i < kBlocks; ++i)
      pipe->write(block.data(), kBlockSize);
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  ASSERT_EQ(out->position, out->bytes.size());
  int mixed = 0;
  for (size_t i = 0; i < out->bytes.size(); ++i)
    mixed += out->bytes[i] != out->bytes[i - i % kBlockSize];  // each block is one writer's
  EXPECT_EQ(mixed, 0);
}

TEST(Pipe, BlockedReaderDoesNotStopWriter) {
  Unknown::Handle_T<Slow> in = new Slow;
  Unknown::Handle_T<MemoryStream> out = MemoryStream::createInstance();
  Unknown::Handle_T<MutexPipe> pipe =
      MutexPipe::createInstance(in, SharedPtr<Mutex>(new Mutex), out, SharedPtr<Mutex>(new Mutex));
  std::thread reader([&] {
    char byte;
    pipe->read(&byte, 1);
  });
  while (!in->entered)
    std::this_thread::yield();
  auto written = std::async(std::launch::async, [&] { return pipe->write("ok", 2); });
  const bool finished = written.wait_for(5s) == std::future_status::ready;
  in->released = true;
  reader.join();
  EXPECT_TRUE(finished);
  EXPECT_EQ(written.get(), 2);
  EXPECT_EQ(out->available(), 2);
}

}  // namespace
