// The binary encoding: fixed-size values, Varints, strings, handles and stream copy, byte for
// byte, with the exact failure texts and lines of every reader and writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Buffer.h"
#include "vemo/core/Charset.h"
#include "vemo/core/File.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Varint.h"

using namespace vemo;
using Bytes = std::string;
using Stream = Unknown::Handle_T<MemoryStream>;

namespace {

Stream streamOf(const Bytes& bytes) {
  Stream stream = MemoryStream::createInstance();
  stream->write(bytes.data(), int(bytes.size()));
  return stream;
}

Bytes drain(Input& input) {
  Bytes bytes(size_t(std::max(input.available(), 0)), '\0');
  bytes.resize(size_t(std::max(input.read(&bytes[0], int(bytes.size())), 0)));
  return bytes;
}

template <class T>
Bytes encode(const T& value) {
  Stream stream = MemoryStream::createInstance();
  OutputStream os(stream.get());
  os << value;
  return drain(*stream);
}

// Reads `target` from the bytes; returns how many of them the read left.
template <class T>
int readInto(const Bytes& bytes, T& target) {
  Stream stream = streamOf(bytes);
  InputStream is(stream.get());
  is >> target;
  return stream->available();
}

template <class T, int left = 0>
T decode(const Bytes& bytes) {
  T value{};
  EXPECT_EQ(readInto(bytes, value), left);
  return value;
}

// `run` must throw the library's Exception from a file ending in `fileEnd`, with code -1.
void expectFailure(const std::function<void()>& run, const std::wstring& fileEnd, int line,
                   const std::wstring& text) {
  try {
    run();
    ADD_FAILURE() << "nothing thrown, expected line " << line;
  } catch (const Exception& e) {
    const std::wstring file = e.file();
    EXPECT_EQ(file.substr(file.size() - std::min(file.size(), fileEnd.size())), fileEnd);
    EXPECT_EQ(e.line(), line);
    EXPECT_EQ(e.code(), -1);
    EXPECT_EQ(e.description(), text);
  }
}

// A stream whose writes take at most `room` bytes and which, once `broken`, reports a failed
// source (negative available()) when it runs dry.
struct Pipe : MemoryStream {
  int room = INT_MAX, writes = 0;
  bool broken = false;
  int available() const override {
    return broken && MemoryStream::available() == 0 ? -1 : MemoryStream::available();
  }
  int write(const void* data, int n) override {
    ++writes;
    n = MemoryStream::write(data, std::min(n, room));
    room -= n;
    return n;
  }
};

// Announces everything written to it as available, but delivers only its first `delivered` bytes.
struct Stopping : MemoryStream {
  explicit Stopping(std::size_t delivered) : left(static_cast<int>(delivered)) {}
  int read(void* data, int n) override {
    n = MemoryStream::read(data, std::min(n, left));
    left -= std::max(n, 0);
    return n;
  }
  int left;
};

// clang-format off
const wchar_t *const kStream = L"vemo/core/Stream", *const kVarint = L"vemo/core/Varint",
              *const kString = L"vemo/core/String", *const kUnknown = L"vemo/core/Unknown",
              *const kBuffer = L"vemo/core/Buffer";
const wchar_t *const kReadByte = L"vemo::InputStream& operator>>(vemo::InputStream &is,uint8_t &i)",
              *const kReadUint =
                  L"vemo::InputStream& operator>>(vemo::InputStream &is,uint32_t &i)",
              *const kReadVarint = L"Tyis& operator >>(Tyis &is, Varint_T &v)",
              *const kReadString = L"TyIs& operator >>(TyIs&, String&)",
              *const kReadBuffer = L"TyIs& operator >>(TyIs &, Buffer &)",
              *const kCopy = L"OutputStream& operator <<(OutputStream &,InputStream &)";
// clang-format on

TEST(Stream, VarintsAndFixedSizeValuesHaveTheirWorkedBytes) {
  // clang-format off
  const struct { std::int32_t value; Bytes bytes; } cases[] = {
      {0, Bytes(1, '\0')}, {1, "\x02"}, {-1, "\x01"}, {63, "\x7E"}, {-64, "\x7F"}, {64, "\x80\x01"},
      {300, "\xD8\x04"}, {-300, "\xD7\x04"}, {INT32_MAX, "\xFE\xFF\xFF\xFF\x0F"},
      {INT32_MIN, "\xFF\xFF\xFF\xFF\x0F"}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(encode(Varint(c.value)), c.bytes) << c.value;
    EXPECT_EQ(decode<Varint>(c.bytes).value, c.value);
    EXPECT_EQ(encode(Varint64(c.value)), c.bytes) << c.value;  // the same bytes for small values
  }
  const Bytes min64 = "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01";
  EXPECT_EQ(encode(Varint64(INT64_MIN)), min64);
  EXPECT_EQ(decode<Varint64>(min64).value, INT64_MIN);
  EXPECT_EQ(decode<Varint>("\xFE\xFF\xFF\xFF\x7F").value, INT32_MAX);  // bits above 31 drop
  EXPECT_EQ((decode<Varint, 1>("\x02\x7F").value), 1);                 // no read-ahead
  // Fixed-size values are little-endian and unpadded.
  EXPECT_EQ(encode(0x01020304), "\x04\x03\x02\x01");
  EXPECT_EQ(encode(0xA1B2C3D4u), "\xD4\xC3\xB2\xA1");
  EXPECT_EQ(encode('x') + encode(static_cast<unsigned char>(0xFE)), "x\xFE");
  EXPECT_EQ(decode<int>("\xFC\xFF\xFF\xFF"), -4);
  EXPECT_EQ((decode<unsigned int, 1>("\x04\x03\x02\x01\x09")), 0x01020304u);
  EXPECT_EQ(decode<char>("x") + decode<unsigned char>("\xFE"), 'x' + 0xFE);
}

TEST(Stream, ShortOrMalformedInputFailsWithItsText) {
  // clang-format off
  const struct { Bytes bytes; std::function<void(const Bytes&)> read; const wchar_t *file, *text; int line; }
  cases[] = {
      {"", decode<char>, kStream,
       L"vemo::InputStream& operator>>(vemo::InputStream &is,char &i)", 235},
      {"", decode<unsigned char>, kStream, kReadByte, 242},
      {"\x01\x02\x03", decode<unsigned int>, kStream, kReadUint, 244},
      {"\x80", decode<Varint>, kStream, kReadByte, 242},  // a missing byte
      {Bytes(5, '\x80') + '\0', decode<Varint>, kVarint, kReadVarint, 171},
      {"\xFF\xFF\xFF\xFF\xFF\x01", decode<Varint>, kVarint, kReadVarint, 171},
      {Bytes(10, '\x80') + '\0', decode<Varint64>, kVarint, kReadVarint, 172},
      {Bytes("\x08") + "abc", decode<String_T<char>>, kString, kReadString, 1630},  // 4 announced
      {"\x01", decode<String_T<char>>, kString, kReadString, 1630},  // a length of -1
      {Bytes("\x04") + "a", decode<String>, kString, kReadString, 1630},
      {Bytes("\x03") + "a", decode<String_T<unsigned char>>, kString, kReadString, 1630},
      {"\x01", decode<Buffer>, kBuffer, kReadBuffer, 114},  // a count of -1
      {"\x0A\x7F\x7F", decode<Buffer>, kBuffer, kReadBuffer, 114}};  // 5 announced
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    expectFailure([&] { c.read(c.bytes); }, c.file, c.line, c.text);
  }
}

