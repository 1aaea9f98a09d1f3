// Charset: the code-page setting and its name table, the conversions between the three string
// forms, the character walking helpers of the 8-bit strings and convertToString.
//
// Expected code-page bytes were produced with Python's codecs (e.g.
// python3 -c "print('日本語カナ'.encode('cp932').hex())") and checked against glibc's iconv
// program; they are pasted here as literals.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "vemo/core/Charset.h"
#include "vemo/core/String.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

using Ansi = String_T<unsigned char>;
using Utf8 = String_T<char>;

// Every test that changes the code page gets the default back.
class CharsetTest : public ::testing::Test {
 protected:
  void TearDown() override { setCodePage(0); }
};

template <class T>
std::string hexOf(const String_T<T>& s) {
  static const char digits[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.getBuffer());
  std::string out;
  for (int i = 0; i < s.getBufferLength() - 1; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

std::string bytesOf(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

const unsigned char* ansi(const char* bytes) {
  return reinterpret_cast<const unsigned char*>(bytes);
}

std::wstring wideOf(const String& s) {
  return std::wstring(s.getBuffer(), s.getBufferLength() / sizeof(wchar_t) - 1);
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += s;
  return out;
}

std::wstring repeat(const std::wstring& s, int n) {
  std::wstring out;
  for (int i = 0; i < n; ++i)
    out += s;
  return out;
}

// ---------------------------------------------------------------------------------------------
// The code-page setting

struct NamedCodePage {
  const char* name;
  int codePage;
};

// clang-format off
const NamedCodePage kNames[] = {
    {"ansi_x3.4-1968", 1252},   {"ansi_x3.4-1986", 1252},   {"ascii", 1252},
    {"english", 1252},          {"cp367", 1252},            {"cp819", 1252},
    {"csascii", 1252},          {"ibm367", 1252},           {"ibm819", 1252},
    {"iso-8859-1", 1252},       {"iso-ir-100", 1252},       {"iso-ir-6", 1252},
    {"iso646-us", 1252},        {"iso8859-1", 1252},        {"iso_646.irv:1991", 1252},
    {"iso_8859-1", 1252},       {"iso_8859-1:1987", 1252},  {"latin1", 1252},
    {"us", 1252},               {"us-ascii", 1252},         {"windows-1252", 1252},
    {"big5", 950},              {"csbig5", 950},            {"x-x-big5", 950},
    {"chinese", 936},           {"cseuckr", 949},           {"csksc56011987", 949},
    {"euc-kr", 949},            {"iso-ir-149", 949},        {"korean", 949},
    {"ks-c-5601", 949},         {"ks-c-5601-1987", 949},    {"ks_c_5601", 949},
    {"ks_c_5601-1987", 949},    {"ks_c_5601-1989", 949},    {"ksc-5601", 949},
    {"ksc5601", 949},           {"ksc_5601", 949},          {"csgb2312", 936},
    {"csiso58gb231280", 936},   {"gb2312", 936},            {"gb_2312-80", 936},
    {"iso-ir-58", 936},         {"hz-gb-2312", 936},        {"csiso2022kr", 50225},
    {"iso-2022-kr", 50225},     {"csisolatin2", 28592},     {"iso-8859-2", 28592},
    {"iso-ir-101", 28592},      {"iso8859-2", 28592},       {"iso_8859-2", 28592},
    {"iso_8859-2:1987", 28592}, {"l2", 28592},              {"latin2", 28592},
    {"csisolatinhebrew", 1255}, {"iso-8859-8", 1255},       {"iso-ir-138", 1255},
    {"iso_8859-8", 1255},       {"iso_8859-8:1988", 1255},  {"hebrew", 1255},
    {"cskoi8r", 20866},         {"koi8-r", 20866},          {"csshiftjis", 932},
    {"ms_kanji", 932},          {"shift-jis", 932},         {"shift_jis", 932},
    {"japanese", 932},          {"x-sjis", 932},            {"ibm852", 852},
    {"ibm866", 866},            {"windows-1250", 1250},     {"x-cp1250", 1250},
    {"windows-1251", 1251},     {"x-cp1251", 1251},         {"windows-1253", 1253},
    {"windows-1254", 1254},     {"windows-1255", 1255},     {"windows-1256", 1256},
    {"windows-1257", 1257},     {"windows-1258", 1258},     {"windows-874", 874},
};
// clang-format on
static_assert(sizeof(kNames) / sizeof(kNames[0]) == 81, "every name of the table");

TEST_F(CharsetTest, EveryTableNameSelectsItsCodePage) {
  for (const NamedCodePage& row : kNames) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(setCodePage(7));
    EXPECT_TRUE(setCodePage(row.name));
    EXPECT_EQ(getCodePage(), row.codePage);

    std::string upper = row.name;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    setCodePage(7);
    EXPECT_TRUE(setCodePage(upper.c_str()));
    EXPECT_EQ(getCodePage(), row.codePage);
  }
}

TEST_F(CharsetTest, NamesAreLowerCasedBeforeTheLookUp) {
  EXPECT_TRUE(setCodePage("ISO-8859-1"));
  EXPECT_EQ(getCodePage(), 1252);
  EXPECT_TRUE(setCodePage("Shift_JIS"));
  EXPECT_EQ(getCodePage(), 932);
  EXPECT_TRUE(setCodePage("KOI8-r"));
  EXPECT_EQ(getCodePage(), 20866);
}

TEST_F(CharsetTest, UnknownNamesFailAndKeepTheSetting) {
  ASSERT_TRUE(setCodePage(932));
  const std::string longName(200, 'a');
  for (const char* name : {"utf-8", "UTF-8", "utf8", "", "cp1252", "latin-1", "iso-8859-15",
                           "latin1 ", " latin1", "windows-1252x", "iso-8859-", longName.c_str()}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(setCodePage(name));
    EXPECT_EQ(getCodePage(), 932);
  }
}

TEST_F(CharsetTest, NumericCodePageIsStoredAsGiven) {
  for (int codePage : {1252, 65001, 0, 12345, 932}) {
    EXPECT_TRUE(setCodePage(codePage));
    EXPECT_EQ(getCodePage(), codePage);
  }
}

// Code page 0 follows the environment's LC_CTYPE locale, where the C locale counts as UTF-8.
// Each check runs in a fresh process started with the locale set, so the charset is read from
// it. The child reports what failed on stderr and exits with the number of failures.
int checkDefaultCodePage(const wchar_t* text, const char* hex, const char* lossyHex) {
  int failures = 0;
  auto check = [&failures](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "failed: %s\n", what);
      ++failures;
    }
  };
  const std::string bytes = bytesOf(hex);
  check(getCodePage() == 0, "initial code page 0");
  check(wideOf(StringHelper::ansiToWide(ansi(bytes.c_str()))) == text, "decode");
  check(hexOf(StringHelper::wideToAnsi(text)) == hex, "encode");
  check(hexOf(StringHelper::wideToAnsi(L"\u20AC\u4E2D")) == lossyHex, "encode euro and 中");
  int ch = 0;
  const unsigned char* first = ansi(bytes.c_str());
  stringChar(first, ch);
  check(ch == static_cast<int>(text[0]), "stringChar");
  return failures;
}

