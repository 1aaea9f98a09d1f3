/// \file
/// Console: the process's text console.
///
/// Colours are the 4-bit text attributes of a classic console: foreground in bits 0-3 (blue,
/// green, red, intensity), background in bits 4-7; 7 is the default grey and 14 bright yellow.
/// On terminals they are drawn with ANSI sequences, and only when the output is a terminal.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/FormatArgs.h"

namespace vemo {

/// The size, cursor and colours of the terminal (Console::getScreenBufferInfo).
struct ConsoleScreenBufferInfo {
  int bufferWidth;            ///< columns
  int bufferHeight;           ///< rows
  int cursorColumn;           ///< 0-based
  int cursorRow;              ///< 0-based
  unsigned short attributes;  ///< the colours of later output
};

/// The process's console: colours, cursor and title of the terminal, and formatted output.
class VEMO_CORE_API Console {
 public:
  Console() = delete;

  /// Gives the process a console; where every process has its terminal this succeeds at once.
  static bool alloc();
  /// Gives the console up (Windows); elsewhere does nothing.
  static void free();
  /// Sets the colours of later output (low 16 bits); false only without a standard output.
  static bool setTextAttribute(unsigned int attribute);
  /// Formats like Log and writes the text to the standard output (no newline is added). A call
  /// with arguments takes the typed form, which checks each directive against its argument
  /// (FormatArgs.h); the C form reads what the directives say.
  template <class A0, class... A>
  static void output(const wchar_t* format, const A0& first, const A&... rest) {
    const FormatArg args[] = {makeFormatArg(first), makeFormatArg(rest)...};
    voutput(format, FormatArgs{args, 1 + sizeof...(A)});
  }
  /// The typed form with a list of arguments.
  static void voutput(const wchar_t* format, const FormatArgs& args);
  /// The C form: arguments read as the directives say.
  static void output(const wchar_t* format, ...);
  /// Size, cursor and colours of the terminal; false when the output is not a terminal.
  static bool getScreenBufferInfo(ConsoleScreenBufferInfo& info);
  /// Moves the cursor (0-based column and row, cut to 16 bits); false without a terminal.
  static bool setCursorPosition(int x, int y);
  /// Sets the terminal's title where the output is a terminal (Windows: the console window's);
  /// always true.
  static bool setTitle(const wchar_t* title);
};

}  // namespace vemo
