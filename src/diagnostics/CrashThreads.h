// The other threads of a crashing process: stopped and their registers read while the crash is
// reported, then let go. POSIX only; everything here may run in a signal handler.
#pragma once

#include <cstddef>

#include "Minidump.h"

namespace vemo {
namespace detail {

// Whether the process may be dumped and traced by its own user (PR_GET_DUMPABLE is 1): not after
// it changed its user, nor when it asked not to be.
bool processDumpable();

// The name the system gives thread `id` of process `process`; "" when unknown.
void readThreadName(long process, long id, char (&name)[16]);

// The threads of the process other than the crashing one, stopped by a helper process that
// traces them (made with clone, sharing this process's memory): the reliable way to read
// another thread's registers, as debuggers do.
class OtherThreads {
 public:
  static constexpr std::size_t kCapacity = kMinidumpMaxThreads - 1;

  struct Thread {
    long id;
    char name[16];
    bool seized;   // traced by the helper
    bool stopped;  // false: it would not stop in time, its registers are unknown
    MinidumpContext context;
  };

  // Stops every thread but `crashing` and reads its registers; waits at most a few seconds for
  // the helper, which asks them all to stop at once and waits 2 s at most for their stops (one
  // that does not stop is listed unstopped, the others are kept). Returns the number listed (0 when
  // the system refuses, or the process is not dumpable: the report then has the crashing thread
  // only).
  std::size_t stop(long crashing);
  // Lets the stopped threads go and waits for the helper to end.
  void resume();

  std::size_t count() const { return _count; }
  // Threads seen but not kept: beyond kCapacity.
  std::size_t leftOut() const { return _leftOut; }
  // Threads listed that would not stop.
  std::size_t notStopped() const { return _notStopped; }
  const Thread& operator[](std::size_t index) const { return _threads[index]; }

 private:
  Thread _threads[kCapacity];
  std::size_t _count = 0, _leftOut = 0, _notStopped = 0;
  int _helper = 0;
  int _go[2] = {-1, -1}, _ready[2] = {-1, -1};
  long _process = 0, _crashing = 0;

  static int helperMain(void* self);
  void stopAll();
  void waitForHelper();
};

}  // namespace detail
}  // namespace vemo