class EnvironmentVariable {
 public:
  EnvironmentVariable(const char* name, const std::string& value) : _name(name) {
    const char* old = std::getenv(name);
    _had = old != nullptr;
    if (old) _old = old;
    setenv(name, value.c_str(), 1);
  }
  ~EnvironmentVariable() {
    if (_had)
      setenv(_name, _old.c_str(), 1);
    else
      unsetenv(_name);
  }

 private:
  const char* _name;
  bool _had;
  std::string _old;
};

TEST_F(CharsetTest, DefaultCodePageOfUtf8AndCLocalesIsUtf8) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* locale : {"C", "POSIX", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    EnvironmentVariable lcAll("LC_ALL", locale);
    EXPECT_EXIT(std::exit(checkDefaultCodePage(L"é€", "c3a9e282ac", "e282ace4b8ad")),
                ::testing::ExitedWithCode(0), "");
  }
}

TEST_F(CharsetTest, DefaultCodePageOfALatin1LocaleIsLatin1) {
  // The locale is compiled into a private directory; the child finds it through LOCPATH.
  std::string dir;
  const char* inherited = std::getenv("LOCPATH");
  const bool child = inherited && std::strstr(inherited, "/vemo-charset-");
  if (child) {
    dir = inherited;
  } else {
    char pattern[] = "/tmp/vemo-charset-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    const std::string command =
        "localedef -i en_US -f ISO-8859-1 " + dir + "/en_US.ISO-8859-1 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      std::system(("rm -rf " + dir).c_str());
      GTEST_SKIP() << "no locale sources to build an ISO-8859-1 locale";
    }
  }
  {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EnvironmentVariable locPath("LOCPATH", dir);
    EnvironmentVariable lcAll("LC_ALL", "en_US.ISO-8859-1");
    EXPECT_EXIT(std::exit(checkDefaultCodePage(L"éÿ", "e9ff", "3f3f")),
                ::testing::ExitedWithCode(0), "");
  }
  if (!child) std::system(("rm -rf " + dir).c_str());
}

