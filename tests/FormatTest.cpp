// Tests of the printf-style formatter behind String_T::format: numbers against the C library's
// snprintf, then the string and character conversions of wide and 8-bit format texts.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "vemo/core/Charset.h"
#include "vemo/core/String.h"

using vemo::String;
using vemo::String_T;

namespace {

std::wstring widen(const char* ascii) {
  std::wstring out;
  for (; *ascii; ++ascii)
    out += static_cast<wchar_t>(static_cast<unsigned char>(*ascii));
  return out;
}

std::wstring wide(const String& s) {
  return std::wstring(s.getBuffer(), static_cast<std::size_t>(s.getLength()));
}

// A wide result as narrow text; a unit above ASCII shows as \x{HEX} so that it never matches.
std::string narrowed(const String& s) {
  std::string out;
  for (int i = 0; i < s.getLength(); ++i) {
    const unsigned c = static_cast<unsigned>(s.getBuffer()[i]);
    if (c < 128) {
      out += static_cast<char>(c);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x{%X}", c);
      out += hex;
    }
  }
  return out;
}

template <class T>
std::string bytes(const String_T<T>& s) {
  return std::string(reinterpret_cast<const char*>(s.getBuffer()),
                     static_cast<std::size_t>(s.getBufferLength() - 1));
}

// Formats the arguments with snprintf and `cFormat`, and with both String::format (the format
// widened) and String_T<char>::format using `ownFormat`; all three texts must agree.
template <class... Args>
void expectLikeC(const char* cFormat, const char* ownFormat, Args... args) {
  SCOPED_TRACE(std::string("format ") + ownFormat);
  std::vector<char> reference(2048);
  const int n = std::snprintf(reference.data(), reference.size(), cFormat, args...);
  ASSERT_GE(n, 0);
  ASSERT_LT(static_cast<std::size_t>(n), reference.size());
  const std::string expected(reference.data(), static_cast<std::size_t>(n));

  String w(L"previous");
  EXPECT_EQ(w.format(widen(ownFormat).c_str(), args...), n);
  EXPECT_EQ(narrowed(w), expected);

  String_T<char> u("previous");
  EXPECT_EQ(u.format(ownFormat, args...), n);
  EXPECT_EQ(bytes(u), expected);
}

#define EXPECT_LIKE_C(format, ...) expectLikeC(format, format, __VA_ARGS__)

// ---- numbers against the C library ----------------------------------------------------------

TEST(FormatNumbers, IntegersWithFlagsWidthAndPrecision) {
  EXPECT_LIKE_C("%d", 0);
  EXPECT_LIKE_C("%d", -1);
  EXPECT_LIKE_C("%d|%d", INT_MIN, INT_MAX);
  EXPECT_LIKE_C("%i", 42);
  EXPECT_LIKE_C("[%5d]", 42);
  EXPECT_LIKE_C("[%-5d]", 42);
  EXPECT_LIKE_C("[%05d]", -42);
  EXPECT_LIKE_C("[%+d] [%+d]", 42, -42);
  EXPECT_LIKE_C("[% d] [% d]", 42, -42);
  EXPECT_LIKE_C("[%+05d]", 7);
  EXPECT_LIKE_C("[%-05d]", 7);
  EXPECT_LIKE_C("[%.3d]", 7);
  EXPECT_LIKE_C("[%8.3d]", -7);
  EXPECT_LIKE_C("[%-8.3d]", 7);
  EXPECT_LIKE_C("[%.0d]", 0);
  EXPECT_LIKE_C("[%08.3d]", 5);
  EXPECT_LIKE_C("[%*d]", 6, 42);
  EXPECT_LIKE_C("[%-*d]", 6, 42);
  EXPECT_LIKE_C("[%*d]", -6, 42);  // a negative width aligns left
  EXPECT_LIKE_C("[%.*d]", 4, 42);
  EXPECT_LIKE_C("[%.*d]", -1, 42);  // a negative precision counts as none
  EXPECT_LIKE_C("[%*.*d]", 8, 4, -42);
  EXPECT_LIKE_C("%d%%", 100);
  EXPECT_LIKE_C("a %d b %d c %d", 1, 22, 333);
}

TEST(FormatNumbers, UnsignedOctalAndHex) {
  EXPECT_LIKE_C("%u", 0u);
  EXPECT_LIKE_C("%u", UINT_MAX);
  EXPECT_LIKE_C("%u", static_cast<unsigned>(-5));
  EXPECT_LIKE_C("%x %X", 0xBEEFu, 0xBEEFu);
  EXPECT_LIKE_C("%x", UINT_MAX);
  EXPECT_LIKE_C("%o %o", 8u, 0u);
  EXPECT_LIKE_C("%#o %#o", 8u, 0u);
  EXPECT_LIKE_C("%#x %#X %#x", 255u, 255u, 0u);
  EXPECT_LIKE_C("[%08x]", 0xABCu);
  EXPECT_LIKE_C("[%#010x]", 0xABCu);
  EXPECT_LIKE_C("[%-#10X]", 255u);
  EXPECT_LIKE_C("[%.6x]", 0x1Fu);
  EXPECT_LIKE_C("[%5u]", 12u);
}

TEST(FormatNumbers, LengthModifiers) {
  EXPECT_LIKE_C("%ld %ld", LONG_MIN, LONG_MAX);
  EXPECT_LIKE_C("%lu %lx", ULONG_MAX, ULONG_MAX);
  EXPECT_LIKE_C("%lld %lld", LLONG_MIN, LLONG_MAX);
  EXPECT_LIKE_C("%llu %llX %llo", ULLONG_MAX, ULLONG_MAX, ULLONG_MAX);
  EXPECT_LIKE_C("[%+20lld]", 123456789012345LL);
  EXPECT_LIKE_C("%zu %zx", SIZE_MAX, static_cast<std::size_t>(0x1234));
  EXPECT_LIKE_C("%zd", static_cast<std::ptrdiff_t>(-5));
  EXPECT_LIKE_C("%td", static_cast<std::ptrdiff_t>(PTRDIFF_MIN));
  EXPECT_LIKE_C("%jd %ju", INTMAX_MIN, UINTMAX_MAX);
  EXPECT_LIKE_C("%hd %hu %hx", 70000, 70000, 0x12345);
  EXPECT_LIKE_C("%hhd %hhu %hhx", 300, 300, 0x1FF);
  EXPECT_LIKE_C("%hd", -32769);
}

TEST(FormatNumbers, Int64SpellingsAreLongLong) {
  expectLikeC("%lld", "%I64d", LLONG_MIN);
  expectLikeC("%lld", "%I64d", LLONG_MAX);
  expectLikeC("%llu", "%I64u", ULLONG_MAX);
  expectLikeC("%llX", "%I64X", 0xDEADBEEFCAFEBABEULL);
  expectLikeC("%llx", "%I64x", 0xDEADBEEFCAFEBABEULL);
  expectLikeC("[%-20lld]", "[%-20I64d]", -5LL);
  expectLikeC("[%020llu]", "[%020I64u]", 18446744073709551615ULL);
  expectLikeC("%lld|%d", "%I64d|%d", 1LL << 40, 7);  // the next argument is read correctly
  expectLikeC("%d", "%I32d", -5);
}

TEST(FormatNumbers, FloatingPointAgainstSnprintf) {
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -2.5,
                           0.1,
                           3.141592653589793,
                           123456789.0,
                           1.0 / 3.0,
                           1e300,
                           -1e300,
                           DBL_MAX,
                           1e-300,
                           DBL_MIN,
                           std::numeric_limits<double>::denorm_min(),
                           1e15,
                           1e16,
                           0.0001,
                           0.00001,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN()};
  const char* formats[] = {"%f",   "%e",     "%E",    "%g",       "%G",    "%.16g",
                           "%.3f", "%.0f",   "%#.0f", "[%12.2f]", "%+.2e", "[%-14.4e]",
                           "%#g",  "%08.3f", "% .5g", "%F",       "%a",    "%.1A"};
  for (const char* format : formats)
    for (double value : values) {
      SCOPED_TRACE(value);
      expectLikeC(format, format, value);
    }
  EXPECT_LIKE_C("[%*.*f]", 10, 3, 2.71828);
  EXPECT_LIKE_C("%Lf %Lg", 1.5L, 1e-5L);
  EXPECT_LIKE_C("%g %d %g", 0.5, 42, 1.5);  // doubles and ints interleaved
}

