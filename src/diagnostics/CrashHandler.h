// The crash handler shared by Exception::DealExceptionInformation, handled_exception_filter and
// the threads of the library. The platform files (CrashHandler_<os>.cpp) write the report and
// the minidump; this header holds what both share: the notices, the support address, the
// directories a report may go to and how its two files are claimed there.
#pragma once

#include <cstddef>

#include "vemo/core/Exception.h"
#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// Reports the first crash of the process. `pointers` may be null: the report then describes
// the calling thread from the caller of crashFilter's caller on.
long crashFilter(ExceptionPointers* pointers);

// Prepares the report's state and installs crashFilter for the process's fatal faults.
void installCrashHandler();

// The address the notice asks users to write to, in the text encoding of the process's
// narrow output. Setting it never blocks a crash that reads it at the same moment.
void setCrashSupportAddress(const String& address);
// The address last set; the program's file name when none was set. Never null; safe in a
// signal handler.
const char* crashSupportAddress();
// What crashSupportAddress() gives before any address is set (called while installing).
void setDefaultCrashSupportAddress(const char* programName);

// The directory the program chose for its reports, made absolute; an empty text forgets it.
// False, with the directory set before kept, when the directory is too long for a report's
// path (kCrashDirectoryCapacity).
bool setCrashReportDirectory(const String& directory);
// That directory in the narrow encoding with its trailing separator; "" when none was set.
// Never null; safe in a signal handler.
const char* crashReportDirectory();

// The notice printed on the standard error stream after a report: dump path, log path and
// support address fill its three "%s".
extern const char kCrashNotice[];
// The notice when no directory took a report: the support address fills its "%s".
extern const char kCrashNoReportNotice[];
// The notice when the process had no descriptor left for a report: the error's text and the
// support address fill its two "%s".
extern const char kCrashNoDescriptorNotice[];

// The room of a report file's path, with its terminator.
constexpr std::size_t kCrashPathCapacity = 4096;
#if defined(_WIN32)
// The ANSI file functions the report uses take at most MAX_PATH characters with the terminator.
constexpr std::size_t kCrashPathLimit = 260;
#else
constexpr std::size_t kCrashPathLimit = 4096;  // PATH_MAX
#endif
// Room left after a directory for a report file's name with its terminator:
// "crash@YYYY-MM-DD HH.MM.SS-<process id>.dmp" has 40 characters at most.
constexpr std::size_t kCrashNameRoom = 48;
// The room of a report directory with its trailing separator and terminator: a longer one could
// not hold a report, and is refused rather than cut (a cut path names another directory).
constexpr std::size_t kCrashDirectoryCapacity = kCrashPathLimit - kCrashNameRoom;

// The directories a report may go to, in the order they are tried; each kept with its trailing
// separator. Filled before a crash, read in one.
class CrashDirectories {
 public:
  static constexpr int kCapacity = 8;
  // Appends `directory` (a separator is added when it has none); empty texts, texts that do not
  // fit and directories already listed are left out.
  void add(const char* directory);
  void clear() { _count = 0; }
  int count() const { return _count; }
  const char* operator[](int index) const { return _paths[index]; }

 private:
  char _paths[kCapacity][kCrashDirectoryCapacity] = {};
  int _count = 0;
};

// What the platform does for claimCrashFiles. Everything may run in a signal handler.
class CrashFileCreator {
 public:
  enum class Claim { created, taken, refused };
  // Creates `path` as a new file that only this process can read, and keeps it open in `slot`
  // (0 for the dump, 1 for the log): `taken` when the name exists, `refused` when the
  // directory does not take it.
  virtual Claim create(int slot, const char* path) = 0;
  // Closes and removes what `slot` holds (its name is `path`).
  virtual void release(int slot, const char* path) = 0;
  // The local time of this moment, "YYYY-MM-DD HH.MM.SS".
  virtual void stamp(char (&text)[32]) = 0;
  virtual unsigned long processId() = 0;

 protected:
  ~CrashFileCreator() = default;
};

// The paths of a report's two files.
struct CrashFiles {
  char dump[kCrashPathCapacity];
  char log[kCrashPathCapacity];
};

// Claims the dump and the log, both named "crash@<local time>" from one clock reading. In each
// directory in turn: three readings of the clock while a name is taken, then the names with the
// process id ("crash@<local time>-<pid>"); a directory that refuses a file is left for the next.
// True with both files held by `creator`; false with both names empty when none took them.
bool claimCrashFiles(const CrashDirectories& directories, CrashFileCreator& creator,
                     CrashFiles& files);

// A thread's own alternate signal stack, so that a stack overflow on it can still be reported;
// nothing where the platform runs the crash handler on the faulting stack anyway.
class ThreadCrashStack {
 public:
  ThreadCrashStack();
  ~ThreadCrashStack();
  ThreadCrashStack(const ThreadCrashStack&) = delete;
  ThreadCrashStack& operator=(const ThreadCrashStack&) = delete;

 private:
  void* _stack = nullptr;
};

}  // namespace detail
}  // namespace vemo
