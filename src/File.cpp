#include "vemo/core/File.h"

#include <cerrno>

#include "File.h"

namespace vemo {
namespace {

// Texts of the classic run-time library's errno numbers 0 to 42.
const wchar_t* const kErrnoTexts[] = {
    L"",
    L"EPERM: Operation not permitted.",
    L"ENOENT: No such file or directory.",
    L"ESRCH: No such process.",
    L"EINTR: Interrupted function.",
    L"EIO: I/O error.",
    L"ENXIO: No such device or address.",
    L"E2BIG: Argument list too long.",
    L"ENOEXEC: Exec format error.",
    L"EBADF: Bad file number.",
    L"ECHILD: No spawned processes.",
    L"EAGAIN: No more processes or not enough memory or maximum nesting level reached.",
    L"ENOMEM: Not enough memory.",
    L"EACCES: Permission denied.",
    L"EFAULT: Bad address.",
    L"UNKNOWN: Unknown error(15).",
    L"EBUSY: Device or resource busy.",
    L"EEXIST: File exists.",
    L"EXDEV: Cross-device link.",
    L"ENODEV: No such device.",
    L"ENOTDIR: Not a directory.",
    L"EISDIR: Is a directory.",
    L"EINVAL: Invalid argument.",
    L"ENFILE: Too many files open in system.",
    L"EMFILE: Too many open files.",
    L"ENOTTY: Inappropriate I/O control operation.",
    L"UNKNOWN: Unknown error(26).",
    L"EFBIG: File too large.",
    L"ENOSPC: No space left on device.",
    L"ESPIPE: Invalid seek.",
    L"EROFS: Read-only file system.",
    L"EMLINK: Too many links.",
    L"EPIPE: Broken pipe.",
    L"EDOM: Math argument.",
    L"ERANGE: Result too large.",
    L"UNKNOWN: Unknown error(35).",
    L"EDEADLK: Resource deadlock would occur.",
    L"UNKNOWN: Unknown error(37).",
    L"ENAMETOOLONG: Filename too long.",
    L"ENOLCK: No locks available.",
    L"ENOSYS: Function not supported.",
    L"ENOTEMPTY: Directory not empty.",
    L"EILSEQ: Illegal byte sequence.",
};
constexpr int kTruncated = 80;

}  // namespace

const wchar_t* File::getLastError() {
  const int number = detail::classicErrno(errno);
  if (number >= 0 && number < static_cast<int>(sizeof kErrnoTexts / sizeof kErrnoTexts[0]))
    return kErrnoTexts[number];
  if (number == kTruncated) return L"STRUNCATE: String was truncated";
  return L"UNKNOWN: Unknown error";
}

}  // namespace vemo