TEST(Stream, ShortWritesFailWithTheirText) {
  using Out = OutputStream;
  // clang-format off
  const struct { int room; void (*write)(Out&); const wchar_t *file, *text; int line; } cases[] = {
      {0, [](Out& os) { os << 'x'; }, kStream,
       L"vemo::OutputStream& operator<<(vemo::OutputStream &os, const char &i)", 235},
      {3, [](Out& os) { os << 7; }, kStream,
       L"vemo::OutputStream& operator<<(vemo::OutputStream &os, const int32_t &i)", 240},
      {1, [](Out& os) { os << Varint(300); }, kVarint,
       L"Tyos& operator <<(Tyos &os, const Varint_T &v)", 171},
      {9, [](Out& os) { os << Varint64(INT64_MIN); }, kVarint,
       L"Tyos& operator <<(Tyos &os, const Varint_T &v)", 172},
      {3, [](Out& os) { os << String(L"abc"); }, kString,
       L"TyOs& operator <<(TyOs&, const String&)", 1640},
      {3, [](Out& os) { os << Buffer(3); }, kBuffer,
       L"TyOs& operator <<(TyOs &, const Buffer &)", 126}};
  // clang-format on
  for (const auto& c : cases) {
    Pipe* sink = new Pipe;
    sink->room = c.room;
    OutputStream os(sink);
    expectFailure([&] { c.write(os); }, c.file, c.line, c.text);
  }
}