TEST_F(CharsetTest, UnavailableCodePageGivesEmptyText) {
  setCodePage(12345);
  EXPECT_TRUE(StringHelper::ansiToWide(ansi("abc")).isEmpty());
  EXPECT_TRUE(StringHelper::wideToAnsi(L"abc").isEmpty());
}

// ---------------------------------------------------------------------------------------------
// Conversions

struct CodePageSample {
  int codePage;
  const wchar_t* wide;
  const char* utf8;
  const char* hex;  // Python: text.encode(codec).hex()
};

const CodePageSample kSamples[] = {
    {1252, L"Café €5 “ok” Œ", "Café €5 “ok” Œ", "436166e920803520936f6b94208c"},
    {950, L"中文繁體", "中文繁體", "a4a4a4e5c163c5e9"},
    {936, L"中文简体", "中文简体", "d6d0cec4bcf2cce5"},
    {949, L"한국어 텍스트", "한국어 텍스트", "c7d1b1b9beee20c5d8bdbac6ae"},
    {50225, L"한국어", "한국어", "1b2429430e475131393e6e0f"},
    {28592, L"Łódź Žluťoučký", "Łódź Žluťoučký", "a3f364bc20ae6c75bb6f75e86bfd"},
    {1255, L"שלום ₪", "שלום ₪", "f9ece5ed20a4"},
    {20866, L"Привет, мир", "Привет, мир", "f0d2c9d7c5d42c20cdc9d2"},
    {932, L"日本語カナ", "日本語カナ", "93fa967b8cea834a8369"},
    {852, L"Łódź Čes", "Łódź Čes", "9da264ab20ac6573"},
    {866, L"Привет №", "Привет №", "8fe0a8a2a5e220fc"},
    {1250, L"Zażółć ř", "Zażółć ř", "5a61bff3b3e620f8"},
    {1251, L"Привет ў", "Привет ў", "cff0e8e2e5f220a2"},
    {1253, L"Καλημέρα", "Καλημέρα", "cae1ebe7ecddf1e1"},
    {1254, L"İstanbul ğş", "İstanbul ğş", "dd7374616e62756c20f0fe"},
    {1256, L"مرحبا", "مرحبا", "e3d1cdc8c7"},
    {1257, L"Ąžuolas ē", "Ąžuolas ē", "c0fe756f6c617320e7"},
    {1258, L"Đơn ưă ₫", "Đơn ưă ₫", "d0f56e20fde320fe"},
    {874, L"สวัสดี", "สวัสดี", "cac7d1cab4d5"},
};

TEST_F(CharsetTest, EveryCodePageConvertsBothWays) {
  for (const CodePageSample& s : kSamples) {
    SCOPED_TRACE(s.codePage);
    setCodePage(s.codePage);
    const std::string bytes = bytesOf(s.hex);
    EXPECT_EQ(hexOf(StringHelper::wideToAnsi(s.wide)), s.hex);
    EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi(bytes.c_str()))), s.wide);
    EXPECT_EQ(hexOf(StringHelper::utf8ToAnsi(s.utf8)), s.hex);
    EXPECT_EQ(hexOf(StringHelper::ansiToUtf8(ansi(bytes.c_str()))), hexOf(Utf8(s.utf8)));
  }
}

