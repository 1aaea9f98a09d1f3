// Console on POSIX terminals: ANSI escape sequences on the standard output.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "Charset.h"
#include "Console.h"
#include "vemo/core/Console.h"

namespace vemo {
namespace {

std::atomic<unsigned short> g_attribute{7};

bool hasStandardOutput() {
  return fcntl(STDOUT_FILENO, F_GETFD) != -1;
}
bool isTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void writeRaw(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

// ANSI colour index of a 3-bit console colour (blue, green, red) and its intensity bit.
int ansiColour(unsigned int bits) {
  return ((bits & 4) ? 1 : 0) | ((bits & 2) ? 2 : 0) | ((bits & 1) ? 4 : 0);
}

// The sequence for a text attribute. A black background is the terminal's own background,
// and 7 (grey on black) is the terminal's default colours.
int attributeSequence(unsigned int attribute, char* out, std::size_t room) {
  const unsigned int foreground = attribute & 0x0F, background = (attribute >> 4) & 0x0F;
  if (foreground == 7 && background == 0) return std::snprintf(out, room, "\x1b[0m");
  const int fg = ((foreground & 8) ? 90 : 30) + ansiColour(foreground);
  if (background == 0) return std::snprintf(out, room, "\x1b[0;%dm", fg);
  const int bg = ((background & 8) ? 100 : 40) + ansiColour(background);
  return std::snprintf(out, room, "\x1b[0;%d;%dm", fg, bg);
}

// Asks the terminal where the cursor is ("ESC [ row ; column R"), waiting at most 100 ms.
bool queryCursor(int& column, int& row) {
  if (isatty(STDIN_FILENO) != 1) return false;
  termios saved;
  if (tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  writeRaw("\x1b[6n", 4);
  char reply[32];
  std::size_t length = 0;
  pollfd input{STDIN_FILENO, POLLIN, 0};
  while (length + 1 < sizeof reply && poll(&input, 1, 100) > 0) {
    if (read(STDIN_FILENO, reply + length, 1) != 1) break;
    if (reply[length++] == 'R') break;
  }
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  reply[length] = 0;
  return std::sscanf(reply, "\x1b[%d;%dR", &row, &column) == 2;
}

}  // namespace

namespace detail {

void consoleWrite(const wchar_t* text, std::size_t length) {
  unsigned char bytes[4096];
  while (length > 0) {
    const std::size_t chunk = length < 1024 ? length : 1024;  // 4 bytes at most per character
    const std::size_t n = wideToUtf8(text, chunk, bytes, sizeof bytes);
    std::fwrite(bytes, 1, n, stdout);
    text += chunk;
    length -= chunk;
  }
  std::fflush(stdout);
}

}  // namespace detail

bool Console::alloc() {
  return true;
}

void Console::free() {}

bool Console::setTextAttribute(unsigned int attribute) {
  if (!hasStandardOutput()) return false;
  g_attribute.store(static_cast<unsigned short>(attribute & 0xFFFF), std::memory_order_relaxed);
  if (isTerminal()) {
    char sequence[32];
    const int n = attributeSequence(attribute, sequence, sizeof sequence);
    if (n > 0) writeRaw(sequence, static_cast<std::size_t>(n));
  }
  return true;
}

bool Console::getScreenBufferInfo(ConsoleScreenBufferInfo& info) {
  winsize size;
  if (!isTerminal() || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return false;
  int column = 1, row = 1;
  queryCursor(column, row);
  info.bufferWidth = size.ws_col;
  info.bufferHeight = size.ws_row;
  info.cursorColumn = column - 1;
  info.cursorRow = row - 1;
  info.attributes = g_attribute.load(std::memory_order_relaxed);
  return true;
}

bool Console::setCursorPosition(int x, int y) {
  if (!isTerminal()) return false;
  const short column = static_cast<short>(x), row = static_cast<short>(y);
  if (column < 0 || row < 0) return false;
  char sequence[32];
  const int n = std::snprintf(sequence, sizeof sequence, "\x1b[%d;%dH", row + 1, column + 1);
  writeRaw(sequence, static_cast<std::size_t>(n));
  return true;
}

bool Console::setTitle(const wchar_t* title) {
  if (isTerminal() && title) {
    writeRaw("\x1b]0;", 4);
    detail::consoleWrite(title, std::wcslen(title));
    writeRaw("\x07", 1);
  }
  return true;
}

}  // namespace vemo
