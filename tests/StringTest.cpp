// Tests of String_T in its three forms: block sharing and copy on write, the operations, the
// character/byte units of the 8-bit forms, formatting and copies across threads.
#include "vemo/core/String.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vemo/core/Charset.h"

using vemo::String;
using vemo::String_T;
using ints = std::vector<int>;
using texts = std::vector<std::string>;

namespace {

// A zero-terminated text of any unit type; each byte of `text` becomes one unit.
template <class T>
struct Lit : std::vector<T> {
  explicit Lit(const char* text)
      : std::vector<T>(reinterpret_cast<const unsigned char*>(text),
                       reinterpret_cast<const unsigned char*>(text) + std::strlen(text) + 1) {}
  operator const T*() const { return this->data(); }
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
const vemo::StringData* headerOf(const String_T<T>& s) {
  return reinterpret_cast<const vemo::StringData*>(reinterpret_cast<const char*>(s.getBuffer()) -
                                                   sizeof(vemo::StringData));
}

// One edit of a string made from `text`: what the operation returns and the text it leaves
// (null: unchanged, in the same block; `inPlace`: changed within the same block).
template <class T>
struct Edit {
  const char* text;
  int (*edit)(String_T<T>&);
  int result;
  const char* expected;
  bool inPlace = false;
};

// Runs each edit on a private string and on a copy that shares its block with another owner.
template <class T>
void expectEdits(std::initializer_list<Edit<T>> edits) {
  for (const Edit<T>& e : edits) {
    SCOPED_TRACE(std::string(e.text) + " -> " + (e.expected ? e.expected : "(unchanged)"));
    const String_T<T> want = S<T>(e.expected ? e.expected : e.text);
    String_T<T> s = S<T>(e.text);
    const T* block = s.getBuffer();
    (void)s.getLength();  // counted before the edit, so that a stale count shows
    EXPECT_EQ(e.edit(s), e.result);
    EXPECT_EQ(show(s), show(want));
    EXPECT_EQ(s.getLength(), want.getLength());
    EXPECT_TRUE((e.expected && !e.inPlace) || s.getBuffer() == block) << "block not kept";
    EXPECT_TRUE(!want.isEmpty() || s.getBuffer() == String_T<T>().getBuffer())
        << "not the empty block";

    const String_T<T> other = S<T>(e.text);
    String_T<T> copy = other;
    (void)other.getLength();
    e.edit(copy);
    EXPECT_EQ(show(copy), show(want));
    EXPECT_EQ(show(other), show(S<T>(e.text)));
    EXPECT_EQ(other.getLength(), S<T>(e.text).getLength());
    EXPECT_TRUE(copy.getBuffer() == other.getBuffer() || headerOf(other)->count == 1u)
        << "a forked copy releases the shared block";
  }
}

template <class T>
class StringForms : public ::testing::Test {};
using Forms = ::testing::Types<wchar_t, char, unsigned char>;
TYPED_TEST_SUITE(StringForms, Forms);

TYPED_TEST(StringForms, CopiesShareOneExactBlock) {
  using T = TypeParam;
  String_T<T> a = S<T>("banana"), empty;
  // Size in bytes with the terminator, the terminator, the length counted once and then stored.
  EXPECT_EQ((ints{int(headerOf(a)->size), a.getBuffer()[6], a.getLength(), headerOf(a)->length}),
            (ints{int(sizeof(T)) * 7, 0, 6, 6}));
  {
    String_T<T> b(a), c, d;
    c = a;
    d += a;
    const String_T<T> whole = a.getSubString(0, a.getLength());
    EXPECT_EQ(headerOf(a)->count.load(), 5u);
    // Whole sub-strings and concatenations with an empty side share the block too.
    EXPECT_EQ((std::vector<const T*>{b.getBuffer(), c.getBuffer(), d.getBuffer(), whole.getBuffer(),
                                     (empty + a).getBuffer(), (a + empty).getBuffer(),
                                     (a + Lit<T>("")).getBuffer()}),
              std::vector<const T*>(7, a.getBuffer()));
    c = c;  // self-assignment keeps the block alive
    EXPECT_EQ(show(c), "banana");
  }
  EXPECT_EQ(headerOf(a)->count.load(), 1u);
  String_T<T> moved(std::move(a));
  EXPECT_EQ(show(moved), "banana");
  EXPECT_EQ(headerOf(moved)->count.load(), 1u);
}

TYPED_TEST(StringForms, Edits) {
  using T = TypeParam;
  using Str = String_T<T>;
  using L = Lit<T>;
  using P = const T*;
  // Trimming and case mapping return the string itself.
  const auto trim = [](Str& s) -> int { return &s.trim() == &s; };
  const auto upper = [](Str& s) -> int { return &s.toUpperCase() == &s; };
  const auto lower = [](Str& s) -> int { return &s.toLowerCase() == &s; };
  expectEdits<T>({
      {"abc", [](Str& s) { return s.insert(0, L("XY")); }, 5, "XYabc"},
      {"abc", [](Str& s) { return s.insert(3, 'Z'); }, 4, "abcZ"},
      {"abc", [](Str& s) { return s.insert(1, S<T>("--")); }, 5, "a--bc"},
      {"abc", [](Str& s) { return s.insert(1, L("")); }, 3, "abc"},
      {"", [](Str& s) { return s.insert(0, L("new")); }, 3, "new"},
      {"abcdef", [](Str& s) { return s.erase(1, 0); }, 0, nullptr},
      {"abcdef", [](Str& s) { return s.erase(1, -3); }, -3, nullptr},
      {"abcdef", [](Str& s) { return s.erase(1, 2); }, 2, "adef"},
      {"abc", [](Str& s) { return s.erase(0, 3); }, 3, ""},
      {"banana", [](Str& s) { return s.replace('a', 'b'); }, 3, "bbnbnb", true},
      {"bbnbnb", [](Str& s) { return s.replace(L("bn"), L("XY")); }, 2, "bXYXYb", true},
      {"banana", [](Str& s) { return s.replace(L("a"), L("XYZ")); }, 3, "bXYZnXYZnXYZ"},
      {"banana", [](Str& s) { return s.replace(L("ana"), L("X")); }, 1, "bXna"},  // no overlaps
      {"banana", [](Str& s) { return s.replace(L("q"), L("x")); }, 0, nullptr},
      {"banana", [](Str& s) { return s.replace(L(""), L("x")); }, 0, nullptr},
      {"", [](Str& s) { return s.replace('a', 'b'); }, 0, ""},
      {"b--b", [](Str& s) { return s.replace(S<T>("-"), S<T>("+")); }, 2, "b++b", true},
      {"b--b", [](Str& s) { return s.replace(S<T>("-"), L("=")); }, 2, "b==b", true},
      {"b--b", [](Str& s) { return s.replace(L("-"), S<T>("")); }, 2, "bb"},
      {"b--b", [](Str& s) { return s.replace('-', 0); }, 2, "bb"},  // 0 is an empty text
      {"banana", [](Str& s) { return s.remove(L("an")); }, 2, "ba"},
      {"aaaa", [](Str& s) { return s.remove(L("aa")); }, 2, ""},
      {"banana", [](Str& s) { return s.remove(S<T>("nan")); }, 1, "baa"},
      {"banana", [](Str& s) { return s.remove('a'); }, 3, "bnn"},
      {"banana", [](Str& s) { return s.remove(0); }, 0, nullptr},
      {" \t\n\v\f\r a b \r\n", trim, 1, "a b"},
      {"  a b  ", [](Str& s) -> int { return &s.trimLeft() == &s; }, 1, "a b  "},
      {"  a b  ", [](Str& s) -> int { return &s.trimRight() == &s; }, 1, "  a b"},
      {" \t\n ", trim, 1, ""},
      {"\x01x\x1F", trim, 1, nullptr},  // no spaces
      {"\xA0 x\xA0 ", trim, 1, "\xA0 x\xA0"},
      {"@AZ[`az{\xE4\xC4", upper, 1, "@AZ[`AZ{\xE4\xC4", true},  // codes 228, 196 stay
      {"@AZ[`az{\xE4\xC4", lower, 1, "@az[`az{\xE4\xC4", true},
      {"", upper, 1, ""},
      {"banana", [](Str& s) { return (s = L("cherry")).getLength(); }, 6, "cherry", true},
      {"banana", [](Str& s) { return (s = L("")).getLength(); }, 0, ""},
      {"x", [](Str& s) { return (s = Str(P(nullptr))).getLength(); }, 0, ""},
      {"x", [](Str& s) { return (s = Str(L("abcdef"), 3)).getLength(); }, 3, "abc"},
      {"x", [](Str& s) { return (s = Str(L("abc"), 0)).getLength(); }, 0, ""},
      {"x", [](Str& s) { return (s = Str(P(nullptr), 3)).getLength(); }, 0, ""},
      {"x", [](Str& s) { return (s = Str('y')).getLength(); }, 1, "y"},
      {"x", [](Str& s) { return (s = Str(0)).getLength(); }, 0, ""},
      {"abc", [](Str& s) { return (s = s.getSubString(1, 0)).getLength(); }, 0, ""},
      {"x", [](Str& s) { return s.setBuffer(L("hello"), 3 * sizeof(T)), s.getLength(); }, 3, "hel"},
      {"x", [](Str& s) { return s.setBuffer(L("x"), 0), s.getLength(); }, 0, ""},
      {"x", [](Str& s) { return s.format(L("")); }, 0, ""},
      {"old", [](Str& s) { return s.format(L("%d-%s-%c"), 42, P(L("ab")), 'z'); }, 7, "42-ab-z"},
      {"ab", [](Str& s) { return (s = s + L("xyz")).getLength(); }, 5, "abxyz"},
      {"ab", [](Str& s) { return (s = P(L("xyz")) + s).getLength(); }, 5, "xyzab"},
      {"ab", [](Str& s) { return (s = P(nullptr) + s).getLength(); }, 2, "ab"},
      {"ab", [](Str& s) { return (s += L("c")).getLength(); }, 3, "abc"},
      {"ab", [](Str& s) { return (s += 'c').getLength(); }, 3, "abc"},
      {"ab", [](Str& s) { return (s += S<T>("cd")).getLength(); }, 4, "abcd"},
      {"ab", [](Str& s) { return (s += 0).getLength(); }, 2, nullptr},
      {"ab", [](Str& s) { return (s += s).getLength(); }, 4, "abab"},
  });
  // A text longer than any first-pass buffer: the arguments are formatted twice.
  const L a(std::string(40000, 'a').c_str());
  Str s;
  EXPECT_EQ(s.format(L("%s|%d|%s"), a.data(), 12345, P(L("end"))), 40010);
  EXPECT_EQ((ints{s.getLength(), s.find('|')}), (ints{40010, 40000}));
  EXPECT_EQ(show(s.getSubString(39998)), "aa|12345|end");
}

TEST(WideString, SetBufferRoundsUpAndUtf16Order) {
  // A String holds UTF-32 units where wchar_t has 32 bits (Linux) and UTF-16 units where it has
  // 16 (Windows): sizes and the character above the basic plane differ by design.
#if defined(_WIN32)
  const wchar_t data[] = {0x1122, 0x3344, 0x5566};
  String s;
  s.setBuffer(data, 5);  // two whole units and the first byte of the next
  ASSERT_EQ(s.getBufferLength(), 8);
  EXPECT_EQ((ints{s.getLength(), s[0], s[1], s[2], s[3]}),
            (ints{3, 0x1122, 0x3344, 0x66, 0}));  // zero-filled
  // A character above the basic plane is its surrogate pair, and sorts as such.
  const String grin(0x1F600);
  EXPECT_EQ((ints{grin.getBufferLength(), grin.getLength(), grin[0], grin[1],
                  grin.compare(L"\uD7FF"), grin.compare(L"\uE000"), grin.compare(L"\U0001F601")}),
            (ints{6, 2, 0xD83D, 0xDE00, 1, -1, -1}));
#else
  const wchar_t data[] = {static_cast<wchar_t>(0x11223344), static_cast<wchar_t>(0x55667788)};
  String s;
  s.setBuffer(data, 5);  // one whole unit and the first byte of the next
  ASSERT_EQ(s.getBufferLength(), 12);
  EXPECT_EQ((ints{s.getLength(), s[0], s[1], s[2]}),
            (ints{2, 0x11223344, 0x88, 0}));  // zero-filled
  // A character above the basic plane is one unit, and sorts as its surrogate pair would.
  const String grin(0x1F600);
  EXPECT_EQ((ints{grin.getBufferLength(), grin[0], grin.compare(L"\uD7FF"), grin.compare(L"\uE000"),
                  grin.compare(L"\U0001F601")}),
            (ints{8, 0x1F600, 1, -1, -1}));
#endif
}

TYPED_TEST(StringForms, FindSubStringInnerZerosAndComparison) {
  using T = TypeParam;
  using L = Lit<T>;
  const String_T<T> s = S<T>("banana"), empty;
  EXPECT_EQ((ints{s.find(L("an")), s.find(L("an"), 1), s.find(L("an"), 2), s.find(L("an"), 4),
                  s.find(L("bananas")), s.find('a', 4), s.find('b', 1), s.find('n', 100),
                  empty.find(L("")), empty.find('a')}),
            (ints{1, 1, 3, -1, -1, 5, -1, -1, -1, -1}));
  EXPECT_EQ((texts{show(s.getSubString(1, 2)), show(s.getSubString(2)), show(s.getSubString(2, -7)),
                   show(s.getSubString(2, 100)), show(s.getSubString(6, 2))}),
            (texts{"an", "nana", "nana", "nana", ""}));
  EXPECT_EQ(headerOf(s)->count.load(), 1u);  // a part of the text gets a block of its own
  {                                          // Inner zeros and comparison.
    using Str = String_T<T>;
    const T withZeros[] = {'a', 'b', 0, 'c', 0, 0, 'z'}, zeros[] = {0, 0, 0};
    Str z(withZeros, 4);  // the trailing zero is dropped, the inner one kept
    EXPECT_EQ(z.getLength(), 4);
    EXPECT_EQ(
        (texts{show(z), show(Str(withZeros, 6)), show(Str(withZeros, 7)), show(Str(zeros, 3))}),
        (texts{"ab\\x{0}c", "ab\\x{0}c", "ab\\x{0}c\\x{0}\\x{0}z", ""}));
    z.setBuffer(withZeros, 4 * static_cast<int>(sizeof(T)));
    EXPECT_EQ(show(z), "ab\\x{0}c");

    const Str s = S<T>("abc"), empty;
    const T* null = nullptr;
    EXPECT_EQ((ints{s.compare(L("abc")), s.compare(L("abd")), s.compare(L("abb")),
                    s.compare(L("ab")), s.compare(L("abcd")), s.compare(null), empty.compare(null),
                    empty.compare(L("a")), S<T>("\xE9").compare(L("z"))}),
              (ints{0, -1, 1, 1, -1, 1, 0, -1, 1}));
    // Letters compare as lower case, so '_' (0x5F) sorts before 'A'.
    EXPECT_EQ(
        (ints{S<T>("HeLLo").compareNoCase(L("hEllO")), S<T>("apple").compareNoCase(L("BANANA")),
              S<T>("Cherry").compareNoCase(L("banana")), S<T>("ab").compareNoCase(L("AB c")),
              S<T>("_").compareNoCase(L("A")), S<T>("\xE9").compareNoCase(L("Z")),
              S<T>("x").compareNoCase(null), empty.compareNoCase(null)}),
        (ints{0, -1, 1, -1, -1, 1, 1, 0}));
    // Blocks of different sizes differ even where the characters up to the first zero agree.
    EXPECT_TRUE(s == S<T>("abc") && empty == Str(L("")) && s != S<T>("abd") && s != S<T>("ab"));
    EXPECT_FALSE(s != S<T>("abc") || S<T>("ab") == Str(withZeros, 7) || s < L("abc") ||
                 s >= L("b"));
    EXPECT_TRUE(s == L("abc") && s != L("abcd") && s < L("abd") && s <= L("abc") && empty == null);
    EXPECT_TRUE(s > L("ab") && s > null && s >= L("abc") && vemo::StringLess()(S<T>("ab"), s));
    EXPECT_FALSE(vemo::StringLess()(S<T>("b"), s));
  }
}

TEST(Utf8Positions, FindReturnsBytesWhileCountsAreCharacters) {
  // e-acute, euro and U+1F600 take 2, 3 and 4 bytes; the last one is walked as four characters
  // (a byte that leads nothing is its own character), also when made from its code point.
  const String_T<char> s("éx"), t("a€béc"), g("😀"), c(0x1F600);
  // Starts count characters, results are byte offsets; a character is searched as its bytes.
  EXPECT_EQ((ints{s.getLength(), t.getLength(), g.getLength(), c.getLength(), s.find('x'),
                  s.find("x", 1), s.find('x', 2), s.find(0xE9), t.find('c', 3), t.find(0x20AC)}),
            (ints{2, 5, 4, 4, 2, 2, -1, 0, 7, 1}));
  EXPECT_EQ((ints{s[0], s[1], t[1], t[3], t[4], g[0]}),
            (ints{0xE9, 'x', 0x20AC, 0xE9, 'c', 0xF0 & 0x7F}));
  EXPECT_EQ((texts{bytes(t.getSubString(1, 2)), bytes(t.getSubString(3)),
                   bytes(String_T<char>("é€xyz", 3)), bytes(g.getSubString(1, 2)),
                   bytes(String_T<char>("😀ab", 5)), bytes(c)}),
            (texts{"€b", "éc", "é€x", "\x9F\x98", "😀a", "😀"}));
  EXPECT_EQ(t.getSubString(0, 5).getBuffer(), t.getBuffer());

  // Insert and erase take byte positions and counts; insert returns the new byte length.
  using U = String_T<char>;
  expectEdits<char>({
      {"éx", [](U& s) { return s.insert(2, "y"); }, 4, "éyx"},
      {"éx", [](U& s) { return s.insert(0, 0x20AC); }, 6, "€éx"},
      {"€éyx", [](U& s) { return s.erase(0, 3); }, 3, "éyx"},
      {"été", [](U& s) { return s.replace(0xE9, 'e'); }, 2, "ete"},
      {"ete", [](U& s) { return s.replace('e', 0x20AC); }, 2, "€t€"},
      {"€t€", [](U& s) { return s.remove(0x20AC); }, 2, "t"},
      {"t", [](U& s) { return (s += 0xE9).getLength(); }, 2, "té"},
      {"éab", [](U& s) { return s.replace("éa", "xyz"); }, 1, "xyzb", true},
      {"xyzb", [](U& s) { return (s = "éé").getLength(); }, 2, "éé", true},
  });
}

TEST(CodePagePositions, HighByteLeadsATwoByteCharacter) {
  using A = String_T<unsigned char>;
  const int savedCodePage = vemo::getCodePage();
  vemo::setCodePage(1252);
  const unsigned char text[] = {0xE9, 'x', 'y', 0x80, 0};  // three characters: E9 x, y, 80
  const A s(text);
  // 0x80 is the euro sign in code page 1252.
  EXPECT_EQ((ints{s.getLength(), s[0], s[1], s[2], s.find('y'), s.find('y', 1), s.find('y', 2),
                  A(reinterpret_cast<const unsigned char*>("caf\xE9")).find(0xE9)}),
            (ints{3, 0xE9, 'y', 0x20AC, 2, 2, -1, 3}));
  EXPECT_EQ((texts{bytes(s.getSubString(0, 1)), bytes(s.getSubString(1)), bytes(A(text, 2)),
                   bytes(A(0x20AC))}),
            (texts{"\xE9x", "y\x80", "\xE9xy", "\x80"}));
  expectEdits<unsigned char>({
      {"\xE9xy\x80", [](A& s) { return s.insert(1, 'z'); }, 5, "\xE9zxy\x80"},  // a byte position
      {"\xE9zxy\x80", [](A& s) { return s.erase(0, 2); }, 2, "xy\x80"},
      {"caf\xE9", [](A& s) { return s.replace(0xE9, 'e'); }, 1, "cafe", true},
      {"cafe", [](A& s) { return (s += 0x20AC), s[4]; }, 0x20AC, "cafe\x80"},
  });
  // With UTF-8 as code page the euro sign's three bytes are a lead pair and a lone byte.
  vemo::setCodePage(65001);
  EXPECT_EQ(bytes(A(0x20AC)), "€");
  EXPECT_EQ(A(0x20AC).getLength(), 2);
  vemo::setCodePage(savedCodePage);
}

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
  EXPECT_EQ(headerOf(shared)->count.load(), 1u);
}

}  // namespace