TEST(Stream, StringsTravelAsUtf8WithAVarintByteLength) {
  EXPECT_EQ(encode(String_T<char>("abc")), Bytes("\x06") + "abc");
  EXPECT_EQ(encode(String_T<char>()) + encode(String()), Bytes(2, '\0'));
  EXPECT_STREQ(decode<String_T<char>>(Bytes("\x06") + "abc").getBuffer(), "abc");
  EXPECT_STREQ((decode<String_T<char>, 1>(Bytes(1, '\0') + "\x7F").getBuffer()), "");

  const wchar_t* wide = L"a\u00E9\u20AC\U0001D11E";  // 1, 2, 3 and 4 UTF-8 bytes
  const Bytes utf8 = "\x14\x61\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";
  EXPECT_EQ(encode(String(wide)), utf8);
  EXPECT_EQ(decode<String>(utf8).getBuffer(), std::wstring(wide));
  // U+0000 is a character like any other: every unit travels, both ways, as in a std::wstring.
  const String zeros(L"a\0\U0001D11E\0b", sizeof(wchar_t) == 4 ? 5 : 6);
  const Bytes zerosUtf8 = Bytes("\x10\x61\0\xF0\x9D\x84\x9E\0\x62", 9);
  EXPECT_EQ(encode(zeros), zerosUtf8);
  EXPECT_EQ(encode(zeros.toStdString()), zerosUtf8);
  EXPECT_TRUE(decode<String>(zerosUtf8) == zeros);
  EXPECT_EQ(decode<String>(zerosUtf8).getLength(), zeros.getLength());
  EXPECT_TRUE(decode<String>(encode(String(L"\0x", 2))) == String(L"\0x", 2));

  setCodePage(1252);  // e-acute is E9 and the euro sign 80 there
  const unsigned char ansi[] = "caf\xE9\x80";
  const Bytes ansiUtf8 = Bytes("\x10") + "caf\xC3\xA9\xE2\x82\xAC";
  EXPECT_EQ(encode(String_T<unsigned char>(ansi)), ansiUtf8);
  EXPECT_EQ(decode<String_T<unsigned char>>(ansiUtf8).getBuffer(),
            std::basic_string<unsigned char>(ansi));
  setCodePage(0);

  String_T<char> narrow("old");  // a failed read leaves the old text
  String text(L"old");
  expectFailure([&] { readInto(Bytes("\x08") + "abc", narrow); }, kString, 1630, kReadString);
  expectFailure([&] { readInto("\x03", text); }, kString, 1630, kReadString);
  EXPECT_STREQ(narrow.getBuffer(), "old");
  EXPECT_EQ(text.getBuffer(), std::wstring(L"old"));
}

