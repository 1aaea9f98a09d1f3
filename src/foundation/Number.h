// Number scanning of wide text with the C locale's rules, whatever the process locale: the
// library's stand-ins for wcstod, _wtof, _wtoi64 and _wtoi; and the "%.16g" the library writes
// doubles with.
#pragma once

#include <cstdint>

namespace vemo {
namespace detail {

inline bool isDecimalDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// The value of a hexadecimal digit, or -1.
inline int hexDigitValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The C locale's white space: blank, tab, line feed, vertical tab, form feed, carriage return.
inline bool isCSpace(wchar_t c) {
  return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Like wcstod in the C locale: leading white space, a sign, then a decimal number with optional
// fraction and exponent, a hexadecimal "0x" number, "inf", "infinity" or "nan". `end` (when not
// null) receives the position after the number, or `text` when there is none (then 0.0).
// Values beyond the double range give +-infinity, values below it +-0.
double scanDouble(const wchar_t* text, const wchar_t** end);

// Like _wtoi64: leading white space, a sign and decimal digits; 0 when there are none; values
// beyond the range saturate.
long long scanInt64(const wchar_t* text);

// Like _wtoi: scanInt64 saturated at the int range.
int scanInt(const wchar_t* text);

// Writes the decimal digits of `value` at `out`, which has room for 20; past the last one.
char* formatDecimal(std::uint64_t value, char* out);

// The most characters formatDouble16 writes ("-1.234567890123457e-308").
constexpr int kDouble16Chars = 24;

// Writes a finite `value` as printf's "%.16g" in the C locale does (rounded to 16 significant
// digits, trailing zeros dropped, an exponent below -4 or above 15 in e-notation) at `out`,
// which has room for kDouble16Chars; past the last character. Most values (magnitudes from
// 1e-7 to 1e16) take a short exact way instead of the general conversion.
char* formatDouble16(double value, char* out);

}  // namespace detail
}  // namespace vemo
