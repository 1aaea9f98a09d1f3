#include "vemo/core/Console.h"

#include <cstdarg>
#include <string>

#include "Console.h"
#include "Format.h"

namespace vemo {

namespace {

template <class Args>
void formatAndWrite(const wchar_t* format, Args&& args) {
  detail::FormatBuffer<wchar_t, 512> text;  // longer texts go to the heap, as for the log
  bool ok = false;
  try {
    ok = text.format(format, args);
  } catch (...) {
  }
  // Like the console call, the text ends at its first terminator (a "%c" of 0 holds one).
  if (ok) detail::consoleWrite(text.text(), std::char_traits<wchar_t>::length(text.text()));
}

}  // namespace

void Console::output(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  formatAndWrite(format, args);
  va_end(args);
}

void Console::voutput(const wchar_t* format, const FormatArgs& args) {
  formatAndWrite(format, args);
}

}  // namespace vemo
