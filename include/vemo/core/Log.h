/// \file
/// Log: the library's one process-wide log.
///
/// Messages are formatted like String::format and handed to every registered LogListener, in
/// order of registration. Nothing is written anywhere by the library itself: where messages go
/// is the business of the listeners. Until the first addListener every call does nothing.
///
/// Dispatch is serialised by one recursive lock, so listeners need no lock of their own. A
/// message logged while another is being dispatched (a listener that logs) is dropped rather
/// than recursing, and an exception thrown by a listener is swallowed so the next one still
/// hears the message. Messages shorter than 512 characters are formatted without the heap.
///
/// A call with arguments takes the typed form, which checks each directive against its argument
/// (FormatArgs.h): Log::message(L"%s: %d", name, count) with name a String, a std::wstring or a
/// const wchar_t*, count any integer. A call without arguments is typed too: a directive prints
/// the marker of its missing argument ("%!s(missing)") and "%%" is one '%', so no text, however
/// hostile, reads memory that was never passed. Still, log outside text as
/// Log::message(L"%s", text), never as the format itself.
///
/// Ready listeners, each registered in one line:
///
/// \code
/// auto console = vemo::ScopedLogListener::make<vemo::ConsoleLogListener>();
/// auto file = vemo::ScopedLogListener::make<vemo::FileLogListener>(L"/var/log/app/app.log");
/// \endcode
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "vemo/core/Export.h"
#include "vemo/core/FormatArgs.h"
#include "vemo/core/String.h"

namespace vemo {

/// A destination for log messages. The application owns its listeners and must remove a
/// listener before destroying it.
/// Every operation has a body that does nothing (getName gives "", setparam false): a listener
/// overrides what it hears, e.g. `struct Errors : vemo::LogListener { int n = 0;
/// void error(const wchar_t*) override { ++n; } };`.
class VEMO_CORE_API LogListener {
 public:
  /// The name Log::getLogListener and Log::setparam find the listener by.
  virtual const wchar_t* getName() { return L""; }
  /// Takes the parameters of Log::setparam("name@parameters"); true when they were taken.
  virtual bool setparam(const wchar_t*) { return false; }
  ///@{
  /// Hears one formatted message of that level (the text has no trailing line end of its own
  /// unless the format gave one). Called with the log's lock held: a listener must not wait for
  /// another thread that logs.
  virtual void error(const wchar_t*) {}
  virtual void warning(const wchar_t*) {}
  virtual void message(const wchar_t*) {}
  virtual void debug(const wchar_t*) {}
  ///@}
  /// Reports the outcome of the step that the preceding message announced.
  virtual void whistle(bool) {}

 protected:
  ~LogListener() = default;
};

/// The four kinds of message, from the least to the most severe.
enum class LogLevel { kDebug, kMessage, kWarning, kError };

/// The process-wide log: every message goes to every registered listener, in order of
/// registration.
///
/// All operations may be called from any thread; dispatch is serialised by one lock.
class VEMO_CORE_API Log {
 public:
  Log() = delete;

  /// Appends a listener; null and listeners already registered are ignored.
  static void addListener(LogListener* listener);
  /// Removes a listener (a listener may remove itself or another while it is being called);
  /// one that is not registered is ignored. The listener may be destroyed once this returns.
  static void removeListener(LogListener* listener);
  /// The first listener whose getName() equals `name`, or null.
  static LogListener* getLogListener(const wchar_t* name);
  /// "name@parameter": calls setparam("parameter") on the listener called "name". False when
  /// there is no '@' or no such listener; otherwise the listener's answer.
  static bool setparam(const wchar_t* param);

