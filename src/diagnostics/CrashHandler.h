// The crash handler shared by Exception::DealExceptionInformation, handled_exception_filter and
// the threads of the library. The platform files (CrashHandler_<os>.cpp) write the report and
// the minidump; this header holds what both share.
#pragma once

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

// The notice printed on the standard error stream after a report: dump path, log path and
// support address fill its three "%s".
extern const char kCrashNotice[];

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
