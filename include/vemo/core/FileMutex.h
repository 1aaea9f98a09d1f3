/// \file
/// FileMutex: a lock between processes, held as an exclusively opened lock file.
///
/// \code
/// auto lock = vemo::FileMutex::createInstance(L"/var/run/app.lock");
/// if (lock->lock(5000)) {
///   ... only one holder at a time, in any process ...
///   lock->unlock();   // also deletes the lock file
/// }
/// \endcode
///
/// The lock file is created when missing and deleted by its holder when it lets go, so nothing
/// is left behind. Two FileMutex objects on the same name exclude each other whether they live in
/// one process or in two. One object is used by one thread at a time: it has no lock of its own.
///
/// On Windows the lock is the file opened without sharing. On POSIX systems it is an exclusive
/// flock on the file (created with mode 0600); a holder checks after taking it that the name still
/// leads to the file it locked, so that a file deleted by the previous holder is not taken.
#pragma once

#include <chrono>
#include <cstdint>

#include "vemo/core/Duration.h"
#include "vemo/core/Export.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// A lock between processes on a lock file (see FileMutex.h). One thread at a time uses an object.
class VEMO_CORE_API FileMutex : public Unknown {
 public:
  /// A mutex on the lock file `name`, not held yet.
  static Handle_T<FileMutex> createInstance(const String& name);
  /// Lets go like unlock().
  ~FileMutex() override;

  ///@{
  /// True once held: tries at once, then every 20 ms until `ms` milliseconds have passed since
  /// the call. 0 tries once; 0xFFFFFFFF waits without limit. True at once when already held.
  bool lock(unsigned int ms);
  template <class Rep, class Period>
  bool lock(std::chrono::duration<Rep, Period> duration) {
    return lock(detail::toMilliseconds(duration));
  }
  ///@}
  /// Closes and deletes the lock file when held; otherwise does nothing.
  void unlock();
  /// True while this object holds the lock.
  bool isLocked() const { return _handle != kNotHeld; }

 private:
  static constexpr std::intptr_t kNotHeld = -1;

  explicit FileMutex(const String& name) : _name(name) {}
  FileMutex(const FileMutex&) = delete;
  FileMutex& operator=(const FileMutex&) = delete;

  // One attempt to open and lock the file; sets _handle on success.
  bool tryLock();
  // Gives up the held file and deletes it.
  void release();

  String _name;
  std::intptr_t _handle = kNotHeld;  // a descriptor or a HANDLE
};

}  // namespace vemo
