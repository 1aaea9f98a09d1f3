// The library's one printf-style formatter, shared by String_T::format, Log and Console.
//
// Format texts keep the same meaning on every platform:
//   %s   a string of the format's own width (wide in a wide format)
//   %S   a string of the other width (UTF-8 in a wide format, wide in an 8-bit format)
//   %hs  narrow, %ls / %ws wide, whatever the format's width; %c, %C, %hc, %lc likewise
//   %I64d %I64u %I64x %I64X 64-bit integers, %I32d 32 bits, %Id pointer-sized
// plus the usual flags, width, precision, '*', and the C length modifiers. Numbers are
// formatted by the C library so their text is the platform's, except that the decimal point is
// always '.', whatever the process locale. %n is accepted and ignored.
//
// The arguments come either through a va_list (the C forms, unchecked) or as a FormatArgs list
// (the typed forms), where each directive is checked against its argument (see FormatArgs.h).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdlib>

#include "vemo/core/FormatArgs.h"

namespace vemo {
namespace detail {

// Formats into `out`, writing at most `room` characters (a terminator too when it fits), and
// returns the length of the whole text, so a call with room 0 measures it exactly.
template <class CharT>
std::size_t formatText(CharT* out, std::size_t room, const CharT* format, va_list args);
template <class CharT>
std::size_t formatText(CharT* out, std::size_t room, const CharT* format, const FormatArgs& args);

// A formatted text that lives in an inline buffer of N characters while it fits, and in one
// heap block otherwise (the arguments are then formatted a second time).
template <class CharT, std::size_t N>
class FormatBuffer {
 public:
  FormatBuffer() = default;
  FormatBuffer(const FormatBuffer&) = delete;
  FormatBuffer& operator=(const FormatBuffer&) = delete;
  ~FormatBuffer() { std::free(_heap); }

  // False when the text does not fit inline and no heap block can be had.
  bool format(const CharT* format, va_list args) {
    va_list again;
    va_copy(again, args);
    _length = formatText(_local, N, format, args);
    bool ok = true;
    if (_length >= N) {
      _heap = static_cast<CharT*>(std::malloc((_length + 1) * sizeof(CharT)));
      if (_heap)
        formatText(_heap, _length + 1, format, again);
      else
        ok = false;
    }
    va_end(again);
    return ok;
  }
  bool format(const CharT* format, const FormatArgs& args) {
    _length = formatText(_local, N, format, args);
    if (_length < N) return true;
    _heap = static_cast<CharT*>(std::malloc((_length + 1) * sizeof(CharT)));
    if (!_heap) return false;
    formatText(_heap, _length + 1, format, args);
    return true;
  }
  const CharT* text() const { return _heap ? _heap : _local; }
  std::size_t length() const { return _length; }

 private:
  CharT _local[N];
  CharT* _heap = nullptr;
  std::size_t _length = 0;
};

}  // namespace detail
}  // namespace vemo
