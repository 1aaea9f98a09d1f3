// Arbitrary bytes as JSON text: as UTF-8 through Json::read (which must agree with parsing the
// UTF-8 decoding of the bytes, and with the form that reports errors, whose line, column and
// byte offset must describe the same place; the strict syntax reads a subset of the lenient one
// and what it reads writes and reads back, U+0000 included), and as wide text (one character
// per byte, and one per two bytes) through Json::parseValue. A parse either fails or gives a
// value that both writers can write; values without doubles must read back equal from their
// own compact and styled text, and from their UTF-8 form (characters beyond the basic plane
// included) when no string holds a lone surrogate (which UTF-8 cannot carry). Doubles are
// written with 16 digits (not always the same double again); NaN and infinities are written as
// null; either way the text is JSON that reads back, and writing that again gives the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vemo/core/File.h"
#include "vemo/core/Json.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Text.h"

using namespace vemo;

namespace {

struct Content {
  bool doubles = false;
  bool loneSurrogate = false;  // a surrogate that is not half of a pair
  bool zero = false;           // U+0000 in a string or key
};

void scanString(const String& text, Content& content) {
  const wchar_t* p = text.getBuffer();
  const wchar_t* const end = p + text.getLength();
  for (; p < end; ++p) {
    const std::uint32_t c = static_cast<std::uint32_t>(*p);
    if (c == 0) content.zero = true;
    if (c < 0xD800 || c > 0xDFFF) continue;
    if (sizeof(wchar_t) == 2 && c <= 0xDBFF && p + 1 < end &&
        static_cast<std::uint32_t>(p[1]) >= 0xDC00 && static_cast<std::uint32_t>(p[1]) <= 0xDFFF) {
      ++p;  // a pair
      continue;
    }
    content.loneSurrogate = true;
  }
}

void scan(const JsonValue& value, Content& content) {
  switch (value.type()) {
    case JsonValue::doubleValue:
      content.doubles = true;
      break;
    case JsonValue::stringValue:
      scanString(value.asString(), content);
      break;
    case JsonValue::arrayValue:
      for (int i = 0; i < value.size(); ++i)
        scan(value[i], content);
      break;
    case JsonValue::objectValue:
      for (const auto& member : value.getMembers()) {
        scanString(member.first, content);
        scan(member.second, content);
      }
      break;
    default:
      break;
  }
}

// The text as UTF-16LE bytes, characters above the basic plane as surrogate pairs.
std::string utf16le(const String& text) {
  std::string bytes;
  const auto unit = [&bytes](std::uint32_t u) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>((u >> 8) & 0xFF);
  };
  for (const wchar_t* p = text.getBuffer(); p < text.getBuffer() + text.getLength(); ++p) {
    const std::uint32_t c = static_cast<std::uint32_t>(*p);
    if (c > 0xFFFF) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return bytes;
}

// The value parsed from the whole of `text`, which must parse.
JsonValue reparse(const String& text) {
  JsonValue again;
  const wchar_t* end = Json::parseValue(text.getBuffer(), again);
  if (!end) std::abort();
  if (*end != 0) std::abort();  // the value is the whole text
  return again;
}

void check(const JsonValue& value) {
  const String compact = Json::convertToString(value, false);
  const String styled = Json::convertToString(value, true);

  // writeValue gives the same text as UTF-16LE.
  const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  if (!Json::writeValue(value, file.get(), false)) std::abort();
  const std::string expected = utf16le(compact);
  std::string written(static_cast<std::size_t>(file->getArchiveSize()), '\0');
  file->setPosition(0);
  if (!written.empty() &&
      file->read(&written[0], static_cast<int>(written.size())) != static_cast<int>(written.size()))
    std::abort();
  if (written != expected) std::abort();

  Content content;
  scan(value, content);
  if (content.doubles) {
    // The text is JSON (no nan or inf), and what it reads writes the same text again once the
    // doubles have been through text (a fixed point).
    JsonValue again;
    if (!Json::parseValue(compact.getBuffer(), again)) std::abort();
    const String second = Json::convertToString(again, false);
    JsonValue third;
    if (!Json::parseValue(second.getBuffer(), third)) std::abort();
    if (Json::convertToString(third, false) != second) std::abort();
    return;
  }
  const JsonValue fromCompact = reparse(compact);
  if (!(fromCompact == value) || Json::convertToString(fromCompact, false) != compact) std::abort();
  const JsonValue fromStyled = reparse(styled);
  if (!(fromStyled == value) || Json::convertToString(fromStyled, false) != compact) std::abort();

  if (content.loneSurrogate) return;
  const Unknown::Handle_T<MemoryFile> utf8 = MemoryFile::createInstance();
  JsonValue copy = value;
  if (!Json::write(copy, utf8.get(), true)) std::abort();
  utf8->setPosition(0);
  JsonValue fromUtf8;
  if (!Json::read(fromUtf8, utf8.get()) || !(fromUtf8 == value)) std::abort();
}

void parseWide(const std::wstring& text) {
  JsonValue value;
  if (Json::parseValue(text.c_str(), value)) check(value);
}

// The characters of UTF-8 bytes as a reader of files takes them: zero bytes left out, a
// character beyond the basic plane whole, a broken sequence U+FFFD.
String decodedText(const std::uint8_t* data, std::size_t size) {
  // A zero byte ends the sequence it interrupts: each run between zeros is decoded alone.
  String text;
  std::string run;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) {
      run += static_cast<char>(data[i]);
      continue;
    }
    if (!run.empty()) text += StringHelper::utf8ToWide(run.c_str());
    run.clear();
  }
  return text;
}

