// The lock file on POSIX systems: an exclusive flock, taken without blocking. Each FileMutex
// opens the file on its own, and flock locks of separate opens exclude each other even in one
// process. The holder deletes the name while it still holds the lock, so a waiter that opened
// the file before may get its lock afterwards only on a file that no longer has the name: it
// sees that by comparing the file it holds with the one the name leads to, and opens anew.
// A lock directory may be shared with other users: a symbolic link at the name is never
// followed (O_NOFOLLOW, and lstat for the comparison), and only a regular file is held.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileName.h"
#include "vemo/core/FileMutex.h"

namespace vemo {

bool FileMutex::tryLock() {
  const detail::NativeName path = detail::wideToPath(_name);
  // Every new round means another holder came and went; a few rounds are plenty, and the
  // bound keeps a name that keeps changing from holding the caller here.
  for (int round = 0; round < 64; ++round) {
    // O_NONBLOCK: a FIFO planted at the name must not hold the caller in open.
    const int descriptor =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (descriptor < 0) return false;
    struct stat held, named;
    if (fstat(descriptor, &held) != 0 || !S_ISREG(held.st_mode) ||
        flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
      ::close(descriptor);
      return false;
    }
    if (::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      _handle = descriptor;
      return true;
    }
    // The previous holder deleted this file as it let go: the lock is free, on a new file.
    ::close(descriptor);
  }
  return false;
}

void FileMutex::release() {
  const int descriptor = static_cast<int>(_handle);
  _handle = kNotHeld;
  ::unlink(detail::wideToPath(_name).c_str());
  ::close(descriptor);
}

}  // namespace vemo
