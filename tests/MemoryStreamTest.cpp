// MemoryStream: a first-in first-out byte queue in 4096-byte blocks that spills into the shared
// temporary file beyond 2560 memory blocks.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Log.h"
#include "vemo/core/MemoryStream.h"

using namespace vemo;
using Bytes = std::string;
using Stream = Unknown::Handle_T<MemoryStream>;
using Lines = std::vector<std::wstring>;
namespace fs = std::filesystem;

// A stream class that does not create objects of its own type.
class Unregistered : public MemoryStream {};

namespace {

struct Recorder final : LogListener {
  Recorder() { Log::addListener(this); }
  ~Recorder() { Log::removeListener(this); }
  const wchar_t* getName() override { return L"recorder"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { errors.push_back(text); }
  void warning(const wchar_t*) override {}  // spilling warns, as expected
  void message(const wchar_t*) override {}
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
  Lines errors;
};

// `count` bytes from offset `from` of a pattern that never repeats: little-endian word indexes.
Bytes pattern(int from, int count, int seed) {
  Bytes bytes;
  for (int i = from; i < from + count; ++i)
    bytes += char((unsigned(i / 4) + seed * 7919u) >> (i % 4 * 8));
  return bytes;
}

Stream streamOf(const Bytes& bytes) {
  Stream stream = MemoryStream::createInstance();
  stream->write(bytes.data(), int(bytes.size()));
  return stream;
}

Bytes peekAll(const MemoryStream& stream) {
  Bytes bytes(size_t(stream.available()) + 1, '\0');
  bytes.resize(size_t(std::max(stream.peek(&bytes[0], int(bytes.size())), 0)));
  return bytes;
}

TEST(MemoryStream, NonPositiveLengthsEmptyStreamsAndBlocks) {
  Stream stream = MemoryStream::createInstance();
  char byte = 'x';
  EXPECT_EQ(stream->read(&byte, 1) + stream->peek(&byte, 1), 0);
  EXPECT_EQ(stream->write(&byte, 0) + stream->write(&byte, -1), 0);
  stream->write("ab", 2);
  EXPECT_EQ(stream->read(&byte, 0) + stream->read(&byte, -4) + stream->peek(&byte, 0), 0);
  EXPECT_EQ(stream->available(), 2);
  EXPECT_EQ(byte, 'x');
  // Blocks of 4096 bytes.
  const Bytes bytes = pattern(0, 5000, 0);
  stream = streamOf(bytes);
  EXPECT_EQ(stream->getMemoryCacheCount(), 2);
  Bytes peeked(4500, '\0'), read(5000, '\0');
  EXPECT_EQ(stream->peek(&peeked[0], 4500), 4500);
  EXPECT_EQ(stream->available(), 5000);
  EXPECT_EQ(stream->read(&read[0], 4096), 4096);
  EXPECT_EQ(stream->getMemoryCacheCount(), 1);
  EXPECT_EQ(stream->available(), 904);
  EXPECT_EQ(stream->read(&read[4096], 5000), 904);
  EXPECT_EQ(peeked, bytes.substr(0, 4500));
  EXPECT_EQ(read, bytes);
}

// Writes `total` pattern bytes in pieces that do not line up with the blocks.
Stream fill(int total, int seed) {
  Stream stream = MemoryStream::createInstance();
  for (int at = 0; at < total; at += 10000)
    stream->write(pattern(at, 10000, seed).data(), std::min(10000, total - at));
  return stream;
}

// Peeks everything, then reads it in pieces of 3000 bytes.
void expectContent(MemoryStream& stream, int total, int seed) {
  const Bytes expected = pattern(0, total, seed);
  EXPECT_TRUE(peekAll(stream) == expected);
  Bytes read(size_t(total) + 3000, '\0');
  for (int at = 0; at < total; at += 3000)
    ASSERT_EQ(stream.read(&read[size_t(at)], 3000), std::min(3000, total - at)) << at;
  EXPECT_TRUE(read.substr(0, size_t(total)) == expected);
  EXPECT_EQ(stream.available(), 0);
}

TEST(MemoryStream, SpillsBeyondTenMebibytesAndReusesFreedFileBlocksInOrder) {
  Recorder log;
  const int total = 12 << 20;  // 3072 blocks: 2560 in memory, 512 in the file
  Stream first = fill(total, 1);
  EXPECT_EQ(first->available(), total);
  EXPECT_EQ(first->getMemoryCacheCount(), 2560);
  std::vector<int> starts, reused;
  first->getFileCacheStarts(starts);
  EXPECT_EQ(starts.size(), 512u);
  expectContent(*first, total, 1);
  EXPECT_EQ(first->getMemoryCacheCount(), 0);

  Stream second = fill(total, 2);  // takes the freed blocks in the order they were freed
  second->getFileCacheStarts(reused);
  EXPECT_EQ(reused, starts);
  expectContent(*second, total, 2);
  EXPECT_EQ(log.errors, Lines{});
}

// The spilled blocks live in a file that nobody else can open and that leaves nothing in the
// temporary directory, whatever ends the process. (Each test runs in a process of its own, so
// this one makes the pool.)
#if defined(_WIN32)
// The file has a name while it is open, but no other opener may share it, and the system
// deletes it with its last handle: a child process spills, checks, and ends abruptly.
TEST(MemoryStream, TheSpillFileHasNoName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const fs::path directory = fs::temp_directory_path() / "vemo-spill-test";
  fs::create_directories(directory);
  EXPECT_EXIT(
      {
        const tests::ScopedTempDirectory redirected(directory);
        Stream stream = fill(11 << 20, 3);
        std::vector<int> starts;
        stream->getFileCacheStarts(starts);
        int entries = 0;
        bool shared = false;
        for (const auto& entry : fs::directory_iterator(directory)) {
          ++entries;
          HANDLE other = CreateFileW(entry.path().c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
          shared = shared || other != INVALID_HANDLE_VALUE;
          if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
        }
        std::fflush(nullptr);
        _exit(!starts.empty() && entries == 1 && !shared ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  std::error_code error;
  EXPECT_TRUE(fs::is_empty(directory, error));
  fs::remove_all(directory, error);
}
#else
TEST(MemoryStream, TheSpillFileHasNoName) {
  const fs::path directory = fs::temp_directory_path() / ("vemo-spill-" + std::to_string(getpid()));
  fs::create_directories(directory);
  Stream stream;
  {
    const tests::ScopedTempDirectory redirected(directory);
    stream = fill(11 << 20, 3);
  }
  std::vector<int> starts;
  stream->getFileCacheStarts(starts);
  EXPECT_FALSE(starts.empty());
  EXPECT_TRUE(fs::is_empty(directory));
  expectContent(*stream, 11 << 20, 3);
  fs::remove_all(directory);
}

#endif

// A listener that queues log text in a stream, while another thread's spills fail (the disk is
// full, here: files may not grow) and log: neither waits for the other.
TEST(MemoryStream, ListenersThatQueueLogTextWhileSpillsFail) {
#if defined(_WIN32)
  // Windows has no per-process file size limit with which to make the spills fail.
  GTEST_SKIP() << "no file size limit on Windows";
#else
  Stream queued = fill(10 << 20, 4), other = fill(10 << 20, 5);  // both at the memory limit
  struct Queueing final : LogListener {
    explicit Queueing(MemoryStream& stream) : stream(stream) { Log::addListener(this); }
    ~Queueing() { Log::removeListener(this); }
    const wchar_t* getName() override { return L"queueing"; }
    bool setparam(const wchar_t*) override { return false; }
    void error(const wchar_t*) override { stream.write(block, sizeof block); }
    void warning(const wchar_t*) override {}
    void message(const wchar_t*) override {}
    void debug(const wchar_t*) override {}
    void whistle(bool) override {}
    MemoryStream& stream;
    char block[4096] = {};
  } listener(*queued);
  {
    const tests::ScopedFileSizeLimit full(0);
    tests::finishWithin(std::chrono::seconds(20), "log and spill pool", [&] {
      std::thread spilling([&] {
        const char block[4096] = {};
        for (int i = 0; i < 3000; ++i)
          other->write(block, sizeof block);
      });
      for (int i = 0; i < 3000; ++i)
        Log::error(L"queued");
      spilling.join();
    });
  }
  EXPECT_GE(queued->available(), (10 << 20) + 3000 * 4096);  // and what the other thread logged
  EXPECT_EQ(other->available(), (10 << 20) + 3000 * 4096);
#endif
}

// A stream holds at most INT_MAX bytes: a write past that takes what fits.
TEST(MemoryStream, FullAtTwoGibibytes) {
  const std::unique_ptr<void, void (*)(void*)> zeros(std::calloc(INT_MAX, 1), std::free);
  if (!zeros) GTEST_SKIP() << "no room for 2 GiB of address space";
  Recorder log;
  Stream stream = MemoryStream::createInstance();
  ASSERT_EQ(stream->write(zeros.get(), INT_MAX - 100), INT_MAX - 100);
  EXPECT_EQ(stream->write(zeros.get(), 1000), 100);
  EXPECT_EQ(stream->write(zeros.get(), 1), -1);
  EXPECT_EQ(stream->available(), INT_MAX);
  EXPECT_EQ(log.errors, (Lines{L"Write cache error!", L"Write cache error!"}));
  char last[200];
  EXPECT_EQ(stream->read(last, 100), 100);
  EXPECT_EQ(stream->write(zeros.get(), 1000), 100);
}

// Export keeps the content and import replaces it; a clone copies the unread bytes; copies share
// their blocks.
TEST(MemoryStream, ExportImportCloneAndCopy) {
  Stream source = streamOf("hello"), wire = MemoryStream::createInstance(),
         target = streamOf(Bytes(6000, 'o'));
  OutputStream os(wire.get());
  InputStream is(wire.get());
  os << *source;
  EXPECT_EQ(peekAll(*wire), "\x0Ahello");
  EXPECT_EQ(peekAll(*source), "hello");
  is >> *target;
  EXPECT_EQ(peekAll(*target), "hello");
  EXPECT_EQ(target->available(), 5);
  Stream stream = streamOf("abcdef");
  char two[2];
  stream->read(two, 2);
  Stream copy = stream->clone();
  ASSERT_TRUE(copy);
  copy->write("g", 1);
  stream->read(two, 2);
  EXPECT_EQ(peekAll(*copy), "cdefg");
  EXPECT_EQ(peekAll(*stream), "ef");

  Recorder log;
  EXPECT_FALSE(Unknown::Handle_T<Unregistered>(new Unregistered)->clone());
  EXPECT_EQ(log.errors, Lines{L"Call rtCreateInstance(MemoryStream) error! typeid(Unregistered)"});
  stream = streamOf("abc"), copy = new MemoryStream(*stream);
  char byte = 0;
  EXPECT_EQ(copy->read(&byte, 1), 1);
  EXPECT_EQ(byte, 'a');
  EXPECT_EQ(stream->available(), 3);  // its own count
  EXPECT_EQ(peekAll(*stream), "bc");  // of the block the copy has read from
}

TEST(MemoryStream, FreedBlocksArePooledUpToOneStreamsLimit) {
  const int limit = MemoryStream::kPooledBlockLimit;
  fill(12 << 20, 1);  // 2560 memory blocks, destroyed unread: the pool fills up and stops there
  ASSERT_EQ(MemoryStream::getPooledBlockCount(), limit);

  Stream stream = fill(8 << 20, 2);  // 2048 blocks from the pool, which start out empty
  EXPECT_EQ(MemoryStream::getPooledBlockCount(), limit - 2048);
  expectContent(*stream, 8 << 20, 2);  // the stream keeps 4 drained blocks for its next writes
  EXPECT_EQ(MemoryStream::getPooledBlockCount(), limit - 4);
  stream->write("abc", 3);  // from its own spares
  EXPECT_EQ(MemoryStream::getPooledBlockCount(), limit - 4);
  stream = nullptr;
  EXPECT_EQ(MemoryStream::getPooledBlockCount(), limit);
}

TEST(MemoryStream, ACopyNeverSeesTheBytesOfAnotherStream) {
  Recorder log;
  // Memory blocks: the copy keeps the blocks of a stream that is gone, and the blocks another
  // stream has read empty go neither to its spares nor to the pool while the copy holds them.
  Stream stream = fill(20000, 1), read = fill(20000, 2);
  Stream copy(new MemoryStream(*stream)), readCopy(new MemoryStream(*read));
  stream = nullptr;
  Bytes all(20000, '\0');
  EXPECT_EQ(read->read(&all[0], 20000), 20000);
  Stream other = fill(20000, 3);
  read->write(pattern(0, 16384, 4).data(), 16384);  // as many blocks as a stream keeps spare
  expectContent(*copy, 20000, 1);
  EXPECT_TRUE(peekAll(*readCopy).empty());  // read empty by the stream it shares with

  // Spilled blocks: a window read empty goes back to the file's free list only when no copy
  // holds it; otherwise the next stream to spill would write into the copy's block.
  const int total = 12 << 20, inMemory = (MemoryStream::kMemoryCacheLimit - 1) * 4096;
  Stream spilled = fill(total, 5);
  Bytes bytes(size_t(total), '\0');
  ASSERT_EQ(spilled->read(&bytes[0], inMemory), inMemory);  // up to the first spilled block
  Stream spilledCopy(new MemoryStream(*spilled));
  ASSERT_EQ(spilled->read(&bytes[size_t(inMemory)], total), total - inMemory);
  EXPECT_TRUE(bytes == pattern(0, total, 5));
  Stream later = fill(total, 6);
  EXPECT_TRUE(peekAll(*spilledCopy).empty());
  EXPECT_EQ(spilledCopy->read(&bytes[0], 4096), -1);  // its blocks were read by the other
  expectContent(*later, total, 6);
  EXPECT_EQ(log.errors, Lines{L"Read cache error!"});
}

TEST(MemoryStream, StreamsOnSeveralThreadsShareThePool) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([t, &wrong] {
      for (int round = 0; round < 4; ++round) {
        const int seed = 10 + t * 4 + round;
        Stream stream = fill(1 << 20, seed);
        Bytes bytes(1 << 20, '\0');
        if (stream->read(&bytes[0], 1 << 20) != 1 << 20 || bytes != pattern(0, 1 << 20, seed))
          ++wrong;
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