TEST(FormatNumbers, PointersCharactersAndPercent) {
  int x = 0;
  EXPECT_LIKE_C("%p", static_cast<void*>(&x));
  EXPECT_LIKE_C("%p", static_cast<void*>(nullptr));
  EXPECT_LIKE_C("[%20p]", static_cast<void*>(&x));
  EXPECT_LIKE_C("%c%c%c", 'a', 'B', '7');
  EXPECT_LIKE_C("[%3c] [%-3c]", 'x', 'y');
  EXPECT_LIKE_C("100%% %d", 1);
  EXPECT_LIKE_C("%%d %d", 5);
}

// ---- strings and characters in wide formats -------------------------------------------------

TEST(FormatWideText, StringKinds) {
  String s;
  EXPECT_EQ(s.format(L"[%s]", L"h\u00E9llo"), 7);
  EXPECT_EQ(wide(s), L"[h\u00E9llo]");
  // %S and %hs take UTF-8: e-acute, euro sign and a four-byte character.
  const char* utf8 = "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!";
  EXPECT_EQ(s.format(L"%S", utf8), 5);
  EXPECT_EQ(wide(s), L"h\u00E9\u20AC\U0001F600!");
  EXPECT_EQ(s.format(L"%hs", utf8), 5);
  EXPECT_EQ(wide(s), L"h\u00E9\u20AC\U0001F600!");
  EXPECT_EQ(s.format(L"%ls|%ws", L"\u00E9", L"\u20AC"), 3);
  EXPECT_EQ(wide(s), L"\u00E9|\u20AC");
  // Broken UTF-8 becomes replacement characters.
  s.format(L"%S",
           "a\xFF"
           "b\xC3");
  EXPECT_EQ(wide(s), L"a\uFFFDb\uFFFD");
  const String arg(L"string argument");
  s.format(L"<%s>", arg.getBuffer());
  EXPECT_EQ(wide(s), L"<string argument>");
}

