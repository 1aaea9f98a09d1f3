#include "vemo/core/Console.h"

#include <cstdarg>

#include "Console.h"
#include "Format.h"

namespace vemo {

void Console::output(const wchar_t* format, ...) {
  detail::FormatBuffer<wchar_t, 32768> text;
  va_list args;
  va_start(args, format);
  bool ok = false;
  try {
    ok = text.format(format, args);
  } catch (...) {
  }
  va_end(args);
  if (ok) detail::consoleWrite(text.text(), text.length());
}

}  // namespace vemo