TEST_F(CharsetTest, CodePageResultsCountCharactersByTheWalkingRule) {
  setCodePage(932);
  Ansi text = StringHelper::wideToAnsi(L"日本語カナ");
  EXPECT_EQ(text.getLength(), 5);
  EXPECT_EQ(text.getBufferLength(), 11);
  Utf8 utf8 = StringHelper::wideToUtf8(L"é€\U0001F600");
  EXPECT_EQ(utf8.getBufferLength(), 10);
  EXPECT_EQ(utf8.getLength(), 6);  // the four-byte character counts as four
}

TEST_F(CharsetTest, LongTextsConvertCompletely) {
  // Longer than any first-pass buffer, so the result is measured and then converted again.
  const int n = 300;
  EXPECT_EQ(wideOf(StringHelper::utf8ToWide(repeat("é€\xF0\x9F\x98\x80", n).c_str())),
            repeat(std::wstring(L"é€\U0001F600"), n));
  EXPECT_EQ(hexOf(StringHelper::wideToUtf8(repeat(std::wstring(L"é€\U0001F600"), n).c_str())),
            repeat("c3a9e282acf09f9880", n));

  setCodePage(932);
  EXPECT_EQ(hexOf(StringHelper::wideToAnsi(repeat(std::wstring(L"日本語カナ"), n).c_str())),
            repeat("93fa967b8cea834a8369", n));
  EXPECT_EQ(
      wideOf(StringHelper::ansiToWide(ansi(bytesOf(repeat("93fa967b8cea834a8369", n)).c_str()))),
      repeat(std::wstring(L"日本語カナ"), n));

  // A stateful encoding: one designation, one shift out and one shift in for the whole run.
  setCodePage(50225);
  const std::string korean = "1b2429430e" + repeat("475131393e6e", n) + "0f";
  EXPECT_EQ(hexOf(StringHelper::wideToAnsi(repeat(std::wstring(L"한국어"), n).c_str())), korean);
  EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi(bytesOf(korean).c_str()))),
            repeat(std::wstring(L"한국어"), n));

  // Replacements past the first-pass buffer.
  setCodePage(1252);
  EXPECT_EQ(hexOf(StringHelper::wideToAnsi(repeat(std::wstring(L"a中"), 600).c_str())),
            repeat("613f", 600));
  EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi(repeat("a\x81", 600).c_str()))),
            repeat(std::wstring(L"a\uFFFD"), 600));
}

TEST_F(CharsetTest, CodePageReplacesWhatItCannotConvert) {
  setCodePage(1252);
  EXPECT_EQ(hexOf(StringHelper::wideToAnsi(L"a中b")), "613f62");  // 'a?b'
  EXPECT_EQ(hexOf(StringHelper::utf8ToAnsi("a\xF0\x9F\x98\x80z")), "613f7a");
  EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi("a\x81z"))), L"a\uFFFDz");  // 0x81 is unassigned

  setCodePage(932);
  EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi("\x93\xFA\x93"))), L"日\uFFFD");  // cut short
  EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi("\x81 "))), L"\uFFFD ");          // bad trail byte

  // The '?' goes through the stateful converter: shift in before it.
  setCodePage(50225);
  EXPECT_EQ(hexOf(StringHelper::wideToAnsi(L"한\U0001F600")), "1b2429430e47510f3f");
}