// Json::read parses most UTF-8 text as bytes: it must give what parsing the decoded characters
// gives, and leave its target alone when that fails.
void readAsText(const std::uint8_t* data, std::size_t size, const JsonValue& read, bool ok) {
  const String text = decodedText(data, size);
  JsonValue value(L"unchanged");
  const bool parsed = Json::parseValue(text.getBuffer(), value) != nullptr;
  if (parsed != ok) std::abort();
  if (Json::convertToString(value, false) != Json::convertToString(read, false)) std::abort();
}

// The error of a failed parse describes a place in the text: `prefix` gives the characters
// before `offset`, whose line feeds and characters after the last one must be line and column.
void checkError(const JsonError& error, bool ok, std::size_t size, const std::wstring& prefix) {
  if (ok) {
    if (error.line != 0 || error.column != 0 || error.offset != 0 || !error.reason.isEmpty())
      std::abort();
    return;
  }
  if (error.reason.isEmpty() || error.line < 1 || error.column < 1 || error.offset > size)
    std::abort();
  int line = 1, column = 1;
  for (const wchar_t c : prefix) {
    if (c == L'\n')
      ++line, column = 1;
    else
      ++column;
  }
  if (line != error.line || column != error.column) std::abort();
}

Unknown::Handle_T<MemoryFile> fileOf(const std::uint8_t* data, std::size_t size) {
  const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  if (size > 0) file->write(data, static_cast<int>(size));
  file->setPosition(0);
  return file;
}

// The decoded characters of the bytes.
std::wstring readerText(const std::uint8_t* data, std::size_t size) {
  return std::wstring(decodedText(data, size).getBuffer());
}

// Code points of well-formed UTF-8 (the bytes before a strict error are), as wide characters.
std::wstring codePoints(const std::uint8_t* data, std::size_t size) {
  std::wstring out;
  for (std::size_t i = 0; i < size; ++i)
    if ((data[i] & 0xC0) != 0x80) out += data[i] == '\n' ? L'\n' : L'x';
  return out;
}

void checkReadForms(const std::uint8_t* data, std::size_t size) {
  JsonValue plain(L"unchanged"), lenient(L"unchanged"), strict(L"unchanged");
  JsonError error;
  const bool ok = Json::read(plain, fileOf(data, size).get());
  const bool lenientOk = Json::read(lenient, fileOf(data, size).get(), error, Json::lenient);
  if (ok != lenientOk) std::abort();
  if (Json::convertToString(plain, false) != Json::convertToString(lenient, false)) std::abort();
  checkError(error, ok, size, ok ? std::wstring() : readerText(data, error.offset));

  const bool strictOk = Json::read(strict, fileOf(data, size).get(), error, Json::strict);
  checkError(error, strictOk, size, strictOk ? std::wstring() : codePoints(data, error.offset));
  if (!strictOk) {
    if (Json::convertToString(strict, false) != L"\"unchanged\"") std::abort();
    return;
  }
  // The lenient parse gives the same value, but for the U+0000 that only the strict syntax keeps.
  Content content;
  scan(strict, content);
  if (!ok || (!content.zero && !(plain == strict))) std::abort();
  // What the strict syntax read, written, reads back equal; with doubles, the text is a fixed
  // point after one round.
  const Unknown::Handle_T<MemoryFile> written = MemoryFile::createInstance();
  if (!Json::write(strict, written.get(), false)) std::abort();
  written->setPosition(0);
  JsonValue back;
  if (!Json::read(back, written.get(), error, Json::strict)) std::abort();
  if (!content.doubles) {
    if (!(back == strict)) std::abort();
    return;
  }
  const String once = Json::convertToString(back, false);
  JsonValue twice;
  if (!Json::parseValue(once.getBuffer(), twice, error, Json::strict)) std::abort();
  if (Json::convertToString(twice, false) != once) std::abort();
}

void parseWideForms(const std::wstring& text) {
  JsonValue plain, lenient, strict;
  JsonError error;
  const wchar_t* end = Json::parseValue(text.c_str(), plain);
  const wchar_t* lenientEnd = Json::parseValue(text.c_str(), lenient, error);
  if (end != lenientEnd || !(plain == lenient || end == nullptr)) std::abort();
  checkError(error, end != nullptr, text.size(),
             end ? std::wstring() : text.substr(0, error.offset));
  const wchar_t* strictEnd = Json::parseValue(text.c_str(), strict, error, Json::strict);
  checkError(error, strictEnd != nullptr, text.size(),
             strictEnd ? std::wstring() : text.substr(0, error.offset));
  if (!strictEnd) return;
  // The strict syntax reads a subset, to the same value but for the U+0000 that only it keeps.
  Content content;
  scan(strict, content);
  if (strictEnd != text.c_str() + text.size() || !end || (!content.zero && !(plain == strict)))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  checkReadForms(data, size);
  {
    const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
    if (size > 0) file->write(data, static_cast<int>(size));
    file->setPosition(0);
    JsonValue value(L"unchanged");
    const bool ok = Json::read(value, file.get());
    readAsText(data, size, value, ok);
    if (ok) check(value);
  }
  std::wstring bytes, pairs;
  for (std::size_t i = 0; i < size && data[i]; ++i)
    bytes += static_cast<wchar_t>(data[i]);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    pairs += unit;
  }
  parseWide(bytes);
  parseWide(pairs);
  if (sizeof(wchar_t) == 4) {  // columns count every wide unit as a character there
    parseWideForms(bytes);
    parseWideForms(pairs);
  }
  return 0;
}
