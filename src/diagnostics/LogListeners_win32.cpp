// The ready log listeners on Windows: the standard error handle (a console in colour, anything
// else as UTF-8 bytes), files opened for appending with an access list of the user alone and
// without following reparse points.
#include <windows.h>

#include <time.h>

#include <memory>
#include <vector>

#include "Charset.h"
#include "LogListeners.h"
#include "vemo/core/Exception.h"

namespace vemo {
namespace detail {
namespace {

HANDLE standardError() {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool isConsole(HANDLE handle) {
  DWORD mode;
  return handle && GetConsoleMode(handle, &mode);
}

// Errors light red, warnings yellow, debug dark grey; messages in the console's own colours.
WORD levelAttribute(LogLevel level, WORD current) {
  const WORD background = current & 0xF0;
  switch (level) {
    case LogLevel::kError:
      return background | FOREGROUND_RED | FOREGROUND_INTENSITY;
    case LogLevel::kWarning:
      return background | FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY;
    case LogLevel::kDebug:
      return background | FOREGROUND_INTENSITY;
    default:
      return current;
  }
}

void writeBytes(HANDLE handle, const char* bytes, std::size_t n) {
  while (n > 0) {
    const DWORD chunk = n < 0x10000 ? static_cast<DWORD>(n) : 0x10000;
    DWORD written = 0;
    if (!WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) return;
    bytes += written;
    n -= written;
  }
}

void writeConsole(HANDLE handle, const char* bytes, std::size_t n, LogLevel level, bool colour) {
  // Short messages are converted on the stack, longer ones in one heap block.
  const unsigned char* utf8 = reinterpret_cast<const unsigned char*>(bytes);
  wchar_t local[512];
  std::vector<wchar_t> large;
  std::size_t units = utf8ToWide(utf8, n, local, sizeof local / sizeof local[0]);
  wchar_t* converted = local;
  if (units > sizeof local / sizeof local[0]) {
    large.resize(units);
    units = utf8ToWide(utf8, n, large.data(), large.size());
    converted = large.data();
  }
  CONSOLE_SCREEN_BUFFER_INFO info;
  const bool recolour =
      colour && level != LogLevel::kMessage && GetConsoleScreenBufferInfo(handle, &info);
  if (recolour) SetConsoleTextAttribute(handle, levelAttribute(level, info.wAttributes));
  const wchar_t* text = converted;
  std::size_t left = units;
  while (left > 0) {
    DWORD chunk = left < 0x4000 ? static_cast<DWORD>(left) : 0x4000;
    if (chunk < left && chunk > 1 && text[chunk - 1] >= 0xD800 && text[chunk - 1] < 0xDC00)
      --chunk;  // never between the two units of a pair
    DWORD written = 0;
    if (!WriteConsoleW(handle, text, chunk, &written, nullptr) || written == 0) break;
    text += written;
    left -= written;
  }
  if (recolour) SetConsoleTextAttribute(handle, info.wAttributes);
}

String errorText(DWORD code) {
  return getErrorString(code);
}

// An access list that admits the process's user alone, for the files the listener creates.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    _user.resize(size);
    const bool haveUser =
        size > 0 && GetTokenInformation(token, TokenUser, _user.data(), size, &size);
    CloseHandle(token);
    if (!haveUser) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(_user.data())->User.Sid;
    const DWORD aclSize =
        sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    _acl.resize(aclSize);
    PACL acl = reinterpret_cast<PACL>(_acl.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&_descriptor, TRUE, acl, FALSE))
      return;
    // Protected: the directory's inheritable entries are not added to it.
    SetSecurityDescriptorControl(&_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    _attributes.nLength = sizeof _attributes;
    _attributes.lpSecurityDescriptor = &_descriptor;
    _attributes.bInheritHandle = FALSE;
    _ready = true;
  }
  SECURITY_ATTRIBUTES* attributes() { return _ready ? &_attributes : nullptr; }

 private:
  std::vector<unsigned char> _user, _acl;
  SECURITY_DESCRIPTOR _descriptor;
  SECURITY_ATTRIBUTES _attributes;
  bool _ready = false;
};

}  // namespace

StandardErrorKind inspectStandardError() {
  StandardErrorKind kind;
  kind.console = isConsole(standardError());
  return kind;
}

void writeStandardError(const char* bytes, std::size_t n, LogLevel level, bool colour) {
  HANDLE handle = standardError();
  if (!handle) return;
  if (isConsole(handle))
    writeConsole(handle, bytes, n, level, colour);
  else
    writeBytes(handle, bytes, n);
}

bool breakDownTime(std::int64_t seconds, bool utc, std::tm& out) {
  const __time64_t moment = static_cast<__time64_t>(seconds);
  return (utc ? _gmtime64_s(&out, &moment) : _localtime64_s(&out, &moment)) == 0;
}

bool LogFile::open(const String& path, String& error) {
  close();
  PrivateSecurity security;
  // FILE_APPEND_DATA alone: every write goes to the end. FILE_FLAG_OPEN_REPARSE_POINT opens a
  // link itself instead of its target, and it is refused below.
  HANDLE handle =
      CreateFileW(path.getBuffer(), FILE_APPEND_DATA | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security.attributes(),
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = errorText(GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = errorText(GetLastError());
    CloseHandle(handle);
    return false;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      GetFileType(handle) != FILE_TYPE_DISK) {
    error = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? L"a link is in its place"
                                                                        : L"not a regular file";
    CloseHandle(handle);
    return false;
  }
  _handle = reinterpret_cast<std::intptr_t>(handle);
  _openedSize = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

bool LogFile::write(const char* bytes, std::size_t n, String& error) {
  HANDLE handle = reinterpret_cast<HANDLE>(_handle);
  while (n > 0) {
    const DWORD chunk = n < 0x100000 ? static_cast<DWORD>(n) : 0x100000;
    DWORD written = 0;
    if (!WriteFile(handle, bytes, chunk, &written, nullptr)) {
      error = errorText(GetLastError());
      return false;
    }
    if (written == 0) {
      error = errorText(ERROR_DISK_FULL);
      return false;
    }
    bytes += written;
    n -= written;
  }
  return true;
}

bool LogFile::truncate(std::int64_t, String& error) {
  error = L"the file is open for appending only";
  return false;
}

bool LogFile::unlinked() const {
  // Opened with FILE_SHARE_DELETE, the file may be deleted while open: it is then pending
  // deletion (or has no name left).
  if (_handle == kClosed) return false;
  FILE_STANDARD_INFO info;
  return GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(_handle), FileStandardInfo, &info,
                                      sizeof info) &&
         (info.DeletePending || info.NumberOfLinks == 0);
}

void LogFile::close() {
  if (_handle == kClosed) return;
  CloseHandle(reinterpret_cast<HANDLE>(_handle));
  _handle = kClosed;
}

bool renameLogFile(const String& from, const String& to, String& error) {
  if (MoveFileExW(from.getBuffer(), to.getBuffer(), MOVEFILE_REPLACE_EXISTING)) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  error = errorText(code);
  return false;
}

bool removeLogFile(const String& path, String& error) {
  if (DeleteFileW(path.getBuffer())) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND) return true;
  error = errorText(code);
  return false;
}

}  // namespace detail
}  // namespace vemo
