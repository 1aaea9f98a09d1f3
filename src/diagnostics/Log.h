// The library's own side of the log.
#pragma once

#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// While one lives on a thread, what that thread logs is formatted at once but handed to the
// listeners only when the outermost one ends. Declared before a lock guard, it lets code that
// holds a lock log "under" it without calling listeners under it: a listener may use the very
// thing the lock protects.
class LogDeferral {
 public:
  LogDeferral() noexcept;
  ~LogDeferral();
  LogDeferral(const LogDeferral&) = delete;
  LogDeferral& operator=(const LogDeferral&) = delete;
};

// Logs `text` as an error; when no listener was ever added, keeps it (a bounded number of
// texts) for the first listener instead, which gets it when it is added.
void errorForFirstListener(const String& text);

// Writes the calling thread's call stack to the log (Log::debug), after an error that needs it
// to be understood.
void logCallStack();

}  // namespace detail
}  // namespace vemo
