// The ready log listeners: one to the standard error, one to a rotated file.
//
// Both are called by the log one message at a time under its lock; their settings may change
// from other threads meanwhile (atomics). They never log: what goes wrong with their own output
// is written to the standard error directly.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "Charset.h"
#include "LogListeners.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Thread.h"

namespace vemo {
namespace {

#if defined(_WIN32)
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

const char* const kLevelNames[] = {"debug  ", "message", "warning", "error  "};
// Errors bold red, warnings yellow, debug dim; messages in the terminal's own colours.
const char* const kAnsiColours[] = {"\x1b[2m", "", "\x1b[33m", "\x1b[1;31m"};
constexpr char kAnsiReset[] = "\x1b[0m";

int levelIndex(LogLevel level) {
  return static_cast<int>(level);
}

// The settings of a listener's lines, changed by setparam while other threads may log.
class Layout {
 public:
  explicit Layout(const LogOptions& options)
      : _minimumLevel(levelIndex(options.minimumLevel)),
        _timeStamp(options.timeStamp),
        _utc(options.utc),
        _threadId(options.threadId),
        _levelName(options.levelName),
        _clock(options.clock) {}

  bool admits(LogLevel level) const {
    return levelIndex(level) >= _minimumLevel.load(std::memory_order_relaxed);
  }
  void setTimeStamp(bool on) { _timeStamp.store(on, std::memory_order_relaxed); }
  void setMinimumLevel(LogLevel level) {
    _minimumLevel.store(levelIndex(level), std::memory_order_relaxed);
  }
  LogLevel minimumLevel() const {
    return static_cast<LogLevel>(_minimumLevel.load(std::memory_order_relaxed));
  }

  // "level=warning,time=off": every setting is checked before any is applied.
  bool apply(const wchar_t* param) {
    if (!param) return false;
    int level = _minimumLevel.load();
    bool time = _timeStamp.load(), utc = _utc.load(), thread = _threadId.load(),
         levelName = _levelName.load();
    const std::wstring text(param);
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find(L',', start);
      if (end == std::wstring::npos) end = text.size();
      const std::wstring item = text.substr(start, end - start);
      const std::size_t equals = item.find(L'=');
      if (equals == std::wstring::npos) return false;
      const std::wstring key = item.substr(0, equals), value = item.substr(equals + 1);
      if (key == L"level") {
        static const wchar_t* const kNames[] = {L"debug", L"message", L"warning", L"error"};
        const auto found = std::find_if(std::begin(kNames), std::end(kNames),
                                        [&value](const wchar_t* name) { return value == name; });
        if (found == std::end(kNames)) return false;
        level = static_cast<int>(found - std::begin(kNames));
      } else {
        bool on;
        if (value == L"on")
          on = true;
        else if (value == L"off")
          on = false;
        else
          return false;
        if (key == L"time")
          time = on;
        else if (key == L"utc")
          utc = on;
        else if (key == L"thread")
          thread = on;
        else if (key == L"levelname")
          levelName = on;
        else
          return false;
      }
      start = end + 1;
    }
    _minimumLevel = level;
    _timeStamp = time;
    _utc = utc;
    _threadId = thread;
    _levelName = levelName;
    return true;
  }

