#include "Number.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
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

namespace {

// The powers of ten that doubles hold exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMostExactPower = 22;

// a * b as hi + lo exactly (Dekker's product): needs doubles rounded to nearest with no wider
// intermediates, and factors far from overflow and underflow.
void exactProduct(double a, double b, double& hi, double& lo) {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  hi = a * b;
  const double ta = kSplitter * a, aHigh = ta - (ta - a), aLow = a - aHigh;
  const double tb = kSplitter * b, bHigh = tb - (tb - b), bLow = b - bHigh;
  lo = ((aHigh * bHigh - hi) + aHigh * bLow + aLow * bHigh) + aLow * bLow;
}

// The 16 significant digits of a positive `magnitude` and the decimal exponent of the first,
// as printf rounds them; false where this cannot tell for certain (out of range, or within a
// hair of half a unit of the 16th digit), and the general conversion must decide.
//
// With E the exponent of the magnitude's first digit, magnitude * 10^(15 - E) lies in
// [10^15, 10^16); with 10^(15 - E) exact (E from -7 to 15) the product is exact as two
// doubles, and rounding it to an integer gives the digits.
bool sixteenDigits(double magnitude, std::uint64_t& digits, int& exponent) {
  if (!(magnitude >= 1e-7 && magnitude < 1e16)) return false;
  int e = 0;
  if (magnitude >= 1.0) {
    while (e < 15 && magnitude >= kExactPowersOfTen[e + 1])
      ++e;
  } else {
    // 10^-k are not doubles: a first guess, corrected by the exact product below.
    static constexpr double kNearPowers[] = {1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
    e = -1;
    while (e > -7 && magnitude < kNearPowers[-e - 1])
      --e;
  }
  double high, low;
  for (int tries = 0;; ++tries) {
    const int scale = 15 - e;
    if (scale < 0 || scale > kMostExactPower || tries > 2) return false;
    exactProduct(magnitude, kExactPowersOfTen[scale], high, low);
    if (high < 1e15 || (high == 1e15 && low < 0)) {
      --e;
    } else if (high > 1e16 || (high == 1e16 && low >= 0)) {
      ++e;
    } else {
      break;
    }
  }
  // high is at least 10^15 > 2^49, so its fraction is a multiple of 1/8 and |low| <= 1.
  const double whole = std::floor(high);
  const double fraction = (high - whole) + low;  // in (-1, 2)
  constexpr double kHair = 1e-6;
  for (const double tie : {-0.5, 0.5, 1.5})
    if (std::fabs(fraction - tie) < kHair) return false;
  digits = static_cast<std::uint64_t>(whole);
  if (fraction >= 1.5)
    digits += 2;
  else if (fraction >= 0.5)
    digits += 1;
  else if (fraction < -0.5)
    digits -= 1;
  if (digits == 10000000000000000ull) {  // 9.99...95 and up round to the next power
    digits = 1000000000000000ull;
    ++e;
  }
  exponent = e;
  return true;
}

// Drops the trailing zeros of 16 digits, 8, 4, 2 and 1 at a time (up to 15: all such a number
// ends in), each a division by a constant, which compiles to a multiplication; how many digits
// are left.
int dropTrailingZeros(std::uint64_t& digits) {
  int count = 16;
  if (digits % 100000000 == 0) digits /= 100000000, count -= 8;
  if (digits % 10000 == 0) digits /= 10000, count -= 4;
  if (digits % 100 == 0) digits /= 100, count -= 2;
  if (digits % 10 == 0) digits /= 10, count -= 1;
  return count;
}

// "00" to "99".
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Eight digits of a value below 10^8, leading zeros included: 32-bit arithmetic only.
char* writeEightDigits(std::uint32_t value, char* out) {
  const std::uint32_t high = value / 10000, low = value % 10000;
  std::memcpy(out, kDigitPairs + 2 * (high / 100), 2);
  std::memcpy(out + 2, kDigitPairs + 2 * (high % 100), 2);
  std::memcpy(out + 4, kDigitPairs + 2 * (low / 100), 2);
  std::memcpy(out + 6, kDigitPairs + 2 * (low % 100), 2);
  return out + 8;
}

// The digits of a value below 10^8, without leading zeros.
char* writeShortDecimal(std::uint32_t value, char* out) {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  char eight[8];
  writeEightDigits(value, eight);
  int first = 0;
  while (eight[first] == '0')
    ++first;
  std::memcpy(out, eight + first, static_cast<std::size_t>(8 - first));
  return out + 8 - first;
}

char* writeExponent(char* out, int exponent) {
  *out++ = 'e';
  *out++ = exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) *out++ = '0';
  return std::to_chars(out, out + 4, magnitude).ptr;
}

}  // namespace

char* formatDecimal(std::uint64_t value, char* out) {
  // Up to three groups of eight digits, each made with 32-bit arithmetic, instead of a 64-bit
  // division for every two digits.
  constexpr std::uint64_t kGroup = 100000000;
  if (value < kGroup) return writeShortDecimal(static_cast<std::uint32_t>(value), out);
  const std::uint64_t high = value / kGroup;
  const auto low = static_cast<std::uint32_t>(value % kGroup);
  if (high < kGroup) {
    out = writeShortDecimal(static_cast<std::uint32_t>(high), out);
  } else {
    out = writeShortDecimal(static_cast<std::uint32_t>(high / kGroup), out);
    out = writeEightDigits(static_cast<std::uint32_t>(high % kGroup), out);
  }
  return writeEightDigits(low, out);
}

char* formatDouble16(double value, char* out) {
  std::uint64_t digits = 0;
  int exponent = 0;
  // Dekker's product is exact only with doubles rounded as doubles (not on the x87 stack).
  if (FLT_EVAL_METHOD != 0 || !sixteenDigits(std::fabs(value), digits, exponent))
    return std::to_chars(out, out + kDouble16Chars, value, std::chars_format::general, 16).ptr;
  if (std::signbit(value)) *out++ = '-';
  // Trailing zeros go before the digits are made: data mostly has a few decimals.
  const int count = dropTrailingZeros(digits);
  char text[20];
  formatDecimal(digits, text);  // `count` digits
  if (exponent < -4 || exponent >= 16) {
    *out++ = text[0];
    if (count > 1) {
      *out++ = '.';
      std::memcpy(out, text + 1, static_cast<std::size_t>(count - 1));
      out += count - 1;
    }
    return writeExponent(out, exponent);
  }
  if (exponent < 0) {
    *out++ = '0';
    *out++ = '.';
    for (int zeros = -exponent - 1; zeros > 0; --zeros)
      *out++ = '0';
    std::memcpy(out, text, static_cast<std::size_t>(count));
    return out + count;
  }
  const int whole = exponent + 1;  // digits before the point
  if (count <= whole) {
    std::memcpy(out, text, static_cast<std::size_t>(count));
    std::memset(out + count, '0', static_cast<std::size_t>(whole - count));
    return out + whole;
  }
  std::memcpy(out, text, static_cast<std::size_t>(whole));
  out[whole] = '.';
  std::memcpy(out + whole + 1, text + whole, static_cast<std::size_t>(count - whole));
  return out + count + 1;
}

}  // namespace detail
}  // namespace vemo