  /// The typed forms: every argument checked against its directive (none: each directive prints
  /// the marker of a missing argument).
  ///@{
  static void error(const wchar_t* format) { log(LogLevel::kError, format); }
  static void warning(const wchar_t* format) { log(LogLevel::kWarning, format); }
  static void message(const wchar_t* format) { log(LogLevel::kMessage, format); }
  static void debug(const wchar_t* format) { log(LogLevel::kDebug, format); }
  template <class A0, class... A>
  static void error(const wchar_t* format, const A0& first, const A&... rest) {
    log(LogLevel::kError, format, first, rest...);
  }
  template <class A0, class... A>
  static void warning(const wchar_t* format, const A0& first, const A&... rest) {
    log(LogLevel::kWarning, format, first, rest...);
  }
  template <class A0, class... A>
  static void message(const wchar_t* format, const A0& first, const A&... rest) {
    log(LogLevel::kMessage, format, first, rest...);
  }
  template <class A0, class... A>
  static void debug(const wchar_t* format, const A0& first, const A&... rest) {
    log(LogLevel::kDebug, format, first, rest...);
  }
  ///@}
  /// A message of the given level; without arguments the format is checked too ("%!s(missing)").
  template <class... A>
  static void log(LogLevel level, const wchar_t* format, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
      vlog(level, format, FormatArgs{nullptr, 0});
    } else {
      const FormatArg list[] = {makeFormatArg(args)...};
      vlog(level, format, FormatArgs{list, sizeof...(A)});
    }
  }
  /// A message of the given level with a list of typed arguments (FormatArgs.h).
  static void vlog(LogLevel level, const wchar_t* format, const FormatArgs& args);

  /// The C forms: arguments read as the directives say, unchecked. (Templates only so that a call
  /// without arguments takes the typed form above.)
  ///@{
  template <class = void>
  static void error(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    vlogList(LogLevel::kError, format, args);
    va_end(args);
  }
  template <class = void>
  static void warning(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    vlogList(LogLevel::kWarning, format, args);
    va_end(args);
  }
  template <class = void>
  static void message(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    vlogList(LogLevel::kMessage, format, args);
    va_end(args);
  }
  template <class = void>
  static void debug(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    vlogList(LogLevel::kDebug, format, args);
    va_end(args);
  }
  ///@}
  /// A message of the given level with C arguments, read as the directives say.
  static void vlogList(LogLevel level, const wchar_t* format, va_list args);
  /// Tells every listener the outcome of the step the preceding message announced
  /// (LogListener::whistle).
  static void whistle(bool ok);
};

/// A listener registered while it lives: either one the caller keeps (not owned), or one it made
/// with make<L>(arguments) and deletes when it goes. Moving hands the registration on.
class VEMO_CORE_API ScopedLogListener {
 public:
  /// Registers `listener`, which the caller keeps alive until this object is gone.
  explicit ScopedLogListener(LogListener& listener);
  /// Makes an L from `args` and registers it; it is removed and deleted with this object.
  template <class L, class... Args>
  static ScopedLogListener make(Args&&... args) {
    // Made and destroyed as exactly an L, so that L needs no virtual destructor.
    std::allocator<L> allocator;
    L* listener = allocator.allocate(1);
    try {
      ::new (static_cast<void*>(listener)) L(std::forward<Args>(args)...);
    } catch (...) {
      allocator.deallocate(listener, 1);
      throw;
    }
    return ScopedLogListener(listener, [](LogListener* owned) {
      L* made = static_cast<L*>(owned);
      made->L::~L();
      std::allocator<L>().deallocate(made, 1);
    });
  }
  ///@{
  /// Takes over the other's registration (the other then holds none); assignment first ends
  /// this object's own.
  ScopedLogListener(ScopedLogListener&& other) noexcept;
  ScopedLogListener& operator=(ScopedLogListener&& other) noexcept;
  ///@}
  ScopedLogListener(const ScopedLogListener&) = delete;
  ScopedLogListener& operator=(const ScopedLogListener&) = delete;
  ~ScopedLogListener();

  /// The registered listener; null after a move.
  LogListener* get() const noexcept { return _listener; }

 private:
  using Destroy = void (*)(LogListener*);
  ScopedLogListener(LogListener* listener, Destroy destroy);
  void reset() noexcept;

  LogListener* _listener;
  Destroy _destroy;
};

/// What the ready listeners write, one line per line of a message, in a fixed layout:
///
/// \code
/// 2024-05-01 12:34:56.789 [4711] warning Disk almost full
/// \endcode
///
/// the time stamp (timeStamp: local time, or UTC with utc), the thread id (threadId:
/// Thread::getCurrentThreadId) and the level (levelName: "error  ", "warning", "message" or
/// "debug  "), each followed by one space, then the text and the platform's line end ("\r\n" on
/// Windows, "\n" elsewhere). One line end that closes the text is dropped; a text of several lines
/// gives several lines, each with the whole layout. whistle(ok) writes "ok" as a message or
/// "failed" as an error.
struct LogOptions {
  LogLevel minimumLevel = LogLevel::kDebug;  ///< messages below it are not written
  bool timeStamp = true;                     ///< write the time stamp
  bool utc = false;                          ///< the time stamp in UTC instead of local time
  bool threadId = false;                     ///< write the thread id
  bool levelName = true;                     ///< write the level's name
  /// The clock of the time stamps, in milliseconds since 1970-01-01 00:00:00 UTC; null for the
  /// system's (tests give a fixed one).
  std::int64_t (*clock)() = nullptr;
};

