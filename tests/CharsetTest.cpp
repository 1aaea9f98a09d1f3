// Code pages, conversions, character helpers and convertToString; bytes from Python's codecs.
#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "vemo/core/Charset.h"
#include "vemo/core/String.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

#if defined(_WIN32)
// The Windows converter's own replacement for a broken double-byte character of code page 932
// (its default character, the katakana middle dot); iconv gives U+FFFD.
constexpr int kBadDbcs = 0x30FB;
// Whether the system converts ISO-2022-KR (50225). Windows does; Wine has no converter for it.
bool hasIso2022Kr() {
  return IsValidCodePage(50225) != 0;
}
#else
constexpr int kBadDbcs = 0xFFFD;
bool hasIso2022Kr() {
  return true;
}
#endif

}  // namespace

namespace {

using Ansi = String_T<unsigned char>;
using Utf8 = String_T<char>;
using ints = std::vector<int>;
using wides = std::vector<std::wstring>;

class CharsetTest : public ::testing::Test {
  void TearDown() override { setCodePage(0); }
};

const auto raw = [](const auto& s) {
  return std::string(reinterpret_cast<const char*>(s.getBuffer()), s.getBufferLength() - 1);
};

const auto wideOf = [](const String& s) { return std::wstring(s.getBuffer(), s.getLength()); };

const auto ansi = [](const char* bytes) { return reinterpret_cast<const unsigned char*>(bytes); };
const char* const kNoText = nullptr;
const wchar_t* const kNoWide = nullptr;

const auto toAnsi = [](const std::wstring& t) { return raw(StringHelper::wideToAnsi(t.c_str())); };

const auto fromAnsi = [](std::string b) { return wideOf(StringHelper::ansiToWide(ansi(&b[0]))); };

const auto repeat = [](auto s) {  // 512 copies, longer than any first-pass buffer
  for (int i = 0; i < 9; ++i)
    s += s;
  return s;
};

#define BOTH(text) L"" text, text  // a wide and a UTF-8 literal of the same text

// Each code page: a sample text, its bytes and its names in the character-set table (81 in all).
// clang-format off
const struct { int codePage; const wchar_t* wide; const char *utf8, *bytes, *names; }
kCodePages[] = {
    {1252, BOTH("Café €5 “ok” Œ"), "\x43\x61\x66\xe9\x20\x80\x35\x20\x93\x6f\x6b\x94\x20\x8c",
     "ansi_x3.4-1968 ansi_x3.4-1986 ascii english cp367 cp819 csascii ibm367 ibm819 iso-8859-1 "
     "iso-ir-100 iso-ir-6 iso646-us iso8859-1 iso_646.irv:1991 iso_8859-1 iso_8859-1:1987 latin1 "
     "us us-ascii windows-1252"},
    {950, BOTH("中文繁體"), "\xa4\xa4\xa4\xe5\xc1\x63\xc5\xe9", "big5 csbig5 x-x-big5"},
    {936, BOTH("中文简体"), "\xd6\xd0\xce\xc4\xbc\xf2\xcc\xe5",
     "chinese csgb2312 csiso58gb231280 gb2312 gb_2312-80 iso-ir-58 hz-gb-2312"},
    {949, BOTH("한국어 텍스트"), "\xc7\xd1\xb1\xb9\xbe\xee\x20\xc5\xd8\xbd\xba\xc6\xae",
     "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks-c-5601 ks-c-5601-1987 ks_c_5601 "
     "ks_c_5601-1987 ks_c_5601-1989 ksc-5601 ksc5601 ksc_5601"},
    {50225, BOTH("한국어"), "\x1b\x24\x29\x43\x0e\x47\x51\x31\x39\x3e\x6e\x0f",
     "csiso2022kr iso-2022-kr"},
    {28592, BOTH("Łódź Žluťoučký"), "\xa3\xf3\x64\xbc\x20\xae\x6c\x75\xbb\x6f\x75\xe8\x6b\xfd",
     "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso_8859-2 iso_8859-2:1987 l2 latin2"},
    {1255, BOTH("שלום ₪"), "\xf9\xec\xe5\xed\x20\xa4",
     "csisolatinhebrew iso-8859-8 iso-ir-138 iso_8859-8 iso_8859-8:1988 hebrew windows-1255"},
    {20866, BOTH("Привет, мир"), "\xf0\xd2\xc9\xd7\xc5\xd4\x2c\x20\xcd\xc9\xd2", "cskoi8r koi8-r"},
    {932, BOTH("日本語カナ"), "\x93\xfa\x96\x7b\x8c\xea\x83\x4a\x83\x69",
     "csshiftjis ms_kanji shift-jis shift_jis japanese x-sjis"},
    {852, BOTH("Łódź Čes"), "\x9d\xa2\x64\xab\x20\xac\x65\x73", "ibm852"},
    {866, BOTH("Привет №"), "\x8f\xe0\xa8\xa2\xa5\xe2\x20\xfc", "ibm866"},
    {1250, BOTH("Zażółć ř"), "\x5a\x61\xbf\xf3\xb3\xe6\x20\xf8", "windows-1250 x-cp1250"},
    {1251, BOTH("Привет ў"), "\xcf\xf0\xe8\xe2\xe5\xf2\x20\xa2", "windows-1251 x-cp1251"},
    {1253, BOTH("Καλημέρα"), "\xca\xe1\xeb\xe7\xec\xdd\xf1\xe1", "windows-1253"},
    {1254, BOTH("İstanbul ğş"), "\xdd\x73\x74\x61\x6e\x62\x75\x6c\x20\xf0\xfe", "windows-1254"},
    {1256, BOTH("مرحبا"), "\xe3\xd1\xcd\xc8\xc7", "windows-1256"},
    {1257, BOTH("Ąžuolas ē"), "\xc0\xfe\x75\x6f\x6c\x61\x73\x20\xe7", "windows-1257"},
    {1258, BOTH("Đơn ưă ₫"), "\xd0\xf5\x6e\x20\xfd\xe3\x20\xfe", "windows-1258"},
    {874, BOTH("สวัสดี"), "\xca\xc7\xd1\xca\xb4\xd5", "windows-874"},
    {65001, BOTH("x😀\U0010FFFF"), "x\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", ""},  // UTF-8 itself
};

// stringLength, then bytes and value (-1: unchecked) of stringChar. UTF-8 (code page -1): at most
// 3 bytes, cut at a non-continuation, else 1 byte & 0x7F. A code-page high byte takes the next.
const struct { int codePage; const char* text; int length, bytes, value; } walks[] = {
    {-1, "\x7F", 1, 1, 0x7F}, {-1, "\xC2\x80", 1, 2, 0x80}, {-1, "\xDF\xBF", 1, 2, 0x7FF},
    {-1, "\xE0\xA0\x80", 1, 3, 0x800}, {-1, "\xEF\xBF\xBF", 1, 3, 0xFFFF}, {-1, "é€", 2, 2, 0xE9},
    {-1, "\xED\xA0\x80", 1, 3, 0xD800}, {-1, "😀", 4, 1, 0xF0 & 0x7F}, {-1, "\xBFz", 2, 1, 0x3F},
    {-1, "\xC3", 1, 1, 0xC3 & 0x7F}, {-1, "\xC3z", 2, 1, 0xC3 & 0x7F}, {-1, "\xE2\x82é", 2, 2, -1},
    {-1, "\xE2z", 2, 1, -1}, {932, "\x93", 1, 1, kBadDbcs}, {932, "\x93\xFA\x96\x7B", 2, 2, 0x65E5},
    {936, "\xD6\xD0", 1, 2, 0x4E2D}, {1252, "\x80", 1, 1, 0x20AC}, {1252, "\xE9!", 1, 2, -1},
    {1252, "\x80\x80\x80", 2, 2, -1}, {1252, "Caf\xE9!", 4, 1, 'C'}, {1252, "ab\x93", 3, 1, 'a'}};
// charToString: UTF-8 (Python's 'surrogatepass'), then code pages; 0 writes only a terminator.
const struct { int codePage, ch; const char* bytes; } encodings[] = {
    {-1, 0, ""}, {-1, 0x7F, "\x7f"}, {-1, 0x80, "\xc2\x80"}, {-1, 0x7FF, "\xdf\xbf"}, {1252, 0, ""},
    {-1, 0x800, "\xe0\xa0\x80"}, {-1, 0xFFFF, "\xef\xbf\xbf"}, {-1, 0xD800, "\xed\xa0\x80"},
    {-1, 0x1F600, "\xf0\x9f\x98\x80"}, {1252, 0x20AC, "\x80"}, {1252, 0x4E2D, "?"}, {932, 'A', "A"},
    {932, 0x65E5, "\x93\xfa"}, {65001, 0x20AC, "€"}};
// clang-format on

TEST_F(CharsetTest, EveryNameSelectsItsCodePageInAnyCase) {
  int count = 0;
  for (const auto& row : kCodePages) {
    std::istringstream names(row.names);
    for (std::string name; names >> name; ++count) {
      std::transform(name.begin(), name.end(), name.begin(), ::toupper);  // lower-cased first
      EXPECT_TRUE(setCodePage(7) && setCodePage(name.c_str()) && getCodePage() == row.codePage)
          << name;
    }
  }
  EXPECT_EQ(count, 81);
  ASSERT_TRUE(setCodePage("iso-8859-1") && getCodePage() == 1252);
  const std::string longName(200, 'a');
  for (const char* name :
       {"utf-8", "", "cp1252", "latin1 ", "windows-1252x", "iso-8859-", longName.c_str()})
    EXPECT_TRUE(!setCodePage(name) && getCodePage() == 1252) << name;  // the setting stays
  ASSERT_TRUE(setCodePage(12345) && getCodePage() == 12345);       // a number is stored as given
  EXPECT_TRUE(fromAnsi("abc").empty() && toAnsi(L"abc").empty());  // no such converter: empty
}

TEST_F(CharsetTest, EveryCodePageConvertsBothWays) {
  for (const auto& s : kCodePages) {
    SCOPED_TRACE(s.codePage);
    if (s.codePage == 50225 && !hasIso2022Kr()) continue;  // Wine: see hasIso2022Kr
    setCodePage(s.codePage);
    EXPECT_EQ(toAnsi(s.wide), s.bytes);
    EXPECT_EQ(fromAnsi(s.bytes), s.wide);
    EXPECT_EQ(raw(StringHelper::utf8ToAnsi(s.utf8)), s.bytes);
    EXPECT_EQ(raw(StringHelper::ansiToUtf8(ansi(s.bytes))), s.utf8);
    EXPECT_EQ(StringHelper::wideToAnsi(s.wide).getLength(), stringLength(ansi(s.bytes)));
    EXPECT_EQ(StringHelper::wideToUtf8(s.wide).getLength(), stringLength(s.utf8));
    // Long texts are measured first and converted again; the stateful code page shifts once.
    const std::string bytes = s.codePage != 50225
                                  ? repeat(std::string(s.bytes))
                                  : "\x1b$)C\x0e" + repeat(std::string("GQ19>n")) + "\x0f";
    EXPECT_EQ(toAnsi(repeat(std::wstring(s.wide))), bytes);
    EXPECT_EQ(fromAnsi(bytes), repeat(std::wstring(s.wide)));
    for (const char* t : {kNoText, ""})  // null and empty give empty
      EXPECT_TRUE(StringHelper::ansiToWide(ansi(t)).isEmpty() &&
                  StringHelper::utf8ToWide(t).isEmpty() &&
                  StringHelper::wideToAnsi(t ? L"" : kNoWide).isEmpty() &&
                  StringHelper::wideToUtf8(t ? L"" : kNoWide).isEmpty());
  }
}

// Code page 0 follows the LC_CTYPE locale, read once, so each case runs in a fresh process: C
// counts as UTF-8; an ISO-8859-1 locale is compiled into a directory found through LOCPATH.
TEST_F(CharsetTest, DefaultCodePageFollowsTheLocale) {
#if defined(_WIN32)
  // Code page 0 is the system's ANSI code page, which a process cannot change: the texts of
  // code page 0 are those of that code page named by its number.
  const std::wstring texts = L"\u00E9\u00FF\u20AC\u0416\u4E2D";
  setCodePage(0);
  const std::string bytes = toAnsi(texts);
  const std::wstring back = fromAnsi(bytes);
  setCodePage(static_cast<int>(GetACP()));
  EXPECT_EQ(bytes, toAnsi(texts));
  EXPECT_EQ(back, fromAnsi(bytes));
  EXPECT_FALSE(bytes.empty());
  setCodePage(0);
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char made[] = "/tmp/vemo-charset-XXXXXX";  // a death test's child finds it in LOCPATH
  const char* inherited = std::getenv("LOCPATH");
  const bool child = inherited && std::strstr(inherited, "/vemo-charset-");
  const std::string dir = child ? inherited : mkdtemp(made) ? made : "/nonexistent";
  const std::string build = "localedef -i en_US -f ISO-8859-1 " + dir + "/latin1 2>&-";
  const bool latin1 = child || std::system(build.c_str()) == 0;
  setenv("LOCPATH", dir.c_str(), 1);
  for (const char* locale : {"C", "POSIX", "C.UTF-8", latin1 ? "latin1" : "C"}) {
    const std::string bytes = *locale == 'l' ? "\xE9\xFF" : "éÿ";
    setenv("LC_ALL", locale, 1);
    EXPECT_EXIT(std::exit(getCodePage() != 0 || toAnsi(L"éÿ") != bytes || fromAnsi(bytes) != L"éÿ"),
                ::testing::ExitedWithCode(0), "")
        << locale;
  }
  unsetenv("LC_ALL"), unsetenv("LOCPATH");
  if (!child) std::system(("rm -rf " + dir).c_str());
  if (!latin1) GTEST_SKIP() << "no locale sources to build an ISO-8859-1 locale";
#endif
}

TEST_F(CharsetTest, WhatCannotBeConvertedIsReplaced) {
  setCodePage(1252);
#if defined(_WIN32)
  // The Windows converter replaces each UTF-16 unit of a surrogate pair, and maps the unassigned
  // 0x81 to U+0081; a bad double-byte pair of 932 is one U+30FB, the blank taken as its trail
  // byte (as Wine's converter does too).
  EXPECT_EQ(toAnsi(L"a中b") + raw(StringHelper::utf8ToAnsi("a😀z")), "a?ba??z");
  EXPECT_EQ(fromAnsi("a\x81z"), L"a\u0081z");
  EXPECT_EQ(toAnsi(repeat(std::wstring(L"a中"))), repeat(std::string("a?")));
  setCodePage(932);  // cut short, bad trail byte
  EXPECT_EQ(fromAnsi("\x93\xFA\x93") + L"|" + fromAnsi("\x81 "), L"日\u30FB|\u30FB");
#else
  EXPECT_EQ(toAnsi(L"a中b") + raw(StringHelper::utf8ToAnsi("a😀z")), "a?ba?z");
  EXPECT_EQ(fromAnsi("a\x81z"), L"a\uFFFDz");  // 0x81 is unassigned
  EXPECT_EQ(toAnsi(repeat(std::wstring(L"a中"))), repeat(std::string("a?")));
  setCodePage(932);  // cut short, bad trail byte
  EXPECT_EQ(fromAnsi("\x93\xFA\x93") + L"|" + fromAnsi("\x81 "), L"日\uFFFD|\uFFFD ");
#endif
  setCodePage(50225);  // the '?' goes through the stateful converter: shift in before it
  if (hasIso2022Kr()) {
    EXPECT_EQ(toAnsi(L"한\U0001F600"), "\x1b$)C\x0eGQ\x0f?");
  }
#if defined(_WIN32)
  // 16-bit units: two lone high surrogates (0x110000 does not fit a unit).
  const wchar_t noCodePoint[] = {L'a', wchar_t(0xD800), wchar_t(0xD800), 0};  // become U+FFFD
#else
  const wchar_t noCodePoint[] = {L'a', wchar_t(0xD800), wchar_t(0x110000), 0};  // become U+FFFD
#endif
  EXPECT_EQ(raw(StringHelper::wideToUtf8(noCodePoint)), "a\uFFFD\uFFFD");
  // Broken UTF-8 decodes as Python's bytes.decode('utf-8', 'replace') does; '?' is U+FFFD.
  std::wstring expected = L"?z|?z|?|??|???|????|???x|a??z|????|???|a?";
  std::replace(expected.begin(), expected.end(), L'?', L'\uFFFD');
  EXPECT_EQ(wideOf(StringHelper::utf8ToWide(
                "\xE2\x82z|\xF0\x9F\x98z|\xC3|\xC0\xAF|\xE0\x9F\xBF|\xF0\x8F\xBF\xBF|"
                "\xED\xA0\x80x|a\xBF\x80z|\xF4\x90\x80\x80|\xF5\xFE\xFF|a\xE2\x82")),
            expected);
}

TEST_F(CharsetTest, CharacterHelpers) {
  for (const auto& c : walks) {
    setCodePage(std::max(c.codePage, 0));
    int ch = -1;
    const bool u = c.codePage < 0;
    EXPECT_EQ((ints{u ? stringLength(c.text) : stringLength(ansi(c.text)),
                    static_cast<int>(u ? stringChar(c.text, ch) - c.text
                                       : stringChar(ansi(c.text), ch) - ansi(c.text)),
                    c.value < 0 ? -1 : ch, u ? stringCharLength(c.text) : c.bytes}),
              (ints{c.length, c.bytes, c.value, c.bytes}))
        << c.codePage << " " << ::testing::PrintToString(c.text);
  }
  for (const auto& c : encodings) {
    unsigned char out[9] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};  // the last byte stays 0
    setCodePage(std::max(c.codePage, 0));
    const bool u = c.codePage < 0;
    const int n = u ? charToString(reinterpret_cast<char*>(out), c.ch) : charToString(out, c.ch);
    EXPECT_EQ(reinterpret_cast<const char*>(out), std::string(c.bytes)) << c.ch;
    EXPECT_EQ((ints{n, u ? charLength<char>(c.ch) : charLength<unsigned char>(c.ch),
                    c.ch ? 'x' : out[1]}),
              (ints{static_cast<int>(std::strlen(c.bytes)), n, 'x'}))
        << c.ch;
  }
}