TEST_F(CharsetTest, BrokenUtf8DecodesByMaximalSubparts) {
  // Expected results: Python's bytes.decode('utf-8', 'replace').
  const struct {
    const char* bytes;
    const wchar_t* text;
  } cases[] = {
      {"a\xE2\x82", L"a\uFFFD"},                          // truncated at the end
      {"\xE2\x82z", L"\uFFFDz"},                          // truncated before ASCII
      {"\xF0\x9F\x98z", L"\uFFFDz"},                      // truncated four-byte character
      {"\xC3", L"\uFFFD"},                                // lone lead
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong '/'
      {"\xC1\xBF", L"\uFFFD\uFFFD"},                      // overlong
      {"\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte
      {"\xE0\x9F\xBF", L"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte
      {"\xF0\x8F\xBF\xBF", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong four-byte
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // surrogate D800
      {"\xED\xBF\xBFx", L"\uFFFD\uFFFD\uFFFDx"},          // surrogate DFFF
      {"\x80", L"\uFFFD"},                                // stray continuation
      {"a\xBF\x80z", L"a\uFFFD\uFFFDz"},                  // stray continuations
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
      {"\xF5\xFE\xFF", L"\uFFFD\uFFFD\uFFFD"},            // never valid
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hexOf(Utf8(c.bytes)));
    EXPECT_EQ(wideOf(StringHelper::utf8ToWide(c.bytes)), c.text);
  }
}

TEST_F(CharsetTest, Utf8KeepsCharactersAboveTheBasicPlane) {
  const char* bytes = "x\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";  // U+1F600, U+10FFFF
  String wide = StringHelper::utf8ToWide(bytes);
  EXPECT_EQ(wideOf(wide), std::wstring(L"x\U0001F600\U0010FFFF"));
  EXPECT_EQ(hexOf(StringHelper::wideToUtf8(wide)), hexOf(Utf8(bytes)));

  // A wide text that is no code point at all is written as U+FFFD.
  const wchar_t broken[] = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(hexOf(StringHelper::wideToUtf8(broken)), "61efbfbdefbfbd");

  setCodePage(65001);  // the UTF-8 code page takes the same road
  EXPECT_EQ(hexOf(StringHelper::wideToAnsi(L"x\U0001F600")), "78f09f9880");
  EXPECT_EQ(wideOf(StringHelper::ansiToWide(ansi("x\xF0\x9F\x98\x80\xC0"))),
            std::wstring(L"x\U0001F600\uFFFD"));
}

TEST_F(CharsetTest, NullAndEmptyInputsGiveEmptyStrings) {
  for (int codePage : {1252, 932, 50225}) {
    setCodePage(codePage);
    EXPECT_TRUE(StringHelper::ansiToWide(nullptr).isEmpty());
    EXPECT_TRUE(StringHelper::ansiToWide(ansi("")).isEmpty());
    EXPECT_TRUE(StringHelper::wideToAnsi(nullptr).isEmpty());
    EXPECT_TRUE(StringHelper::wideToAnsi(L"").isEmpty());
    EXPECT_TRUE(StringHelper::ansiToUtf8(nullptr).isEmpty());
    EXPECT_TRUE(StringHelper::ansiToUtf8(ansi("")).isEmpty());
    EXPECT_TRUE(StringHelper::utf8ToAnsi(nullptr).isEmpty());
    EXPECT_TRUE(StringHelper::utf8ToAnsi("").isEmpty());
  }
  EXPECT_TRUE(StringHelper::utf8ToWide(nullptr).isEmpty());
  EXPECT_TRUE(StringHelper::utf8ToWide("").isEmpty());
  EXPECT_TRUE(StringHelper::wideToUtf8(nullptr).isEmpty());
  EXPECT_TRUE(StringHelper::wideToUtf8(L"").isEmpty());
  EXPECT_EQ(StringHelper::utf8ToWide(nullptr).getBufferLength(), int(sizeof(wchar_t)));
}

TEST_F(CharsetTest, StringConvertTakesEachSlotToEachForm) {
  setCodePage(1252);  // so that code-page bytes and UTF-8 bytes differ
  const unsigned char* cafeAnsi = ansi("Caf\xE9");
  const char* cafeUtf8 = "Caf\xC3\xA9";
  const wchar_t* cafeWide = L"Café";

  EXPECT_EQ(hexOf(Ansi(StringConvert(cafeAnsi))), "436166e9");
  EXPECT_EQ(hexOf(Utf8(StringConvert(cafeAnsi))), "436166c3a9");
  EXPECT_EQ(wideOf(String(StringConvert(cafeAnsi))), L"Café");

  EXPECT_EQ(hexOf(Ansi(StringConvert(cafeUtf8))), "436166e9");
  EXPECT_EQ(hexOf(Utf8(StringConvert(cafeUtf8))), "436166c3a9");
  EXPECT_EQ(wideOf(String(StringConvert(cafeUtf8))), L"Café");

  EXPECT_EQ(hexOf(Ansi(StringConvert(cafeWide))), "436166e9");
  EXPECT_EQ(hexOf(Utf8(StringConvert(cafeWide))), "436166c3a9");
  EXPECT_EQ(wideOf(String(StringConvert(cafeWide))), L"Café");

  // An empty slot of any kind gives empty results.
  const unsigned char* noAnsi = nullptr;
  const char* noUtf8 = nullptr;
  const wchar_t* noWide = nullptr;
  for (StringConvert c : {StringConvert(noAnsi), StringConvert(noUtf8), StringConvert(noWide)}) {
    EXPECT_TRUE(Ansi(c).isEmpty());
    EXPECT_TRUE(Utf8(c).isEmpty());
    EXPECT_TRUE(String(c).isEmpty());
  }
}

// ---------------------------------------------------------------------------------------------
// Character helpers

TEST_F(CharsetTest, Utf8LengthWalksAtMostThreeBytes) {
  EXPECT_EQ(stringLength("\xC3\xA9\xE2\x82\xAC"), 2);  // e-acute, euro
  EXPECT_EQ(stringLength("\xF0\x9F\x98\x80"), 4);      // one four-byte character
  EXPECT_EQ(stringLength(""), 0);
  EXPECT_EQ(stringLength("abc"), 3);
  EXPECT_EQ(stringLength("\xE2\x82z"), 2);  // cut-short character, then z
  EXPECT_EQ(stringLength("\x80\xBF"), 2);   // stray continuation bytes

  EXPECT_EQ(stringCharLength("a"), 1);
  EXPECT_EQ(stringCharLength("\xC3\xA9"), 2);
  EXPECT_EQ(stringCharLength("\xE2\x82\xAC"), 3);
  EXPECT_EQ(stringCharLength("\xF0\x9F\x98\x80"), 1);
  EXPECT_EQ(stringCharLength("\x80"), 1);
  EXPECT_EQ(stringCharLength("\xC3"), 1);       // lead before the terminator
  EXPECT_EQ(stringCharLength("\xC3z"), 1);      // lead before a non-continuation
  EXPECT_EQ(stringCharLength("\xE2\x82z"), 2);  // ends before the first non-continuation
  EXPECT_EQ(stringCharLength("\xE2z"), 1);
}

TEST_F(CharsetTest, Utf8CharDecodesOneCharacter) {
  const struct {
    const char* text;
    int bytes;
    int value;
  } cases[] = {
      {"A", 1, 0x41},
      {"\x7F", 1, 0x7F},
      {"\xC2\x80", 2, 0x80},
      {"\xC3\xA9", 2, 0xE9},
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE0\xA0\x80", 3, 0x800},
      {"\xE2\x82\xAC", 3, 0x20AC},
      {"\xEF\xBF\xBF", 3, 0xFFFF},
      {"\xED\xA0\x80", 3, 0xD800},           // a surrogate unit is taken as written
      {"\xF0\x9F\x98\x80", 1, 0xF0 & 0x7F},  // four-byte lead: one byte
      {"\x80", 1, 0x00},                     // stray continuations: the byte AND 0x7F
      {"\xBFz", 1, 0x3F},
      {"\xC3", 1, 0xC3 & 0x7F},  // lead without its continuation
      {"\xC3z", 1, 0xC3 & 0x7F},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hexOf(Utf8(c.text)));
    int ch = -1;
    EXPECT_EQ(stringChar(c.text, ch), c.text + c.bytes);
    EXPECT_EQ(ch, c.value);
  }

  // A cut-short character ends before the next character, which is then read in full.
  const char* text = "\xE2\x82\xC3\xA9";
  int ch = -1;
  const char* next = stringChar(text, ch);
  EXPECT_EQ(next, text + 2);
  EXPECT_EQ(stringChar(next, ch), text + 4);
  EXPECT_EQ(ch, 0xE9);
}

TEST_F(CharsetTest, AnsiWalkingTakesTwoBytesForEveryHighByte) {
  auto length = [](const char* bytes) { return stringLength(ansi(bytes)); };
  EXPECT_EQ(length(""), 0);
  EXPECT_EQ(length("ab"), 2);
  EXPECT_EQ(length("\x93\xFA\x96\x7B"), 2);  // two double-byte characters
  EXPECT_EQ(length("Caf\xE9!"), 4);          // the high byte takes the '!' with it
  EXPECT_EQ(length("ab\x93"), 3);            // ... but never the terminator
  EXPECT_EQ(length("\x80\x80\x80"), 2);

  setCodePage(932);
  int ch = -1;
  const unsigned char* text = ansi(
      "\x93\xFA"
      "A\x93");
  const unsigned char* p = stringChar(text, ch);
  EXPECT_EQ(p, text + 2);
  EXPECT_EQ(ch, 0x65E5);  // 日
  p = stringChar(p, ch);
  EXPECT_EQ(p, text + 3);
  EXPECT_EQ(ch, 'A');
  p = stringChar(p, ch);
  EXPECT_EQ(p, text + 4);
  EXPECT_EQ(ch, 0xFFFD);  // a lead byte alone cannot be decoded

  setCodePage(1252);
  text = ansi("\x80");
  EXPECT_EQ(stringChar(text, ch), text + 1);
  EXPECT_EQ(ch, 0x20AC);
  text = ansi("\xE9!");
  EXPECT_EQ(stringChar(text, ch), text + 2);

  setCodePage(936);
  text = ansi("\xD6\xD0");
  EXPECT_EQ(stringChar(text, ch), text + 2);
  EXPECT_EQ(ch, 0x4E2D);  // 中
}

TEST_F(CharsetTest, CharToStringEncodesUtf8) {
  // Expected bytes: Python's chr(c).encode('utf-8', 'surrogatepass').hex().
  const struct {
    int ch;
    const char* hex;
  } cases[] = {
      {0x41, "41"},       {0x7F, "7f"},       {0x80, "c280"},        {0xE9, "c3a9"},
      {0x7FF, "dfbf"},    {0x800, "e0a080"},  {0x20AC, "e282ac"},    {0xFFFF, "efbfbf"},
      {0xD800, "eda080"}, {0xDFFF, "edbfbf"}, {0x1F600, "f09f9880"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ch);
    char out[8];
    std::memset(out, 'x', sizeof out);
    const int n = charToString(out, c.ch);
    ASSERT_EQ(n * 2, static_cast<int>(std::strlen(c.hex)));
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(hexOf(Utf8(static_cast<const char*>(out))), c.hex);
    EXPECT_EQ(charLength<char>(c.ch), n);
  }
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(charToString(out, 0), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'x');  // only the terminator is written
  EXPECT_EQ(charLength<char>(0), 0);
}

TEST_F(CharsetTest, CharToStringUsesTheCodePage) {
  unsigned char out[8];
  setCodePage(1252);
  EXPECT_EQ(charToString(out, 0x20AC), 1);
  EXPECT_EQ(out[0], 0x80);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(charToString(out, 'a'), 1);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(charToString(out, 0x4E2D), 1);  // no form in 1252
  EXPECT_EQ(out[0], '?');
  EXPECT_EQ(charLength<unsigned char>(0x20AC), 1);
  EXPECT_EQ(charLength<unsigned char>(0x4E2D), 1);

  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(charToString(out, 0), 0);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 'x');

  setCodePage(932);
  EXPECT_EQ(charToString(out, 0x65E5), 2);  // 日
  EXPECT_EQ(out[0], 0x93);
  EXPECT_EQ(out[1], 0xFA);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(charLength<unsigned char>(0x65E5), 2);
  EXPECT_EQ(charLength<unsigned char>('A'), 1);

  setCodePage(65001);
  EXPECT_EQ(charToString(out, 0x20AC), 3);
  EXPECT_EQ(hexOf(Ansi(static_cast<const unsigned char*>(out))), "e282ac");
  EXPECT_EQ(charLength<unsigned char>(0x20AC), 3);
  EXPECT_EQ(charLength<wchar_t>(0x20AC), 1);
}

