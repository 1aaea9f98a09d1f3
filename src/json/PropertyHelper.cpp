#include "vemo/core/PropertyHelper.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <string>
#include <string_view>

#include "File.h"
#include "JsonInput.h"
#include "Number.h"
#include "Utf.h"
#include "vemo/core/Archive.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/Property.h"
#include "vemo/core/Text.h"

namespace vemo {

namespace {

// The archive of a file's content in memory, or null.
Unknown::Handle_T<Archive> openInMemory(const String& fileName) {
  return ArchiveFactory::openArchive(String(L"memory://<<") + fileName);
}

}  // namespace

// ---- objects and JSON --------------------------------------------------------------------------

void PropertyHelper::convertPropertyToJson(const Property* object, JsonValue& value) {
  if (object)
    object->exportProperty(value);
  else
    JsonValue().swap(value);
}

Unknown::Handle_T<Property> PropertyHelper::convertPropertyToClass(const JsonValue& value) {
  // Exactly the import of {"obj": value} into a PropertyDummy, without copying the value.
  const Unknown::Handle_T<PropertyDummy> dummy = PropertyDummy::createInstance();
  dummy->importMember(String(L"obj"), value);
  return dummy->obj;
}

String PropertyHelper::convertToString(const Property* object, bool styled) {
  if (!object) return String(L"null");
  JsonValue value;
  object->exportProperty(value);
  return Json::convertToString(value, styled);
}

Unknown::Handle_T<Property> PropertyHelper::convertToClass(const String& text) {
  JsonValue value;
  if (!Json::parseValue(text.getBuffer(), value)) return nullptr;
  return convertPropertyToClass(value);
}

bool PropertyHelper::write(const Property* object, Output* output, bool styled) {
  const Unknown::Handle_T<Output> held(output);
  if (!output) return false;  // before the export, which may throw
  JsonValue value;
  convertPropertyToJson(object, value);
  return Json::write(value, output, styled);
}

Unknown::Handle_T<Property> PropertyHelper::read(Input* input) {
  JsonValue value;
  return Json::read(value, input) ? convertPropertyToClass(value) : nullptr;
}

bool PropertyHelper::save(const Property* object, const String& fileName, bool styled) {
  // As Json::save, with the export between making the new file and committing it: a file that
  // cannot be made gives false before the export (which may throw), and a failed export leaves
  // the old file as it was.
  detail::FileReplacement replacement(fileName);
  if (!replacement.file()) return false;
  JsonValue value;
  convertPropertyToJson(object, value);
  return Json::write(value, replacement.file(), styled) && replacement.commit();
}

namespace {

// Why a value gives no object (empty when it names a registered class).
String whyNoObject(const JsonValue& value) {
  const JsonValue& named = value[TEXT_class];
  if (!value.isObject())
    return String(L"the value is ") + detail::describe(value) + L", not an object";
  if (named.isNull()) return String(L"the object has no \"__class__\"");
  if (!named.isString() || !PropertyFactory::getPropertyConverter(named.asString()))
    return String(L"\"__class__\" is ") + detail::describe(named) +
           L", which names no registered class";
  return String();
}

}  // namespace

Unknown::Handle_T<Property> PropertyHelper::load(const String& fileName) {
  JsonValue value;
  JsonError error;
  if (!Json::load(value, fileName, error)) {
    if (error.line == 0)
      Log::warning(L"PropertyHelper: \"%s\" cannot be read: %s", fileName.getBuffer(),
                   error.reason.getBuffer());
    else
      Log::warning(L"PropertyHelper: \"%s\" is no JSON text (%d:%d: %s)", fileName.getBuffer(),
                   error.line, error.column, error.reason.getBuffer());
    return nullptr;
  }
  const String why = whyNoObject(value);
  if (!why.isEmpty()) {
    Log::warning(L"PropertyHelper: \"%s\" makes no object: %s", fileName.getBuffer(),
                 why.getBuffer());
    return nullptr;
  }
  return convertPropertyToClass(value);
}

Unknown::Handle_T<Property> PropertyHelper::load(const String& fileName, PropertyImport mode) {
  if (mode != PropertyImport::strict) return load(fileName);
  JsonValue value;
  JsonError error;
  if (!Json::load(value, fileName, error)) {
    String text;
    if (error.line == 0)
      text.format(L"\"%s\" cannot be read: %s", fileName.getBuffer(), error.reason.getBuffer());
    else
      text.format(L"\"%s\" is no JSON text (%d:%d: %s)", fileName.getBuffer(), error.line,
                  error.column, error.reason.getBuffer());
    VEMO_THROW_AT(L"vemo/core/PropertyHelper", __LINE__, text.getBuffer());
  }
  const String why = whyNoObject(value);
  if (!why.isEmpty()) {
    const String text = String(L"\"") + fileName + L"\" makes no object: " + why;
    VEMO_THROW_AT(L"vemo/core/PropertyHelper", __LINE__, text.getBuffer());
  }
  const Unknown::Handle_T<Unknown> made =
      Unknown::RtFactory::createClassInstance(value[TEXT_class].asString());
  const Unknown::Handle_T<Property> object = Unknown::Handle_T<Property>::dynamicCast(made);
  if (!object) {
    const String text = String(L"\"") + fileName + L"\" makes no object: the class \"" +
                        value[TEXT_class].asString() + L"\" is not reflectable";
    VEMO_THROW_AT(L"vemo/core/PropertyHelper", __LINE__, text.getBuffer());
  }
  object->importNewStrictly(value);
  return object;
}

// ---- configuration -----------------------------------------------------------------------------

String getConfigString(Archive* archive, const String& section, const String& key,
                       const String& defaultValue) {
  const Unknown::Handle_T<Archive> held(archive);
  if (!archive) return defaultValue;
  archive->setPosition(0);
  // The whole text, decoded as UTF-8 (a broken sequence becomes U+FFFD and never takes a line
  // feed with it), then taken line by line.
  String text;
  try {
    std::size_t size = 0;
    const std::unique_ptr<unsigned char, detail::FreeBytes> bytes =
        detail::readAllBytes(*archive, size);
    if (bytes) text = detail::decodeUtf8Lenient(bytes.get(), size);
  } catch (const std::bad_alloc&) {
    return defaultValue;
  }
  const String header = String(L"[") + section + L"]";
  bool inSection = false;
  const wchar_t* p = text.getBuffer();
  const wchar_t* const end = p + text.getLength();
  std::wstring kept;
  while (p < end) {
    const wchar_t* lineEnd = p;
    while (lineEnd < end && *lineEnd != L'\n')
      ++lineEnd;
    kept.clear();
    for (const wchar_t* c = p; c < lineEnd; ++c)
      if (*c != L'\r') kept += *c;  // carriage returns are dropped wherever they are
    p = lineEnd < end ? lineEnd + 1 : end;
    String line(kept.c_str(), static_cast<int>(kept.size()));
    line.trim();
    if (!inSection) {
      inSection = line.compareNoCase(header) == 0;
      continue;
    }
    if (line.isEmpty() || line[0] == L'#') continue;
    if (readToken(line).compareNoCase(key) != 0) continue;
    line.trim();
    if (line[0] != L'=') continue;
    String value = line.getSubString(1);
    value.trim();
    return value.isEmpty() ? defaultValue : value;
  }
  return defaultValue;
}

// The file forms read the file's content in memory; a file that cannot be opened gives the
// default, as a null archive does.
String getConfigString(const String& fileName, const String& section, const String& key,
                       const String& defaultValue) {
  return getConfigString(openInMemory(fileName).get(), section, key, defaultValue);
}

int getConfigInteger(Archive* archive, const String& section, const String& key, int defaultValue) {
  String fallback;
  fallback.format(L"%d", defaultValue);
  return detail::scanInt(getConfigString(archive, section, key, fallback).getBuffer());
}

int getConfigInteger(const String& fileName, const String& section, const String& key,
                     int defaultValue) {
  return getConfigInteger(openInMemory(fileName).get(), section, key, defaultValue);
}

bool getConfigBoolean(Archive* archive, const String& section, const String& key,
                      bool defaultValue) {
  const String fallback(defaultValue ? L"true" : L"false");
  return getConfigString(archive, section, key, fallback).compareNoCase(L"true") == 0;
}

bool getConfigBoolean(const String& fileName, const String& section, const String& key,
                      bool defaultValue) {
  return getConfigBoolean(openInMemory(fileName).get(), section, key, defaultValue);
}

// ---- Config ------------------------------------------------------------------------------------

struct Config::Sections {
  struct Section {
    String name;
    std::vector<std::pair<String, String>> entries;  // key and value, as first written
  };
  std::vector<Section> list;

