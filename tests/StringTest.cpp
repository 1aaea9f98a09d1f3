// Tests of String_T in its three forms: block layout and sharing, every operation, the
// character/byte units of the 8-bit forms, formatting and copies across threads.
#include "vemo/core/String.h"

#include <gtest/gtest.h>

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

// A zero-terminated text of any unit type, built from an ASCII literal.
template <class T>
class Lit {
 public:
  explicit Lit(const char* ascii) {
    for (; *ascii; ++ascii)
      _units.push_back(static_cast<T>(static_cast<unsigned char>(*ascii)));
    _units.push_back(0);
  }
  operator const T*() const { return _units.data(); }

 private:
  std::vector<T> _units;
};

template <class T>
String_T<T> S(const char* ascii) {
  return String_T<T>(Lit<T>(ascii));
}

template <class T>
int unitsOf(const String_T<T>& s) {
  return s.getBufferLength() / static_cast<int>(sizeof(T)) - 1;
}

// The code units of a string as printable text; others appear as \x{HEX}.
template <class T>
std::string show(const String_T<T>& s) {
  std::string out;
  for (int i = 0; i < unitsOf(s); ++i) {
    const auto c =
        static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<T>>(s.getBuffer()[i]));
    if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\x{%X}", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

// The raw bytes of an 8-bit string.
template <class T>
std::string bytes(const String_T<T>& s) {
  static_assert(sizeof(T) == 1, "8-bit forms only");
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
class FormNames {
 public:
  template <class T>
  static std::string GetName(int) {
    if (std::is_same<T, wchar_t>::value) return "Wide";
    if (std::is_same<T, char>::value) return "Utf8";
    return "CodePage";
  }
};

// ---- block layout and sharing ---------------------------------------------------------------

template <class T>
class StringSharing : public StringForms<T> {};
TYPED_TEST_SUITE(StringSharing, Forms, FormNames);

TYPED_TEST(StringSharing, BlockHeaderDescribesTheText) {
  using T = TypeParam;
  const String_T<T> s = S<T>("banana");
  const StringData* h = headerOf(s);
  EXPECT_EQ(h->size, sizeof(T) * 7);
  EXPECT_EQ(s.getBufferLength(), static_cast<int>(sizeof(T) * 7));
  EXPECT_EQ(h->count.load(), 1u);
  EXPECT_EQ(s.getBuffer()[6], T(0));
  EXPECT_EQ(s.getLength(), 6);
  EXPECT_EQ(h->length.load(), 6);  // counted and stored
  EXPECT_EQ(String_T<T>().getBufferLength(), static_cast<int>(sizeof(T)));
  EXPECT_TRUE(String_T<T>().isEmpty());
  EXPECT_FALSE(s.isEmpty());
}

TYPED_TEST(StringSharing, CopiesShareOneBlock) {
  using T = TypeParam;
  String_T<T> a = S<T>("banana");
  {
    String_T<T> b(a);
    String_T<T> c;
    c = a;
    EXPECT_EQ(b.getBuffer(), a.getBuffer());
    EXPECT_EQ(c.getBuffer(), a.getBuffer());
    EXPECT_EQ(refs(a), 3u);
    const String_T<T> whole = a.getSubString(0, a.getLength());
    EXPECT_EQ(whole.getBuffer(), a.getBuffer());
    EXPECT_EQ(refs(a), 4u);
    EXPECT_EQ(a.getSubString(0).getBuffer(), a.getBuffer());
    c = c;  // self-assignment keeps the block alive
    EXPECT_EQ(show(c), "banana");
  }
  EXPECT_EQ(refs(a), 1u);
  String_T<T> moved(std::move(a));
  EXPECT_EQ(show(moved), "banana");
  EXPECT_EQ(refs(moved), 1u);
}

TYPED_TEST(StringSharing, EditsNeverShowThroughAnotherOwner) {
  using T = TypeParam;
  const String_T<T> original = S<T>("banana");
  const T* block = original.getBuffer();
  auto expectUntouched = [&](const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(original.getBuffer(), block);
    EXPECT_EQ(show(original), "banana");
    EXPECT_EQ(original.getLength(), 6);
  };
  String_T<T> s;
  s = original;
  s.replace(Lit<T>("an"), Lit<T>("AN"));  // same length, but shared
  EXPECT_EQ(show(s), "bANANa");
  expectUntouched("replace");
  s = original;
  s.insert(0, Lit<T>("x"));
  EXPECT_EQ(show(s), "xbanana");
  expectUntouched("insert");
  s = original;
  s.erase(1, 2);
  EXPECT_EQ(show(s), "bana");
  expectUntouched("erase");
  s = original;
  s.toUpperCase();
  EXPECT_EQ(show(s), "BANANA");
  expectUntouched("toUpperCase");
  s = original;
  s = Lit<T>("cherry");  // same size as the shared block
  EXPECT_EQ(show(s), "cherry");
  expectUntouched("operator= of the same size");
  s = original;
  s += Lit<T>("!");
  EXPECT_EQ(show(s), "banana!");
  expectUntouched("+=");
  s = original;
  s.remove('a');
  EXPECT_EQ(show(s), "bnn");
  expectUntouched("remove");
  s = original;
  s.setBuffer(Lit<T>("xy"), 2 * static_cast<int>(sizeof(T)));
  EXPECT_EQ(show(s), "xy");
  expectUntouched("setBuffer");
  s = original;
  s.format(Lit<T>("%d"), 7);
  EXPECT_EQ(show(s), "7");
  expectUntouched("format");
}

TYPED_TEST(StringSharing, UnsharedBlocksAreEditedInPlace) {
  using T = TypeParam;
  String_T<T> s = S<T>("banana");
  const T* block = s.getBuffer();
  EXPECT_EQ(s.replace('a', 'b'), 3);
  EXPECT_EQ(show(s), "bbnbnb");
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(s.replace(Lit<T>("bn"), Lit<T>("XY")), 2);
  EXPECT_EQ(show(s), "bXYXYb");
  EXPECT_EQ(s.getBuffer(), block);
  s = Lit<T>("cherry");
  EXPECT_EQ(show(s), "cherry");
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(s.getLength(), 6);
  s.toUpperCase();
  EXPECT_EQ(show(s), "CHERRY");
  EXPECT_EQ(s.getBuffer(), block);
  s.toLowerCase();
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(show(s), "cherry");

  // The same replacement on a shared block: the other owner still sees banana.
  String_T<T> a = S<T>("banana");
  const String_T<T> b = a;
  EXPECT_EQ(a.replace('a', 'b'), 3);
  EXPECT_EQ(show(a), "bbnbnb");
  EXPECT_EQ(show(b), "banana");
  EXPECT_NE(a.getBuffer(), b.getBuffer());
  EXPECT_EQ(refs(b), 1u);
}

TYPED_TEST(StringSharing, EveryEmptyResultIsTheOneEmptyBlock) {
  using T = TypeParam;
  const T* empty = String_T<T>().getBuffer();
  std::vector<String_T<T>> results;
  results.push_back(String_T<T>(static_cast<const T*>(nullptr)));
  results.push_back(String_T<T>(Lit<T>("")));
  results.push_back(String_T<T>(Lit<T>("abc"), 0));
  results.push_back(String_T<T>(0));
  results.push_back(S<T>("abc").getSubString(1, 0));
  results.push_back(S<T>("abc").getSubString(3));
  String_T<T> s = S<T>("abc");
  s.erase(0, 3);
  results.push_back(s);
  s = S<T>("aaaa");
  s.remove(Lit<T>("aa"));
  results.push_back(s);
  s = S<T>(" \t\n ");
  s.trim();
  results.push_back(s);
  s = S<T>("x");
  s.setBuffer(Lit<T>("x"), 0);
  results.push_back(s);
  s = S<T>("x");
  s = Lit<T>("");
  results.push_back(s);
  s = S<T>("x");
  s.format(Lit<T>(""));
  results.push_back(s);
  s = S<T>("x");
  s.replace(Lit<T>("x"), static_cast<const T*>(nullptr));
  results.push_back(s);
  results.push_back(String_T<T>() + String_T<T>());
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(results[i].getBuffer(), empty);
    EXPECT_EQ(results[i].getLength(), 0);
    EXPECT_EQ(results[i].getBufferLength(), static_cast<int>(sizeof(T)));
  }
}

// ---- construction and assignment ------------------------------------------------------------

template <class T>
class StringConstruction : public StringForms<T> {};
TYPED_TEST_SUITE(StringConstruction, Forms, FormNames);

TYPED_TEST(StringConstruction, FromTextAndCount) {
  using T = TypeParam;
  const T withZeros[] = {'a', 'b', 0, 'c', 0, 0, 'z'};
  const String_T<T> embedded(withZeros, 4);  // trailing zero dropped
  EXPECT_EQ(show(embedded), "ab\\x{0}c");
  EXPECT_EQ(embedded.getBufferLength(), static_cast<int>(sizeof(T) * 5));
  EXPECT_EQ(embedded.getLength(), 4);
  const String_T<T> trailing(withZeros, 6);
  EXPECT_EQ(show(trailing), "ab\\x{0}c");
  EXPECT_EQ(show(String_T<T>(withZeros, 7)), "ab\\x{0}c\\x{0}\\x{0}z");
  const T zeros[] = {0, 0, 0};
  EXPECT_TRUE(String_T<T>(zeros, 3).isEmpty());
  EXPECT_TRUE(String_T<T>(withZeros, 0).isEmpty());
  EXPECT_TRUE(String_T<T>(withZeros, -2).isEmpty());
  EXPECT_TRUE(String_T<T>(static_cast<const T*>(nullptr), 3).isEmpty());
  EXPECT_EQ(show(String_T<T>(Lit<T>("abcdef"), 3)), "abc");
}

TYPED_TEST(StringConstruction, FromCharacterAndAssignment) {
  using T = TypeParam;
  const String_T<T> x('x');
  EXPECT_EQ(show(x), "x");
  EXPECT_EQ(x.getLength(), 1);
  EXPECT_TRUE(String_T<T>(0).isEmpty());

  String_T<T> s = S<T>("abc");
  s = Lit<T>("longer text");
  EXPECT_EQ(show(s), "longer text");
  EXPECT_EQ(s.getLength(), 11);
  s = Lit<T>("ab");
  EXPECT_EQ(show(s), "ab");
  EXPECT_EQ(s.getBufferLength(), static_cast<int>(sizeof(T) * 3));
  s = static_cast<const T*>(nullptr);
  EXPECT_TRUE(s.isEmpty());
  s = Lit<T>("");
  EXPECT_TRUE(s.isEmpty());
  s = Lit<T>("q");  // from the empty block
  EXPECT_EQ(show(s), "q");
}

TYPED_TEST(StringConstruction, SetBufferWorksInBytes) {
  using T = TypeParam;
  String_T<T> s;
  s.setBuffer(Lit<T>("hello"), 3 * static_cast<int>(sizeof(T)));
  EXPECT_EQ(show(s), "hel");
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.getBufferLength(), static_cast<int>(sizeof(T) * 4));
  const T withZero[] = {'a', 0, 'b'};
  s.setBuffer(withZero, 3 * static_cast<int>(sizeof(T)));
  EXPECT_EQ(show(s), "a\\x{0}b");
  s.setBuffer(withZero, -1);
  EXPECT_TRUE(s.isEmpty());
}