  bool timeStamp() const { return _timeStamp.load(std::memory_order_relaxed); }
  bool utc() const { return _utc.load(std::memory_order_relaxed); }
  bool threadId() const { return _threadId.load(std::memory_order_relaxed); }
  bool levelName() const { return _levelName.load(std::memory_order_relaxed); }
  std::int64_t now() const {
    if (_clock) return _clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

 private:
  std::atomic<int> _minimumLevel;
  std::atomic<bool> _timeStamp, _utc, _threadId, _levelName;
  std::int64_t (*_clock)();
};

// Builds the bytes of one message: each of its lines with the layout in front. The buffer is kept
// from message to message, so that writing allocates only for a longer text than any before.
class RecordBuilder {
 public:
  // `prefix` and `colour` go before each line (the journal's priority, a colour sequence), and
  // `reset` after it when a colour was given.
  const std::string& build(const Layout& layout, LogLevel level, const wchar_t* text,
                           const char* prefix, const char* colour) {
    _bytes.clear();
    char head[96];
    std::size_t headLength = 0;
    if (layout.timeStamp()) headLength += stamp(layout, head);
    if (layout.threadId()) {
      const int n = std::snprintf(head + headLength, sizeof head - headLength, "[%lu] ",
                                  Thread::getCurrentThreadId());
      if (n > 0) headLength += static_cast<std::size_t>(n);
    }
    if (layout.levelName()) {
      std::memcpy(head + headLength, kLevelNames[levelIndex(level)], 7);
      head[headLength + 7] = ' ';
      headLength += 8;
    }
    if (!text) text = L"";
    std::size_t length = std::wcslen(text);
    if (length > 0 && text[length - 1] == L'\n') --length;  // the line end of the text itself
    const wchar_t* line = text;
    const wchar_t* const end = text + length;
    for (;;) {
      const wchar_t* stop = std::find(line, end, L'\n');
      std::size_t units = static_cast<std::size_t>(stop - line);
      if (units > 0 && line[units - 1] == L'\r') --units;
      _bytes += prefix;
      _bytes += colour;
      _bytes.append(head, headLength);
      const std::size_t at = _bytes.size();
      _bytes.resize(at + 4 * units);  // UTF-8 takes at most 4 bytes per wide unit
      const std::size_t n =
          detail::wideToUtf8(line, units, reinterpret_cast<unsigned char*>(&_bytes[at]), 4 * units);
      _bytes.resize(at + n);
      if (*colour) _bytes += kAnsiReset;
      _bytes += kLineEnd;
      if (stop == end) break;
      line = stop + 1;
    }
    return _bytes;
  }

 private:
  // "2024-05-01 12:34:56.789 " into `out`; the date and time are converted once per second.
  std::size_t stamp(const Layout& layout, char* out) {
    const std::int64_t now = layout.now();
    std::int64_t seconds = now / 1000;
    int milliseconds = static_cast<int>(now % 1000);
    if (milliseconds < 0) {
      milliseconds += 1000;
      --seconds;
    }
    const bool utc = layout.utc();
    if (seconds != _second || utc != _secondUtc || !_secondValid) {
      std::tm fields{};
      _secondValid = detail::breakDownTime(seconds, utc, fields);
      if (!_secondValid) fields = std::tm{};
      std::snprintf(_secondText, sizeof _secondText, "%04d-%02d-%02d %02d:%02d:%02d",
                    fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                    fields.tm_min, fields.tm_sec);
      _second = seconds;
      _secondUtc = utc;
    }
    // 24 characters; no more than the 31 that fit, even for years of more than four digits.
    const int n = std::snprintf(out, 32, "%s.%03d ", _secondText, milliseconds);
    return n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), 31) : 0;
  }

  std::string _bytes;
  std::int64_t _second = 0;
  bool _secondUtc = false, _secondValid = false;
  char _secondText[48] = {};
};

bool colourAllowed() {
  const char* noColour = std::getenv("NO_COLOR");
  if (noColour && *noColour) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::strcmp(term, "dumb") == 0);
}

void reportOnStandardError(const String& text) {
  const String_T<char> bytes = StringHelper::wideToUtf8(text.getBuffer());
  detail::writeStandardError(bytes.getBuffer(),
                             static_cast<std::size_t>(bytes.end() - bytes.begin()),
                             LogLevel::kError, false);
}

}  // namespace

const char* detail::journalPrefix(LogLevel level) {
  static const char* const prefixes[] = {"<7>", "<6>", "<4>", "<3>"};
  return prefixes[levelIndex(level)];
}

// ---- ConsoleLogListener -------------------------------------------------------------------

class ConsoleLogListener::Impl {
 public:
  explicit Impl(const Options& options)
      : _name(options.name ? options.name : L""), _layout(options) {
    const detail::StandardErrorKind kind = detail::inspectStandardError();
    _journal = kind.journal;
    // The journal stamps every line with its own time: a second stamp is left out ("time=on"
    // brings it back).
    if (_journal) _layout.setTimeStamp(false);
    const bool colour = options.colours && !kind.journal && colourAllowed();
    _ansi = colour && kind.ansiTerminal;
    _consoleColour = colour && kind.console;
  }