  const Section* find(const String& name) const {
    for (const Section& section : list)
      if (section.name.compareNoCase(name) == 0) return &section;
    return nullptr;
  }
  Section& findOrAdd(const String& name) {
    for (Section& section : list)
      if (section.name.compareNoCase(name) == 0) return section;
    list.push_back(Section{name, {}});
    return list.back();
  }
};

Config::Config() = default;
Config::Config(const Config& other)
    : _sections(other._sections ? new Sections(*other._sections) : nullptr) {}
Config::Config(Config&& other) noexcept = default;
Config& Config::operator=(const Config& other) {
  if (this != &other) _sections.reset(other._sections ? new Sections(*other._sections) : nullptr);
  return *this;
}
Config& Config::operator=(Config&& other) noexcept = default;
Config::~Config() = default;

bool Config::parse(const String& text, ConfigError& error) {
  error = ConfigError();
  std::unique_ptr<Sections> made(new Sections);
  Sections::Section* current = nullptr;
  const auto refuse = [&error](int line, const wchar_t* reason) {
    error.line = line;
    error.reason = reason;
    return false;
  };
  const wchar_t* p = text.getBuffer();
  const wchar_t* const end = p + text.getLength();
  for (int number = 1; p < end; ++number) {
    // One line without its line feed; carriage returns are dropped, as the text reader does.
    const wchar_t* lineEnd = p;
    while (lineEnd < end && *lineEnd != L'\n')
      ++lineEnd;
    std::wstring kept;
    for (const wchar_t* c = p; c < lineEnd; ++c)
      if (*c != L'\r') kept += *c;
    p = lineEnd < end ? lineEnd + 1 : end;
    String line(kept.c_str(), static_cast<int>(kept.size()));
    line.trim();
    if (line.isEmpty() || line[0] == L'#') continue;
    if (line[0] == L'[') {
      const int length = line.getLength();
      if (line[length - 1] != L']') return refuse(number, L"a section header ends with ']'");
      current = &made->findOrAdd(line.getSubString(1, length - 2));
      continue;
    }
    const String key = readToken(line);
    if (key.isEmpty())
      return refuse(number, L"expected a [section] or a key of letters, digits and '_'");
    line.trim();
    if (line[0] != L'=') return refuse(number, L"expected '=' after the key");
    if (!current) return refuse(number, L"a key before the first [section]");
    String value = line.getSubString(1);
    value.trim();
    bool known = false;
    for (const auto& entry : current->entries)
      known = known || entry.first.compareNoCase(key) == 0;
    if (!known) current->entries.emplace_back(key, value);
  }
  _sections = std::move(made);
  return true;
}

bool Config::read(Input* input, ConfigError& error) {
  const Unknown::Handle_T<Input> held(input);
  if (!input) {
    error = ConfigError();
    error.reason = L"no input";
    return false;
  }
  error = ConfigError();
  try {
    std::size_t size = 0;
    const std::unique_ptr<unsigned char, detail::FreeBytes> bytes =
        detail::readAllBytes(*input, size);
    const unsigned char* p = bytes.get();
    const unsigned char* const end = p + size;
    // A byte that is not part of well-formed UTF-8 (or a zero) is refused with its line: it
    // could stand for any character, and the value holding it would be taken for another.
    for (int line = 1; p < end;) {
      if (*p == '\n') ++line;
      if (*p == 0) {
        error.line = line;
        error.reason = L"a zero byte in the text";
        return false;
      }
      if (*p < 0x80) {
        ++p;
        continue;
      }
      bool broken = false;
      detail::decodeUtf8(p, end, broken);
      if (broken) {
        error.line = line;
        error.reason = L"invalid UTF-8";
        return false;
      }
    }
    return parse(bytes ? detail::decodeUtf8Lenient(bytes.get(), size) : String(), error);
  } catch (const std::bad_alloc&) {
    error.reason = L"text too large for memory";
    return false;
  }
}

bool Config::load(const String& fileName, ConfigError& error) {
  const Unknown::Handle_T<Archive> archive = openInMemory(fileName);
  if (!archive) {
    error = ConfigError();
    error.reason = L"the file cannot be opened";
    return false;
  }
  return read(archive.get(), error);
}

bool Config::load(const String& fileName) {
  ConfigError error;
  return load(fileName, error);
}

bool Config::hasSection(const String& section) const {
  return _sections && _sections->find(section);
}

bool Config::has(const String& section, const String& key) const {
  return value(section, key) != nullptr;
}

std::vector<String> Config::sections() const {
  std::vector<String> names;
  if (_sections)
    for (const auto& section : _sections->list)
      names.push_back(section.name);
  return names;
}

std::vector<String> Config::keys(const String& section) const {
  std::vector<String> names;
  const Sections::Section* found = _sections ? _sections->find(section) : nullptr;
  if (found)
    for (const auto& entry : found->entries)
      if (!entry.second.isEmpty()) names.push_back(entry.first);
  return names;
}

const String* Config::value(const String& section, const String& key) const {
  const Sections::Section* found = _sections ? _sections->find(section) : nullptr;
  if (!found) return nullptr;
  for (const auto& entry : found->entries)
    if (entry.first.compareNoCase(key) == 0)
      return entry.second.isEmpty() ? nullptr : &entry.second;
  return nullptr;
}

namespace {

const wchar_t* kindName(detail::JsonKind kind) {
  using K = detail::JsonKind;
  switch (kind) {
    case K::int8:
      return L"int8";
    case K::uint8:
      return L"uint8";
    case K::int16:
      return L"int16";
    case K::uint16:
      return L"uint16";
    case K::int32:
      return L"int32";
    case K::uint32:
      return L"uint32";
    case K::int64:
      return L"int64";
    case K::uint64:
      return L"uint64";
    case K::float32:
      return L"float";
    case K::float64:
      return L"double";
    case K::boolean:
      return L"bool";
    case K::string:
      break;
  }
  return L"string";
}

}  // namespace

bool Config::convert(const String& text, detail::JsonKind kind, void* out, String& reason) {
  using K = detail::JsonKind;
  const wchar_t* const chars = text.getBuffer();
  const int length = text.getLength();
  if (kind == K::string) {
    *static_cast<String*>(out) = text;
    return true;
  }
  if (kind == K::boolean) {
    const bool yes = text.compareNoCase(L"true") == 0;
    if (!yes && text.compareNoCase(L"false") != 0) {
      reason = String(L"expected bool (true or false), found \"") + text + L"\"";
      return false;
    }
    *static_cast<bool*>(out) = yes;
    return true;
  }
  // A decimal number and nothing else (no "inf", "nan" or hexadecimal): the value of a double
  // (also for integer types, which take it when it has no fraction).
  const auto decimal = [&](double& number) {
    bool plain = length > 0;
    for (int i = 0; i < length && plain; ++i)
      plain = (chars[i] >= L'0' && chars[i] <= L'9') || chars[i] == L'.' || chars[i] == L'e' ||
              chars[i] == L'E' || chars[i] == L'+' || chars[i] == L'-';
    const wchar_t* stop = chars;
    number = plain ? detail::scanDouble(chars, &stop) : 0.0;
    return plain && stop == chars + length;
  };
  const auto fromDouble = [&]() {
    double number = 0.0;
    if (!decimal(number)) return JsonValue(text).convertExactly(kind, out, reason);
    if (!std::isfinite(number)) {
      reason = String(L"\"") + text + L"\" is out of the range of " + kindName(kind);
      return false;
    }
    return JsonValue(number).convertExactly(kind, out, reason);
  };
  if (kind == K::float32 || kind == K::float64) return fromDouble();
  // Integers: an optional sign and decimal digits.
  int i = 0;
  const bool negative = length > 0 && chars[0] == L'-';
  if (length > 0 && (chars[0] == L'-' || chars[0] == L'+')) ++i;
  bool digits = i < length;
  unsigned long long magnitude = 0;
  bool overflow = false;
  for (; i < length && digits; ++i) {
    digits = chars[i] >= L'0' && chars[i] <= L'9';
    const unsigned digit = static_cast<unsigned>(chars[i] - L'0');
    if (digits && magnitude > (~0ULL - digit) / 10) overflow = true;
    if (digits && !overflow) magnitude = magnitude * 10 + digit;
  }
  if (!digits) return fromDouble();
  const bool tooNegative = negative && magnitude > 0x8000000000000000ULL;
  if (overflow || tooNegative) {
    reason = text + L" is out of the range of " + kindName(kind);
    return false;
  }
  const JsonValue number = negative ? JsonValue(static_cast<__int64>(0 - magnitude))
                                    : JsonValue(static_cast<__uint64>(magnitude));
  return number.convertExactly(kind, out, reason);
}

namespace {

// Why a name or value read from a file would not be the same text, or null when it would be: a
// zero byte is refused by a read, and UTF-8 has no form for a lone surrogate (or, with 32-bit
// wchar_t, for a unit beyond U+10FFFF).
const wchar_t* unwritable(const String& text) {
  const wchar_t* p = text.getBuffer();
  const wchar_t* const end = p + text.getLength();
  while (p < end) {
    if (*p == 0) return L"U+0000 cannot be written (a read refuses it)";
    const char32_t c = detail::decodeWide(p, end);
    if (detail::isSurrogate(c) ||
        (c == detail::kReplacementChar && p[-1] != static_cast<wchar_t>(detail::kReplacementChar)))
      return L"a lone surrogate cannot be written as UTF-8";
    if (c > 0x10FFFF) return L"a character beyond U+10FFFF cannot be written as UTF-8";
  }
  return nullptr;
}

bool hasLineBreak(const String& text) {
  const wchar_t* p = text.getBuffer();
  for (const wchar_t* const end = p + text.getLength(); p < end; ++p)
    if (*p == L'\n' || *p == L'\r') return true;
  return false;
}

// The shortest decimal text of a finite number, with a '.' or an exponent so that it is read
// as a double (never as an integer, whose range is narrower).
template <class F>
String decimalText(F number) {
  char digits[64];
  const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits - 3, number);
  char* end = result.ptr;
  if (std::string_view(digits, static_cast<std::size_t>(end - digits)).find_first_of(".e") ==
      std::string_view::npos) {
    *end++ = '.';
    *end++ = '0';
  }
  return String(std::wstring(digits, end).c_str());
}

}  // namespace