TEST(StringConstruction, WideSetBufferRoundsUpAndZeroFills) {
  const wchar_t data[] = {static_cast<wchar_t>(0x11223344), static_cast<wchar_t>(0x55667788)};
  String s;
  s.setBuffer(data, 5);  // one whole unit and the first byte of the next
  ASSERT_EQ(s.getBufferLength(), 12);
  EXPECT_EQ(s.getLength(), 2);
  EXPECT_EQ(s[0], 0x11223344);
  EXPECT_EQ(s[1], 0x88);  // little-endian: the low byte comes first, the rest is zero
  EXPECT_EQ(s[2], 0);
}

TEST(StringConstruction, WideCharacterAboveTheBasicPlane) {
  const String s(0x1F600);
  EXPECT_EQ(s.getLength(), 1);
  EXPECT_EQ(s.getBufferLength(), 8);
  EXPECT_EQ(s[0], 0x1F600);
  EXPECT_EQ(String(0xE9)[0], 0xE9);
}

// ---- searching and sub-strings --------------------------------------------------------------

template <class T>
class StringSearch : public StringForms<T> {};
TYPED_TEST_SUITE(StringSearch, Forms, FormNames);

TYPED_TEST(StringSearch, Find) {
  using T = TypeParam;
  const String_T<T> s = S<T>("banana");
  EXPECT_EQ(s.find(Lit<T>("an")), 1);
  EXPECT_EQ(s.find(Lit<T>("an"), 1), 1);
  EXPECT_EQ(s.find(Lit<T>("an"), 2), 3);
  EXPECT_EQ(s.find(Lit<T>("an"), 4), -1);
  EXPECT_EQ(s.find(Lit<T>("banana")), 0);
  EXPECT_EQ(s.find(Lit<T>("bananas")), -1);
  EXPECT_EQ(s.find(Lit<T>("x")), -1);
  EXPECT_EQ(s.find('a'), 1);
  EXPECT_EQ(s.find('a', 4), 5);
  EXPECT_EQ(s.find('b', 1), -1);
  EXPECT_EQ(s.find('n', 100), -1);
  const String_T<T> empty;
  EXPECT_EQ(empty.find(Lit<T>("")), -1);
  EXPECT_EQ(empty.find(static_cast<const T*>(nullptr)), -1);
  EXPECT_EQ(empty.find(Lit<T>("a")), -1);
  EXPECT_EQ(empty.find('a'), -1);
}

