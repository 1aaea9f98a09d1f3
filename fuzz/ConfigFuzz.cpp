// Arbitrary bytes as a configuration file in memory through the configuration readers and
// Config, and as text through the string scanners. A value is either found (then the same
// whatever the default, non-empty, trimmed and on one line) or every reader gives its default.
// Config either refuses the text with a line inside it, keeping what it held, or lists sections
// and keys whose values the readers find too (where no section is given twice), and reads each
// value as every type without anything but its own Exception.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
  return 0;
}