/// \page log_parameters Parameters of the ready log listeners
/// ConsoleLogListener and FileLogListener take Log::setparam("<name>@<parameters>"):
/// comma-separated settings, all applied or none: "level=error|warning|message|debug",
/// "time=on|off", "utc=on|off", "thread=on|off", "levelname=on|off".

/// A listener that writes to the standard error, named "console".
///
/// On a terminal the lines take the level's colour (errors red, warnings
/// yellow, debug dim; not where NO_COLOR is set or TERM is "dumb"), and, when the standard error
/// is the journal's stream (JOURNAL_STREAM names its device and inode), with the journal's
/// priority prefix on every line: "<3>" error, "<4>" warning, "<6>" message, "<7>" debug, and
/// without the listener's own time stamp (the journal has one; "time=on" brings it back). Which
/// of these applies is decided when the listener is made.
class VEMO_CORE_API ConsoleLogListener final : public LogListener {
 public:
  /// The layout and the colours.
  struct Options : LogOptions {
    bool colours = true;               ///< on a terminal
    const wchar_t* name = L"console";  ///< the name getName() gives
  };
  ///@{
  /// With the default options, or with `options`.
  ConsoleLogListener();
  explicit ConsoleLogListener(const Options& options);
  ///@}
  ~ConsoleLogListener();
  ConsoleLogListener(const ConsoleLogListener&) = delete;
  ConsoleLogListener& operator=(const ConsoleLogListener&) = delete;

  ///@{
  /// Messages below this level are not written.
  void setMinimumLevel(LogLevel level);
  LogLevel getMinimumLevel() const;
  ///@}
  /// True when the lines carry the journal's priority prefixes.
  bool isJournal() const;

  const wchar_t* getName() override;
  bool setparam(const wchar_t* param) override;
  void error(const wchar_t* text) override;
  void warning(const wchar_t* text) override;
  void message(const wchar_t* text) override;
  void debug(const wchar_t* text) override;
  void whistle(bool ok) override;

 private:
  class Impl;
  Impl* _impl;
};

/// A listener that appends to a UTF-8 file, named "file", rotating it by size.
///
/// The file is created private to its user (mode 0600 on POSIX, an access list of
/// the user alone on Windows); a link (or any other non-regular file, or one of another user) in
/// its place is refused, never followed. When a line would take the file past `maxBytes`, the file
/// is rotated first: name.log becomes name.1.log, name.1.log name.2.log and so on, keeping
/// `maxFiles` files in all (the oldest goes), and a new name.log is begun; maxBytes 0 never
/// rotates. A file that cannot be opened or written is reported once on the standard error, and
/// tried again with each later message; when it can be written again, the number of messages
/// lost is written first.
class VEMO_CORE_API FileLogListener final : public LogListener {
 public:
  /// The layout and the rotation.
  struct Options : LogOptions {
    std::int64_t maxBytes = 10 * 1024 * 1024;  ///< the size that starts a new file; 0: never
    int maxFiles = 5;                          ///< files kept in all, the current one included
    const wchar_t* name = L"file";             ///< the name getName() gives
  };
  ///@{
  /// Appends to the file at `path`, with the default options or with `options`.
  explicit FileLogListener(const String& path);
  FileLogListener(const String& path, const Options& options);
  ///@}
  ~FileLogListener();
  FileLogListener(const FileLogListener&) = delete;
  FileLogListener& operator=(const FileLogListener&) = delete;

  ///@{
  /// Messages below this level are not written.
  void setMinimumLevel(LogLevel level);
  LogLevel getMinimumLevel() const;
  ///@}
  /// The rotated name of generation n (0: the file itself): "app.log" gives "app.2.log" for 2.
  String getFileName(int generation) const;

  const wchar_t* getName() override;
  bool setparam(const wchar_t* param) override;
  void error(const wchar_t* text) override;
  void warning(const wchar_t* text) override;
  void message(const wchar_t* text) override;
  void debug(const wchar_t* text) override;
  void whistle(bool ok) override;

 private:
  class Impl;
  Impl* _impl;
};

}  // namespace vemo