TYPED_TEST(StringSearch, GetSubString) {
  using T = TypeParam;
  const String_T<T> s = S<T>("banana");
  EXPECT_EQ(show(s.getSubString(1, 2)), "an");
  EXPECT_EQ(show(s.getSubString(2)), "nana");
  EXPECT_EQ(show(s.getSubString(2, -7)), "nana");
  EXPECT_EQ(show(s.getSubString(2, 100)), "nana");
  EXPECT_EQ(show(s.getSubString(0, 1)), "b");
  EXPECT_EQ(show(s.getSubString(5, 1)), "a");
  EXPECT_TRUE(s.getSubString(6, 2).isEmpty());
  EXPECT_TRUE(s.getSubString(3, 0).isEmpty());
  EXPECT_EQ(s.getSubString(1, 2).getLength(), 2);
  EXPECT_EQ(refs(s), 1u);  // sub-strings of part of the text have blocks of their own
  EXPECT_TRUE(String_T<T>().getSubString(0).isEmpty());
}

// ---- editing --------------------------------------------------------------------------------

template <class T>
class StringEditing : public StringForms<T> {};
TYPED_TEST_SUITE(StringEditing, Forms, FormNames);

TYPED_TEST(StringEditing, InsertReturnsTheNewLength) {
  using T = TypeParam;
  String_T<T> s = S<T>("abc");
  EXPECT_EQ(s.insert(0, Lit<T>("XY")), 5);
  EXPECT_EQ(show(s), "XYabc");
  EXPECT_EQ(s.insert(5, 'Z'), 6);
  EXPECT_EQ(show(s), "XYabcZ");
  EXPECT_EQ(s.insert(2, S<T>("--")), 8);
  EXPECT_EQ(show(s), "XY--abcZ");
  EXPECT_EQ(s.getLength(), 8);
  EXPECT_EQ(s.insert(3, Lit<T>("")), 8);
  EXPECT_EQ(show(s), "XY--abcZ");
  String_T<T> e;
  EXPECT_EQ(e.insert(0, Lit<T>("new")), 3);
  EXPECT_EQ(show(e), "new");
}

