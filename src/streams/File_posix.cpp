// Files on POSIX systems: open(2) with the library's flag bits, a stdio stream on the
// descriptor, and unique temporary files from mkstemp(3).
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "File.h"
#include "FileName.h"
#include "vemo/core/Exception.h"
#include "vemo/core/File.h"
#include "vemo/core/Log.h"
#include "vemo/core/Time.h"

namespace vemo {
namespace detail {
namespace {

int openFlags(const OpenRequest& request) {
  static const int kAccess[] = {O_RDONLY, O_WRONLY, O_RDWR};
  return O_CLOEXEC | kAccess[request.access] | (request.append ? O_APPEND : 0) |
         (request.create ? O_CREAT : 0) | (request.truncate ? O_TRUNC : 0) |
         (request.exclusive ? O_EXCL : 0);
}

// Read for everyone and write for the owner (0644 for both).
mode_t createMode(const OpenRequest& request) {
  return (request.readable ? S_IRUSR | S_IRGRP | S_IROTH : 0) | (request.writable ? S_IWUSR : 0);
}

}  // namespace

std::filesystem::path nativePath(const String& name) {
  return std::filesystem::path(wideToPath(name));
}

std::FILE* openFile(const String& name, const OpenRequest& request) {
  int descriptor = ::open(wideToPath(name).c_str(), openFlags(request), createMode(request));
  struct stat status;
  if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
    // A directory is not a file, as on systems where opening one fails outright.
    ::close(descriptor);
    descriptor = -1;
    errno = EACCES;
  }
  if (descriptor < 0) {
    Log::error(L"Open file error! %s File:%s", File::getLastError(), name.getBuffer());
    return nullptr;
  }
  std::FILE* stream = fdopen(descriptor, request.streamMode);
  if (!stream) {
    Log::error(L"Open file error! %s File:%s", File::getLastError(), name.getBuffer());
    if (::close(descriptor) != 0)
      Log::error(L"Close file error! %s File:%s", File::getLastError(), name.getBuffer());
  }
  return stream;
}

bool mayFollowLink(const std::filesystem::path& link) {
  struct stat own, directory;
  if (lstat(link.c_str(), &own) != 0 || !S_ISLNK(own.st_mode)) return false;
  const std::filesystem::path parent = link.has_parent_path() ? link.parent_path() : ".";
  if (stat(parent.c_str(), &directory) != 0) return false;
  const bool shared = (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
  return !shared || own.st_uid == geteuid() || own.st_uid == directory.st_uid;
}

int classicErrno(int platformErrno) {
  switch (platformErrno) {
    case 0:
      return 0;
    case EPERM:
      return 1;
    case ENOENT:
      return 2;
    case ESRCH:
      return 3;
    case EINTR:
      return 4;
    case EIO:
      return 5;
    case ENXIO:
      return 6;
    case E2BIG:
      return 7;
    case ENOEXEC:
      return 8;
    case EBADF:
      return 9;
    case ECHILD:
      return 10;
    case EAGAIN:
      return 11;
    case ENOMEM:
      return 12;
    case EACCES:
      return 13;
    case EFAULT:
      return 14;
    case EBUSY:
      return 16;
    case EEXIST:
      return 17;
    case EXDEV:
      return 18;
    case ENODEV:
      return 19;
    case ENOTDIR:
      return 20;
    case EISDIR:
      return 21;
    case EINVAL:
      return 22;
    case ENFILE:
      return 23;
    case EMFILE:
      return 24;
    case ENOTTY:
      return 25;
    case EFBIG:
      return 27;
    case ENOSPC:
      return 28;
    case ESPIPE:
      return 29;
    case EROFS:
      return 30;
    case EMLINK:
      return 31;
    case EPIPE:
      return 32;
    case EDOM:
      return 33;
    case ERANGE:
      return 34;
    case EDEADLK:
      return 36;
    case ENAMETOOLONG:
      return 38;
    case ENOLCK:
      return 39;
    case ENOSYS:
      return 40;
    case ENOTEMPTY:
      return 41;
    case EILSEQ:
      return 42;
    default:
      return -1;
  }
}

}  // namespace detail

// The size stat gives, for directories too (which exist as far as isFileExists is concerned).
int getFileSize(const wchar_t* path) {
  struct stat status;
  if (!path) {
    errno = EINVAL;
  } else if (::stat(detail::wideToPath(path).c_str(), &status) != 0) {
    // errno tells why
  } else if (status.st_size > INT_MAX) {
    errno = EFBIG;
  } else {
    return static_cast<int>(status.st_size);
  }
  Log::error(L"  %s", File::getLastError());
  return -1;
}

bool getFileInfo(const wchar_t* path, int& size, Time& created, Time& modified) {
  size = -1;
  if (!path) return false;
  struct statx status;
  if (statx(AT_FDCWD, detail::wideToPath(path).c_str(), 0,
            STATX_SIZE | STATX_BTIME | STATX_CTIME | STATX_MTIME, &status) != 0 ||
      status.stx_size > 0x7FFFFFFF)
    return false;
  size = static_cast<int>(status.stx_size);
  const auto& birth = (status.stx_mask & STATX_BTIME) ? status.stx_btime : status.stx_ctime;
  created = Time(static_cast<__int64>(birth.tv_sec) + kUnixEpoch);
  modified = Time(static_cast<__int64>(status.stx_mtime.tv_sec) + kUnixEpoch);
  return true;
}

namespace {

// A mkstemp pattern in the temporary directory. TMPDIR is ignored in programs running with
// privileges they did not start with.
std::string tempPattern() {
  const char* directory = secure_getenv("TMPDIR");
  std::string pattern = directory && *directory ? directory : "/tmp";
  if (pattern.back() != '/') pattern += '/';
  return pattern + "vemoXXXXXX";
}

}  // namespace

String TempFile::getTempFileName() {
  std::string pattern = tempPattern();
  const int descriptor = mkostemp(pattern.data(), O_CLOEXEC);
  if (descriptor < 0) {
    Log::error(L"%s", getLastErrorString().getBuffer());
    return String();
  }
  ::close(descriptor);
  return detail::pathToWide(pattern.c_str(), pattern.size());
}

namespace detail {

bool syncToDisk(std::FILE* stream) {
  return stream && std::fflush(stream) == 0 && ::fsync(fileno(stream)) == 0;
}

std::FILE* openUnnamedTempFile() {
  std::string directory = tempPattern();
  directory.resize(directory.rfind('/') + 1);
  // O_TMPFILE makes a file without a name where the file system can; elsewhere the name that
  // mkostemp made is removed at once.
  int descriptor = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (descriptor < 0) {
    std::string pattern = tempPattern();
    descriptor = mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor >= 0) ::unlink(pattern.c_str());
  }
  std::FILE* stream = descriptor >= 0 ? fdopen(descriptor, "w+b") : nullptr;
  if (!stream) {
    Log::error(L"%s", getLastErrorString().getBuffer());
    if (descriptor >= 0) ::close(descriptor);
  }
  return stream;
}

std::FILE* openTempFile(String& name) {
  std::string pattern = tempPattern();
  const int descriptor = mkostemp(pattern.data(), O_CLOEXEC);  // O_EXCL, mode 0600
  std::FILE* stream = descriptor >= 0 ? fdopen(descriptor, "w+b") : nullptr;
  if (!stream) {
    Log::error(L"%s", getLastErrorString().getBuffer());
    if (descriptor >= 0) {
      ::close(descriptor);
      ::unlink(pattern.c_str());
    }
    return nullptr;
  }
  name = pathToWide(pattern.c_str(), pattern.size());
  return stream;
}

}  // namespace detail

}  // namespace vemo