// ---------------------------------------------------------------------------------------------
// convertToString

TEST_F(CharsetTest, ConvertsBooleansAndFloatingPoint) {
  EXPECT_EQ(wideOf(convertToString(true)), L"true");
  EXPECT_EQ(wideOf(convertToString(false)), L"false");
  EXPECT_EQ(wideOf(convertToString(0.1f)), L"0.1");
  EXPECT_EQ(wideOf(convertToString(0.1)), L"0.1");
  EXPECT_EQ(wideOf(convertToString(1.0 / 3)), L"0.3333333333333333");
  EXPECT_EQ(wideOf(convertToString(1e300)), L"1e+300");
  EXPECT_EQ(wideOf(convertToString(-0.0)), L"-0");

  // The C library's formatting is the reference for the rest.
  char buffer[64];
  for (double d :
       {0.0, 1.5, -2.25, 123456789.0, 1e16, 1e-5, 12345678901234567.0, DBL_MAX, DBL_MIN, -1e-300}) {
    std::snprintf(buffer, sizeof buffer, "%.16g", d);
    EXPECT_EQ(wideOf(convertToString(d)), std::wstring(buffer, buffer + std::strlen(buffer)));
  }
  for (float f : {1.0f / 3, 16777217.0f, 1e-10f, FLT_MAX, -123.456f, 1e8f}) {
    std::snprintf(buffer, sizeof buffer, "%.8g", static_cast<double>(f));
    EXPECT_EQ(wideOf(convertToString(f)), std::wstring(buffer, buffer + std::strlen(buffer)));
  }
}