TYPED_TEST(StringEditing, EraseReturnsTheCount) {
  using T = TypeParam;
  String_T<T> s = S<T>("abcdef");
  const T* block = s.getBuffer();
  EXPECT_EQ(s.erase(1, 0), 0);
  EXPECT_EQ(s.erase(1, -3), -3);
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(show(s), "abcdef");
  EXPECT_EQ(s.erase(1, 2), 2);
  EXPECT_EQ(show(s), "adef");
  EXPECT_EQ(s.getLength(), 4);
  EXPECT_EQ(s.erase(3, 1), 1);
  EXPECT_EQ(show(s), "ade");
  EXPECT_EQ(s.erase(0, 3), 3);
  EXPECT_TRUE(s.isEmpty());
}

TYPED_TEST(StringEditing, Remove) {
  using T = TypeParam;
  String_T<T> s = S<T>("banana");
  EXPECT_EQ(s.remove('a'), 3);
  EXPECT_EQ(show(s), "bnn");
  EXPECT_EQ(s.getLength(), 3);
  s = S<T>("banana");
  EXPECT_EQ(s.remove(Lit<T>("an")), 2);
  EXPECT_EQ(show(s), "ba");
  s = S<T>("banana");
  EXPECT_EQ(s.remove(S<T>("nan")), 1);
  EXPECT_EQ(show(s), "baa");
  s = S<T>("aaaa");
  EXPECT_EQ(s.remove(Lit<T>("aa")), 2);
  EXPECT_TRUE(s.isEmpty());
  s = S<T>("aaa");
  EXPECT_EQ(s.remove(Lit<T>("aa")), 1);
  EXPECT_EQ(show(s), "a");
  s = S<T>("banana");
  const T* block = s.getBuffer();
  EXPECT_EQ(s.remove(Lit<T>("x")), 0);
  EXPECT_EQ(s.remove(Lit<T>("")), 0);
  EXPECT_EQ(s.remove(0), 0);
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(String_T<T>().remove('a'), 0);
}

TYPED_TEST(StringEditing, ReplaceEveryOverload) {
  using T = TypeParam;
  String_T<T> s = S<T>("banana");
  EXPECT_EQ(s.replace(S<T>("a"), S<T>("XYZ")), 3);  // growing
  EXPECT_EQ(show(s), "bXYZnXYZnXYZ");
  EXPECT_EQ(s.getLength(), 12);
  EXPECT_EQ(s.replace(S<T>("XYZ"), Lit<T>("o")), 3);  // shrinking
  EXPECT_EQ(show(s), "bonono");
  EXPECT_EQ(s.replace(Lit<T>("on"), S<T>("")), 2);
  EXPECT_EQ(show(s), "bo");
  EXPECT_EQ(s.replace(Lit<T>("bo"), Lit<T>("b--b")), 1);
  EXPECT_EQ(show(s), "b--b");
  EXPECT_EQ(s.replace('-', '+'), 2);
  EXPECT_EQ(show(s), "b++b");
  EXPECT_EQ(s.replace('+', 0), 2);  // a character of 0 is an empty text
  EXPECT_EQ(show(s), "bb");
  EXPECT_EQ(s.getLength(), 2);

  s = S<T>("banana");
  EXPECT_EQ(s.replace(Lit<T>("ana"), Lit<T>("X")), 1);  // occurrences do not overlap
  EXPECT_EQ(show(s), "bXna");
  s = S<T>("aaaa");
  EXPECT_EQ(s.replace(Lit<T>("aa"), Lit<T>("b")), 2);
  EXPECT_EQ(show(s), "bb");

  s = S<T>("banana");
  const T* block = s.getBuffer();
  EXPECT_EQ(s.replace(Lit<T>(""), Lit<T>("x")), 0);
  EXPECT_EQ(s.replace(static_cast<const T*>(nullptr), Lit<T>("x")), 0);
  EXPECT_EQ(s.replace(0, 'x'), 0);
  EXPECT_EQ(s.replace(Lit<T>("q"), Lit<T>("x")), 0);
  EXPECT_EQ(s.getBuffer(), block);
  EXPECT_EQ(show(s), "banana");
  String_T<T> e;
  EXPECT_EQ(e.replace('a', 'b'), 0);
  EXPECT_TRUE(e.isEmpty());
}

// ---- trimming and case mapping --------------------------------------------------------------

template <class T>
class StringTrimAndCase : public StringForms<T> {};
TYPED_TEST_SUITE(StringTrimAndCase, Forms, FormNames);

