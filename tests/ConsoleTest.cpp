// The console: formatted UTF-8 output, and colours, cursor and size on terminals only.
#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pty.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vemo/core/Console.h"
#include "vemo/core/String.h"

using vemo::Console;

namespace {

#if defined(_WIN32)

// The console calls act on the standard output handle only when it is a console: output sent
// to a file (as when a test runner collects it) is not written there.
TEST(Console, WithoutAConsoleNothingIsWrittenAndItsQueriesFail) {
  wchar_t directory[MAX_PATH + 1], name[MAX_PATH + 1];
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, directory), 0u);
  ASSERT_NE(GetTempFileNameW(directory, L"con", 0, name), 0u);
  HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  vemo::ConsoleScreenBufferInfo info{};
  const bool coloured = Console::setTextAttribute(14);  // a handle, if not a console's
  Console::output(L"x=%d %s", 7, L"wide");
  const bool queried = Console::getScreenBufferInfo(info) || Console::setCursorPosition(1, 1);
  const bool titled = Console::setTitle(L"t") && Console::setTitle(nullptr);
  SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
  const bool withoutOutput = Console::setTextAttribute(14) || Console::getScreenBufferInfo(info);
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  LARGE_INTEGER size{};
  GetFileSizeEx(file, &size);
  CloseHandle(file);
  EXPECT_TRUE(coloured && titled);
  EXPECT_FALSE(queried);
  EXPECT_FALSE(withoutOutput);
  EXPECT_EQ(size.QuadPart, 0);  // WriteConsoleW writes to consoles only
}

#else

// Runs `action` with the standard input and output on a raw 100 x 40 pseudo terminal whose
// keyboard has already typed `typed`, and returns what the terminal was sent.
template <class Action>
std::string onTerminal(Action action, const char* typed = "") {
  int master = -1, slave = -1;
  winsize size{40, 100, 0, 0};
  termios raw{};
  cfmakeraw(&raw);  // no echo, no line editing, bytes pass unchanged
  if (openpty(&master, &slave, nullptr, &raw, &size) != 0) return "no terminal";
  if (write(master, typed, std::strlen(typed)) < 0) return "nothing typed";
  std::fflush(stdout);
  const int savedIn = dup(STDIN_FILENO), savedOut = dup(STDOUT_FILENO);
  dup2(slave, STDIN_FILENO);
  dup2(slave, STDOUT_FILENO);
  action();
  std::fflush(stdout);
  dup2(savedIn, STDIN_FILENO);
  dup2(savedOut, STDOUT_FILENO);
  for (int fd : {savedIn, savedOut, slave})
    close(fd);
  std::string sent;
  char chunk[4096];
  for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
    sent.append(chunk, static_cast<std::size_t>(n));
  close(master);
  return sent;
}

TEST(Console, WithoutATerminalOnlyUtf8TextIsWritten) {
  std::wstring longText;  // 40,002 characters, 93,338 bytes
  std::string longBytes;
  for (int i = 0; i < 13334; ++i)
    longText += L"a\u00E9\U0001F600", longBytes += "a\xC3\xA9\xF0\x9F\x98\x80";
  vemo::ConsoleScreenBufferInfo info{};
  testing::internal::CaptureStdout();
  const bool yes = Console::alloc() && Console::setTextAttribute(14) && Console::setTitle(L"t");
  Console::output(L"x=%d %s \u00E9\u4E2D\U0001F600 %S|", 7, L"wide", "caf\xC3\xA9");
  Console::output(L"%c, not this", 0);  // the text ends at a terminator it holds
  const bool no = Console::getScreenBufferInfo(info) || Console::setCursorPosition(1, 1);
  Console::setTextAttribute(7);
  Console::output(L"%s!%c and not this", longText.c_str(), 0);
  const std::string written = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(yes && !no);
  // No newline is added, no escape sequence is written.
  const std::string head = "x=7 wide \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80 caf\xC3\xA9|";
  EXPECT_EQ(written.substr(0, head.size()), head);
  EXPECT_TRUE(written.substr(head.size()) == longBytes + "!") << written.size();

  const int saved = dup(STDOUT_FILENO);
  close(STDOUT_FILENO);
  const bool coloured = Console::setTextAttribute(14);  // without a standard output
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_FALSE(coloured);
}

// Calls with arguments take the typed form, checked like String::format; the C form stays.
TEST(Console, TypedArgumentsAreChecked) {
  testing::internal::CaptureStdout();
  Console::output(L"%s|%S|%d|%s|%s|", vemo::String(L"\u00E9"), std::string("\xC3\xBC"), 1LL << 40,
                  5);
  void (*cForm)(const wchar_t*, ...) = &Console::output;
  cForm(L"%s=%d", L"c", 7);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\xC3\xA9|\xC3\xBC|1099511627776|%!s(int32=5)|%!s(missing)|c=7");
}

TEST(Console, OnATerminalColoursCursorAndSizeUseAnsiSequences) {
  // Bits 0-3: blue, green, red, intensity; 7 is the terminal's own colours; only 16 bits count.
  const unsigned int attributes[] = {14, 7, 12, 10, 9, 4, 2, 1, 0x10007, 14};
  vemo::ConsoleScreenBufferInfo info{};
  bool ok = true;
  const std::string sent = onTerminal(
      [&] {
        for (unsigned int attribute : attributes)
          ok = Console::setTextAttribute(attribute) && ok;
        Console::output(L"warn \u00E9");
        ok = Console::setTextAttribute(7) && Console::setCursorPosition(3, 2) &&
             Console::setCursorPosition(0x10003, 0x20002) && Console::setTextAttribute(12) &&
             Console::getScreenBufferInfo(info) && Console::setTitle(L"vemo \u00E9") && ok;
      },
      "\x1b[5;10R");  // the answer to a query of the cursor position
  EXPECT_TRUE(ok);
  // Then the cursor, row and column 1-based and cut to 16 bits; the query; the title.
  const std::string expected =
      "\x1b[0;93m\x1b[0m\x1b[0;91m\x1b[0;92m\x1b[0;94m\x1b[0;31m\x1b[0;32m\x1b[0;34m\x1b[0m"
      "\x1b[0;93mwarn \xC3\xA9\x1b[0m\x1b[3;4H\x1b[3;4H\x1b[0;91m\x1b[6n";
  EXPECT_EQ(sent.substr(0, expected.size()), expected);
  EXPECT_NE(sent.find("vemo \xC3\xA9", expected.size()), std::string::npos);
  const int got[] = {info.bufferWidth, info.bufferHeight, info.cursorColumn, info.cursorRow,
                     info.attributes};
  EXPECT_EQ(std::vector<int>(got, got + 5), (std::vector<int>{100, 40, 9, 4, 12}));
}

#endif

}  // namespace
