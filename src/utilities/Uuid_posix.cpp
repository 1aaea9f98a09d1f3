// The machine state that seeds the node of version-1 ids, and the random source of version-4
// ids, on POSIX systems.
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
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

namespace {

// The kernel's random device, for kernels without getrandom (or a filter that refuses it): it
// must be the character device, not whatever file a changed root put under that name.
bool readRandomDevice(unsigned char* out, std::size_t size) {
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat status;
  bool ok = fstat(fd, &status) == 0 && S_ISCHR(status.st_mode);
  while (ok && size > 0) {
    const ssize_t got = read(fd, out, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = false;
      break;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  close(fd);
  return ok;
}

}  // namespace

bool systemRandom(void* out, std::size_t size) {
  unsigned char* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t got = getrandom(p, size, 0);
    if (got > 0) {
      p += got;
      size -= static_cast<std::size_t>(got);
      continue;
    }
    // A signal before the pool was ready: again, for what is still missing.
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == ENOSYS || errno == EPERM)) return readRandomDevice(p, size);
    return false;  // any other failure (or no progress) is reported, never papered over
  }
  return true;
}

}  // namespace detail
}  // namespace vemo
