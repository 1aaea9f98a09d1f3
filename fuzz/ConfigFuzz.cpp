// Arbitrary bytes as a configuration file in memory through the configuration readers and
// Config, and as text through the string scanners. A value is either found (then the same
// whatever the default, non-empty, trimmed and on one line) or every reader gives its default.
// Config either refuses the text with a line inside it, keeping what it held, or lists sections
// and keys whose values the readers find too (where no section is given twice), and reads each
// value as every type without anything but its own Exception. What Config reads, written with
// its own writer (as text and as UTF-8) and read again, gives the same sections, keys and values
// in the same order, and writing that gives the same text (a fixed point). The bytes also drive
// Config's setters with texts of any characters (beyond the basic plane, U+0000, line breaks,
// white space at the ends, '=', '#', ';', '[') and numbers of any bits (NaN and infinities
// included): a set either is refused with the library's Exception, changing nothing, exactly
// when a file could not give the value back, or get gives the value again, before and after a
// write and read.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "vemo/core/Exception.h"
#include "vemo/core/File.h"
#include "vemo/core/PropertyHelper.h"
#include "vemo/core/Text.h"

using namespace vemo;

namespace {

bool isSpace(wchar_t c) {
  return c == L' ' || (c >= L'\t' && c <= L'\r');
}

bool isTokenChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'_';
}

bool isTrue(const String& value) {
  const wchar_t* p = value.getBuffer();
  const wchar_t* word = L"true";
  for (; *word; ++p, ++word)
    if (*p != *word && *p != *word - (L'a' - L'A')) return false;
  return *p == 0;
}

void require(bool condition) {
  if (!condition) std::abort();
}

void lookUp(Archive* archive, const wchar_t* section, const wchar_t* key) {
  const String one = getConfigString(archive, section, key, L"\x01");
  const String two = getConfigString(archive, section, key, L"\x02");
  const bool found = one == two;
  require(found || (one == L"\x01" && two == L"\x02"));
  const int integer = getConfigInteger(archive, section, key, -12345);
  const bool yes = getConfigBoolean(archive, section, key, true);
  const bool no = getConfigBoolean(archive, section, key, false);
  if (!found) {
    require(integer == -12345 && yes && !no);
    return;
  }
  const std::wstring value(one.getBuffer());
  require(!value.empty() && !isSpace(value.front()) && !isSpace(value.back()));
  require(value.find(L'\n') == std::wstring::npos);
  require(yes == isTrue(one) && no == yes);
  // The archive is read from its start wherever it stands.
  archive->setPosition(archive->getArchiveSize() / 2);
  require(getConfigString(archive, section, key, L"\x01") == one);
}

void scan(const std::wstring& text) {
  String s(text.c_str());
  skipSpaces(s);
  std::wstring rest(s.getBuffer());
  require(rest.size() <= text.size() &&
          text.compare(text.size() - rest.size(), rest.size(), rest) == 0);
  require(rest.empty() || !isSpace(rest.front()));

  s = text.c_str();
  skipLine(s);
  const std::size_t lineFeed = text.find(L'\n');
  require(std::wstring(s.getBuffer()) ==
          (lineFeed == std::wstring::npos ? std::wstring() : text.substr(lineFeed + 1)));

  s = text.c_str();
  skipComments(s);
  rest = s.getBuffer();
  require(rest.size() <= text.size() &&
          text.compare(text.size() - rest.size(), rest.size(), rest) == 0);
  require(rest.empty() || (!isSpace(rest.front()) && rest.front() != L'#'));

  s = text.c_str();
  const String token = readToken(s);
  const std::wstring head(token.getBuffer());
  rest = s.getBuffer();
  require(head + rest == text);
  for (const wchar_t c : head)
    require(isTokenChar(c));
  require(rest.empty() || !isTokenChar(rest.front()));
}

void readAll(const Config& config, const String& section, const String& key) {
  const auto attempt = [](auto read) {
    try {
      read();
    } catch (const Exception&) {
    }
  };
  attempt([&] { config.get<int>(section, key, 0); });
  attempt([&] { config.get<unsigned long long>(section, key, 0); });
  attempt([&] { config.get<signed char>(section, key, 0); });
  attempt([&] { config.get<double>(section, key, 0.0); });
  attempt([&] { config.get<float>(section, key, 0.0f); });
  attempt([&] { config.get<bool>(section, key, false); });
  attempt([&] { config.get<String>(section, key); });
}

void roundTrip(const Config& config, bool writable);

