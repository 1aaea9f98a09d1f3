#include "Number.h"

#include <charconv>
#include <climits>
#include <limits>
#include <string>

namespace vemo {
namespace detail {
namespace {

bool isDigit(wchar_t c) {
  return isDecimalDigit(c);
}
bool isHexDigit(wchar_t c) {
  return hexDigitValue(c) >= 0;
}
wchar_t lower(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c;
}

// Whether `text` starts with the lowercase ASCII `word`, ignoring case.
bool startsWithNoCase(const wchar_t* text, const char* word) {
  for (; *word; ++text, ++word)
    if (lower(*text) != *word) return false;
  return true;
}

// The extent of a number and the size of its value: about 0.d x base^(lead + exponent).
struct Extent {
  const wchar_t* end = nullptr;  // null: no number
  long long lead = 0;            // digits before the point, or minus the zeros after it
  long long exponent = 0;
};

// Scans digits [. digits] [marker [sign] digits] from p; the exponent is kept if it has digits.
Extent scanExtent(const wchar_t* p, bool (*digit)(wchar_t), wchar_t marker) {
  Extent extent;
  bool any = false, point = false, significant = false;
  long long integerDigits = 0, fractionZeros = 0;
  for (;; ++p) {
    if (digit(*p)) {
      any = true;
      significant = significant || *p != L'0';
      if (!point && significant) ++integerDigits;
      if (point && !significant) ++fractionZeros;
    } else if (*p == L'.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return extent;
  extent.lead = integerDigits > 0 ? integerDigits : -fractionZeros;
  extent.end = p;
  if (lower(*p) == marker) {
    const wchar_t* q = p + 1;
    bool negative = false;
    if (*q == L'+' || *q == L'-') negative = *q++ == L'-';
    if (isDigit(*q)) {
      long long value = 0;
      for (; isDigit(*q); ++q)
        if (value < 100000000) value = value * 10 + (*q - L'0');
      extent.exponent = negative ? -value : value;
      extent.end = q;
    }
  }
  return extent;
}

// Converts [begin, end) (ASCII) with from_chars; out of range means infinity or zero, which
// the extent tells apart.
double convert(const wchar_t* begin, const wchar_t* end, std::chars_format format,
               const Extent& extent, int digitBits) {
  char local[128];
  std::string heap;
  const std::size_t length = static_cast<std::size_t>(end - begin);
  char* narrow = local;
  if (length > sizeof local) {
    heap.resize(length);
    narrow = &heap[0];
  }
  for (std::size_t i = 0; i < length; ++i)
    narrow[i] = static_cast<char>(begin[i]);
  double value = 0.0;
  const std::from_chars_result result = std::from_chars(narrow, narrow + length, value, format);
  if (result.ec == std::errc::result_out_of_range) {
    const long long magnitude = extent.lead * digitBits + extent.exponent;
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

}  // namespace

double scanDouble(const wchar_t* text, const wchar_t** end) {
  if (end) *end = text;
  const wchar_t* p = text;
  while (isCSpace(*p))
    ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';

  double value = 0.0;
  const wchar_t* stop = nullptr;
  if (startsWithNoCase(p, "inf")) {
    value = std::numeric_limits<double>::infinity();
    stop = p + (startsWithNoCase(p, "infinity") ? 8 : 3);
  } else if (startsWithNoCase(p, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
    stop = p + 3;
    if (*stop == L'(') {  // nan(n-char-sequence)
      const wchar_t* q = stop + 1;
      while (isHexDigit(*q) || (*q >= L'g' && *q <= L'z') || (*q >= L'G' && *q <= L'Z') ||
             *q == L'_')
        ++q;
      if (*q == L')') stop = q + 1;
    }
  } else if (p[0] == L'0' && lower(p[1]) == L'x') {
    const Extent extent = scanExtent(p + 2, isHexDigit, L'p');
    if (extent.end) {
      value = convert(p + 2, extent.end, std::chars_format::hex, extent, 4);
      stop = extent.end;
    } else {
      stop = p + 1;  // just the "0"
    }
  } else {
    const Extent extent = scanExtent(p, isDigit, L'e');
    if (extent.end) {
      value = convert(p, extent.end, std::chars_format::general, extent, 1);
      stop = extent.end;
    }
  }
  if (!stop) return 0.0;
  if (end) *end = stop;
  return negative ? -value : value;
}

long long scanInt64(const wchar_t* text) {
  const wchar_t* p = text;
  while (isCSpace(*p))
    ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
  unsigned long long value = 0;
  for (; isDigit(*p); ++p) {
    const unsigned digit = static_cast<unsigned>(*p - L'0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  return negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}

int scanInt(const wchar_t* text) {
  const long long value = scanInt64(text);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace detail
}  // namespace vemo
