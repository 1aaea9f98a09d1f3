#include "vemo/core/Console.h"

#include <cstdarg>
#include <string>

#include "Console.h"
#include "Format.h"

namespace vemo {

void Console::output(const wchar_t* format, ...) {
  detail::FormatBuffer<wchar_t, 512> text;  // longer texts go to the heap, as for the log
  va_list args;
  va_start(args, format);
  bool ok = false;
  try {
    ok = text.format(format, args);
  } catch (...) {
  }
  va_end(args);
  // Like the console call, the text ends at its first terminator (a "%c" of 0 holds one).
  if (ok) detail::consoleWrite(text.text(), std::char_traits<wchar_t>::length(text.text()));
}

}  // namespace vemo