TEST(FormatWideText, Characters) {
  String s;
  EXPECT_EQ(s.format(L"%c%c%c", L'a', 0xE9, 0x20AC), 3);
  EXPECT_EQ(wide(s), L"a\u00E9\u20AC");
  s.format(L"%c", 0x1F600);
  EXPECT_EQ(wide(s), L"\U0001F600");
  s.format(L"%lc%wc", 0xE9, 0x20AC);
  EXPECT_EQ(wide(s), L"\u00E9\u20AC");
  s.format(L"%C%hc", 'A', 'b');  // narrow characters
  EXPECT_EQ(wide(s), L"Ab");
  s.format(L"[%3c][%-3c]", 0xE9, L'x');
  EXPECT_EQ(wide(s), L"[  \u00E9][x  ]");
}

TEST(FormatWideText, WidthPrecisionAndAlignment) {
  String s;
  s.format(L"[%8s][%-8s][%.2s][%6.2s][%-6.2s][%2s]", L"abc", L"abc", L"abc", L"abc", L"abc",
           L"abcd");
  EXPECT_EQ(wide(s), L"[     abc][abc     ][ab][    ab][ab    ][abcd]");
  s.format(L"[%*s][%-*s][%.*s]", 5, L"ab", 5, L"ab", 1, L"ab");
  EXPECT_EQ(wide(s), L"[   ab][ab   ][a]");
  // Width and precision of narrow text count the wide characters produced.
  s.format(L"[%5S][%-6.2S][%.3hs]", "\xC3\xA9", "h\xC3\xA9llo", "\xE2\x82\xAC\xE2\x82\xAC");
  EXPECT_EQ(wide(s), L"[    \u00E9][h\u00E9    ][\u20AC\u20AC]");
  s.format(L"[%.0s][%.0S]", L"abc", "abc");
  EXPECT_EQ(wide(s), L"[][]");
}

TEST(FormatWideText, NullStringsUnknownConversionsAndN) {
  String s;
  EXPECT_EQ(s.format(L"%s", static_cast<const wchar_t*>(nullptr)), 6);
  EXPECT_EQ(wide(s), L"(null)");
  s.format(L"[%S][%8s][%-8hs]", static_cast<const char*>(nullptr),
           static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr));
  EXPECT_EQ(wide(s), L"[(null)][  (null)][(null)  ]");

  // An unknown conversion is kept as it stands and takes no argument.
  EXPECT_EQ(s.format(L"a%yb%d", 5), 5);
  EXPECT_EQ(wide(s), L"a%yb5");
  s.format(L"[%-5y][%d]", 6);
  EXPECT_EQ(wide(s), L"[%-5y][6]");

  // %n consumes its pointer but writes nothing.
  int written = 77;
  EXPECT_EQ(s.format(L"ab%ncd%d", &written, 9), 5);
  EXPECT_EQ(wide(s), L"abcd9");
  EXPECT_EQ(written, 77);
}