TYPED_TEST(StringTrimAndCase, TrimStripsAsciiWhiteSpaceOnly) {
  using T = TypeParam;
  String_T<T> s = S<T>(" \t\n\v\f\r a b \r\n");
  EXPECT_EQ(show(s.trim()), "a b");
  EXPECT_EQ(s.getLength(), 3);
  s = S<T>("  a b  ");
  EXPECT_EQ(show(s.trimLeft()), "a b  ");
  s = S<T>("  a b  ");
  EXPECT_EQ(show(s.trimRight()), "  a b");
  s = S<T>("ab");
  const T* block = s.getBuffer();
  s.trim().trimLeft().trimRight();
  EXPECT_EQ(s.getBuffer(), block);
  s = S<T>("\x01x\x1F");  // control characters that are not white space stay
  EXPECT_EQ(show(s.trim()), "\\x{1}x\\x{1F}");
  String_T<T> shared = S<T>(" x ");
  const String_T<T> other = shared;
  shared.trim();
  EXPECT_EQ(show(shared), "x");
  EXPECT_EQ(show(other), " x ");
}

TYPED_TEST(StringTrimAndCase, CaseMappingIsAsciiOnly) {
  using T = TypeParam;
  String_T<T> s = S<T>("Hello, World! [@`{] 09");
  EXPECT_EQ(show(s.toUpperCase()), "HELLO, WORLD! [@`{] 09");
  EXPECT_EQ(show(s.toLowerCase()), "hello, world! [@`{] 09");
  String_T<T> e;
  EXPECT_TRUE(e.toUpperCase().isEmpty());
}

TEST(StringTrimAndCase, NonBreakingSpaceAndUmlautsStay) {
  String w(L"\u00A0 x\u00A0 ");
  EXPECT_EQ(std::wstring(w.trim().getBuffer()), L"\u00A0 x\u00A0");
  String u(L"\u00E4a\u00C4A");
  EXPECT_EQ(std::wstring(u.toUpperCase().getBuffer()), L"\u00E4A\u00C4A");
  EXPECT_EQ(std::wstring(u.toLowerCase().getBuffer()), L"\u00E4a\u00C4a");

  String_T<char> w8("\xC2\xA0 x ");
  EXPECT_EQ(bytes(w8.trim()), "\xC2\xA0 x");
  String_T<char> u8(
      "\xC3\xA4"
      "a\xC3\x84");
  EXPECT_EQ(bytes(u8.toUpperCase()),
            "\xC3\xA4"
            "A\xC3\x84");
  EXPECT_EQ(bytes(u8.toLowerCase()),
            "\xC3\xA4"
            "a\xC3\x84");

  const unsigned char nbsp[] = {0xA0, ' ', 'x', ' ', 0};
  String_T<unsigned char> wa(nbsp);
  EXPECT_EQ(bytes(wa.trim()), "\xA0 x");
  const unsigned char umlauts[] = {0xE4, 'a', 0xC4, 'A', 0};
  String_T<unsigned char> ua(umlauts);
  EXPECT_EQ(bytes(ua.toUpperCase()),
            "\xE4"
            "A\xC4"
            "A");
  EXPECT_EQ(bytes(ua.toLowerCase()),
            "\xE4"
            "a\xC4"
            "a");
}

// ---- comparison -----------------------------------------------------------------------------

template <class T>
class StringComparison : public StringForms<T> {};
TYPED_TEST_SUITE(StringComparison, Forms, FormNames);

TYPED_TEST(StringComparison, CompareAndNoCase) {
  using T = TypeParam;
  const String_T<T> s = S<T>("abc");
  EXPECT_EQ(s.compare(Lit<T>("abc")), 0);
  EXPECT_EQ(s.compare(Lit<T>("abd")), -1);
  EXPECT_EQ(s.compare(Lit<T>("abb")), 1);
  EXPECT_EQ(s.compare(Lit<T>("ab")), 1);
  EXPECT_EQ(s.compare(Lit<T>("abcd")), -1);
  EXPECT_EQ(s.compare(static_cast<const T*>(nullptr)), 1);
  EXPECT_EQ(String_T<T>().compare(static_cast<const T*>(nullptr)), 0);
  EXPECT_EQ(String_T<T>().compare(Lit<T>("")), 0);
  EXPECT_EQ(String_T<T>().compare(Lit<T>("a")), -1);

  EXPECT_EQ(S<T>("HeLLo").compareNoCase(Lit<T>("hEllO")), 0);
  EXPECT_EQ(S<T>("apple").compareNoCase(Lit<T>("BANANA")), -1);
  EXPECT_EQ(S<T>("Cherry").compareNoCase(Lit<T>("banana")), 1);
  EXPECT_EQ(S<T>("ab").compareNoCase(Lit<T>("AB c")), -1);
  // Letters compare as lower case, so '_' (0x5F) sorts before 'A'.
  EXPECT_EQ(S<T>("_").compareNoCase(Lit<T>("A")), -1);
  EXPECT_EQ(S<T>("x").compareNoCase(static_cast<const T*>(nullptr)), 1);
  EXPECT_EQ(String_T<T>().compareNoCase(static_cast<const T*>(nullptr)), 0);
}

