// The console: formatted UTF-8 output, and colours, cursor and size on terminals only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "vemo/core/Console.h"

using vemo::Console;
using vemo::ConsoleScreenBufferInfo;

namespace {

// Collects what is written to the standard output (fd 1) while it lives. Nothing may be
// reported by the test while it runs: it would land in the capture.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    _file = std::tmpfile();
    _saved = dup(STDOUT_FILENO);
    dup2(fileno(_file), STDOUT_FILENO);
  }
  ~StdoutCapture() { finish(); }
  std::string finish() {
    if (_saved < 0) return _text;
    std::fflush(stdout);
    dup2(_saved, STDOUT_FILENO);
    close(_saved);
    _saved = -1;
    std::rewind(_file);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, _file)) > 0;)
      _text.append(chunk, n);
    std::fclose(_file);
    return _text;
  }

 private:
  std::FILE* _file = nullptr;
  int _saved = -1;
  std::string _text;
};

TEST(Console, OutputWritesFormattedUtf8) {
  StdoutCapture capture;
  Console::output(L"x=%d %s \u00E9 \U0001F600 %S|", 7, L"wide", "caf\xC3\xA9");
  Console::output(L"");
  Console::output(L"%s", L"\u4E2D\u6587");
  const std::string text = capture.finish();
  // No newline is added; each character in UTF-8.
  EXPECT_EQ(text,
            "x=7 wide \xC3\xA9 \xF0\x9F\x98\x80 caf\xC3\xA9|"
            "\xE4\xB8\xAD\xE6\x96\x87");
}

TEST(Console, LongOutputArrivesWhole) {
  // 3 characters, 7 bytes per round; 13334 rounds are 40002 characters.
  std::wstring text;
  std::string expected;
  for (int i = 0; i < 13334; ++i) {
    text += L"a\u00E9\U0001F600";
    expected += "a\xC3\xA9\xF0\x9F\x98\x80";
  }
  StdoutCapture capture;
  Console::output(L"%s!", text.c_str());
  const std::string written = capture.finish();
  EXPECT_EQ(written.size(), expected.size() + 1);
  EXPECT_TRUE(written == expected + "!");
}

TEST(Console, WithoutATerminalOnlyTextIsWritten) {
  StdoutCapture capture;
  const bool allocated = Console::alloc();
  const bool yellow = Console::setTextAttribute(14);
  Console::output(L"plain");
  const bool grey = Console::setTextAttribute(7);
  ConsoleScreenBufferInfo info{};
  const bool gotInfo = Console::getScreenBufferInfo(info);
  const bool moved = Console::setCursorPosition(1, 1);
  const bool titled = Console::setTitle(L"title");
  Console::free();
  const std::string text = capture.finish();

  EXPECT_TRUE(allocated);
  EXPECT_TRUE(yellow);
  EXPECT_TRUE(grey);
  EXPECT_FALSE(gotInfo);
  EXPECT_FALSE(moved);
  EXPECT_TRUE(titled);
  EXPECT_EQ(text, "plain");  // no escape sequences
}

TEST(Console, WithoutStandardOutputColoursFail) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  close(STDOUT_FILENO);
  const bool result = Console::setTextAttribute(14);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_FALSE(result);
}

// A pseudo terminal on the standard input and output. The terminal side answers cursor
// position queries with row 5, column 10.
class Terminal {
 public:
  Terminal() {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 100;
    if (openpty(&_master, &_slave, nullptr, nullptr, &size) != 0) return;
    termios raw;
    tcgetattr(_slave, &raw);
    cfmakeraw(&raw);  // bytes pass unchanged (no CR before LF)
    tcsetattr(_slave, TCSANOW, &raw);
    std::fflush(stdout);
    _savedIn = dup(STDIN_FILENO);
    _savedOut = dup(STDOUT_FILENO);
    dup2(_slave, STDIN_FILENO);
    dup2(_slave, STDOUT_FILENO);
    _reader = std::thread([this] { read(); });
  }
  ~Terminal() { restore(); }
  bool ok() const { return _master >= 0; }

