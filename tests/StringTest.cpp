// Tests of String_T in its three forms: block sharing and copy on write, the operations, the
// character/byte units of the 8-bit forms, formatting and copies across threads.
#include "vemo/core/String.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "vemo/core/Charset.h"

using vemo::String;
using vemo::String_T;
using vemo::StringData;

namespace {

// A zero-terminated text of any unit type; each byte of `text` becomes one unit.
template <class T>
class Lit {
 public:
  explicit Lit(const char* text) {
    for (; *text; ++text)
      _units.push_back(static_cast<T>(static_cast<unsigned char>(*text)));
    _units.push_back(0);
  }
  operator const T*() const { return _units.data(); }

 private:
  std::vector<T> _units;
};

template <class T>
String_T<T> S(const char* text) {
  return String_T<T>(Lit<T>(text));
}

// The code units of the whole block as printable text; others appear as \x{HEX}.
template <class T>
std::string show(const String_T<T>& s) {
  std::string out;
  for (int i = 0; i < s.getBufferLength() / static_cast<int>(sizeof(T)) - 1; ++i) {
    const auto c = static_cast<unsigned>(static_cast<std::make_unsigned_t<T>>(s.getBuffer()[i]));
    char hex[16];
    std::snprintf(hex, sizeof hex, "\\x{%X}", c);
    out += (c >= 32 && c < 127) ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out;
}

// The raw bytes of an 8-bit string.
template <class T>
std::string bytes(const String_T<T>& s) {
  return std::string(reinterpret_cast<const char*>(s.getBuffer()),
                     static_cast<std::size_t>(s.getBufferLength() - 1));
}

template <class T>
const StringData* headerOf(const String_T<T>& s) {
  return reinterpret_cast<const StringData*>(reinterpret_cast<const char*>(s.getBuffer()) -
                                             sizeof(StringData));
}

template <class T>
std::uint32_t refs(const String_T<T>& s) {
  return headerOf(s)->count.load();
}

// Checks {actual, expected} pairs and names the index of a failing one.
void expectInts(std::initializer_list<std::pair<int, int>> cases) {
  int i = 0;
  for (const auto& c : cases)
    EXPECT_EQ(c.first, c.second) << "case " << i++;
}

void expectTexts(std::initializer_list<std::pair<std::string, std::string>> cases) {
  int i = 0;
  for (const auto& c : cases)
    EXPECT_EQ(c.first, c.second) << "case " << i++;
}

template <class T, class F>
String_T<T> edited(const char* text, F edit) {
  String_T<T> s = S<T>(text);
  edit(s);
  return s;
}

// Restores the process code page when a test ends.
class CodePageGuard {
 public:
  explicit CodePageGuard(int codePage) : _saved(vemo::getCodePage()) {
    vemo::setCodePage(codePage);
  }
  ~CodePageGuard() { vemo::setCodePage(_saved); }

 private:
  int _saved;
};

template <class T>
class StringForms : public ::testing::Test {};
using Forms = ::testing::Types<wchar_t, char, unsigned char>;
TYPED_TEST_SUITE(StringForms, Forms);

// ---- block layout, sharing and copy on write ------------------------------------------------

TYPED_TEST(StringForms, CopiesShareOneExactBlock) {
  using T = TypeParam;
  String_T<T> a = S<T>("banana");
  EXPECT_EQ(headerOf(a)->size, sizeof(T) * 7);
  EXPECT_EQ(a.getBuffer()[6], T(0));
  EXPECT_EQ(a.getLength(), 6);
  EXPECT_EQ(headerOf(a)->length.load(), 6);  // counted once, then stored
  EXPECT_TRUE(String_T<T>().isEmpty() && !a.isEmpty());
  {
    String_T<T> b(a), c;
    c = a;
    const String_T<T> whole = a.getSubString(0, a.getLength());
    EXPECT_EQ(refs(a), 4u);
    EXPECT_EQ(b.getBuffer(), a.getBuffer());
    EXPECT_EQ(c.getBuffer(), a.getBuffer());
    EXPECT_EQ(whole.getBuffer(), a.getBuffer());
    c = c;  // self-assignment keeps the block alive
    EXPECT_EQ(show(c), "banana");
  }
  EXPECT_EQ(refs(a), 1u);
  String_T<T> moved(std::move(a));
  EXPECT_EQ(show(moved), "banana");
  EXPECT_EQ(refs(moved), 1u);
}

TYPED_TEST(StringForms, EditsNeverShowThroughAnotherOwner) {
  using T = TypeParam;
  using Str = String_T<T>;
  const Str original = S<T>("banana ");
  const T* block = original.getBuffer();
  const struct {
    void (*edit)(Str&);
    const char* expected;
  } cases[] = {
      {[](Str& s) { s.replace('a', 'b'); }, "bbnbnb "},  // same length, but shared
      {[](Str& s) { s.insert(0, Lit<T>("x")); }, "xbanana "},
      {[](Str& s) { s.erase(1, 2); }, "bana "},
      {[](Str& s) { s.toUpperCase(); }, "BANANA "},
      {[](Str& s) { s = Lit<T>("cherry!"); }, "cherry!"},  // same size as the shared block
      {[](Str& s) { s += Lit<T>("!"); }, "banana !"},
      {[](Str& s) { s.remove('a'); }, "bnn "},
      {[](Str& s) { s.trim(); }, "banana"},
      {[](Str& s) { s.setBuffer(Lit<T>("xy"), 2 * static_cast<int>(sizeof(T))); }, "xy"},
      {[](Str& s) { s.format(Lit<T>("%d"), 7); }, "7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    Str s = original;
    c.edit(s);
    EXPECT_EQ(show(s), c.expected);
    EXPECT_EQ(original.getBuffer(), block);
    EXPECT_EQ(show(original), "banana ");
    EXPECT_EQ(original.getLength(), 7);
    EXPECT_EQ(refs(original), 1u);
  }
}

TYPED_TEST(StringForms, UnsharedBlocksAreEditedInPlace) {
  using T = TypeParam;
  String_T<T> s = S<T>("banana");
  const T* block = s.getBuffer();
  auto expectInPlace = [&](const char* expected) {
    EXPECT_EQ(show(s), expected);
    EXPECT_EQ(s.getBuffer(), block);
  };
  EXPECT_EQ(s.replace('a', 'b'), 3);
  expectInPlace("bbnbnb");
  EXPECT_EQ(s.replace(Lit<T>("bn"), Lit<T>("XY")), 2);
  expectInPlace("bXYXYb");
  s = Lit<T>("cherry");
  expectInPlace("cherry");
  EXPECT_EQ(s.getLength(), 6);
  s.toUpperCase();
  expectInPlace("CHERRY");
  s.toLowerCase();
  expectInPlace("cherry");
}

TYPED_TEST(StringForms, EveryEmptyResultIsTheOneEmptyBlock) {
  using T = TypeParam;
  using Str = String_T<T>;
  const Str results[] = {
      Str(static_cast<const T*>(nullptr)),
      Str(Lit<T>("abc"), 0),
      Str(0),
      S<T>("abc").getSubString(1, 0),
      Str() + Str(),
      edited<T>("abc", [](Str& s) { s.erase(0, 3); }),
      edited<T>("aaaa", [](Str& s) { s.remove(Lit<T>("aa")); }),
      edited<T>(" \t\n ", [](Str& s) { s.trim(); }),
      edited<T>("x", [](Str& s) { s.setBuffer(Lit<T>("x"), 0); }),
      edited<T>("x", [](Str& s) { s = Lit<T>(""); }),
      edited<T>("x", [](Str& s) { s.format(Lit<T>("")); }),
  };
  for (const Str& r : results)
    EXPECT_EQ(r.getBuffer(), Str().getBuffer());
}

// ---- construction, searching and editing ----------------------------------------------------

TYPED_TEST(StringForms, ConstructionAndAssignment) {
  using T = TypeParam;
  using Str = String_T<T>;
  const T withZeros[] = {'a', 'b', 0, 'c', 0, 0, 'z'}, zeros[] = {0, 0, 0};
  const Str embedded(withZeros, 4);  // the trailing zero is dropped, the inner one kept
  EXPECT_EQ(embedded.getLength(), 4);
  expectTexts({{show(embedded), "ab\\x{0}c"},
               {show(Str(withZeros, 6)), "ab\\x{0}c"},
               {show(Str(withZeros, 7)), "ab\\x{0}c\\x{0}\\x{0}z"},
               {show(Str(zeros, 3)), ""},
               {show(Str(withZeros, -2)), ""},
               {show(Str(static_cast<const T*>(nullptr), 3)), ""},
               {show(Str(Lit<T>("abcdef"), 3)), "abc"},
               {show(Str('x')), "x"}});
  Str s = S<T>("abc");
  s = Lit<T>("longer text");
  EXPECT_EQ(show(s), "longer text");
  EXPECT_EQ(s.getLength(), 11);
  s = Lit<T>("ab");
  EXPECT_EQ(show(s), "ab");
  s.setBuffer(Lit<T>("hello"), 3 * static_cast<int>(sizeof(T)));
  EXPECT_EQ(show(s), "hel");
  EXPECT_EQ(s.getLength(), 3);
  s.setBuffer(withZeros, 4 * static_cast<int>(sizeof(T)));
  EXPECT_EQ(show(s), "ab\\x{0}c");
}

TEST(WideString, SetBufferRoundsUpAndCharactersAboveTheBasicPlane) {
  const wchar_t data[] = {static_cast<wchar_t>(0x11223344), static_cast<wchar_t>(0x55667788)};
  String s;
  s.setBuffer(data, 5);  // one whole unit and the first byte of the next
  ASSERT_EQ(s.getBufferLength(), 12);
  EXPECT_EQ(s.getLength(), 2);
  expectInts({{s[0], 0x11223344}, {s[1], 0x88}, {s[2], 0}});  // little-endian, zero-filled
  const String grin(0x1F600);
  EXPECT_EQ(grin.getBufferLength(), 8);
  EXPECT_EQ(grin[0], 0x1F600);
}

TYPED_TEST(StringForms, FindAndSubString) {
  using T = TypeParam;
  const String_T<T> s = S<T>("banana"), empty;
  expectInts({{s.find(Lit<T>("an")), 1},
              {s.find(Lit<T>("an"), 1), 1},
              {s.find(Lit<T>("an"), 2), 3},
              {s.find(Lit<T>("an"), 4), -1},
              {s.find(Lit<T>("bananas")), -1},
              {s.find('a', 4), 5},
              {s.find('b', 1), -1},
              {s.find('n', 100), -1},
              {empty.find(Lit<T>("")), -1},
              {empty.find('a'), -1}});
  expectTexts({{show(s.getSubString(1, 2)), "an"},
               {show(s.getSubString(2)), "nana"},
               {show(s.getSubString(2, -7)), "nana"},
               {show(s.getSubString(2, 100)), "nana"},
               {show(s.getSubString(6, 2)), ""}});
  EXPECT_EQ(refs(s), 1u);  // a part of the text gets a block of its own
}

TYPED_TEST(StringForms, InsertAndErase) {
  using T = TypeParam;
  String_T<T> s = S<T>("abc");
  EXPECT_EQ(s.insert(0, Lit<T>("XY")), 5);
  EXPECT_EQ(s.insert(5, 'Z'), 6);
  EXPECT_EQ(s.insert(2, S<T>("--")), 8);
  EXPECT_EQ(s.insert(3, Lit<T>("")), 8);
  EXPECT_EQ(show(s), "XY--abcZ");
  EXPECT_EQ(s.getLength(), 8);
  String_T<T> e;
  EXPECT_EQ(e.insert(0, Lit<T>("new")), 3);
  EXPECT_EQ(show(e), "new");

  s = S<T>("abcdef");
  const T* block = s.getBuffer();
  EXPECT_EQ(s.erase(1, 0), 0);
  EXPECT_EQ(s.erase(1, -3), -3);  // nothing happens, the count comes back
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(s.erase(1, 2), 2);
  EXPECT_EQ(s.erase(3, 1), 1);
  EXPECT_EQ(show(s), "ade");
  EXPECT_EQ(s.getLength(), 3);
}

TYPED_TEST(StringForms, RemoveAndReplaceEveryOccurrence) {
  using T = TypeParam;
  const struct {
    const char *text, *pattern, *replacement;  // a null replacement removes
    int count;
    const char* expected;
  } cases[] = {
      {"banana", "a", "XYZ", 3, "bXYZnXYZnXYZ"},
      {"bXYZnXYZ", "XYZ", "o", 2, "bono"},
      {"banana", "ana", "X", 1, "bXna"},  // occurrences do not overlap
      {"aaaa", "aa", "b", 2, "bb"},
      {"banana", "an", nullptr, 2, "ba"},
      {"aaa", "aa", nullptr, 1, "a"},
      {"aaaa", "aa", nullptr, 2, ""},
      {"banana", "q", "x", 0, "banana"},
      {"banana", "", "x", 0, "banana"},
      {"", "a", "b", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.pattern);
    String_T<T> s = S<T>(c.text);
    const T* block = s.getBuffer();
    EXPECT_EQ(c.replacement ? s.replace(Lit<T>(c.pattern), Lit<T>(c.replacement))
                            : s.remove(Lit<T>(c.pattern)),
              c.count);
    EXPECT_EQ(show(s), c.expected);
    EXPECT_EQ(s.getLength(), static_cast<int>(std::strlen(c.expected)));
    if (c.count == 0) EXPECT_EQ(s.getBuffer(), block);
  }
  // The other overloads.
  String_T<T> s = S<T>("b--b!");
  EXPECT_EQ(s.replace(S<T>("-"), S<T>("+")), 2);
  EXPECT_EQ(s.replace(S<T>("+"), Lit<T>("=")), 2);
  EXPECT_EQ(s.replace(Lit<T>("="), S<T>("-")), 2);
  EXPECT_EQ(s.replace('-', '+'), 2);
  EXPECT_EQ(s.replace('+', 0), 2);  // a character of 0 is an empty text
  EXPECT_EQ(show(s), "bb!");
  EXPECT_EQ(s.replace(0, 'x'), 0);
  EXPECT_EQ(s.remove(0), 0);
  EXPECT_EQ(s.remove(S<T>("b")), 2);
  EXPECT_EQ(show(s), "!");
  EXPECT_EQ(s.remove('!'), 1);
}

TYPED_TEST(StringForms, TrimAndCaseMappingTouchOnlyAscii) {
  using T = TypeParam;
  String_T<T> s = S<T>(" \t\n\v\f\r a b \r\n");
  EXPECT_EQ(show(s.trim()), "a b");
  EXPECT_EQ(s.getLength(), 3);
  s = S<T>("  a b  ");
  EXPECT_EQ(show(s.trimLeft()), "a b  ");
  s = S<T>("  a b  ");
  EXPECT_EQ(show(s.trimRight()), "  a b");
  s = S<T>("\x01x\x1F");  // control characters that are not white space stay
  const T* block = s.getBuffer();
  EXPECT_EQ(show(s.trim()), "\\x{1}x\\x{1F}");
  EXPECT_EQ(s.getBuffer(), block);  // nothing stripped: the block is kept
  s = S<T>("\xA0 x\xA0 ");          // code 160 (a no-break space) is never stripped
  EXPECT_EQ(show(s.trim()), "\\x{A0} x\\x{A0}");
  s = S<T>("Hello, World! [@`{] 09 \xE4\xC4");  // a-umlaut and A-umlaut stay as they are
  EXPECT_EQ(show(s.toUpperCase()), "HELLO, WORLD! [@`{] 09 \\x{E4}\\x{C4}");
  EXPECT_EQ(show(s.toLowerCase()), "hello, world! [@`{] 09 \\x{E4}\\x{C4}");
  EXPECT_TRUE(String_T<T>().toUpperCase().isEmpty());
}

// ---- comparison and concatenation -----------------------------------------------------------

TYPED_TEST(StringForms, CompareInUnsignedCodeUnitOrder) {
  using T = TypeParam;
  const String_T<T> s = S<T>("abc"), empty;
  const T* null = nullptr;
  expectInts({{s.compare(Lit<T>("abc")), 0},
              {s.compare(Lit<T>("abd")), -1},
              {s.compare(Lit<T>("abb")), 1},
              {s.compare(Lit<T>("ab")), 1},
              {s.compare(Lit<T>("abcd")), -1},
              {s.compare(null), 1},
              {empty.compare(null), 0},
              {empty.compare(Lit<T>("a")), -1},
              {S<T>("\xE9").compare(Lit<T>("z")), 1},
              {S<T>("HeLLo").compareNoCase(Lit<T>("hEllO")), 0},
              {S<T>("apple").compareNoCase(Lit<T>("BANANA")), -1},
              {S<T>("Cherry").compareNoCase(Lit<T>("banana")), 1},
              {S<T>("ab").compareNoCase(Lit<T>("AB c")), -1},
              {S<T>("_").compareNoCase(Lit<T>("A")), -1},  // letters compare as lower case
              {S<T>("\xE9").compareNoCase(Lit<T>("Z")), 1},
              {S<T>("x").compareNoCase(null), 1},
              {empty.compareNoCase(null), 0}});
  // Blocks of different sizes differ even where the characters up to the first zero agree.
  const T withZero[] = {'a', 'b', 'c', 0, 'd'};
  EXPECT_TRUE(s == S<T>("abc") && !(s != S<T>("abc")) && empty == String_T<T>(Lit<T>("")));
  EXPECT_TRUE(s != S<T>("abd") && s != S<T>("ab") && !(s == String_T<T>(withZero, 5)));
  EXPECT_TRUE(s == Lit<T>("abc") && s != Lit<T>("abcd") && s < Lit<T>("abd") && empty == null);
  EXPECT_TRUE(s <= Lit<T>("abc") && s > Lit<T>("ab") && s > null && s >= Lit<T>("abc"));
  EXPECT_FALSE(s < Lit<T>("abc") || s >= Lit<T>("b"));
  EXPECT_TRUE(vemo::StringLess()(S<T>("ab"), S<T>("abc")));
  EXPECT_FALSE(vemo::StringLess()(S<T>("b"), S<T>("abc")));
}

TEST(WideString, CompareKeepsUtf16Order) {
  // A character above the basic plane sorts as its surrogate pair would.
  EXPECT_EQ(String(L"\U0001F600").compare(L"\uD7FF"), 1);
  EXPECT_EQ(String(L"\U0001F600").compare(L"\uE000"), -1);
  EXPECT_EQ(String(L"\U0001F600").compare(L"\U0001F601"), -1);
}

TYPED_TEST(StringForms, Concatenation) {
  using T = TypeParam;
  const String_T<T> ab = S<T>("ab"), cd = S<T>("cd"), empty;
  expectTexts({{show(ab + cd), "abcd"},
               {show(ab + Lit<T>("xyz")), "abxyz"},
               {show(static_cast<const T*>(Lit<T>("xyz")) + ab), "xyzab"},
               {show(static_cast<const T*>(nullptr) + ab), "ab"},
               {show(ab), "ab"}});
  EXPECT_EQ((ab + cd).getLength(), 4);
  // An empty side shares the other side's block.
  EXPECT_EQ((empty + ab).getBuffer(), ab.getBuffer());
  EXPECT_EQ((ab + empty).getBuffer(), ab.getBuffer());
  EXPECT_EQ((ab + Lit<T>("")).getBuffer(), ab.getBuffer());
  String_T<T> s;
  s += ab;
  EXPECT_EQ(s.getBuffer(), ab.getBuffer());
  s += Lit<T>("c");
  s += 'd';
  s += cd;
  s += 0;
  s += s;
  EXPECT_EQ(show(s), "abcdcdabcdcd");
  EXPECT_EQ(s.getLength(), 12);
}

// ---- formatting -----------------------------------------------------------------------------

template <class T>
int vformat(String_T<T>& s, const T* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = s.vprintf(format, args);
  va_end(args);
  return n;
}

TYPED_TEST(StringForms, FormatReturnsTheCharacterCount) {
  using T = TypeParam;
  const auto text = [](const char* t) { return Lit<T>(t); };
  String_T<T> s = S<T>("old text");
  EXPECT_EQ(s.format(text("%d-%s-%c"), 42, static_cast<const T*>(text("ab")), 'z'), 7);
  EXPECT_EQ(show(s), "42-ab-z");
  EXPECT_EQ(s.getLength(), 7);
  EXPECT_EQ(vformat<T>(s, text("<%5d|%-3s>"), -7, static_cast<const T*>(text("x"))), 11);
  EXPECT_EQ(show(s), "<   -7|x  >");
  // Longer than any first-pass buffer: the arguments are formatted twice.
  std::vector<T> a(40000, T('a'));
  a.push_back(0);
  EXPECT_EQ(s.format(text("%s|%d|%s"), a.data(), 12345, static_cast<const T*>(text("end"))), 40010);
  EXPECT_EQ(s.getLength(), 40010);
  EXPECT_EQ(show(s.getSubString(39998)), "aa|12345|end");
  EXPECT_EQ(s.find('|'), 40000);
  EXPECT_EQ(s.format(text("%40000d"), 7), 40000);
  EXPECT_EQ(show(s.getSubString(39998)), " 7");
}

// ---- the units of the 8-bit forms -----------------------------------------------------------

TEST(Utf8Positions, FindReturnsBytesWhileCountsAreCharacters) {
  const String_T<char> s("éx");
  EXPECT_EQ(s.getLength(), 2);
  expectInts({{s.find('x'), 2},
              {s.find("x", 1), 2},  // the start counts characters
              {s.find('x', 2), -1},
              {s.find(0xE9), 0},  // a character is searched as its UTF-8 bytes
              {s[0], 0xE9},
              {s[1], 'x'}});
  const String_T<char> t("a€béc");
  EXPECT_EQ(t.getLength(), 5);
  expectInts({{t.find('c', 3), 7}, {t.find(0x20AC), 1}, {t[1], 0x20AC}, {t[3], 0xE9}, {t[4], 'c'}});
  EXPECT_EQ(bytes(t.getSubString(1, 2)), "€b");
  EXPECT_EQ(bytes(t.getSubString(3)), "éc");
  EXPECT_EQ(t.getSubString(0, 5).getBuffer(), t.getBuffer());
  EXPECT_EQ(bytes(String_T<char>("é€xyz", 3)), "é€x");
}

TEST(Utf8Positions, EditsUseBytesAndCharactersAreEncoded) {
  String_T<char> s("éx");
  EXPECT_EQ(s.insert(2, "y"), 4);  // after the two bytes of e-acute; the result counts bytes
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.insert(0, 0x20AC), 7);
  EXPECT_EQ(s.erase(0, 3), 3);  // the euro sign's three bytes
  EXPECT_EQ(bytes(s), "éyx");
  s = "été";
  EXPECT_EQ(s.replace(0xE9, 'e'), 2);
  EXPECT_EQ(s.replace('e', 0x20AC), 2);
  EXPECT_EQ(bytes(s), "€t€");
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.remove(0x20AC), 2);
  s += 0xE9;
  EXPECT_EQ(bytes(s), "té");
  EXPECT_EQ(s.getLength(), 2);
  // Equal-size replacement and assignment in place count the characters again.
  String_T<char> m("éab");
  EXPECT_EQ(m.getLength(), 3);
  EXPECT_EQ(m.replace("éa", "xyz"), 1);
  EXPECT_EQ(m.getLength(), 4);
  m = "éé";
  EXPECT_EQ(m.getLength(), 2);
}

TEST(Utf8Positions, FourByteCharacterCountsAsFour) {
  const String_T<char> s("😀");
  EXPECT_EQ(s.getLength(), 4);
  EXPECT_EQ(bytes(s.getSubString(1, 2)), "\x9F\x98");
  EXPECT_EQ(bytes(String_T<char>("😀ab", 5)), "😀a");
  EXPECT_EQ(s[0], 0xF0 & 0x7F);     // a byte that leads nothing is its own character
  const String_T<char> c(0x1F600);  // encoded as four bytes, counted by the same rule
  EXPECT_EQ(bytes(c), "😀");
  EXPECT_EQ(c.getLength(), 4);
}

TEST(CodePagePositions, HighByteLeadsATwoByteCharacter) {
  using A = String_T<unsigned char>;
  const CodePageGuard cp1252(1252);
  const unsigned char text[] = {0xE9, 'x', 'y', 0x80, 0};  // three characters: E9 x, y, 80
  const A s(text);
  EXPECT_EQ(s.getLength(), 3);
  expectInts({{s[0], 0xE9},
              {s[1], 'y'},
              {s[2], 0x20AC},  // 0x80 is the euro sign in code page 1252
              {s.find('y'), 2},
              {s.find('y', 1), 2},
              {s.find('y', 2), -1}});
  EXPECT_EQ(bytes(s.getSubString(0, 1)), "\xE9x");
  EXPECT_EQ(bytes(s.getSubString(1)), "y\x80");
  EXPECT_EQ(bytes(A(text, 2)), "\xE9xy");
  A edited(s);
  EXPECT_EQ(edited.insert(1, 'z'), 5);  // byte position 1, inside the first character
  EXPECT_EQ(edited.erase(0, 2), 2);
  EXPECT_EQ(bytes(edited), "xy\x80");
  EXPECT_EQ(edited.getLength(), 3);

  EXPECT_EQ(bytes(A(0x20AC)), "\x80");  // characters go through the code page
  A cafe(reinterpret_cast<const unsigned char*>("caf\xE9"));
  EXPECT_EQ(cafe.find(0xE9), 3);
  EXPECT_EQ(cafe.replace(0xE9, 'e'), 1);
  cafe += 0x20AC;
  EXPECT_EQ(bytes(cafe), "cafe\x80");
  EXPECT_EQ(cafe[4], 0x20AC);
  {
    // In UTF-8 as code page the euro sign's three bytes are a lead pair and a lone byte.
    const CodePageGuard utf8(65001);
    const A euro(0x20AC);
    EXPECT_EQ(bytes(euro), "€");
    EXPECT_EQ(euro.getLength(), 2);
  }
}

// ---- threads --------------------------------------------------------------------------------

TYPED_TEST(StringForms, CopiesOfOneBlockOnSeveralThreads) {
  using T = TypeParam;
  const String_T<T> shared = S<T>("shared between threads");
  constexpr int kThreads = 4, kRounds = 100000;
  // Copies made here and released on the worker threads.
  std::vector<std::vector<String_T<T>>> handedOver(kThreads, std::vector<String_T<T>>(64, shared));
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<String_T<T>> mine = std::move(handedOver[t]);
      for (int i = 0; i < kRounds; ++i) {
        String_T<T> copy(shared), other;
        other = copy;
        mine[static_cast<std::size_t>(i) % mine.size()] = other;
        // Case mapping forks: never visible to the other owners.
        if (i % 97 == 0 && other.toUpperCase().getBuffer() == shared.getBuffer()) ++bad;
        if (copy.getBuffer() != shared.getBuffer()) ++bad;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(show(shared), "shared between threads");
  EXPECT_EQ(refs(shared), 1u);
}

}  // namespace