  void write(LogLevel level, const wchar_t* text) {
    if (!_layout.admits(level)) return;
    const int index = levelIndex(level);
    const std::string& record =
        _builder.build(_layout, level, text, _journal ? detail::journalPrefix(level) : "",
                       _ansi ? kAnsiColours[index] : "");
    detail::writeStandardError(record.data(), record.size(), level, _consoleColour);
  }

  String _name;
  Layout _layout;
  RecordBuilder _builder;
  bool _journal = false, _ansi = false, _consoleColour = false;
};

ConsoleLogListener::ConsoleLogListener() : ConsoleLogListener(Options()) {}
ConsoleLogListener::ConsoleLogListener(const Options& options) : _impl(new Impl(options)) {}
ConsoleLogListener::~ConsoleLogListener() {
  delete _impl;
}
void ConsoleLogListener::setMinimumLevel(LogLevel level) {
  _impl->_layout.setMinimumLevel(level);
}
LogLevel ConsoleLogListener::getMinimumLevel() const {
  return _impl->_layout.minimumLevel();
}
bool ConsoleLogListener::isJournal() const {
  return _impl->_journal;
}
const wchar_t* ConsoleLogListener::getName() {
  return _impl->_name.getBuffer();
}
bool ConsoleLogListener::setparam(const wchar_t* param) {
  return _impl->_layout.apply(param);
}
void ConsoleLogListener::error(const wchar_t* text) {
  _impl->write(LogLevel::kError, text);
}
void ConsoleLogListener::warning(const wchar_t* text) {
  _impl->write(LogLevel::kWarning, text);
}
void ConsoleLogListener::message(const wchar_t* text) {
  _impl->write(LogLevel::kMessage, text);
}
void ConsoleLogListener::debug(const wchar_t* text) {
  _impl->write(LogLevel::kDebug, text);
}
void ConsoleLogListener::whistle(bool ok) {
  _impl->write(ok ? LogLevel::kMessage : LogLevel::kError, ok ? L"ok" : L"failed");
}

// ---- FileLogListener ----------------------------------------------------------------------

class FileLogListener::Impl {
 public:
  Impl(const String& path, const Options& options)
      : _path(path),
        _name(options.name ? options.name : L""),
        _layout(options),
        _maxBytes(options.maxBytes > 0 ? options.maxBytes : 0),
        _maxFiles(options.maxFiles > 1 ? options.maxFiles : 1) {
    // "dir/app.log" rotates to "dir/app.1.log"; a name without an extension to "dir/app.1".
    const int length = _path.getLength();
    int slash = -1;
    for (int i = 0; i < length; ++i)
      if (_path[i] == L'/' || _path[i] == L'\\') slash = i;
    int dot = -1;
    for (int i = length - 1; i > slash + 1; --i)
      if (_path[i] == L'.') {
        dot = i;
        break;
      }
    _stem = dot < 0 ? _path : _path.getSubString(0, dot);
    _extension = dot < 0 ? String() : _path.getSubString(dot);
  }

  String fileName(int generation) const {
    if (generation <= 0) return _path;
    String name;
    name.format(L"%s.%d%s", _stem, generation, _extension);
    return name;
  }

  void write(LogLevel level, const wchar_t* text) {
    if (!_layout.admits(level)) return;
    const std::string& record = _builder.build(_layout, level, text, "", "");
    // A file removed under the listener (its directory removed and made again, say) is opened
    // anew by its name.
    if (_file.isOpen() && _file.unlinked()) _file.close();
    if (!_file.isOpen() && !open()) {
      ++_lost;
      return;
    }
    if (_lost > 0) {
      // The notice is a record of its own, within the limit like any other.
      String notice;
      notice.format(L"%I64u log messages were lost while the file could not be written", _lost);
      RecordBuilder builder;
      const std::string& lines =
          builder.build(_layout, LogLevel::kWarning, notice.getBuffer(), "", "");
      if (!putWithin(lines)) {
        ++_lost;
        return;
      }
      _lost = 0;
    }
    if (!putWithin(record)) ++_lost;
  }

