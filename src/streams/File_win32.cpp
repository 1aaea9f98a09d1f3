// Files on Windows: the C runtime's wide low-level calls (_wsopen with a sharing mode, then a
// stream on the descriptor with _wfdopen), _wstat64i32 for sizes and times, and temporary files
// in the directory that GetTempPathW names.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstdio>

#include "File.h"
#include "vemo/core/Exception.h"
#include "vemo/core/File.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Time.h"

namespace vemo {
namespace detail {
namespace {

// The run-time library's open flags; files are always binary and their descriptors are not
// inherited by child processes.
int openFlags(const OpenRequest& request) {
  static const int kAccess[] = {_O_RDONLY, _O_WRONLY, _O_RDWR};
  return _O_BINARY | _O_NOINHERIT | kAccess[request.access] | (request.append ? _O_APPEND : 0) |
         (request.create ? _O_CREAT : 0) | (request.truncate ? _O_TRUNC : 0) |
         (request.exclusive ? _O_EXCL : 0);
}

int createMode(const OpenRequest& request) {
  return (request.readable ? _S_IREAD : 0) | (request.writable ? _S_IWRITE : 0);
}

// The temporary directory (GetTempPathW into 260 characters), with its trailing backslash;
// false on failure.
bool tempDirectory(wchar_t (&directory)[MAX_PATH]) {
  const DWORD length = GetTempPathW(MAX_PATH, directory);
  return length > 0 && length < MAX_PATH;
}

// A unique number for GetTempFileNameW's names (1 to 0xFFFF; 0 would make the system create
// the file itself). Consecutive calls differ, and processes start at different numbers.
unsigned int nextUniqueNumber() {
  static std::atomic<unsigned int> g_counter{0};
  const unsigned int seed = GetCurrentProcessId() * 0x9E3779B9u ^ GetTickCount();
  const unsigned int value = (seed + g_counter.fetch_add(1) * 40503u) & 0xFFFF;
  return value ? value : 1;
}

// Makes a new name in the temporary directory and hands it to `create`, which returns true
// once it created the file and false when the name was taken (any other failure sets `failed`).
template <class Create>
bool createUnique(String& name, Create create) {
  wchar_t directory[MAX_PATH];
  if (!tempDirectory(directory)) return false;
  for (int attempt = 0; attempt < 256; ++attempt) {
    wchar_t path[MAX_PATH];
    if (GetTempFileNameW(directory, L"", nextUniqueNumber(), path) == 0) return false;
    bool failed = false;
    if (create(path, failed)) {
      name = String(path);
      return true;
    }
    if (failed) return false;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return false;
}

}  // namespace

std::filesystem::path nativePath(const String& name) {
  return std::filesystem::path(name.getBuffer() ? name.getBuffer() : L"");
}

std::FILE* openFile(const String& name, const OpenRequest& request) {
  // Deny nothing: other openers may read and write the file meanwhile.
  const int descriptor =
      _wsopen(name.getBuffer(), openFlags(request), _SH_DENYNO, createMode(request));
  if (descriptor < 0) {
    Log::error(L"Open file error! %s File:%s", File::getLastError(), name.getBuffer());
    return nullptr;
  }
  std::FILE* stream = _wfdopen(descriptor, request.wideStreamMode);
  if (!stream) {
    Log::error(L"Open file error! %s File:%s", File::getLastError(), name.getBuffer());
    if (_close(descriptor) != 0)
      Log::error(L"Close file error! %s File:%s", File::getLastError(), name.getBuffer());
  }
  return stream;
}

bool mayFollowLink(const std::filesystem::path&) {
  return true;  // no rule of the kind here: a link is followed as the system follows it
}

// The run-time library's errno numbers are the classic ones themselves.
int classicErrno(int platformErrno) {
  return platformErrno >= 0 ? platformErrno : -1;
}

bool syncToDisk(std::FILE* stream) {
  return stream && std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
}

std::FILE* openUnnamedTempFile() {
  // The system deletes the file when its last handle closes, however the process ends, and
  // nobody else may open it meanwhile (no sharing).
  HANDLE handle = INVALID_HANDLE_VALUE;
  String name;
  const bool created = createUnique(name, [&handle](const wchar_t* path, bool& failed) {
    handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return true;
    failed = GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS;
    return false;
  });
  if (!created) {
    Log::error(L"%s", getLastErrorString().getBuffer());
    return nullptr;
  }
  const int descriptor =
      _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY | _O_NOINHERIT);
  if (descriptor < 0) {
    Log::error(L"%s", File::getLastError());
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* stream = _wfdopen(descriptor, L"w+b");
  if (!stream) {
    Log::error(L"%s", File::getLastError());
    _close(descriptor);  // closes the handle, which deletes the file
  }
  return stream;
}

std::FILE* openTempFile(String& name) {
  // The file is created here and now (it must not exist yet) and kept open on the very
  // descriptor that created it.
  int descriptor = -1;
  String path;
  const bool created = createUnique(path, [&descriptor](const wchar_t* candidate, bool& failed) {
    descriptor = _wsopen(candidate, _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (descriptor >= 0) return true;
    failed = errno != EEXIST;
    return false;
  });
  if (!created) {
    Log::error(L"%s", getLastErrorString().getBuffer());
    return nullptr;
  }
  std::FILE* stream = _wfdopen(descriptor, L"w+b");
  if (!stream) {
    Log::error(L"%s", File::getLastError());
    _close(descriptor);
    _wremove(path.getBuffer());
    return nullptr;
  }
  name = path;
  return stream;
}

}  // namespace detail

// The size _wstat64i32 gives, for directories too (which exist as far as isFileExists is
// concerned).
int getFileSize(const wchar_t* path) {
  struct _stat64i32 status;
  if (!path) {
    errno = EINVAL;
  } else if (_wstat64i32(path, &status) != 0) {
    // errno tells why
  } else if (status.st_size < 0) {
    errno = EFBIG;
  } else {
    return static_cast<int>(status.st_size);
  }
  Log::error(L"  %s", File::getLastError());
  return -1;
}

// Creation and last modification time as _wstat64i32 reports them.
bool getFileInfo(const wchar_t* path, int& size, Time& created, Time& modified) {
  size = -1;
  struct _stat64i32 status;
  if (!path || _wstat64i32(path, &status) != 0 || status.st_size < 0) return false;
  size = static_cast<int>(status.st_size);
  created = Time(static_cast<__int64>(status.st_ctime) + kUnixEpoch);
  modified = Time(static_cast<__int64>(status.st_mtime) + kUnixEpoch);
  return true;
}

// The system creates an empty file with a new unique name in the temporary directory.
String TempFile::getTempFileName() {
  wchar_t directory[MAX_PATH];
  wchar_t path[MAX_PATH];
  if (!detail::tempDirectory(directory) || GetTempFileNameW(directory, L"", 0, path) == 0) {
    Log::error(L"%s", getLastErrorString().getBuffer());
    return String();
  }
  return String(path);
}

}  // namespace vemo
