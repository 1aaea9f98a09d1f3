// Arbitrary bytes as JSON text: as UTF-8 through Json::read (which must agree with parsing the
// text reader's characters, and with the form that reports errors, whose line, column and byte
// offset must describe the same place; the strict syntax reads a subset of the lenient one and
// what it reads writes and reads back), and as wide text (one character
// per byte, and one per two bytes) through Json::parseValue. A parse either fails or gives a
// value that both writers can write; values without doubles must read back equal from their
// own compact and styled text, and from their UTF-8 form when no character is a surrogate or
// beyond the basic plane (the UTF-8 conversion replaces lone surrogates, and the reader does
// not decode four-byte sequences). Doubles are written with 16 digits and may be infinite or
// NaN, which do not read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vemo/core/File.h"
#include "vemo/core/Json.h"
#include "vemo/core/Text.h"

using namespace vemo;

namespace {

struct Content {
  bool doubles = false;
  bool surrogateOrAbove = false;  // a surrogate or a character above it
};

void scanString(const String& text, Content& content) {
  for (const wchar_t* p = text.getBuffer(); *p; ++p)
    if (static_cast<std::uint32_t>(*p) > 0xFFFF || (*p >= 0xD800 && *p <= 0xDFFF))
      content.surrogateOrAbove = true;
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
  for (const wchar_t* p = text.getBuffer(); *p; ++p) {
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
    JsonValue ignored;
    (void)Json::parseValue(compact.getBuffer(), ignored);
    return;
  }
  const JsonValue fromCompact = reparse(compact);
  if (!(fromCompact == value) || Json::convertToString(fromCompact, false) != compact) std::abort();
  const JsonValue fromStyled = reparse(styled);
  if (!(fromStyled == value) || Json::convertToString(fromStyled, false) != compact) std::abort();

  if (content.surrogateOrAbove) return;
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

// Json::read parses most UTF-8 text as bytes: it must give what parsing the characters of the
// text reader gives, and leave its target alone when that fails.
void readAsText(const std::uint8_t* data, std::size_t size, const JsonValue& read, bool ok) {
  const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  if (size > 0) file->write(data, static_cast<int>(size));
  file->setPosition(0);
  TextReader reader(file.get(), TextReader::Utf8);
  String text;
  reader.read(text);
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

// The text reader's characters of the bytes.
std::wstring readerText(const std::uint8_t* data, std::size_t size) {
  TextReader reader(fileOf(data, size).get(), TextReader::Utf8);
  String text;
  reader.read(text);
  return std::wstring(text.getBuffer());
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
  // Without four-byte sequences (which the lenient reading takes apart) the lenient parse
  // gives the same value.
  bool fourByte = false;
  for (std::size_t i = 0; i < size; ++i)
    fourByte = fourByte || data[i] >= 0xF0;
  if (!fourByte && (!ok || !(plain == strict))) std::abort();
  Content content;
  scan(strict, content);
  if (content.doubles) return;
  const Unknown::Handle_T<MemoryFile> written = MemoryFile::createInstance();
  if (!Json::write(strict, written.get(), false)) std::abort();
  written->setPosition(0);
  JsonValue back;
  if (!Json::read(back, written.get(), error, Json::strict) || !(back == strict)) std::abort();
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
  if (strictEnd && (strictEnd != text.c_str() + text.size() || !end || !(plain == strict)))
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