  // Writes one record, rotating first when it would take the file past its limit.
  bool putWithin(const std::string& bytes) {
    if (_maxBytes > 0 && _size > 0 && _size + static_cast<std::int64_t>(bytes.size()) > _maxBytes) {
      rotate();
      if (!_file.isOpen() && !open()) return false;
    }
    return put(bytes);
  }

  String _path, _stem, _extension, _name;
  Layout _layout;
  RecordBuilder _builder;
  std::int64_t _maxBytes;
  int _maxFiles;
  detail::LogFile _file;
  std::int64_t _size = 0;
  unsigned long long _lost = 0;  // messages not written since the file last failed
  bool _reported = false;        // the failure has been reported on the standard error
  bool _rotationReported = false;

 private:
  bool open() {
    String error;
    if (!_file.open(_path, error)) {
      fail(error);
      return false;
    }
    _size = _file.openedSize();
    return true;
  }

  bool put(const std::string& bytes) {
    String error;
    if (!_file.write(bytes.data(), bytes.size(), error)) {
      // A record is written whole or not at all: what part of it went in is cut off again.
      String ignored;
      _file.truncate(_size, ignored);
      _file.close();  // opened again with the next message
      fail(error);
      return false;
    }
    _size += static_cast<std::int64_t>(bytes.size());
    _reported = false;
    return true;
  }

  // The oldest generation goes, each other one moves up by one, and the file begins anew.
  void rotate() {
    _file.close();
    String error;
    bool ok = true;
    if (_maxFiles == 1) {
      ok = detail::removeLogFile(_path, error);
    } else {
      for (int generation = _maxFiles - 1; generation >= 1 && ok; --generation)
        ok = detail::renameLogFile(fileName(generation - 1), fileName(generation), error);
    }
    if (ok) {
      _rotationReported = false;
      return;
    }
    // Something in the way of a generation (another user's file or directory, say) would keep
    // the file growing without bound: it is emptied instead, so that it never passes its limit
    // and the rotation is tried again only when it is full again.
    String truncateError;
    const bool emptied = open() && _file.truncate(0, truncateError);
    if (emptied) _size = 0;
    if (!_rotationReported) {
      String text;
      if (emptied)
        text.format(L"vemo: log file %s cannot be rotated (%s); it is emptied at its limit\n",
                    _path, error);
      else
        text.format(L"vemo: log file %s cannot be rotated (%s); it grows past its limit\n", _path,
                    error);
      reportOnStandardError(text);
      _rotationReported = true;
    }
  }

  void fail(const String& error) {
    if (_reported) return;
    String text;
    text.format(L"vemo: log file %s cannot be written (%s); its messages are lost until it can\n",
                _path, error);
    reportOnStandardError(text);
    _reported = true;
  }
};

FileLogListener::FileLogListener(const String& path) : FileLogListener(path, Options()) {}
FileLogListener::FileLogListener(const String& path, const Options& options)
    : _impl(new Impl(path, options)) {}
FileLogListener::~FileLogListener() {
  delete _impl;
}
void FileLogListener::setMinimumLevel(LogLevel level) {
  _impl->_layout.setMinimumLevel(level);
}
LogLevel FileLogListener::getMinimumLevel() const {
  return _impl->_layout.minimumLevel();
}
String FileLogListener::getFileName(int generation) const {
  return _impl->fileName(generation);
}
const wchar_t* FileLogListener::getName() {
  return _impl->_name.getBuffer();
}
bool FileLogListener::setparam(const wchar_t* param) {
  return _impl->_layout.apply(param);
}
void FileLogListener::error(const wchar_t* text) {
  _impl->write(LogLevel::kError, text);
}
void FileLogListener::warning(const wchar_t* text) {
  _impl->write(LogLevel::kWarning, text);
}
void FileLogListener::message(const wchar_t* text) {
  _impl->write(LogLevel::kMessage, text);
}
void FileLogListener::debug(const wchar_t* text) {
  _impl->write(LogLevel::kDebug, text);
}
void FileLogListener::whistle(bool ok) {
  _impl->write(ok ? LogLevel::kMessage : LogLevel::kError, ok ? L"ok" : L"failed");
}

}  // namespace vemo
