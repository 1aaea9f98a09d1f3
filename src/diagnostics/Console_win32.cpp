// Console on Windows: the console API on the standard output handle.
#include <windows.h>

#include <cstdio>

#include "Console.h"
#include "vemo/core/Console.h"

namespace vemo {
namespace {

// The standard output handle, or null when the process has none.
HANDLE standardOutput() {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace

namespace detail {

void consoleWrite(const wchar_t* text, std::size_t length) {
  HANDLE output = standardOutput();
  if (!output) return;
  while (length > 0) {
    // Long texts go in pieces (older consoles refuse very long writes), never between the two
    // units of a surrogate pair.
    DWORD chunk = length < 0x4000 ? static_cast<DWORD>(length) : 0x4000;
    if (chunk < length && chunk > 1 && text[chunk - 1] >= 0xD800 && text[chunk - 1] < 0xDC00)
      --chunk;
    DWORD written = 0;
    if (!WriteConsoleW(output, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

}  // namespace detail

bool Console::alloc() {
  if (!AllocConsole()) return false;
  std::FILE* ignored = std::freopen("CONIN$", "r+t", stdin);
  ignored = std::freopen("CONOUT$", "w+t", stdout);
  (void)ignored;
  return true;
}

void Console::free() {
  FreeConsole();
}

bool Console::setTextAttribute(unsigned int attribute) {
  HANDLE output = standardOutput();
  if (!output) return false;
  SetConsoleTextAttribute(output, static_cast<WORD>(attribute & 0xFFFF));
  return true;
}

bool Console::getScreenBufferInfo(ConsoleScreenBufferInfo& info) {
  HANDLE output = standardOutput();
  CONSOLE_SCREEN_BUFFER_INFO buffer;
  if (!output || !GetConsoleScreenBufferInfo(output, &buffer)) return false;
  info.bufferWidth = buffer.dwSize.X;
  info.bufferHeight = buffer.dwSize.Y;
  info.cursorColumn = buffer.dwCursorPosition.X;
  info.cursorRow = buffer.dwCursorPosition.Y;
  info.attributes = buffer.wAttributes;
  return true;
}

bool Console::setCursorPosition(int x, int y) {
  HANDLE output = standardOutput();
  COORD position;
  position.X = static_cast<SHORT>(x);
  position.Y = static_cast<SHORT>(y);
  return output && SetConsoleCursorPosition(output, position);
}

bool Console::setTitle(const wchar_t* title) {
  if (title) SetConsoleTitleW(title);
  return true;
}

}  // namespace vemo