TYPED_TEST(StringComparison, EqualityAndOrdering) {
  using T = TypeParam;
  const String_T<T> a = S<T>("abc");
  EXPECT_TRUE(a == S<T>("abc"));
  EXPECT_FALSE(a != S<T>("abc"));
  EXPECT_TRUE(a != S<T>("abd"));
  EXPECT_TRUE(a != S<T>("ab"));
  EXPECT_TRUE(String_T<T>() == String_T<T>(Lit<T>("")));
  // Blocks of different sizes differ even where the characters up to the first zero agree.
  const T withZero[] = {'a', 'b', 'c', 0, 'd'};
  const String_T<T> longer(withZero, 5);
  EXPECT_FALSE(a == longer);
  EXPECT_TRUE(a != longer);

  EXPECT_TRUE(a == Lit<T>("abc"));
  EXPECT_TRUE(a != Lit<T>("abcd"));
  EXPECT_TRUE(a < Lit<T>("abd"));
  EXPECT_TRUE(a < Lit<T>("abcd"));
  EXPECT_FALSE(a < Lit<T>("abc"));
  EXPECT_TRUE(a <= Lit<T>("abc"));
  EXPECT_TRUE(a > Lit<T>("ab"));
  EXPECT_TRUE(a > static_cast<const T*>(nullptr));
  EXPECT_TRUE(a >= Lit<T>("abc"));
  EXPECT_FALSE(a >= Lit<T>("b"));
  EXPECT_TRUE(String_T<T>() == static_cast<const T*>(nullptr));
  EXPECT_TRUE(vemo::StringLess()(S<T>("ab"), S<T>("abc")));
  EXPECT_FALSE(vemo::StringLess()(S<T>("b"), S<T>("abc")));
}

TEST(StringComparison, CodeUnitsCompareUnsigned) {
  // A non-ASCII character sorts after every ASCII one in each form.
  EXPECT_EQ(String(L"\u00E9").compare(L"z"), 1);
  // Wide text keeps UTF-16 code-unit order: a character above the basic plane sorts as its
  // surrogate pair would, after U+D7FF and before U+E000.
  EXPECT_EQ(String(L"\U0001F600").compare(L"\uD7FF"), 1);
  EXPECT_EQ(String(L"\U0001F600").compare(L"\uE000"), -1);
  EXPECT_EQ(String(L"\U0001F600").compare(L"\U0001F601"), -1);
  EXPECT_TRUE(String_T<char>("\xC3\xA9") > "z");
  EXPECT_EQ(String_T<char>("\xC3\xA9").compareNoCase("Z"), 1);
  const unsigned char high[] = {0xE9, 0}, z[] = {'z', 0};
  EXPECT_TRUE(String_T<unsigned char>(high) > z);
}

// ---- concatenation --------------------------------------------------------------------------

template <class T>
class StringConcatenation : public StringForms<T> {};
TYPED_TEST_SUITE(StringConcatenation, Forms, FormNames);

TYPED_TEST(StringConcatenation, PlusAndAppend) {
  using T = TypeParam;
  const String_T<T> ab = S<T>("ab"), cd = S<T>("cd"), empty;
  const String_T<T> abcd = ab + cd;
  EXPECT_EQ(show(abcd), "abcd");
  EXPECT_EQ(abcd.getLength(), 4);
  EXPECT_EQ(abcd.getBufferLength(), static_cast<int>(sizeof(T) * 5));
  EXPECT_EQ(show(ab + Lit<T>("xyz")), "abxyz");
  EXPECT_EQ(show(static_cast<const T*>(Lit<T>("xyz")) + ab), "xyzab");
  EXPECT_EQ(show(static_cast<const T*>(nullptr) + ab), "ab");
  EXPECT_EQ(show(ab), "ab");
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
  EXPECT_EQ(show(s), "abcdcd");
  EXPECT_EQ(s.getLength(), 6);
  EXPECT_EQ(show(ab), "ab");
  s += s;
  EXPECT_EQ(show(s), "abcdcdabcdcd");
}

// ---- formatting -----------------------------------------------------------------------------

template <class T>
int vformatInto(String_T<T>& s, const T* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = s.vprintf(format, args);
  va_end(args);
  return n;
}

template <class T>
class StringFormat : public StringForms<T> {};
TYPED_TEST_SUITE(StringFormat, Forms, FormNames);

TYPED_TEST(StringFormat, ReturnsTheCharacterCount) {
  using T = TypeParam;
  String_T<T> s = S<T>("old text");
  EXPECT_EQ(s.format(Lit<T>("%d-%s-%c"), 42, static_cast<const T*>(Lit<T>("ab")), 'z'), 7);
  EXPECT_EQ(show(s), "42-ab-z");
  EXPECT_EQ(s.getLength(), 7);
  EXPECT_EQ(vformatInto(s, static_cast<const T*>(Lit<T>("<%5d|%-3s>")), -7,
                        static_cast<const T*>(Lit<T>("x"))),
            11);
  EXPECT_EQ(show(s), "<   -7|x  >");
  EXPECT_EQ(s.format(Lit<T>("")), 0);
  EXPECT_TRUE(s.isEmpty());
}

TYPED_TEST(StringFormat, LongResult) {
  using T = TypeParam;
  std::vector<T> text(40000, T('a'));
  text.push_back(0);
  String_T<T> s;
  // The text does not fit any small buffer, so the arguments are formatted twice.
  const int n =
      s.format(Lit<T>("%s|%d|%s"), text.data(), 12345, static_cast<const T*>(Lit<T>("end")));
  EXPECT_EQ(n, 40010);
  ASSERT_EQ(s.getLength(), 40010);
  EXPECT_EQ(s.getBufferLength(), static_cast<int>(sizeof(T) * 40011));
  EXPECT_EQ(show(s.getSubString(39998)), "aa|12345|end");
  EXPECT_EQ(s.find('|'), 40000);
  EXPECT_EQ(s.format(Lit<T>("%40000d"), 7), 40000);
  EXPECT_EQ(s[39999], '7');
  EXPECT_EQ(s[39998], ' ');
}

