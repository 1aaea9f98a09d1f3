// The formatter behind String_T::format: numbers against snprintf, then strings and characters.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "vemo/core/Charset.h"
#include "vemo/core/String.h"

using vemo::String;
using vemo::String_T;

namespace {

const char* const kNoText = nullptr;
const wchar_t* const kNoWide = nullptr;

std::wstring wide(const String& s) {
  return std::wstring(s.getBuffer(), static_cast<std::size_t>(s.getLength()));
}

template <class T>
std::string bytes(const String_T<T>& s) {
  return std::string(reinterpret_cast<const char*>(s.getBuffer()), s.getBufferLength() - 1);
}

// The C form (arguments through `...` and a va_list), which a call with arguments never takes.
template <class T>
int formatC(String_T<T>& target, const T* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = target.vprintf(format, args);
  va_end(args);
  return n;
}

// Formats with snprintf and `cFormat`, and with String::format (the format widened) and
// String_T<char>::format using `ownFormat`, in their typed forms and in their C forms: counts and
// texts must agree.
template <class... Args>
void expectLikeC(const char* cFormat, const char* ownFormat, Args... args) {
  SCOPED_TRACE(ownFormat);
  char c[2048];
  const int n = std::snprintf(c, sizeof c, cFormat, args...);
  ASSERT_TRUE(n >= 0 && n < static_cast<int>(sizeof c));
  String w(L"previous"), wc(L"previous");
  String_T<char> u("previous"), uc("previous");
  const std::wstring wideFormat(ownFormat, ownFormat + std::strlen(ownFormat));
  EXPECT_EQ(std::make_pair(w.format(wideFormat.c_str(), args...), u.format(ownFormat, args...)),
            std::make_pair(n, n));
  EXPECT_EQ(
      std::make_pair(formatC(wc, wideFormat.c_str(), args...), formatC(uc, ownFormat, args...)),
      std::make_pair(n, n));
  EXPECT_EQ(std::make_pair(wide(w), bytes(u)),
            std::make_pair(std::wstring(c, c + n), std::string(c)));
  EXPECT_EQ(std::make_pair(wide(wc), bytes(uc)),
            std::make_pair(std::wstring(c, c + n), std::string(c)));
}

// Formats in the typed form and in the C form, which must agree; the typed form's count.
template <class T, class... Args>
int formatBoth(String_T<T>& target, const T* format, const Args&... args) {
  String_T<T> c;
  const int cCount = formatC(c, format, args...);
  const int count = target.format(format, args...);
  EXPECT_EQ(count, cCount);
  EXPECT_TRUE(target == c) << bytes(target) << " | " << bytes(c);
  return count;
}

template <class V>
void expectAllLikeC(std::initializer_list<const char*> formats, std::initializer_list<V> values) {
  for (const char* format : formats)
    for (V value : values)
      expectLikeC(format, format, value);
}

TEST(FormatNumbers, IntegersAgainstSnprintf) {
  expectAllLikeC({"%d", "%i", "[%5d]", "[%-5d]", "[%05d]", "[%+d]", "[% d]", "[%+05d]", "[%-05d]",
                  "[%.3d]", "[%8.3d]", "[%-8.3d]", "[%.0d]", "[%08.3d]", "%d%%", "%%d %d"},
                 {0, 7, -42, INT_MIN, INT_MAX});
  expectAllLikeC({"%u", "%x", "%X", "%o", "%#o", "%#x", "%#X", "[%08x]", "[%#010x]", "[%-#10X]",
                  "[%.6x]", "[%5u]"},
                 {0u, 8u, 255u, 0xBEEFu, UINT_MAX});
  // Each length with arguments of its own type: long, size_t and intmax_t differ in width on
  // Windows (32, 32 or 64, and 64 bits).
  expectAllLikeC({"%ld", "%lu", "%lx"}, {LONG_MIN, -5L, 0x1234L, LONG_MAX});
  expectAllLikeC({"%zd", "%zu", "%zx", "%td"},
                 {PTRDIFF_MIN, std::ptrdiff_t{-5}, std::ptrdiff_t{0x1234}, PTRDIFF_MAX});
  expectAllLikeC({"%jd", "%ju"},
                 {INTMAX_MIN, std::intmax_t{-5}, std::intmax_t{0x1234}, INTMAX_MAX});
  expectAllLikeC({"%lld", "%llu", "%llX", "%llo", "[%+20lld]"},
                 {LLONG_MIN, 123456789012345LL, -1LL});
  expectAllLikeC({"%hd", "%hu", "%hx", "%hhd", "%hhu", "%hhx"}, {70000, 300, -32769, 0x1FF});
  // A negative width aligns left, a negative precision counts as none (0 still prints).
  const char* stars = "[%*d][%-*d][%*d][%-*d][%.*d][%.*d][%*.*d] %c%c [%3c][%-3c] a %d b %d";
  expectLikeC(stars, stars, 6, 42, 6, 42, -6, 42, -6, 42, 4, 42, -1, 0, 8, 4, -42, 'a', 'B', 'x',
              'y', 1, 22);
  expectAllLikeC<const void*>({"%p", "[%20p]"}, {"x", nullptr});
  // %I32 takes 32 bits, %I64 64 bits (and every argument after it is read correctly).
  for (long long v : {LLONG_MIN, LLONG_MAX, -5LL, 1LL << 40})
    expectLikeC("%d|%lld|%llu|%llX|%llx|[%-20lld][%020llu]",
                "%I32d|%I64d|%I64u|%I64X|%I64x|[%-20I64d][%020I64u]", -5, v, v, v, v, v, v);
}

TEST(FormatNumbers, FloatingPointAgainstSnprintf) {
  using L = std::numeric_limits<double>;
  const double max = L::max(), min = L::min(), sub = L::denorm_min(), inf = L::infinity(),
               nan = L::quiet_NaN();
  expectAllLikeC({"%f", "%e", "%E", "%g", "%G", "%.16g", "%.3f", "%.0f", "%#.0f", "[%12.2f]",
                  "%+.2e", "[%-14.4e]", "%#g", "%08.3f", "% .5g", "%F", "%a", "%.1A"},
                 {0.0,         -0.0,      1.0,   -2.5,   0.1,    3.141592653589793,
                  123456789.0, 1.0 / 3.0, 1e300, -1e300, max,    1e-300,
                  min,         sub,       1e15,  1e16,   0.0001, 0.00001,
                  inf,         -inf,      nan,   -nan});
  expectLikeC("[%*.*f] %Lf %Lg %g %d %g", "[%*.*f] %Lf %Lg %g %d %g", 10, 3, 2.71828, 1.5L, 1e-5L,
              0.5, 42, 1.5);  // doubles, long doubles and ints interleaved
}

// The decimal point stays a point under a locale with a decimal comma, where one is installed.
TEST(FormatNumbers, DecimalPointStaysAPoint) {
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  bool comma = false;
  // glibc's locale names, then the Windows run-time library's.
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8",
                           "German_Germany.1252", "French_France.1252"})
    comma = comma || (std::setlocale(LC_NUMERIC, name) && *std::localeconv()->decimal_point == ',');
  String_T<char> u;
  u.format("%.2f|%G|%10.3f|%e|%.16g|%d", -3.25, 2.5e-7, 1.0, 1.5, 0.1, 1234567);
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_EQ(bytes(u), "-3.25|2.5E-07|     1.000|1.500000e+00|0.1|1234567");
}