template <class T>
void expectLimits() {
  for (T value :
       {std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), T(0), T(1), T(100)}) {
    const std::string expected = std::to_string(value);
    EXPECT_EQ(wideOf(convertToString(value)), std::wstring(expected.begin(), expected.end()))
        << "type size " << sizeof(T);
  }
}

TEST_F(CharsetTest, ConvertsIntegerLimits) {
  expectLimits<long>();
  expectLimits<unsigned long>();
  expectLimits<unsigned int>();
  expectLimits<signed char>();
  expectLimits<unsigned char>();
  expectLimits<short>();
  expectLimits<unsigned short>();
  expectLimits<int>();
  expectLimits<__int64>();
  expectLimits<__uint64>();
  EXPECT_EQ(wideOf(convertToString(static_cast<signed char>(-1))), L"-1");
  EXPECT_EQ(wideOf(convertToString(-42L)), L"-42");
}

TEST_F(CharsetTest, ConvertsTextsOfEveryForm) {
  setCodePage(1252);
  EXPECT_EQ(wideOf(convertToString(ansi("Caf\xE9 \x80"))), L"Café €");
  EXPECT_EQ(wideOf(convertToString("Caf\xC3\xA9 \xE2\x82\xAC")), L"Café €");
  EXPECT_EQ(wideOf(convertToString(L"Café €")), L"Café €");
  EXPECT_EQ(wideOf(convertToString(Ansi(ansi("Caf\xE9 \x80")))), L"Café €");
  EXPECT_EQ(wideOf(convertToString(Utf8("Caf\xC3\xA9 \xE2\x82\xAC"))), L"Café €");

  const unsigned char* noAnsi = nullptr;
  const char* noUtf8 = nullptr;
  const wchar_t* noWide = nullptr;
  EXPECT_TRUE(convertToString(noAnsi).isEmpty());
  EXPECT_TRUE(convertToString(noUtf8).isEmpty());
  EXPECT_TRUE(convertToString(noWide).isEmpty());
  EXPECT_TRUE(convertToString(Ansi()).isEmpty());
  EXPECT_TRUE(convertToString(Utf8()).isEmpty());

  const wchar_t* literal = L"copied";
  String copy = convertToString(literal);
  EXPECT_NE(copy.getBuffer(), literal);
  EXPECT_EQ(wideOf(copy), L"copied");

  // A String comes back as the same block.
  String shared(L"shared");
  String result = convertToString(shared);
  EXPECT_EQ(result.getBuffer(), shared.getBuffer());
}

}  // namespace
}  // namespace vemo
