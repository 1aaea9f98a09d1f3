#include "vemo/core/Process.h"

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <utility>
#include <vector>

#include "Process.h"

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

bool isDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// The index of the last `c` in `text`, or -1.
int lastIndexOf(const String& text, wchar_t c) {
  const wchar_t* chars = text.getBuffer();
  for (int i = text.getLength() - 1; i >= 0; --i)
    if (chars[i] == c) return i;
  return -1;
}

class SubdirectoryLister final : public detail::DirectoryVisitor {
 public:
  explicit SubdirectoryLister(std::vector<String>& names) : _names(names) {}
  bool visit(const wchar_t* name, unsigned kinds) override {
    if ((kinds & (detail::kEntryHidden | detail::kEntryDirectory)) == detail::kEntryDirectory &&
        !isDotOrDotDot(name))
      _names.emplace_back(name);
    return true;
  }

 private:
  std::vector<String>& _names;
};

// One directory of scanFiles: reports its files and remembers its subdirectories.
class FileScanner final : public detail::DirectoryVisitor {
 public:
  FileScanner(const CallbackHandler<bool, const String&>& handler, const wchar_t** extensions,
              bool recursive)
      : _handler(handler),
        _extensions(extensions && extensions[0] ? extensions : nullptr),
        _recursive(recursive) {}

  // False when the handler ended the scan of this directory.
  bool scan(const String& directory, std::vector<String>& subdirectories) {
    _directory = &directory;
    _subdirectories = &subdirectories;
    _stopped = false;
    detail::enumerateDirectory(directory, *this);
    return !_stopped;
  }

  bool visit(const wchar_t* name, unsigned kinds) override {
    if (kinds & detail::kEntryHidden) return true;
    if (kinds & detail::kEntryDirectory) {
      if (_recursive && !isDotOrDotDot(name)) {
        String subdirectory = *_directory + name;
        subdirectory += L'/';
        _subdirectories->push_back(std::move(subdirectory));
      }
      return true;
    }
    if (!(kinds & detail::kEntryFile)) return true;
    if (!_extensions) return report(*_directory + name);
    const wchar_t* dot = std::wcsrchr(name, L'.');
    if (!dot) return true;
    const String extension(dot + 1);
    String path;
    for (const wchar_t** e = _extensions; *e; ++e) {
      if (extension.compareNoCase(*e) != 0) continue;
      if (path.isEmpty()) path = *_directory + name;
      if (!report(path)) return false;
    }
    return true;
  }

 private:
  bool report(const String& path) {
    if (_handler(path)) return true;
    _stopped = true;
    return false;
  }

  const CallbackHandler<bool, const String&>& _handler;
  const wchar_t** _extensions;
  bool _recursive;
  const String* _directory = nullptr;
  std::vector<String>* _subdirectories = nullptr;
  bool _stopped = false;
};

// Collects the paths that the list form of scanFiles reports.
class ScanFiles {
 public:
  explicit ScanFiles(std::list<String>& files) : _files(files) {}
  bool add(const String& path) {
    _files.push_back(path);
    return true;
  }

 private:
  std::list<String>& _files;
};

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

String getAppPath() {
  const String name = getAppName();
  const int slash = lastIndexOf(name, L'/');
  return slash < 0 ? name : name.getSubString(0, slash + 1);
}

void createDirectory(const String& path, const String& base) {
  String rest = path;
  String prefix = base;
  while (!rest.isEmpty()) {
    const int slash = rest.find(L'/');
    const String part = slash < 0 ? rest : rest.getSubString(0, slash);
    detail::makeDirectory(prefix + part);
    if (slash < 0) break;
    prefix += part;
    prefix += L'/';
    rest = rest.getSubString(slash + 1);
  }
}

void scanDirectories(const String& directory, std::vector<String>& names) {
  SubdirectoryLister lister(names);
  detail::enumerateDirectory(directory, lister);
}

// Depth first without recursion, so that deep trees do not use up the stack: each level holds
// the subdirectories still to visit of one directory, in the order they were listed.
void scanFiles(const CallbackHandler<bool, const String&>& handler, const String& directory,
               const wchar_t** extensions, bool recursive) {
  if (handler.isNull()) return;
  struct Level {
    std::vector<String> subdirectories;
    std::size_t next = 0;
  };
  FileScanner scanner(handler, extensions, recursive);
  std::vector<Level> levels(1);
  if (!scanner.scan(directory, levels[0].subdirectories)) return;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.subdirectories.size()) {
      levels.pop_back();
      continue;
    }
    const String subdirectory = std::move(level.subdirectories[level.next++]);
    Level inner;
    if (scanner.scan(subdirectory, inner.subdirectories) && !inner.subdirectories.empty())
      levels.push_back(std::move(inner));
  }
}

void scanFiles(std::list<String>& files, const String& directory, const wchar_t** extensions,
               bool recursive) {
  ScanFiles collector(files);
  const CallbackHandler<bool, const String&> handler(
      new CallbackClassReference<bool, const String&, ScanFiles, const String&>(&collector,
                                                                                &ScanFiles::add));
  scanFiles(handler, directory, extensions, recursive);
}

}  // namespace vemo