void checkConfig(Archive* archive, std::size_t lines) {
  Config config;
  ConfigError error;
  require(config.parse(L"[Kept]\nk = 1\n", error));
  archive->setPosition(0);
  if (!config.read(archive, error)) {
    require(error.line >= 1 && static_cast<std::size_t>(error.line) <= lines);
    require(!error.reason.isEmpty());
    require(config.get<int>(L"Kept", L"k") == 1 && config.sections().size() == 1);
    return;
  }
  require(error.line == 0 && error.reason.isEmpty());
  roundTrip(config, true);
  const std::vector<String> sections = config.sections();
  bool repeated = false;
  for (std::size_t i = 0; i < sections.size(); ++i)
    for (std::size_t j = 0; j < i; ++j)
      repeated = repeated || sections[i].compareNoCase(sections[j]) == 0;
  require(!repeated);  // merged
  for (const String& section : sections) {
    require(config.hasSection(section));
    for (const String& key : config.keys(section)) {
      require(config.has(section, key));
      const String value = config.get<String>(section, key);
      require(!value.isEmpty());
      readAll(config, section, key);
    }
  }
  for (const wchar_t* section : {L"Server", L"a", L""})
    for (const wchar_t* key : {L"Port", L"x", L""})
      readAll(config, section, key);
}

// With every section given once, the readers find what Config lists.
void compareWithReaders(Archive* archive) {
  Config config;
  ConfigError error;
  archive->setPosition(0);
  if (!config.read(archive, error)) return;
  // Count the headers: Config merges sections given twice, the readers take the first.
  archive->setPosition(0);
  TextReader reader(archive, TextReader::Utf8);
  String line;
  std::size_t headers = 0;
  while (reader.readLine(line)) {
    line.trim();
    if (line[0] == L'[') ++headers;
  }
  if (headers != config.sections().size()) return;
  for (const String& section : config.sections())
    for (const String& key : config.keys(section))
      require(getConfigString(archive, section, key, L"\x01") == config.get<String>(section, key));
}

// Sections, keys and values in order, to compare two configurations exactly.
std::wstring contentOf(const Config& config) {
  std::wstring out;
  for (const String& section : config.sections()) {
    out += L'[';
    out.append(section.getBuffer(), static_cast<std::size_t>(section.getLength()));
    out += L']';
    for (const String& key : config.keys(section)) {
      const String value = config.get<String>(section, key);
      out.append(key.getBuffer(), static_cast<std::size_t>(key.getLength()));
      out += L'=';
      out.append(value.getBuffer(), static_cast<std::size_t>(value.getLength()));
      out += L'\n';
    }
  }
  return out;
}

std::string written(const Config& config) {
  const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  ConfigError error;
  require(config.write(file.get(), error) && error.reason.isEmpty());
  std::string bytes(static_cast<std::size_t>(file->getArchiveSize()), '\0');
  file->setPosition(0);
  require(bytes.empty() ||
          file->read(&bytes[0], static_cast<int>(bytes.size())) == static_cast<int>(bytes.size()));
  return bytes;
}

// The configuration read back from its own text and from its own UTF-8 file is the same, and
// writing that gives the same text and bytes again.
void roundTrip(const Config& config, bool writable) {
  const String text = config.toString();
  Config fromText;
  ConfigError error;
  require(fromText.parse(text, error));
  require(contentOf(fromText) == contentOf(config));
  require(fromText.toString() == text);
  if (!writable) return;
  const std::string bytes = written(config);
  const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  if (!bytes.empty()) file->write(bytes.data(), static_cast<int>(bytes.size()));
  file->setPosition(0);
  Config fromFile;
  require(fromFile.read(file.get(), error));
  require(contentOf(fromFile) == contentOf(config));
  require(written(fromFile) == bytes);
  require(fromFile.toString() == text);
}

// The fuzz bytes taken in order; zeros once they are used up.
struct Bytes {
  const std::uint8_t* p;
  const std::uint8_t* end;
  std::uint8_t next() { return p < end ? *p++ : 0; }
  template <class T>
  T raw() {
    unsigned char bits[sizeof(T)] = {};
    for (unsigned char& b : bits)
      b = next();
    T value;
    std::memcpy(&value, bits, sizeof value);
    return value;
  }
};

// A short text of characters chosen by the bytes: ASCII as itself (U+0000, CR, LF, white space
// and punctuation included), others beyond the basic plane, lone surrogates or Latin-1.
String makeText(Bytes& bytes, int most) {
  std::wstring text;
  for (int n = bytes.next() % (most + 1); n > 0; --n) {
    const std::uint8_t b = bytes.next();
    if (b < 0x80) {
      text += static_cast<wchar_t>(b);
    } else if (b < 0x90) {
      const std::uint32_t c = 0x1F600 + (b & 0x0F) * 0x1111;  // up to U+2FFFF
      if (sizeof(wchar_t) == 2) {
        text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        text += static_cast<wchar_t>(c);
      }
    } else if (b < 0x98) {
      text += static_cast<wchar_t>(b & 1 ? 0xDC00 + b : 0xD800 + b);  // a surrogate alone
    } else {
      text += static_cast<wchar_t>(b);
    }
  }
  return String(text.c_str(), static_cast<int>(text.size()));
}

bool isToken(const String& key) {
  if (key.isEmpty()) return false;
  for (int i = 0; i < key.getLength(); ++i)
    if (!isTokenChar(key[i])) return false;
  return true;
}

