// Number scanning of wide text with the C locale's rules, whatever the process locale: the
// library's stand-ins for wcstod, _wtof, _wtoi64 and _wtoi.
#pragma once

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

}  // namespace detail
}  // namespace vemo