// The standard library's strings, views, algorithms, hashes and streams take the library's
// strings: every unit crosses (embedded zeros too), narrow streams get UTF-8.
TEST(StandardLibrary, StringsCrossBothWays) {
  const std::wstring wide(L"Gr\u00FC\u00DFe\0zwei", 10);
  const String fromWide = wide;
  EXPECT_EQ(fromWide.getBufferLength(), static_cast<int>(11 * sizeof(wchar_t)));
  EXPECT_EQ(fromWide.toStdString(), wide);
  EXPECT_EQ(String(std::wstring_view(wide).substr(0, 5)), String(L"Gr\u00FC\u00DFe"));
  EXPECT_EQ(String(std::wstring()).getBufferLength(), static_cast<int>(sizeof(wchar_t)));

  const std::string utf8("caf\xC3\xA9", 5);
  const String_T<char> fromUtf8 = utf8;
  EXPECT_EQ(fromUtf8.getLength(), 4);  // characters
  EXPECT_EQ(fromUtf8.toStdString(), utf8);
  EXPECT_EQ(fromUtf8.toStringView(), std::string_view(utf8));
  EXPECT_EQ(std::string(fromUtf8.begin(), fromUtf8.end()), utf8);

  // Range-for and the algorithms over the units.
  std::wstring copied;
  for (wchar_t unit : String(L"abc"))
    copied += unit;
  EXPECT_EQ(copied, L"abc");
  EXPECT_EQ(std::count(fromWide.begin(), fromWide.end(), L'e'), 2);

  // Hashes agree with equality, embedded zeros included.
  std::unordered_map<String, int> counts;
  ++counts[String(L"one")];
  ++counts[String(std::wstring(L"one"))];
  ++counts[fromWide];
  ++counts[String(L"Gr\u00FC\u00DFe")];  // the same text up to the zero only
  EXPECT_EQ(counts.size(), 3u);
  EXPECT_EQ(counts[String(L"one")], 2);
  EXPECT_EQ(std::hash<String_T<char>>()(fromUtf8),
            std::hash<String_T<char>>()(String_T<char>(utf8)));

  std::ostringstream narrow;
  narrow << String(L"\u00E9t\u00E9") << '|' << fromUtf8;
  EXPECT_EQ(narrow.str(), "\xC3\xA9t\xC3\xA9|caf\xC3\xA9");
  std::wostringstream wideOut;
  wideOut << fromWide;
  EXPECT_EQ(wideOut.str(), wide);

  // Trailing zeros of a standard string or view are dropped, as String.h says: the same text
  // is one string, with one hash.
  const String trailing(std::wstring(L"ab\0", 3));
  EXPECT_EQ(trailing, String(L"ab"));
  EXPECT_EQ(trailing.getLength(), 2);
  EXPECT_EQ(String(std::wstring_view(L"ab\0\0", 4)).getLength(), 2);
  EXPECT_EQ(String(std::wstring(3, L'\0')).getLength(), 0);
  EXPECT_EQ(String_T<char>(std::string("x\0y\0", 4)).toStdString(), std::string("x\0y", 3));
  const std::unordered_set<String> set{String(L"ab"), trailing, String(L"ab\0", 3)};
  EXPECT_EQ(set.size(), 1u);
  // Every unit reaches a stream, embedded zeros too, and the stream's width pads it.
  std::ostringstream padded;
  padded << std::setw(6) << String(L"\u00E9") << '|' << std::left << std::setw(4)
         << String_T<char>("ab") << '|' << String(std::wstring(L"a\0b", 3)) << '|' << std::setw(3)
         << String(L"\U0001F600");
  EXPECT_EQ(padded.str(), std::string("    \xC3\xA9|ab  |a\0b|\xF0\x9F\x98\x80", 20));
  std::wostringstream widePadded;
  widePadded << std::setw(4) << String(L"ab") << L'|' << String(std::wstring(L"a\0b", 3));
  EXPECT_EQ(widePadded.str(), std::wstring(L"  ab|a\0b", 8));
  // Standard strings of the other width convert explicitly: UTF-8 to a String and back.
  static_assert(std::is_constructible<String, std::string>::value, "UTF-8 to wide");
  static_assert(!std::is_convertible<std::string, String>::value, "never silently");
  static_assert(std::is_constructible<String_T<char>, std::wstring_view>::value, "wide to UTF-8");
  static_assert(!std::is_constructible<String_T<unsigned char>, std::string>::value,
                "code-page text comes from its own functions");
  EXPECT_EQ(String(std::string("caf\xC3\xA9 \xF0\x9F\x98\x80 \xE9!\0", 14)),
            String(L"caf\u00e9 \U0001F600 \uFFFD!"));
  EXPECT_EQ(String(std::string_view("a\0b", 3)).getLength(), 3);
  EXPECT_EQ(String_T<char>(std::wstring(L"\u00e9\U0001F600")).toStdString(),
            "\xC3\xA9\xF0\x9F\x98\x80");
}