// Strings of every length around the size that readers take through the stack (short texts make
// no block of their own there) read back whole into each kind of target, including multi-byte
// characters that straddle that size, a target that already holds a longer text, and the
// remaining bytes of the stream; a string cut short at any of these lengths fails with the
// string's error and leaves every kind of target as it was.
TEST(Stream, StringsAroundTheShortReadSizeReadBackWholeOrNotAtAll) {
  for (const std::size_t length : {0, 1, 127, 128, 254, 255, 256, 257, 258, 300, 4096, 70000}) {
    SCOPED_TRACE(length);
    // Two-byte characters, then one-byte ones: at odd lengths a character ends past the middle.
    std::string utf8;
    while (utf8.size() + 2 <= length / 2)
      utf8 += "\xC3\xA9";
    for (std::size_t i = 0; utf8.size() < length; ++i)
      utf8 += static_cast<char>('a' + i % 26);
    const String wide = StringHelper::utf8ToWide(utf8.c_str());
    const Bytes bytes = encode(utf8) + "tail";
    EXPECT_EQ(bytes.substr(0, bytes.size() - 4), encode(wide));

    std::string narrow(500, 'x');  // longer than some, shorter than others
    EXPECT_EQ(readInto(bytes, narrow), 4);
    EXPECT_EQ(narrow, utf8);
    std::wstring wideStd(L"old");
    EXPECT_EQ(readInto(bytes, wideStd), 4);
    EXPECT_EQ(wideStd, std::wstring(wide.getBuffer()));
    String text(L"old");
    EXPECT_EQ(readInto(bytes, text), 4);
    EXPECT_TRUE(text == wide);
    String_T<char> block("old");
    EXPECT_EQ(readInto(bytes, block), 4);
    EXPECT_EQ(std::string(block.getBuffer()), utf8);

    if (length == 0) continue;
    // The same string one byte short: nothing changes.
    const Bytes cut = encode(utf8).substr(0, encode(utf8).size() - 1);
    std::string keptNarrow("kept");
    std::wstring keptWide(L"kept");
    String keptText(L"kept");
    String_T<char> keptBlock("kept");
    expectFailure([&] { readInto(cut, keptNarrow); }, kString, 1630, kReadString);
    expectFailure([&] { readInto(cut, keptWide); }, kString, 1630, kReadString);
    expectFailure([&] { readInto(cut, keptText); }, kString, 1630, kReadString);
    expectFailure([&] { readInto(cut, keptBlock); }, kString, 1630, kReadString);
    // Compared by length first: a target spoilt by a long string is not printed whole.
    const auto expectKept = [&] {
      EXPECT_EQ(keptNarrow.size(), 4u);
      EXPECT_EQ(keptNarrow.substr(0, 8), "kept");
      EXPECT_EQ(keptWide.size(), 4u);
      EXPECT_EQ(keptWide.substr(0, 8), L"kept");
      EXPECT_EQ(keptText.getLength(), 4);
      EXPECT_EQ(std::wstring(keptText.getBuffer()).substr(0, 8), L"kept");
      EXPECT_EQ(std::strlen(keptBlock.getBuffer()), 4u);
      EXPECT_EQ(std::string(keptBlock.getBuffer()).substr(0, 8), "kept");
    };
    expectKept();

    // An input that announces the whole string and then stops delivering one byte before its
    // end (a pipe whose writer went away): the read fails the same way, with the targets kept.
    const auto stopping = [&](auto& target) {
      Unknown::Handle_T<Stopping> input(new Stopping(encode(utf8).size() - 1));
      const Bytes whole = encode(utf8);
      input->write(whole.data(), static_cast<int>(whole.size()));
      InputStream is(input.get());
      is >> target;
    };
    expectFailure([&] { stopping(keptNarrow); }, kString, 1630, kReadString);
    expectFailure([&] { stopping(keptWide); }, kString, 1630, kReadString);
    expectFailure([&] { stopping(keptText); }, kString, 1630, kReadString);
    expectFailure([&] { stopping(keptBlock); }, kString, 1630, kReadString);
    expectKept();
  }
}

TEST(Stream, BuffersAreAVarintCountAndTheBytes) {
  Buffer buffer(3), back(2);
  std::memcpy(buffer.getBuffer(), "\x01\x02\x03", 3);
  EXPECT_EQ(encode(buffer) + encode(Buffer()), Bytes("\x06\x01\x02\x03") + '\0');
  EXPECT_EQ(readInto("\x06\x01\x02\x03\x7F", back), 1);
  EXPECT_TRUE(back == buffer);
  // A count beyond what has arrived fails before the buffer changes.
  expectFailure([&] { readInto("\x08\x01\x02\x03", back); }, kBuffer, 114, kReadBuffer);
  EXPECT_TRUE(back == buffer);
  // So does any count when the source reports failure (a file on a pipe says -1).
  const Unknown::Handle_T<tests::Bytes> failing = new tests::Bytes("\x06\x01\x02\x03");
  failing->failure = -1;
  InputStream fromFailing(failing.get());
  expectFailure([&] { fromFailing >> back; }, kBuffer, 114, kReadBuffer);
  EXPECT_TRUE(back == buffer);
  EXPECT_EQ(readInto(Bytes(1, '\0') + "\x7F", back), 1);  // a count of 0 reads nothing more
  EXPECT_EQ(back.getBufferSize(), 0);
}