TEST(FormatWideText, LongNarrowArgument) {
  std::string utf8;
  for (int i = 0; i < 3000; ++i)
    utf8 += "\xC3\xA9";
  String s;
  EXPECT_EQ(s.format(L"%S|%d", utf8.c_str(), 12), 3003);
  EXPECT_EQ(wide(s), std::wstring(3000, L'\u00E9') + L"|12");
}

// ---- the decimal point under another locale -------------------------------------------------

// Switches LC_NUMERIC to a locale with a decimal comma, if one is installed.
class DecimalCommaLocale {
 public:
  DecimalCommaLocale() : _saved(std::setlocale(LC_NUMERIC, nullptr)) {
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8",  "de_DE",       "fr_FR.UTF-8",
                           "fr_FR.utf8",  "fr_FR",       "it_IT.UTF-8", "es_ES.UTF-8",
                           "nl_NL.UTF-8", "pt_BR.UTF-8", "ru_RU.UTF-8", "de_DE@euro"};
    for (const char* name : names) {
      if (std::setlocale(LC_NUMERIC, name) &&
          std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
        _active = true;
        return;
      }
    }
    std::setlocale(LC_NUMERIC, _saved.c_str());
  }
  ~DecimalCommaLocale() { std::setlocale(LC_NUMERIC, _saved.c_str()); }
  bool active() const { return _active; }

 private:
  std::string _saved;
  bool _active = false;
};

TEST(FormatLocale, DecimalPointStaysAPoint) {
  DecimalCommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no locale with a decimal comma is installed";
  char reference[32];
  std::snprintf(reference, sizeof reference, "%.2f", 3.25);
  ASSERT_STREQ(reference, "3,25");  // the C library follows the locale

  String s;
  s.format(L"%.2f|%g|%e|%.16g|%d", 3.25, 0.5, 1.5, 0.1, 1234567);
  EXPECT_EQ(wide(s), L"3.25|0.5|1.500000e+00|0.1|1234567");
  String_T<char> u;
  u.format("%.2f|%G|%10.3f", -3.25, 2.5e-7, 1.0);
  EXPECT_EQ(bytes(u), "-3.25|2.5E-07|     1.000");
}

// ---- strings and characters in 8-bit formats ------------------------------------------------

TEST(FormatUtf8Text, NarrowAndWideArguments) {
  String_T<char> s;
  EXPECT_EQ(s.format("[%s|%hs]", "h\xC3\xA9", "\xE2\x82\xAC"), 9);
  EXPECT_EQ(bytes(s), "[h\xC3\xA9|\xE2\x82\xAC]");
  const wchar_t* text = L"h\u00E9\u20AC\U0001F600!";
  s.format("%S", text);
  EXPECT_EQ(bytes(s), "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!");
  s.format("%ls|%ws", text, L"\u00E9");
  EXPECT_EQ(bytes(s), "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80!|\xC3\xA9");
  s.format("%c%lc%C%wc", 'x', 0xE9, 0x20AC, 0x1F600);
  EXPECT_EQ(bytes(s), "x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  s.format("%s|%S", static_cast<const char*>(nullptr), static_cast<const wchar_t*>(nullptr));
  EXPECT_EQ(bytes(s), "(null)|(null)");
}

TEST(FormatUtf8Text, WidthAndPrecisionCountBytes) {
  String_T<char> s;
  s.format("[%6ls][%-6S]", L"\u00E9", L"\u20AC");
  EXPECT_EQ(bytes(s), "[    \xC3\xA9][\xE2\x82\xAC   ]");
  // A precision never splits a character.
  s.format("[%.3ls][%.4S][%.5ls]", L"\u00E9\u20AC", L"\u00E9\u00E9\u00E9", L"\u00E9\u20AC");
  EXPECT_EQ(bytes(s), "[\xC3\xA9][\xC3\xA9\xC3\xA9][\xC3\xA9\xE2\x82\xAC]");
  s.format("[%.2s][%5s]", "abc", "ab");
  EXPECT_EQ(bytes(s), "[ab][   ab]");
}

TEST(FormatCodePageText, WideArgumentsUseTheCodePage) {
  const int saved = vemo::getCodePage();
  vemo::setCodePage(1252);
  String_T<unsigned char> s;
  const unsigned char format[] = {'%', 'S', '|', '%', 'l', 'c', '|', '%', 's', 0};
  const unsigned char own[] = {0xE9, 't', 0xE9, 0};
  s.format(format, L"caf\u00E9 \u20AC", 0x20AC, own);
  EXPECT_EQ(bytes(s), "caf\xE9 \x80|\x80|\xE9t\xE9");
  vemo::setCodePage(saved);
}

}  // namespace
