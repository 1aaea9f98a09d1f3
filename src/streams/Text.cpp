#include "vemo/core/Text.h"

#include "CharWalk.h"
#include "StringData.h"

#include <string>
#include <type_traits>

#include "vemo/core/Charset.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

// ---- readers -------------------------------------------------------------------------------

namespace {

// The reader or writer of a character set (0 UTF-8, 1 UTF-16LE, 2 code page), or null.
template <class Base, class Utf8, class Wide, class Ansi, class Stream>
Base* createCoder(int characterSet, Stream* stream) {
  switch (characterSet) {
    case 0:
      return new Utf8(stream);
    case 1:
      return new Wide(stream);
    case 2:
      return new Ansi(stream);
    default:
      return nullptr;
  }
}

int readByte(Input& input) {
  unsigned char byte;
  return input.read(&byte, 1) == 1 ? byte : -1;
}

}  // namespace

class TextReader::Utf8Reader : public TextReader::IReader {
 public:
  explicit Utf8Reader(Input* input) : IReader(input) {}

  int readChar() override {
    const int first = readByte(*_input);
    if (first < 0) return -1;
    return decode(first, [this] { return readByte(*_input); });
  }

  // Every character the input has available now, decoded in blocks (the same characters as
  // calling readChar until it runs dry, without two virtual calls per byte); zeros are dropped.
  String readAvailable() {
    constexpr int kBlock = 16384;
    unsigned char bytes[kBlock + 2];  // a block, and what a sequence at its end still needs
    // Room for what the input announces, up to a block: the text grows as it arrives, so that
    // a source that reports failure (< 0) or a huge count reserves nothing it does not fill.
    const int announced = _input->available();
    const int reserved = announced < 0 ? 0 : announced < kBlock ? announced : kBlock;
    detail::StringBuilder<wchar_t> text(static_cast<std::size_t>(reserved) + 1);
    for (int available; (available = _input->available()) > 0;) {
      const int got = _input->read(bytes, available < kBlock ? available : kBlock);
      if (got <= 0) break;
      const unsigned char* p = bytes;
      const unsigned char* const end = bytes + got;
      wchar_t* out = text.extend(static_cast<std::size_t>(got));
      wchar_t* o = out;
      while (p < end) {
        const int first = *p++;
        const int ch = first < 0x80 ? first : decode(first, [&] { return nextByte(p, end); });
        if (ch != 0) *o++ = static_cast<wchar_t>(ch);
      }
      text.drop(static_cast<std::size_t>(got - (o - out)));
    }
    return text.take(static_cast<int>(text.size()));
  }

 private:
  // The byte at p inside the block, else the input's next byte; -1 at the end.
  int nextByte(const unsigned char*& p, const unsigned char* end) {
    return p < end ? *p++ : readByte(*_input);
  }

  // Two- and three-byte sequences give their character; any other byte its low seven bits. A
  // byte that turns out not to continue a sequence is consumed and dropped. `next` gives the
  // following byte, or -1 at the end.
  template <class NextByte>
  static int decode(int first, NextByte next) {
    unsigned char bytes[4] = {static_cast<unsigned char>(first), 0, 0, 0};
    if ((first & 0xF0) == 0xE0 || (first & 0xE0) == 0xC0) {
      const int second = next();
      if (detail::isContinuation(static_cast<unsigned char>(second))) {
        bytes[1] = static_cast<unsigned char>(second);
        if ((first & 0xF0) == 0xE0) {
          const int third = next();
          if (detail::isContinuation(static_cast<unsigned char>(third)))
            bytes[2] = static_cast<unsigned char>(third);
          else
            bytes[1] = 0;  // the sequence falls back to its first byte
        }
      }
    }
    int ch = 0;
    stringChar(reinterpret_cast<const char*>(bytes), ch);
    return ch;
  }
};

class TextReader::WideReader : public TextReader::IReader {
 public:
  explicit WideReader(Input* input) : IReader(input) {}

  // UTF-16LE units; a surrogate pair is joined into one character where wchar_t holds it.
  int readChar() override {
    const int unit = readUnit();
    if (sizeof(wchar_t) == 4 && unit >= 0xD800 && unit <= 0xDBFF) {
      unsigned char next[2];
      if (_input->peek(next, 2) == 2) {
        const int low = next[0] | (next[1] << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          readUnit();
          return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
      }
    }
    return unit;
  }

 private:
  int readUnit() {
    unsigned char bytes[2];
    if (_input->read(bytes, 2) != 2) return -1;
    return bytes[0] | (bytes[1] << 8);
  }
};

class TextReader::AnsiReader : public TextReader::IReader {
 public:
  explicit AnsiReader(Input* input) : IReader(input) {}