  // Waits until `length` bytes have arrived (at most 2 seconds) and takes what is there.
  std::string take(std::size_t length) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(_lock);
        if (_received.size() >= length || std::chrono::steady_clock::now() > deadline) {
          std::string text = _received;
          _received.clear();
          return text;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void restore() {
    if (_master < 0) return;
    std::fflush(stdout);
    dup2(_savedIn, STDIN_FILENO);
    dup2(_savedOut, STDOUT_FILENO);
    close(_savedIn);
    close(_savedOut);
    _stop = true;
    _reader.join();
    close(_slave);
    close(_master);
    _master = -1;
  }

 private:
  void read() {
    std::string pending;
    while (!_stop) {
      pollfd input{_master, POLLIN, 0};
      if (poll(&input, 1, 10) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(_master, chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<std::size_t>(n));
      std::size_t query;
      while ((query = pending.find("\x1b[6n")) != std::string::npos) {
        pending.erase(query, 4);
        const char reply[] = "\x1b[5;10R";
        queries++;
        if (write(_master, reply, sizeof reply - 1) < 0) break;
      }
      std::lock_guard<std::mutex> guard(_lock);
      _received += pending;
      pending.clear();
    }
  }

  int _master = -1, _slave = -1, _savedIn = -1, _savedOut = -1;
  std::thread _reader;
  std::atomic<bool> _stop{false};
  std::mutex _lock;
  std::string _received;

 public:
  std::atomic<int> queries{0};
};

TEST(Console, OnATerminalColoursAreAnsiSequences) {
  Terminal terminal;
  ASSERT_TRUE(terminal.ok());
  struct Case {
    unsigned int attribute;
    const char* sequence;
  };
  const Case cases[] = {
      {14, "\x1b[0;93m"},    // yellow + intensity: bright yellow
      {7, "\x1b[0m"},        // grey on black: the terminal's own colours
      {12, "\x1b[0;91m"},    // red + intensity
      {10, "\x1b[0;92m"},    // green + intensity
      {9, "\x1b[0;94m"},     // blue + intensity
      {4, "\x1b[0;31m"},     // red
      {2, "\x1b[0;32m"},     // green
      {1, "\x1b[0;34m"},     // blue
      {0x10007, "\x1b[0m"},  // only the low 16 bits count
  };
  std::string results;
  for (const Case& c : cases) {
    const bool ok = Console::setTextAttribute(c.attribute);
    results += terminal.take(std::char_traits<char>::length(c.sequence)) + (ok ? "" : " failed");
  }
  Console::setTextAttribute(14);
  Console::output(L"warn \u00E9");
  Console::setTextAttribute(7);
  const std::string sample = terminal.take(18);
  terminal.restore();

  std::string expected;
  for (const Case& c : cases)
    expected += c.sequence;
  EXPECT_EQ(results, expected);
  EXPECT_EQ(sample, "\x1b[0;93mwarn \xC3\xA9\x1b[0m");
}

TEST(Console, OnATerminalTheCursorMovesAndSizeIsKnown) {
  Terminal terminal;
  ASSERT_TRUE(terminal.ok());
  const bool moved = Console::setCursorPosition(3, 2);
  const std::string move = terminal.take(6);
  const bool cut = Console::setCursorPosition(0x10000 + 3, 0x20000 + 2);
  const std::string cutMove = terminal.take(6);
  Console::setTextAttribute(12);
  terminal.take(7);
  ConsoleScreenBufferInfo info{};
  const bool gotInfo = Console::getScreenBufferInfo(info);
  const int queries = terminal.queries;
  const bool titled = Console::setTitle(L"vemo \u00E9");
  const std::string title = terminal.take(12);
  Console::setTextAttribute(7);
  terminal.restore();

  EXPECT_TRUE(moved);
  EXPECT_EQ(move, "\x1b[3;4H");  // 1-based row, then column
  EXPECT_TRUE(cut);
  EXPECT_EQ(cutMove, "\x1b[3;4H");
  ASSERT_TRUE(gotInfo);
  EXPECT_EQ(info.bufferWidth, 100);
  EXPECT_EQ(info.bufferHeight, 40);
  EXPECT_EQ(queries, 1);
  EXPECT_EQ(info.cursorColumn, 9);  // the terminal said column 10, row 5
  EXPECT_EQ(info.cursorRow, 4);
  EXPECT_EQ(info.attributes, 12);
  EXPECT_TRUE(titled);
  EXPECT_NE(title.find("vemo \xC3\xA9"), std::string::npos);
}

}  // namespace
