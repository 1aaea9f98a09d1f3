// The platform side of the ready log listeners (LogListeners_<os>.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "vemo/core/Log.h"
#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// What the standard error is, as seen when a console listener is made.
struct StandardErrorKind {
  bool ansiTerminal = false;  // a terminal that takes ANSI colour sequences (POSIX)
  bool console = false;       // a console window, coloured by its text attributes (Windows)
  bool journal = false;       // the journal's stream: JOURNAL_STREAM names its device and inode
};
StandardErrorKind inspectStandardError();

// The journal's priority prefix of a level's lines: "<3>" error, "<4>" warning, "<6>" message,
// "<7>" debug.
const char* journalPrefix(LogLevel level);

// Writes UTF-8 bytes to the standard error, whole (restarting after interruptions); on a
// Windows console as wide text, in the colour of `level` when `colour` is set.
void writeStandardError(const char* bytes, std::size_t n, LogLevel level, bool colour);

// Local (or UTC) calendar fields of a number of seconds since 1970; false when the system cannot
// convert it.
bool breakDownTime(std::int64_t seconds, bool utc, std::tm& out);

// The file of a FileLogListener: opened for appending only, never through a link.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens `path` for appending, creating it private to this user. A link, anything but a regular
  // file, or (on POSIX) a file of another user is refused. False with `error` set.
  bool open(const String& path, String& error);
  bool isOpen() const { return _handle != kClosed; }
  // Writes every byte; false with `error` set.
  bool write(const char* bytes, std::size_t n, String& error);
  // Cuts the open file to `size` bytes; false with `error` set (on Windows, where the file is
  // open for appending only, always).
  bool truncate(std::int64_t size, String& error);
  // True when the open file has no name any more (its directory was removed, or it was
  // deleted): writing on would go nowhere anyone can read.
  bool unlinked() const;
  // The size the file had when it was opened.
  std::int64_t openedSize() const { return _openedSize; }
  void close();

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t _handle = kClosed;  // a descriptor, or a HANDLE
  std::int64_t _openedSize = 0;
};

// Gives `from` the name `to`, replacing a file of that name (a link is replaced, not followed).
// True when `from` does not exist either; false with `error` set.
bool renameLogFile(const String& from, const String& to, String& error);
// Removes `path` (a link itself, never its target); true when it does not exist.
bool removeLogFile(const String& path, String& error);

}  // namespace detail
}  // namespace vemo