  // A byte of 0x80 or above leads a double-byte character; a lead without a second byte is 0.
  int readChar() override {
    unsigned char bytes[3] = {0, 0, 0};
    const int first = readByte(*_input);
    if (first < 0) return -1;
    bytes[0] = static_cast<unsigned char>(first);
    if (first >= 0x80) {
      const int second = readByte(*_input);
      if (second < 0) return 0;
      bytes[1] = static_cast<unsigned char>(second);
    }
    int ch = 0;
    stringChar(bytes, ch);
    return ch;
  }
};

bool TextReader::open(Input* input, CharacterSet characterSet) {
  // Held for the call: an object handed over fresh is released again when it is refused.
  const Unknown::Handle_T<Input> held(input);
  _reader = input ? createCoder<TextReader::IReader, Utf8Reader, WideReader, AnsiReader>(
                        characterSet, input)
                  : nullptr;
  return _reader != nullptr;
}

namespace {

// Appends one character in the units of T.
void appendChar(std::basic_string<wchar_t>& text, int ch) {
  text.push_back(static_cast<wchar_t>(ch));
}
void appendChar(std::basic_string<char>& text, int ch) {
  char bytes[8];
  text.append(bytes, static_cast<std::size_t>(charToString(bytes, ch)));
}
void appendChar(std::basic_string<unsigned char>& text, int ch) {
  unsigned char bytes[8];
  text.append(bytes, static_cast<std::size_t>(charToString(bytes, ch)));
}

// Collects characters while the input has bytes available; a line feed ends a line.
template <class T>
void collect(TextReader::IReader& reader, String_T<T>& text, bool line) {
  std::basic_string<T> units;
  if constexpr (std::is_same<T, wchar_t>::value) {
    if (auto* utf8 = line ? nullptr : dynamic_cast<TextReader::Utf8Reader*>(&reader)) {
      text = utf8->readAvailable();
      return;
    }
  }
  while (reader.input()->available() >= 1) {
    const int ch = reader.readChar();
    if (ch < 0) break;
    if (line && ch == '\n') break;
    if (ch == 0 || (line && ch == '\r')) continue;
    appendChar(units, ch);
  }
  text.setBuffer(units.data(), static_cast<int>(units.size() * sizeof(T)));
}

}  // namespace

#define VEMO_TEXT_READ(Type)                                          \
  bool TextReader::read(Type& text) {                                 \
    if (!_reader) return false;                                       \
    collect(*_reader, text, false);                                   \
    return true;                                                      \
  }                                                                   \
  bool TextReader::readLine(Type& text) {                             \
    if (!_reader || _reader->input()->available() <= 0) return false; \
    collect(*_reader, text, true);                                    \
    return true;                                                      \
  }
VEMO_TEXT_READ(String_T<wchar_t>)
VEMO_TEXT_READ(String_T<char>)
VEMO_TEXT_READ(String_T<unsigned char>)
#undef VEMO_TEXT_READ

// ---- writers -------------------------------------------------------------------------------

bool TextWriter::IWriter::writeBytes(const void* data, int size) {
  if (size <= 0) return true;
  return _output->write(data, size) == size;
}

class TextWriter::Utf8Writer : public TextWriter::IWriter {
 public:
  explicit Utf8Writer(Output* output) : IWriter(output) {}
  bool write(const String_T<char>& text) override {
    return writeBytes(text.getBuffer(), text.getBufferLength() - 1);
  }
  bool write(const String_T<wchar_t>& text) override {
    return write(StringHelper::wideToUtf8(text));
  }
  bool write(const String_T<unsigned char>& text) override {
    return write(StringHelper::ansiToUtf8(text));
  }
};

class TextWriter::WideWriter : public TextWriter::IWriter {
 public:
  explicit WideWriter(Output* output) : IWriter(output) {}
  // UTF-16LE; a character above U+FFFF becomes a surrogate pair.
  bool write(const String_T<wchar_t>& text) override {
    std::basic_string<unsigned char> bytes;
    for (const wchar_t* p = text.getBuffer(); *p; ++p) {
      unsigned int c = static_cast<unsigned int>(*p);
      if (c > 0xFFFF && c <= 0x10FFFF) {
        c -= 0x10000;
        putUnit(bytes, 0xD800 + (c >> 10));
        putUnit(bytes, 0xDC00 + (c & 0x3FF));
      } else {
        putUnit(bytes, c > 0x10FFFF ? 0xFFFD : c);
      }
    }
    return writeBytes(bytes.data(), static_cast<int>(bytes.size()));
  }
  bool write(const String_T<char>& text) override { return write(StringHelper::utf8ToWide(text)); }
  bool write(const String_T<unsigned char>& text) override {
    return write(StringHelper::ansiToWide(text));
  }

 private:
  static void putUnit(std::basic_string<unsigned char>& bytes, unsigned int unit) {
    bytes.push_back(static_cast<unsigned char>(unit));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
};

class TextWriter::AnsiWriter : public TextWriter::IWriter {
 public:
  explicit AnsiWriter(Output* output) : IWriter(output) {}
  bool write(const String_T<unsigned char>& text) override {
    return writeBytes(text.getBuffer(), text.getBufferLength() - 1);
  }
  bool write(const String_T<wchar_t>& text) override {
    return write(StringHelper::wideToAnsi(text));
  }
  bool write(const String_T<char>& text) override { return write(StringHelper::utf8ToAnsi(text)); }
};

bool TextWriter::open(Output* output, CharacterSet characterSet) {
  // Held for the call: an object handed over fresh is released again when it is refused.
  const Unknown::Handle_T<Output> held(output);
  _writer = output ? createCoder<TextWriter::IWriter, Utf8Writer, WideWriter, AnsiWriter>(
                         characterSet, output)
                   : nullptr;
  return _writer != nullptr;
}

bool TextWriter::write(const String_T<char>& text) {
  return _writer && _writer->write(text);
}
bool TextWriter::write(const String_T<wchar_t>& text) {
  return _writer && _writer->write(text);
}
bool TextWriter::write(const String_T<unsigned char>& text) {
  return _writer && _writer->write(text);
}

int TextWriter::vprintf(const wchar_t* format, va_list args) {
  if (!_writer) return -1;
  String text;
  const int length = text.vprintf(format, args);
  return _writer->write(text) ? length : -1;
}

int TextWriter::print(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = vprintf(format, args);
  va_end(args);
  return length;
}

}  // namespace vemo
