// TextReader and TextWriter over byte streams in the three encodings.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>

#include "TestSupport.h"
#include "vemo/core/Charset.h"
#include "vemo/core/Stream.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Text.h"

using namespace vemo;

namespace {

using tests::Bytes;

TEST(Text, ReadsEachEncoding) {
  // Characters from Python's codecs; under code page 1252 the reader takes every byte >= 0x80 as
  // the lead of a two-byte character (b"\x80A".decode("cp1252") is "\u20acA", of which the first).
  ASSERT_TRUE(setCodePage(1252));
  const std::tuple<TextReader::CharacterSet, std::string, std::wstring> rows[] = {
      {TextReader::Utf8, "\xE4\xB8\xAD\x41", L"\u4E2DA"},
      {TextReader::Utf8, "\xEF\xBB\xBFx", L"\uFEFFx"},           // the mark stays
      {TextReader::Utf8, "\xC3\xA9\xA9x", L"\u00E9)x"},          // a stray 0xA9 gives 0x29
      {TextReader::Utf8, "\xE4\x41\x42", L"dB"},                 // 0x41 does not continue: dropped
      {TextReader::Utf8, "\xF0\x9D\x84\x9E", L"p\x1D\x04\x1E"},  // no four-byte sequences
      {TextReader::Wide, std::string("A\0\x34\xD8\x1E\xDD", 6), L"A\U0001D11E"},
      {TextReader::Wide, std::string("A\0B", 3), L"A"},
      {TextReader::Ansi, "\x80\x41\x42\x41\x80", L"\u20ACBA"},  // a lone lead gives nothing
  };
  for (const auto& [set, bytes, expected] : rows) {
    String text = L"old";
    EXPECT_TRUE(TextReader(new Bytes(bytes), set).read(text));
    EXPECT_EQ(std::wstring(text.getBuffer()), expected) << "charset " << set;
  }
  String_T<unsigned char> ansi;  // each character converted into the string's own kind
  String_T<char> utf8;
  EXPECT_TRUE(TextReader(new Bytes(std::string("\xE9\0A\0", 4)), TextReader::Wide).read(ansi));
  EXPECT_TRUE(TextReader(new Bytes("\xE4\xB8\xAD\x41"), TextReader::Utf8).read(utf8));
  setCodePage(0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ansi.getBuffer())), "\xE9\x41");
  EXPECT_EQ(std::string(utf8.getBuffer()), "\xE4\xB8\xAD\x41");
}

TEST(Text, LinesAndEmptyStreams) {
  TextReader reader(new Bytes("a\r\n\nb\rc"), TextReader::Utf8), shared = reader;
  String line;
  EXPECT_TRUE(reader.readLine(line) && line == L"a");
  EXPECT_TRUE(shared.readLine(line) && line == L"");  // copies read on from the same place
  EXPECT_TRUE(reader.readLine(line) && line == L"bc");
  EXPECT_FALSE(shared.readLine(line) || reader.readLine(line));
  EXPECT_EQ(line, L"bc");

  String text = L"old";
  EXPECT_TRUE(TextReader(new Bytes, TextReader::Utf8).read(text) && text.isEmpty());
  TextReader closed;
  text = L"old";
  EXPECT_FALSE(closed.open(nullptr, TextReader::Utf8) || closed.read(text));
  EXPECT_FALSE(closed.open(new Bytes("x"), TextReader::CharacterSet(3)) || closed.readLine(text));
  EXPECT_EQ(text, L"old");

  // A source that reports failure (available() below 0) has nothing to read.
  for (const int failure : {-1, -2, INT_MIN}) {
    for (const auto set : {TextReader::Utf8, TextReader::Wide, TextReader::Ansi}) {
      Unknown::Handle_T<Bytes> failing = new Bytes("text");
      failing->failure = failure;
      text = L"old";
      EXPECT_TRUE(TextReader(failing, set).read(text) && text.isEmpty());
      EXPECT_FALSE(TextReader(failing, set).readLine(text));
      EXPECT_EQ(failing->bytes, "text");
    }
  }
}

TEST(Text, WritesExactBytes) {
  // Python: "A\u00e9\u20ac\U0001d11e".encode("utf-8" / "utf-16-le");
  // "A\u00e9\u20ac".encode("cp1252").
  ASSERT_TRUE(setCodePage(1252));
  const std::tuple<TextWriter::CharacterSet, const wchar_t*, std::string> rows[] = {
      {TextWriter::Utf8, L"A\u00E9\u20AC\U0001D11E", "A\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"},
      {TextWriter::Wide, L"A\u00E9\u20AC\U0001D11E",
       std::string("A\0\xE9\0\xAC\x20\x34\xD8\x1E\xDD", 10)},
      {TextWriter::Ansi, L"A\u00E9\u20AC", "A\xE9\x80"},
  };
  for (const auto& [set, text, bytes] : rows) {
    Unknown::Handle_T<Bytes> sink = new Bytes;
    TextWriter writer(sink, set);
    EXPECT_TRUE(writer.write(String(text)));
    EXPECT_TRUE(writer.write(StringHelper::wideToUtf8(text)));  // every string kind converts
    if (set == TextWriter::Ansi) {
      EXPECT_TRUE(writer.write(StringHelper::wideToAnsi(text)));
    }
    EXPECT_TRUE(writer.write(String()));  // writes nothing
    EXPECT_EQ(sink->bytes, bytes + bytes + (set == TextWriter::Ansi ? bytes : ""))
        << "charset " << set;
  }
  setCodePage(0);

  Unknown::Handle_T<Bytes> sink = new Bytes;
  TextWriter writer(sink, TextWriter::Utf8), copy = writer;
  EXPECT_EQ(writer.print(L"%d-%s|%S", 42, L"\u4E2D", "x"), 6);
  EXPECT_TRUE(copy.write(String(L"!")));  // copies write to the same stream
  EXPECT_EQ(sink->bytes, "42-\xE4\xB8\xAD|x!");
  sink->room = 2;
  EXPECT_FALSE(writer.write(String(L"abc")));  // a short write
  EXPECT_EQ(writer.print(L"%s", L"abc"), -1);
  EXPECT_FALSE(TextWriter().write(String(L"a")));
  EXPECT_EQ(TextWriter().print(L"a"), -1);
}

}  // namespace