TEST(Stream, HandlesAreAMarkerTheClassIdAndTheBody) {
  // "MemoryStream" by the class id rule, byte i shifted left by 5 * (i mod 6): 4D + 65<<5 +
  // 6D<<10 + 6F<<15 + 72<<20 + 79<<25 + 53 + 74<<5 + 72<<10 + 65<<15 + 61<<20 + 6D<<25 (mod 2^32).
  EXPECT_EQ(MemoryStream::getClassId_(), 0xD99D97C0u);
  const Bytes stored = "O\xC0\x97\x9D\xD9\x04hi";
  Stream hi = streamOf("hi");
  EXPECT_EQ(encode(hi), stored);
  Stream back = decode<Stream>(stored);
  ASSERT_TRUE(back);
  EXPECT_EQ(drain(*back), "hi");

  EXPECT_EQ(encode(Stream()), "o");
  Stream target = streamOf("x");
  EXPECT_EQ(readInto("oo", target), 1);
  EXPECT_FALSE(target);
  target = streamOf("x");  // an unknown id, or a class that is not a T, leaves the target null
  expectFailure([&] { readInto("O\xFE\xFF\xFF\xFF", target); }, kUnknown, 767,
                L"TyIs& operator >>(TyIs &,vemo::MemoryStream::Handle &)");
  EXPECT_FALSE(target);
  Unknown::Handle_T<Archive> archive = MemoryFile::createInstance();
  expectFailure([&] { readInto(stored, archive); }, kUnknown, 767,
                L"TyIs& operator >>(TyIs &,vemo::Archive::Handle &)");
  EXPECT_FALSE(archive);
  expectFailure([&] { readInto("x", target); }, kUnknown, 784,
                L"TyIs& operator >>(TyIs &,vemo::MemoryStream::Handle &) Error!");
  expectFailure([&] { readInto("O\xC0\x97", target); }, kStream, 244, kReadUint);
}

TEST(Stream, CopyMovesEverythingTheInputHas) {
  const Bytes bytes = encode(String(std::wstring(5000, L'\u20AC').c_str()));  // 15002 bytes
  Stream from = streamOf(bytes), to = MemoryStream::createInstance();
  InputStream is(from.get());
  OutputStream os(to.get());
  os << is;
  EXPECT_EQ(from->available(), 0);
  EXPECT_EQ(drain(*to), bytes);

  Pipe* sink = new Pipe;
  os = OutputStream(sink);
  os << is;  // an empty input writes nothing
  EXPECT_EQ(sink->writes, 0);

  Pipe* failing = new Pipe;
  failing->write("zzzzzzzzzz", 10);
  failing->broken = true;
  InputStream broken(failing);
  expectFailure([&] { os << broken; }, L"..\\src\\Stream", 31, kCopy);
  EXPECT_EQ(drain(*sink), Bytes(10, 'z'));  // what came before the failure was copied

  sink->room = 3;  // a short write
  InputStream rest(streamOf(bytes).get());
  expectFailure([&] { os << rest; }, L"..\\src\\Stream", 31, kCopy);
}

}  // namespace