// ---- the units of the 8-bit forms -----------------------------------------------------------

TEST(Utf8Positions, FindReturnsBytesLengthCountsCharacters) {
  const String_T<char> s("\xC3\xA9x");  // e-acute, x
  EXPECT_EQ(s.getLength(), 2);
  EXPECT_EQ(s.getBufferLength(), 4);
  EXPECT_EQ(s.find('x'), 2);
  EXPECT_EQ(s.find("x", 1), 2);   // start counts characters
  EXPECT_EQ(s.find('x', 2), -1);  // past the last character
  EXPECT_EQ(s.find(0xE9), 0);     // a character is searched as its UTF-8 bytes
  EXPECT_EQ(s[0], 0xE9);
  EXPECT_EQ(s[1], 'x');
  EXPECT_EQ(s[2], 0);

  const String_T<char> t(
      "a\xE2\x82\xAC"
      "b\xC3\xA9"
      "c");  // a, euro, b, e-acute, c
  EXPECT_EQ(t.getLength(), 5);
  EXPECT_EQ(t.find('b'), 4);
  EXPECT_EQ(t.find('c', 3), 7);
  EXPECT_EQ(t.find(0x20AC), 1);
  EXPECT_EQ(t[1], 0x20AC);
  EXPECT_EQ(t[3], 0xE9);
  EXPECT_EQ(t[4], 'c');
}

TEST(Utf8Positions, SubStringsAndCountsAreInCharacters) {
  const String_T<char> t(
      "a\xE2\x82\xAC"
      "b\xC3\xA9"
      "c");
  EXPECT_EQ(bytes(t.getSubString(1, 2)),
            "\xE2\x82\xAC"
            "b");
  EXPECT_EQ(bytes(t.getSubString(3)),
            "\xC3\xA9"
            "c");
  EXPECT_EQ(bytes(t.getSubString(3, 1)), "\xC3\xA9");
  EXPECT_EQ(t.getSubString(1, 2).getLength(), 2);
  EXPECT_EQ(t.getSubString(0, 5).getBuffer(), t.getBuffer());
  const String_T<char> first(
      "\xC3\xA9\xE2\x82\xAC"
      "xyz",
      3);
  EXPECT_EQ(bytes(first),
            "\xC3\xA9\xE2\x82\xAC"
            "x");
  EXPECT_EQ(first.getLength(), 3);
}

TEST(Utf8Positions, InsertAndEraseUseBytes) {
  String_T<char> s("\xC3\xA9x");
  EXPECT_EQ(s.insert(2, "y"), 4);  // after the two bytes of e-acute; returns bytes
  EXPECT_EQ(bytes(s), "\xC3\xA9yx");
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.insert(0, 0x20AC), 7);
  EXPECT_EQ(bytes(s), "\xE2\x82\xAC\xC3\xA9yx");
  EXPECT_EQ(s.getLength(), 4);
  EXPECT_EQ(s.erase(0, 3), 3);  // the euro sign's three bytes
  EXPECT_EQ(bytes(s), "\xC3\xA9yx");
  EXPECT_EQ(s.erase(0, 2), 2);
  EXPECT_EQ(bytes(s), "yx");
  EXPECT_EQ(s.getLength(), 2);
}

TEST(Utf8Positions, PatternsAndCharactersAreEncoded) {
  String_T<char> s("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(s.replace(0xE9, 'e'), 2);
  EXPECT_EQ(bytes(s), "ete");
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.replace('e', 0x20AC), 2);
  EXPECT_EQ(bytes(s),
            "\xE2\x82\xAC"
            "t\xE2\x82\xAC");
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.remove(0x20AC), 2);
  EXPECT_EQ(bytes(s), "t");
  s += 0xE9;
  EXPECT_EQ(bytes(s), "t\xC3\xA9");
  EXPECT_EQ(s.getLength(), 2);
  const String_T<char> e(0xE9);
  EXPECT_EQ(bytes(e), "\xC3\xA9");
  EXPECT_EQ(e.getLength(), 1);
  EXPECT_EQ(bytes(String_T<char>(0x20AC)), "\xE2\x82\xAC");
  // Equal-length replacement in place keeps the length right when characters change size.
  String_T<char> m(
      "\xC3\xA9"
      "ab");
  EXPECT_EQ(m.getLength(), 3);
  EXPECT_EQ(m.replace("\xC3\xA9"
                      "a",
                      "xyz"),
            1);
  EXPECT_EQ(bytes(m), "xyzb");
  EXPECT_EQ(m.getLength(), 4);
  m = "\xC3\xA9\xC3\xA9";  // same size, fewer characters than "xyzb"
  EXPECT_EQ(m.getLength(), 2);
}