TEST(FormatText, WideFormats) {
  String s;
  // %s takes wide text, %S and %hs UTF-8 (broken bytes give U+FFFD), %ls and %ws wide; so does %c.
  const char* utf8 = "hé€😀!";
  EXPECT_EQ(
      formatBoth(s, L"[%s]%S|%hs|%ls|%ws|%S|%c%c%c%c|%lc%wc|%C%hc", L"héllo", utf8, utf8, L"é",
                 L"€", "a\xFF\x62\xC3", L'a', 0xE9, 0x20AC, 0x1F600, 0xE9, 0x20AC, 'A', 'b'),
      // The count is in wide units: the three characters above the basic plane take two
      // each where wchar_t has 16 bits (UTF-16 on Windows).
      sizeof(wchar_t) == 2 ? 41 : 38);
  EXPECT_EQ(wide(s), L"[héllo]hé€😀!|hé€😀!|é|€|a\uFFFDb\uFFFD|aé€😀|é€|Ab");
  // Width and precision; for narrow text they count the wide characters produced.
  formatBoth(
      s,
      L"[%8s][%-8s][%.2s][%6.2s][%2s][%*s][%-*s][%.*s][%3c][%-3c][%5S][%-6.2S][%.3hs][%.0s][%.0S]",
      L"abc", L"abc", L"abc", L"abc", L"abcd", 5, L"ab", 5, L"ab", 1, L"ab", 0xE9, L'x', "é",
      "héllo", "€€€", L"abc", "abc");
  EXPECT_EQ(
      wide(s),
      L"[     abc][abc     ][ab][    ab][abcd][   ab][ab   ][a][  é][x  ][    é][hé    ][€€€][][]");
  std::string long3000;  // e-acute 3000 times
  while (long3000.size() < 6000)
    long3000 += "é";
  EXPECT_EQ(formatBoth(s, L"%S|%d", long3000.c_str(), 12), 3003);
  EXPECT_EQ(wide(s), std::wstring(3000, L'é') + L"|12");
  // Null strings print as "(null)"; an unknown conversion is kept as it stands, taking nothing.
  EXPECT_EQ(formatBoth(s, L"%s[%S][%8s][%-8hs][%-5y]a%yb%d", kNoWide, kNoText, kNoWide, kNoText, 5),
            45);
  EXPECT_EQ(wide(s), L"(null)[(null)][  (null)][(null)  ][%-5y]a%yb5");
  int written = 77;  // %n consumes its pointer but writes nothing
  EXPECT_EQ(formatBoth(s, L"ab%ncd%d", &written, 9), 5);
  EXPECT_EQ(std::make_pair(wide(s), written), std::make_pair(std::wstring(L"abcd9"), 77));
}