const auto text = [](auto value) { return wideOf(convertToString(value)); };

template <class V>
constexpr V lo = std::numeric_limits<V>::min();
template <class V>
constexpr V hi = std::numeric_limits<V>::max();

TEST_F(CharsetTest, ConvertToString) {
  // Floating point as "%.8g" and "%.16g"; the expected texts are the C library's printf output.
  EXPECT_EQ((wides{text(true), text(false), text(0.1f), text(0.1), text(1.0 / 3), text(-0.0),
                   text(1.0f / 3), text(16777217.0f), text(hi<float>), text(hi<double>)}),
            (wides{L"true", L"false", L"0.1", L"0.1", L"0.3333333333333333", L"-0", L"0.33333334",
                   L"16777216", L"3.4028235e+38", L"1.797693134862316e+308"}));
#define INTEGERS                                                                       \
  lo<long>, hi<long>, hi<unsigned long>, 0UL, hi<unsigned>, 0U, lo<signed char>,       \
      hi<unsigned char>, lo<short>, hi<unsigned short>, lo<int>, hi<int>, lo<__int64>, \
      hi<__int64>, static_cast<__int64>(0), hi<__uint64>, __uint64{0}, __uint64{100},  \
      static_cast<signed char>(-1), -42L
  const auto texts = [](auto... v) { return wides{text(v)...}; };
  const auto digits = [](auto... v) { return wides{std::to_wstring(v)...}; };
  EXPECT_EQ(texts(INTEGERS), digits(INTEGERS));

  setCodePage(1252);  // so that code-page bytes and UTF-8 bytes differ
  EXPECT_EQ((wides{text(ansi("Caf\xE9 \x80")), text("Café €"), text(L"Café €"),
                   text(Ansi(ansi("Caf\xE9 \x80"))), text(Utf8("Café €")), text(kNoWide),
                   text(Ansi()), text(Utf8())}),
            (wides{L"Café €", L"Café €", L"Café €", L"Café €", L"Café €", L"", L"", L""}));
  const String shared(L"shared");  // a String comes back as the same block
  EXPECT_EQ(convertToString(shared).getBuffer(), shared.getBuffer());
  // StringConvert takes each of its slots to each form; an empty slot gives empty results.
  const StringConvert slots[] = {ansi("Caf\xE9"), "Café", L"Café", ansi(nullptr), kNoText, kNoWide};
  for (const StringConvert& c : slots)
    EXPECT_EQ(raw(Ansi(c)) + "|" + raw(Utf8(c)) + "|" + toAnsi(wideOf(String(c))),
              &c < slots + 3 ? "Caf\xE9|Café|Caf\xE9" : "||");
}

}  // namespace
}  // namespace vemo