void Config::setValue(const String& section, const String& key, detail::JsonKind kind,
                      const void* value) {
  using K = detail::JsonKind;
  String text;
  switch (kind) {
    case K::string:
      text = *static_cast<const String*>(value);
      break;
    case K::boolean:
      text = *static_cast<const bool*>(value) ? L"true" : L"false";
      break;
    case K::float32:
    case K::float64: {
      const double number = kind == K::float32 ? *static_cast<const float*>(value)
                                               : *static_cast<const double*>(value);
      if (!std::isfinite(number)) checkFailed(section, key, L"only a finite number can be set");
      // The float's own shortest text when it reads back as the same float, otherwise the
      // double's (which is the float exactly).
      if (kind == K::float32) {
        text = decimalText(*static_cast<const float*>(value));
        float back = 0.0f;
        String reason;
        if (!convert(text, kind, &back, reason) || back != *static_cast<const float*>(value))
          text = decimalText(number);
      } else {
        text = decimalText(number);
      }
      break;
    }
    default: {
      char digits[32];
      const bool isSigned =
          kind == K::int8 || kind == K::int16 || kind == K::int32 || kind == K::int64;
      long long signedNumber = 0;
      unsigned long long unsignedNumber = 0;
      switch (kind) {
        case K::int8:
          signedNumber = *static_cast<const std::int8_t*>(value);
          break;
        case K::uint8:
          unsignedNumber = *static_cast<const std::uint8_t*>(value);
          break;
        case K::int16:
          signedNumber = *static_cast<const std::int16_t*>(value);
          break;
        case K::uint16:
          unsignedNumber = *static_cast<const std::uint16_t*>(value);
          break;
        case K::int32:
          signedNumber = *static_cast<const std::int32_t*>(value);
          break;
        case K::uint32:
          unsignedNumber = *static_cast<const std::uint32_t*>(value);
          break;
        case K::int64:
          signedNumber = *static_cast<const std::int64_t*>(value);
          break;
        default:
          unsignedNumber = *static_cast<const std::uint64_t*>(value);
          break;
      }
      const char* end = isSigned
                            ? std::to_chars(digits, digits + sizeof digits, signedNumber).ptr
                            : std::to_chars(digits, digits + sizeof digits, unsignedNumber).ptr;
      text = String(std::wstring(static_cast<const char*>(digits), end).c_str());
      break;
    }
  }
  // Refused before anything changes: what a file could not give back the same.
  if (hasLineBreak(section))
    checkFailed(section, key, L"a section name cannot hold a line feed or carriage return");
  if (const wchar_t* reason = unwritable(section))
    checkFailed(section, key, String(L"section name: ") + reason);
  bool token = !key.isEmpty();
  for (int i = 0; i < key.getLength() && token; ++i)
    token = (key[i] >= L'a' && key[i] <= L'z') || (key[i] >= L'A' && key[i] <= L'Z') ||
            (key[i] >= L'0' && key[i] <= L'9') || key[i] == L'_';
  if (!token) checkFailed(section, key, L"a key is letters, digits and '_'");
  if (hasLineBreak(text))
    checkFailed(section, key, L"a value cannot hold a line feed or carriage return");
  const int length = text.getLength();
  if (length > 0 && (detail::isCSpace(text[0]) || detail::isCSpace(text[length - 1])))
    checkFailed(section, key, L"a value cannot begin or end with white space");
  if (const wchar_t* reason = unwritable(text)) checkFailed(section, key, reason);

  if (!_sections) _sections.reset(new Sections);
  Sections::Section& target = _sections->findOrAdd(section);
  for (auto& entry : target.entries)
    if (entry.first.compareNoCase(key) == 0) {
      entry.second = text;
      return;
    }
  if (!text.isEmpty()) target.entries.emplace_back(key, text);
}