// Whether a file can hold the text as it is: no U+0000 and no surrogate outside a pair.
bool encodable(const String& text) {
  const wchar_t* p = text.getBuffer();
  const wchar_t* const end = p + text.getLength();
  for (; p < end; ++p) {
    const std::uint32_t c = static_cast<std::uint32_t>(*p);
    if (c == 0 || c > 0x10FFFF) return false;
    if (c < 0xD800 || c > 0xDFFF) continue;
    if (sizeof(wchar_t) == 4 || c > 0xDBFF || p + 1 == end ||
        static_cast<std::uint32_t>(p[1]) < 0xDC00 || static_cast<std::uint32_t>(p[1]) > 0xDFFF)
      return false;
    ++p;
  }
  return true;
}

bool hasBreak(const String& text) {
  for (int i = 0; i < text.getLength(); ++i)
    if (text[i] == L'\n' || text[i] == L'\r') return true;
  return false;
}

// Sets one value and checks the outcome: refused (nothing changed) exactly when `fits` is
// false, otherwise found again by get.
template <class T, class Same>
void setOne(Config& config, const String& section, const String& key, const T& value, bool fits,
            Same same) {
  const std::wstring before = contentOf(config);
  const bool named = !hasBreak(section) && encodable(section) && isToken(key);
  try {
    config.set(section, key, value);
  } catch (const Exception&) {
    require(!(named && fits));
    require(contentOf(config) == before);
    return;
  }
  require(named && fits);
  require(config.hasSection(section));
  same(config);
}

void drive(const std::uint8_t* data, std::size_t size) {
  Bytes bytes{data, data + size};
  Config config;
  static const wchar_t* const kKeys[] = {L"k", L"K", L"key_1", L"a-b", L"", L"Port", L"x y"};
  for (int step = 0; step < 24 && bytes.p < bytes.end; ++step) {
    const std::uint8_t op = bytes.next();
    const String section = makeText(bytes, 3);
    const String key = kKeys[(op >> 3) % (sizeof kKeys / sizeof *kKeys)];
    switch (op & 7) {
      case 0:
      case 1: {
        const String value = makeText(bytes, 8);
        const int n = value.getLength();
        const bool fits = !hasBreak(value) && encodable(value) &&
                          (n == 0 || (!isSpace(value[0]) && !isSpace(value[n - 1])));
        setOne(config, section, key, value, fits, [&](const Config& c) {
          if (n == 0)
            require(!c.has(section, key));
          else
            require(c.get<String>(section, key) == value);
        });
        break;
      }
      case 2: {
        const double value = bytes.raw<double>();
        setOne(config, section, key, value, std::isfinite(value), [&](const Config& c) {
          const double back = c.get<double>(section, key);
          require(std::memcmp(&back, &value, sizeof back) == 0);  // -0.0 too
        });
        break;
      }
      case 3: {
        const float value = bytes.raw<float>();
        setOne(config, section, key, value, std::isfinite(value), [&](const Config& c) {
          const float back = c.get<float>(section, key);
          require(std::memcmp(&back, &value, sizeof back) == 0);
        });
        break;
      }
      case 4: {
        const long long value = bytes.raw<long long>();
        setOne(config, section, key, value, true,
               [&](const Config& c) { require(c.get<long long>(section, key) == value); });
        break;
      }
      case 5: {
        const unsigned long long value = bytes.raw<unsigned long long>();
        setOne(config, section, key, value, true,
               [&](const Config& c) { require(c.get<unsigned long long>(section, key) == value); });
        break;
      }
      case 6: {
        const short value = bytes.raw<short>();
        setOne(config, section, key, value, true,
               [&](const Config& c) { require(c.get<short>(section, key) == value); });
        break;
      }
      default: {
        const bool value = bytes.next() & 1;
        setOne(config, section, key, value, true,
               [&](const Config& c) { require(c.get<bool>(section, key) == value); });
        break;
      }
    }
  }
  roundTrip(config, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  if (size > 0) file->write(data, static_cast<int>(size));
  for (const wchar_t* section : {L"Server", L"a", L""})
    for (const wchar_t* key : {L"Port", L"x", L""})
      lookUp(file.get(), section, key);
  // Lines of the text reader's characters (a stray byte may read as a line feed).
  file->setPosition(0);
  TextReader reader(file.get(), TextReader::Utf8);
  String decoded;
  reader.read(decoded);
  std::size_t lines = 1;
  for (const wchar_t* c = decoded.getBuffer(); *c; ++c)
    lines += *c == L'\n';
  checkConfig(file.get(), lines);
  compareWithReaders(file.get());

  // Each byte is one character (ISO 8859-1); the text ends at the first zero byte.
  std::wstring text(data, data + size);
  text.resize(std::wcslen(text.c_str()));
  scan(text);

  // The same characters as wide text, which may hold what UTF-8 cannot: its text form reads
  // back the same whatever it holds.
  Config wide;
  ConfigError error;
  if (wide.parse(String(text.c_str(), static_cast<int>(text.size())), error))
    roundTrip(wide, false);
  drive(data, size);
  return 0;
}