// The further arithmetic types, std::string, std::wstring, vectors and maps: worked bytes (IEEE
// 754 forms from the standard), round trips at their edge values, and readers of hostile input.
TEST(Stream, StandardValuesHaveTheirWorkedBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(encode(true), "\x01"s);
  EXPECT_EQ(encode(false), "\x00"s);
  EXPECT_EQ(encode(static_cast<signed char>(-2)), "\xFE"s);
  EXPECT_EQ(encode(static_cast<short>(-2)), "\xFE\xFF"s);
  EXPECT_EQ(encode(static_cast<unsigned short>(0x1234)), "\x34\x12"s);
  EXPECT_EQ(encode(0x0102030405060708LL), "\x08\x07\x06\x05\x04\x03\x02\x01"s);
  EXPECT_EQ(encode(~0ULL), "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s);
  EXPECT_EQ(encode(-1L), "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s);  // 8 bytes on every platform
  EXPECT_EQ(encode(7UL), "\x07\x00\x00\x00\x00\x00\x00\x00"s);
  EXPECT_EQ(encode(1.0f), "\x00\x00\x80\x3F"s);
  EXPECT_EQ(encode(-2.5), "\x00\x00\x00\x00\x00\x00\x04\xC0"s);
  EXPECT_EQ(encode(std::string("ab\0c", 4)),
            "\x08"
            "ab\0c"s);
  EXPECT_EQ(encode(std::wstring(L"\u00e9\u20ac")), "\x0A\xC3\xA9\xE2\x82\xAC"s);
  EXPECT_EQ(encode(std::vector<short>{1, -1}), "\x04\x01\x00\xFF\xFF"s);
  EXPECT_EQ(encode(std::vector<bool>{true, false, true}), "\x06\x01\x00\x01"s);
  EXPECT_EQ(encode(std::vector<std::string>{"a", ""}),
            "\x04\x02"
            "a\x00"s);
  EXPECT_EQ(encode(std::map<int, std::string>{{2, "x"}, {-1, ""}}),
            "\x04\xFF\xFF\xFF\xFF\x00\x02\x00\x00\x00\x02x"s);
  EXPECT_EQ(encode(std::vector<int>()), "\x00"s);

  // Round trips at the edges.
  EXPECT_EQ(decode<long long>(encode(LLONG_MIN)), LLONG_MIN);
  EXPECT_EQ(decode<unsigned short>(encode(static_cast<unsigned short>(65535))), 65535);
  EXPECT_EQ(decode<long>(encode(LONG_MIN)), LONG_MIN);
  EXPECT_EQ(decode<unsigned long>(encode(ULONG_MAX)), ULONG_MAX);
  EXPECT_TRUE(std::isnan(decode<double>(encode(std::nan("")))));
  EXPECT_EQ(decode<float>(encode(-0.0f)), 0.0f);
  EXPECT_TRUE(std::signbit(decode<float>(encode(-0.0f))));
  EXPECT_EQ(decode<std::wstring>(encode(std::wstring(L"a\0b\u00e9", 4))),
            std::wstring(L"a\0b\u00e9", 4));
  const std::map<std::string, std::vector<double>> nested{{"a", {1.5, -2}}, {"b", {}}};
  EXPECT_EQ((decode<std::map<std::string, std::vector<double>>>(encode(nested))), nested);
  const std::vector<std::vector<long>> deep{{1, LONG_MAX}, {}, {-3}};
  EXPECT_EQ(decode<std::vector<std::vector<long>>>(encode(deep)), deep);
}

TEST(Stream, StandardValueReadersRefuseHostileInput) {
  using namespace std::string_literals;
  const auto fails = [](const Bytes& bytes, auto target) {
    const auto before = target;
    bool threw = false;
    try {
      readInto(bytes, target);
    } catch (const Exception& e) {
      threw = true;
      EXPECT_EQ(e.code(), -1);
    }
    EXPECT_TRUE(threw) << "bytes of size " << bytes.size();
    EXPECT_TRUE(target == before) << "the target lost its content";
  };
  fails("\x02"s, false);                  // a bool is 0 or 1
  fails("\x01"s, static_cast<short>(5));  // short input
  fails("\x01\x02\x03"s, 1.0f);
  fails(
      "\x08"
      "abc"s,
      std::string("kept"));               // 4 bytes declared, 3 there
  fails("\x01"s, std::wstring(L"kept"));  // negative length
  // Counts beyond what the input holds fail before anything is made for them: a count of 2^30
  // elements of 8 bytes, of strings, and of map entries, each with a few bytes behind it.
  fails("\xFE\xFF\xFF\xFF\x07\x01\x02\x03\x04\x05\x06\x07\x08"s, std::vector<double>{9});
  fails("\xFE\xFF\xFF\xFF\x07\x00\x00"s, std::vector<std::string>{"kept"});
  fails("\xFE\xFF\xFF\xFF\x07\x00\x00\x00\x00\x00"s, std::map<int, bool>{{1, true}});
  fails("\x03\x00"s, std::vector<int>{});  // negative count
  fails("\x04\x01\x00\x00\x00\x01\x01\x00\x00\x00\x00"s,
        std::map<int, bool>{{7, false}});               // key twice
  fails("\x06\x01\x00\x07"s, std::vector<bool>{true});  // a bad element spoils the whole read
  fails(
      "\x04\x02"
      "a\x03"s,
      std::vector<std::string>{"kept"});
  // A stored long beyond a 4-byte long's range is refused where long is 4 bytes.
  if (sizeof(long) == 4) fails(encode(1LL << 40), 0L);
  // The count check allows exactly the bytes there are.
  EXPECT_EQ(decode<std::vector<int>>("\x04\x01\x00\x00\x00\x02\x00\x00\x00"s),
            (std::vector<int>{1, 2}));
}
