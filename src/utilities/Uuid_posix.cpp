// The machine state that seeds the node of version-1 ids on POSIX systems.
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include "Uuid.h"

namespace vemo {
namespace detail {

void addMachineState(MD5Context* context) {
  struct {
    struct sysinfo system;
    timespec realtime;
    timespec monotonic;
    timespec processTime;
    pid_t process;
    char host[64];
  } record{};
  sysinfo(&record.system);
  clock_gettime(CLOCK_REALTIME, &record.realtime);
  clock_gettime(CLOCK_MONOTONIC, &record.monotonic);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &record.processTime);
  record.process = getpid();
  gethostname(record.host, sizeof record.host - 1);
  MD5Update(context, &record, sizeof record);
}

}  // namespace detail
}  // namespace vemo