TEST(FormatText, EightBitFormats) {
  String_T<char> s;
  const wchar_t* text = L"hé€😀!";  // %s takes the format's own kind; the count is in bytes
  // Width and precision count bytes, and a precision never splits a character.
  EXPECT_EQ(formatBoth(
                s, "[%s|%hs]%S|%ls|%ws|%c%lc%C%wc|%s|%S[%6ls][%-6S][%.3ls][%.4S][%.5ls][%.2s][%5s]",
                "hé", "€", text, text, L"é", 'x', 0xE9, 0x20AC, 0x1F600, kNoText, kNoWide, L"é",
                L"€", L"é€", L"ééé", L"é€", "abc", "ab"),
            104);
  EXPECT_EQ(bytes(s), "[hé|€]hé€😀!|hé€😀!|é|xé€😀|(null)|(null)[    é][€   ][é][éé][é€][ab][   ab]");
  const int saved = vemo::getCodePage();
  vemo::setCodePage(1252);  // wide arguments of a code-page format use the code page
  String_T<unsigned char> a;
  const unsigned char format[] = "%S|%lc|%s", own[] = {0xE9, 't', 0xE9, 0};
  formatBoth(a, format, L"café €", 0x20AC, own);
  EXPECT_EQ(bytes(a), "caf\xE9 \x80|\x80|\xE9t\xE9");
  vemo::setCodePage(saved);
}

}  // namespace