String Config::toString() const {
  std::wstring text;
  if (_sections)
    for (const Sections::Section& section : _sections->list) {
      if (!text.empty()) text += L'\n';
      text.append(L"[").append(section.name.getBuffer(), section.name.getLength()).append(L"]\n");
      for (const auto& [key, value] : section.entries)
        if (!value.isEmpty())
          text.append(key.getBuffer(), key.getLength())
              .append(L" = ")
              .append(value.getBuffer(), value.getLength())
              .append(L"\n");
    }
  return String(text.c_str(), static_cast<int>(text.size()));
}

bool Config::write(Output* output, ConfigError& error) const {
  const Unknown::Handle_T<Output> held(output);
  error = ConfigError();
  const auto refuse = [&error](const String& reason) {
    error.reason = reason;
    return false;
  };
  if (!output) return refuse(L"no output");
  if (_sections)
    for (const Sections::Section& section : _sections->list) {
      if (const wchar_t* reason = unwritable(section.name))
        return refuse(String(L"[") + section.name + L"]: " + reason);
      for (const auto& [key, value] : section.entries)
        if (const wchar_t* reason = unwritable(value))
          return refuse(String(L"[") + section.name + L"] " + key + L": " + reason);
    }
  try {
    const String text = toString();
    std::string bytes;
    const wchar_t* p = text.getBuffer();
    const wchar_t* const end = p + text.getLength();
    while (p < end) {
      unsigned char coded[4];
      const int count = detail::encodeUtf8(detail::decodeWide(p, end), coded);
      bytes.append(reinterpret_cast<const char*>(coded), static_cast<std::size_t>(count));
    }
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return refuse(L"text too large to write");
    const int size = static_cast<int>(bytes.size());
    if (size > 0 && output->write(bytes.data(), size) != size)
      return refuse(L"the write fell short");
    return true;
  } catch (const std::bad_alloc&) {
    return refuse(L"text too large for memory");
  }
}

