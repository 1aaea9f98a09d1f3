// The ready log listeners on POSIX systems: the standard error by write(2), the journal's
// stream recognised by its device and inode, files opened without following links.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "FileName.h"
#include "LogListeners.h"
#include "vemo/core/Exception.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace detail {
namespace {

// A decimal number that fills [text, end) exactly.
bool parseDecimal(const char* text, const char* end, unsigned long long& value) {
  if (text == end) return false;
  value = 0;
  for (; text != end; ++text) {
    if (*text < '0' || *text > '9') return false;
    const unsigned digit = static_cast<unsigned>(*text - '0');
    if (value > (~0ULL - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// True when JOURNAL_STREAM ("<device>:<inode>", as systemd sets it for a unit whose output goes
// to the journal) names the file that the standard error is.
bool standardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  const char* colon = std::strchr(stream, ':');
  unsigned long long device, inode;
  if (!colon || !parseDecimal(stream, colon, device) ||
      !parseDecimal(colon + 1, colon + std::strlen(colon), inode))
    return false;
  struct stat status;
  if (fstat(STDERR_FILENO, &status) != 0) return false;
  return static_cast<unsigned long long>(status.st_dev) == device &&
         static_cast<unsigned long long>(status.st_ino) == inode;
}

String errorText(int number) {
  return getErrorString(static_cast<unsigned long>(number));
}

// The file-system name of a path: the bytes it stands for, those that are not UTF-8 included
// (see FileName.h), so that two names never collapse into one file.
NativeName nativeName(const String& path) {
  return wideToPath(path);
}

}  // namespace

StandardErrorKind inspectStandardError() {
  StandardErrorKind kind;
  kind.journal = standardErrorIsJournal();
  kind.ansiTerminal = !kind.journal && isatty(STDERR_FILENO) == 1;
  return kind;
}

void writeStandardError(const char* bytes, std::size_t n, LogLevel, bool) {
  while (n > 0) {
    const ssize_t written = ::write(STDERR_FILENO, bytes, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // nowhere left to tell
    bytes += written;
    n -= static_cast<std::size_t>(written);
  }
}

bool breakDownTime(std::int64_t seconds, bool utc, std::tm& out) {
  const time_t moment = static_cast<time_t>(seconds);
  return utc ? gmtime_r(&moment, &out) != nullptr : localtime_r(&moment, &out) != nullptr;
}

bool LogFile::open(const String& path, String& error) {
  close();
  const NativeName name = nativeName(path);
  // O_NOFOLLOW: a link in the file's place is refused, not followed. O_NONBLOCK: a FIFO
  // planted there cannot hold the open up (it is refused below as no regular file).
  int descriptor;
  do {
    descriptor =
        ::open(name.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
               S_IRUSR | S_IWUSR);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    error = errno == ELOOP ? String(L"a link is in its place") : errorText(errno);
    return false;
  }
  struct stat status;
  if (fstat(descriptor, &status) != 0) {
    error = errorText(errno);
    ::close(descriptor);
    return false;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
    error = S_ISREG(status.st_mode) ? L"the file belongs to another user" : L"not a regular file";
    ::close(descriptor);
    return false;
  }
  // An existing file keeps the mode its owner gave it (0640 for a group of readers); only a new
  // one is made private.
  _handle = descriptor;
  _openedSize = static_cast<std::int64_t>(status.st_size);
  return true;
}

bool LogFile::write(const char* bytes, std::size_t n, String& error) {
  while (n > 0) {
    const ssize_t written = ::write(static_cast<int>(_handle), bytes, n);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = errorText(written < 0 ? errno : ENOSPC);
      return false;
    }
    bytes += written;
    n -= static_cast<std::size_t>(written);
  }
  return true;
}

bool LogFile::truncate(std::int64_t size, String& error) {
  int result;
  do {
    result = ftruncate(static_cast<int>(_handle), static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  error = errorText(errno);
  return false;
}

bool LogFile::unlinked() const {
  struct stat status;
  return _handle != kClosed && fstat(static_cast<int>(_handle), &status) == 0 &&
         status.st_nlink == 0;
}

void LogFile::close() {
  if (_handle == kClosed) return;
  ::close(static_cast<int>(_handle));
  _handle = kClosed;
}

bool renameLogFile(const String& from, const String& to, String& error) {
  if (::rename(nativeName(from).c_str(), nativeName(to).c_str()) == 0 || errno == ENOENT)
    return true;
  error = errorText(errno);
  return false;
}

bool removeLogFile(const String& path, String& error) {
  if (::unlink(nativeName(path).c_str()) == 0 || errno == ENOENT) return true;
  error = errorText(errno);
  return false;
}

}  // namespace detail
}  // namespace vemo
