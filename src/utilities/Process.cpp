#include "vemo/core/Process.h"

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace vemo {
namespace {

bool isBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

// Writes argument texts when given room, and counts them either way.
class ArgumentWriter {
 public:
  ArgumentWriter(wchar_t** argv, wchar_t* args) : _argv(argv), _args(args) {}
  void begin() {
    if (_argv) _argv[_arguments] = _args ? _args + _characters : nullptr;
    ++_arguments;
  }
  void put(wchar_t c) {
    if (_args) _args[_characters] = c;
    ++_characters;
  }
  void finish() {
    if (_argv) _argv[_arguments] = nullptr;
  }
  int arguments() const { return _arguments; }
  int characters() const { return _characters; }

 private:
  wchar_t** _argv;
  wchar_t* _args;
  int _arguments = 0;
  int _characters = 0;
};

void split(const wchar_t* p, ArgumentWriter& out) {
  if (!p) p = L"";
  // The program name: quotes toggle, backslashes are plain characters.
  out.begin();
  for (bool quoted = false; *p && (quoted || !isBlank(*p)); ++p) {
    if (*p == L'"')
      quoted = !quoted;
    else
      out.put(*p);
  }
  out.put(0);
  for (;;) {
    while (isBlank(*p))
      ++p;
    if (!*p) break;
    out.begin();
    bool quoted = false;
    while (*p && (quoted || !isBlank(*p))) {
      int backslashes = 0;
      while (p[backslashes] == L'\\')
        ++backslashes;
      if (p[backslashes] == L'"') {
        for (int i = 0; i < backslashes / 2; ++i)
          out.put(L'\\');
        p += backslashes;
        if (backslashes % 2) {
          out.put(L'"');
        } else if (quoted && p[1] == L'"') {
          out.put(L'"');  // "" inside quotes: one literal quote, and quoting ends
          ++p;
          quoted = false;
        } else {
          quoted = !quoted;
        }
        ++p;
      } else if (backslashes) {
        for (int i = 0; i < backslashes; ++i)
          out.put(L'\\');
        p += backslashes;
      } else {
        out.put(*p++);
      }
    }
    out.put(0);
  }
  out.finish();
}

// Leading blanks, a sign and digits, saturating like the C library's conversions.
long long leadingInteger(const String& text) {
  return std::wcstoll(text.getBuffer(), nullptr, 10);
}

}  // namespace

void parseArguments(const wchar_t* commandLine, wchar_t** argv, wchar_t* args, int* argumentCount,
                    int* characterCount) {
  ArgumentWriter writer(argv, args);
  split(commandLine, writer);
  if (argumentCount) *argumentCount = writer.arguments() + 1;
  if (characterCount) *characterCount = writer.characters();
}

void parseArguments(const wchar_t* commandLine, wchar_t**& argv, int& argc) {
  int slots = 0, characters = 0;
  parseArguments(commandLine, nullptr, nullptr, &slots, &characters);
  void* block = std::malloc(static_cast<std::size_t>(slots) * sizeof(wchar_t*) +
                            static_cast<std::size_t>(characters) * sizeof(wchar_t));
  argv = static_cast<wchar_t**>(block);
  argc = slots - 1;
  if (!block) return;
  parseArguments(commandLine, argv, reinterpret_cast<wchar_t*>(argv + slots), nullptr, nullptr);
}

String parseArgumentString(const wchar_t* commandLine, const wchar_t* name,
                           const wchar_t* defaultValue) {
  int slots = 0, characters = 0;
  parseArguments(commandLine, nullptr, nullptr, &slots, &characters);
  std::vector<wchar_t*> argv(static_cast<std::size_t>(slots));
  std::vector<wchar_t> args(static_cast<std::size_t>(characters));
  parseArguments(commandLine, argv.data(), args.data(), nullptr, nullptr);
  const std::size_t nameLength = name ? std::wcslen(name) : 0;
  for (int i = 0; i + 1 < slots; ++i) {
    const wchar_t* argument = argv[static_cast<std::size_t>(i)];
    if (std::wcsncmp(argument, name ? name : L"", nameLength) != 0) continue;
    const wchar_t* p = argument + nameLength;
    while (isBlank(*p))
      ++p;
    if (*p == L'=') return String(p + 1);
  }
  return String(defaultValue);
}

int parseArgumentInt(const wchar_t* commandLine, const wchar_t* name, int defaultValue) {
  const String text = parseArgumentString(commandLine, name, L"");
  if (text.isEmpty()) return defaultValue;
  const long long value = leadingInteger(text);
  return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

__int64 parseArgumentInt64(const wchar_t* commandLine, const wchar_t* name, __int64 defaultValue) {
  const String text = parseArgumentString(commandLine, name, L"");
  return text.isEmpty() ? defaultValue : leadingInteger(text);
}

}  // namespace vemo