namespace {

enum Colour { kRed = 3 };
enum class Size : unsigned char { kLarge = 200 };

// The typed form takes each argument with its C++ type: every kind of string under the
// directive of its width, whatever its length or terminator.
TEST(FormatTyped, StringsOfEveryKind) {
  String s;
  const std::wstring wideStd = L"wé";
  const std::string narrowStd = "ná\xF0\x9F\x98\x80";  // n, a-acute, U+1F600
  const String_T<char> utf8("ü");
  const wchar_t unterminated[3] = {L'a', L'b', L'c'};  // no terminator: the array's end stops it
  const char narrowUnterminated[2] = {'x', 'y'};
  const std::wstring_view view = std::wstring_view(L"abcdef").substr(1, 3);  // no terminator either
  const std::string withZero("p\0q", 3);  // a zero unit ends the text, as in the C form
  EXPECT_EQ(s.format(L"%s|%s|%S|%S|%hs|%s|%S|%s|%S|%s|%S|%.1s|%-4s|%4S|", String(L"Wide"), wideStd,
                     narrowStd, utf8, "plain", L"lit", std::string_view("sv"), unterminated,
                     narrowUnterminated, view, withZero, String(L"xyz"), String(L"ab"), "é"),
            sizeof(wchar_t) == 2 ? 53 : 52);
  EXPECT_EQ(wide(s), L"Wide|wé|ná\U0001F600|ü|plain|lit|sv|abc|xy|bcd|p|x|ab  |   é|");
  // An array ends where it ends even when the memory after it holds more text: nothing past
  // its last unit is read.
  struct Neighbours {
    wchar_t wideArray[3];
    wchar_t wideAfter[2];
    char narrowArray[2];
    char narrowAfter[2];
  };
  const Neighbours n{{L'a', L'b', L'c'}, {L'Z', 0}, {'x', 'y'}, {'Q', 0}};
  s.format(L"%s|%S|%.5s|%5s", n.wideArray, n.narrowArray, n.wideArray, n.narrowArray);
  EXPECT_EQ(wide(s), L"abc|xy|abc|%!s(string=xy)");
  String_T<char> fromArrays;
  fromArrays.format("%s|%S|%c", n.narrowArray, n.wideArray, n.wideArray[2]);
  EXPECT_EQ(bytes(fromArrays), "xy|abc|c");
  // Null pointers of either width, and nullptr itself, print "(null)" under %s and %S.
  s.format(L"%s|%S|%s|%S", kNoWide, kNoText, nullptr, nullptr);
  EXPECT_EQ(wide(s), L"(null)|(null)|(null)|(null)");
  // A long text goes through the heap block and arrives whole.
  const std::wstring long1000(1000, L'z');
  EXPECT_EQ(s.format(L"<%s>%d", long1000, 5), 1003);
  EXPECT_EQ(wide(s), L"<" + long1000 + L">5");

  // 8-bit formats: %s their own kind, %S wide; a String_T<char> and a std::string alike.
  String_T<char> u;
  EXPECT_EQ(u.format("%s|%s|%S|%S|%ls", narrowStd, utf8, String(L"é"), wideStd, L"w"), 19);
  EXPECT_EQ(bytes(u), "ná\xF0\x9F\x98\x80|ü|é|wé|w");

  // Code-page text meets UTF-8 and wide text converted (code page 1252: e-acute is 0xE9).
  const int saved = vemo::getCodePage();
  vemo::setCodePage(1252);
  const unsigned char cp1252[] = {'c', 'a', 'f', 0xE9, 0};
  const String_T<unsigned char> ansi(cp1252);
  s.format(L"%S|%hs", ansi, cp1252);
  u.format("%s|%s", ansi, cp1252);
  String_T<unsigned char> a;
  const unsigned char format[] = "%s|%s|%S";
  a.format(format, std::string("é€"), ansi, String(L"€"));
  vemo::setCodePage(saved);
  EXPECT_EQ(wide(s), L"café|café");
  EXPECT_EQ(bytes(u), "café|café");
  EXPECT_EQ(bytes(a), "\xE9\x80|caf\xE9|\x80");
}

// Integers print their value whatever their width; the directive's signedness decides how, and
// %h/%hh still cut an int as C does.
TEST(FormatTyped, IntegersOfEveryWidth) {
  String s;
  const long long big = 1LL << 40;
  const unsigned long long all = ~0ULL;
  const std::int64_t negative = -5;
  s.format(L"%d|%i|%u|%x|%X|%ld|%lu|%I32d|%hd|%hhd|%hu", big, -big, negative, all, all, big, all,
           big, 70000, 0x1FF, -32769);
  EXPECT_EQ(wide(s),
            L"1099511627776|-1099511627776|18446744073709551611|ffffffffffffffff|"
            L"FFFFFFFFFFFFFFFF|1099511627776|18446744073709551615|1099511627776|4464|-1|"
            L"32767");
  // Narrower values are widened as C converts them; same-width ones keep C's reading.
  s.format(L"%lld|%llu|%I64x|%d|%u|%zu|%jd|%5d|%-5d|%05d|%+d", -5, -1, 255u, 3000000000u, -1,
           std::size_t{7}, static_cast<short>(-2), static_cast<signed char>(-3), 'A', true, kRed);
  EXPECT_EQ(wide(s),
            L"-5|18446744073709551615|ff|-1294967296|4294967295|7|-2|   -3|65   |00001|+3");
  s.format(L"%d|%u|%c|%c|%lc|%d", Size::kLarge, static_cast<unsigned char>(250), 'x', L'é', 0x20AC,
           L'A');
  EXPECT_EQ(wide(s), L"200|250|x|é|€|65");
  // Floating point of every width under every floating directive; pointers under %p.
  int object = 0;
  char c[128];
  const int n = std::snprintf(c, sizeof c, "%.2f|%g|%Lf|%.1Lf|%e|%p|%p", 1.5, 0.25, 2.5L, 3.75L,
                              1e10, static_cast<void*>(&object), static_cast<void*>(nullptr));
  EXPECT_EQ(
      s.format(L"%.2f|%g|%Lf|%.1Lf|%e|%p|%p", 1.5f, 0.25, 2.5, 3.75L, 1e10L, &object, nullptr), n);
  EXPECT_EQ(wide(s), std::wstring(c, c + n));
  // '*' takes any integer; arguments left over are ignored, as C ignores them.
  s.format(L"[%*d][%-*.*s]", 4LL, 7, static_cast<unsigned short>(5), 2, L"abc", 99, "extra");
  EXPECT_EQ(wide(s), L"[   7][ab   ]");

  // An unsigned 64-bit value is the number it is under a signed directive too.
  const std::uint64_t top = (1ULL << 63) + 5;
  s.format(L"%d|%lld|%i|%+d|%25d|%x|%d", top, top, all, top, top, top, std::uint64_t{7});
  EXPECT_EQ(wide(s),
            L"9223372036854775813|9223372036854775813|18446744073709551615|"
            L"9223372036854775813|      9223372036854775813|8000000000000005|7");
  // %c writes the character that its argument holds, whatever the argument's width, in the
  // output's encoding; a char is one unit of the format's narrow text.
  String_T<char> u;
  u.format("%c|%c|%c|%c|%lc|%3c|%c", L'\u00e9', U'\U0001F600', u'\u20ac', 'x', U'\U0001F600',
           L'\u00e9', 0x110000);
  EXPECT_EQ(bytes(u),
            "\xC3\xA9|\xF0\x9F\x98\x80|\xE2\x82\xAC|x|\xF0\x9F\x98\x80| \xC3\xA9|\xEF\xBF\xBD");
  s.format(L"%c|%c|%c|%c", U'\U0001F600', 'x', static_cast<char>(0xE9), u'\u20ac');
  EXPECT_EQ(wide(s), L"\U0001F600|x|\u00e9|\u20ac");
  // Widths, and precisions of numbers, are capped at 4096: no format pads or prints without
  // bound (a text's precision only limits what is taken of it).
  EXPECT_EQ(s.format(L"%*d", INT_MAX, 1), 4096);
  EXPECT_EQ(wide(s), std::wstring(4095, L' ') + L"1");
  EXPECT_EQ(s.format(L"%-*d|", INT_MIN, 1), 4097);
  EXPECT_EQ(s.format(L"%999999999999d", 1), 4096);
  EXPECT_EQ(s.format(L"%.*f", INT_MAX, 1.0), 4098);
  EXPECT_EQ(wide(s), L"1." + std::wstring(4096, L'0'));
  EXPECT_EQ(s.format(L"%.2147483647e", 1.0), 4102);
  EXPECT_EQ(s.format(L"%.*s", INT_MAX, L"abc"), 3);
  EXPECT_EQ(u.format("%*s", 1 << 30, "x"), 4096);
}

// A directive whose argument is of another kind, or missing, prints a marker with the argument
// in its own form, and reads nothing it should not.
TEST(FormatTyped, MismatchesAndMissingArgumentsPrintMarkers) {
  String s;
  int object = 0;
  char pointer[32];
  std::snprintf(pointer, sizeof pointer, "%p", static_cast<void*>(&object));
  const std::wstring pointerText(pointer, pointer + std::strlen(pointer));
  EXPECT_EQ(s.format(L"%s", std::string("narrow")), 18);
  EXPECT_EQ(wide(s), L"%!s(string=narrow)");  // the count is that of the marker
  s.format(L"%s|%S|%d|%s|%d|%f|%p|%c|%x|%s|%d|%u|%s", "char*", L"wide", String(L"str"), 42, 2.5, 7,
           -3LL, String(L"ab"), &object, true, 1.5L, nullptr, static_cast<unsigned short>(9));
  EXPECT_EQ(wide(s),
            L"%!s(string=char*)|%!S(wstring=wide)|%!d(wstring=str)|%!s(int32=42)|"
            L"%!d(double=2.5)|%!f(int32=7)|%!p(int64=-3)|%!c(wstring=ab)|%!x(pointer=" +
                pointerText + L")|%!s(bool=true)|%!d(long double=1.5)|%!u(nullptr)|%!s(uint16=9)");
  // A format alone is typed too: its directives print markers, "%%" is a '%'.
  EXPECT_EQ(s.format(L"%s"), 12);
  EXPECT_EQ(wide(s), L"%!s(missing)");
  s.format(L"a%%20s%20s%p");
  EXPECT_EQ(wide(s), L"a%20s%!s(missing)%!p(missing)");
  // Missing arguments: nothing is read past the list (the C form would read garbage or crash).
  s.format(L"%d and %s, %S %% %c%*d", 1);
  EXPECT_EQ(wide(s), L"1 and %!s(missing), %!S(missing) % %!c(missing)%!*(missing)%!d(missing)");
  // A '*' given something else is shown, and the directive goes on without a width.
  s.format(L"[%*d][%.*f]", L"w", 5, 2.5, 1.0);
  EXPECT_EQ(wide(s), L"[%!*(wstring=w)5][%!*(double=2.5)1.000000]");
  // Unknown conversions stay text and take nothing; %n takes its argument and writes nothing.
  int written = 7;
  s.format(L"%y%d%n|%q", 5, &written);
  EXPECT_EQ(std::make_pair(wide(s), written), std::make_pair(std::wstring(L"%y5|%q"), 7));
  // 8-bit formats mark the same way.
  String_T<char> u;
  u.format("%s|%S|%d", L"wide", std::string("narrow"));
  EXPECT_EQ(bytes(u), "%!s(wstring=wide)|%!S(string=narrow)|%!d(missing)");
}

}  // namespace