bool Config::save(const String& fileName, ConfigError& error) const {
  // A refused or short write removes the new file: the old one stays as it was.
  detail::FileReplacement replacement(fileName);
  if (!replacement.file()) {
    error = ConfigError();
    error.reason = L"the file cannot be made";
    return false;
  }
  if (!write(replacement.file(), error)) return false;
  if (!replacement.commit()) {
    error.reason = L"the file cannot be put in place";
    return false;
  }
  return true;
}

void Config::checkFailed(const String& section, const String& key, const String& reason) {
  const String text = String(L"Config [") + section + L"] " + key + L": " + reason;
  VEMO_THROW_AT(L"vemo/core/PropertyHelper", __LINE__, text.getBuffer());
}

// ---- scanners ----------------------------------------------------------------------------------

void skipSpaces(String& text) {
  text.trimLeft();
}

void skipLine(String& text) {
  const int lineFeed = text.find(L'\n');
  if (lineFeed < 0)
    text = String();
  else
    text.erase(0, lineFeed + 1);
}

void skipComments(String& text) {
  text.trimLeft();
  while (text[0] == L'#') {
    skipLine(text);
    text.trimLeft();
  }
}

namespace {

bool isTokenChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'_';
}

}  // namespace

String readToken(String& text) {
  const wchar_t* const chars = text.getBuffer();
  int length = 0;
  while (isTokenChar(chars[length]))
    ++length;
  if (length == 0) return String();
  String token(chars, length);
  text.erase(0, length);
  return token;
}

int nothing(...) {
  return 0;
}

}  // namespace vemo