TEST(Utf8Positions, FourByteCharacterCountsAsFour) {
  const char grin[] = "\xF0\x9F\x98\x80";  // U+1F600
  EXPECT_EQ(vemo::stringLength(grin), 4);
  const String_T<char> s(grin);
  EXPECT_EQ(s.getLength(), 4);
  EXPECT_EQ(bytes(s.getSubString(0, 1)), "\xF0");
  EXPECT_EQ(bytes(s.getSubString(1, 2)), "\x9F\x98");
  EXPECT_EQ(bytes(String_T<char>("\xF0\x9F\x98\x80"
                                 "ab",
                                 5)),
            "\xF0\x9F\x98\x80"
            "a");
  EXPECT_EQ(s[0], 0xF0 & 0x7F);  // a byte that leads nothing is its own character
  EXPECT_EQ(s[3], 0x80 & 0x7F);
  const String_T<char> c(0x1F600);  // encoded as four bytes, counted by the same rule
  EXPECT_EQ(bytes(c), grin);
  EXPECT_EQ(c.getLength(), 4);
  String_T<char> appended("x");
  appended += 0x1F600;
  EXPECT_EQ(appended.getLength(), 5);
}

class CodePagePositions : public ::testing::Test {
 protected:
  CodePageGuard _codePage{1252};
};

TEST_F(CodePagePositions, HighByteLeadsATwoByteCharacter) {
  using A = String_T<unsigned char>;
  const unsigned char text[] = {0xE9, 'x', 'y', 0x80, 0};  // two characters: E9 x, y, 80 alone
  const A s(text);
  EXPECT_EQ(s.getLength(), 3);
  EXPECT_EQ(s.getBufferLength(), 5);
  EXPECT_EQ(s[0], 0xE9);
  EXPECT_EQ(s[1], 'y');
  EXPECT_EQ(s[2], 0x20AC);  // 0x80 is the euro sign in code page 1252
  EXPECT_EQ(s.find('y'), 2);
  EXPECT_EQ(s.find('y', 1), 2);
  EXPECT_EQ(s.find('y', 2), -1);
  EXPECT_EQ(bytes(s.getSubString(0, 1)), "\xE9x");
  EXPECT_EQ(bytes(s.getSubString(1)), "y\x80");
  EXPECT_EQ(bytes(A(text, 2)), "\xE9xy");

  A edited(s);
  EXPECT_EQ(edited.insert(1, 'z'), 5);  // byte position 1, inside the first character
  EXPECT_EQ(bytes(edited), "\xE9zxy\x80");
  EXPECT_EQ(edited.getLength(), 4);
  EXPECT_EQ(edited.erase(0, 2), 2);
  EXPECT_EQ(bytes(edited), "xy\x80");
  EXPECT_EQ(edited.getLength(), 3);
  EXPECT_EQ(bytes(s), "\xE9xy\x80");
}

TEST_F(CodePagePositions, CharactersConvertThroughTheCodePage) {
  using A = String_T<unsigned char>;
  EXPECT_EQ(bytes(A(0x20AC)), "\x80");
  EXPECT_EQ(bytes(A(0xE9)), "\xE9");
  EXPECT_EQ(A(0xE9).getLength(), 1);
  const unsigned char word[] = {'c', 'a', 'f', 0xE9, 0};
  A s(word);
  EXPECT_EQ(s.getLength(), 4);
  EXPECT_EQ(s.find(0xE9), 3);
  EXPECT_EQ(s.replace(0xE9, 'e'), 1);
  EXPECT_EQ(bytes(s), "cafe");
  s += 0x20AC;
  EXPECT_EQ(bytes(s), "cafe\x80");
  EXPECT_EQ(s[4], 0x20AC);
}

TEST(CodePagePositionsUtf8, CharacterLengthFollowsTheLeadByteRule) {
  // With UTF-8 as the code page the euro sign takes three bytes: a lead byte pair and a
  // lone byte, so two characters by the code-page rule.
  CodePageGuard utf8(65001);
  const String_T<unsigned char> euro(0x20AC);
  EXPECT_EQ(bytes(euro), "\xE2\x82\xAC");
  EXPECT_EQ(euro.getLength(), 2);
  EXPECT_EQ(euro.getLength(), vemo::stringLength(euro.getBuffer()));
}

// ---- threads --------------------------------------------------------------------------------

template <class T>
class StringThreads : public StringForms<T> {};
TYPED_TEST_SUITE(StringThreads, Forms, FormNames);

TYPED_TEST(StringThreads, CopiesOfOneBlockOnSeveralThreads) {
  using T = TypeParam;
  const String_T<T> shared = S<T>("shared between threads");
  constexpr int kThreads = 4, kRounds = 100000;
  std::vector<std::vector<String_T<T>>> handedOver(kThreads);
  for (auto& v : handedOver)
    v.assign(64, shared);  // released on the worker threads
  std::vector<std::thread> threads;
  std::vector<int> bad(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<String_T<T>> mine = std::move(handedOver[t]);
      for (int i = 0; i < kRounds; ++i) {
        String_T<T> copy(shared);
        String_T<T> other;
        other = copy;
        mine[static_cast<std::size_t>(i) % mine.size()] = other;
        if (i % 97 == 0) {
          other.toUpperCase();  // forks: never visible to the other owners
          if (other.getBuffer() == shared.getBuffer()) ++bad[t];
        }
        if (copy.getBuffer() != shared.getBuffer()) ++bad[t];
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(bad[t], 0);
  EXPECT_EQ(show(shared), "shared between threads");
  EXPECT_EQ(refs(shared), 1u);
}

}  // namespace
