// The service host on Linux, where the service manager is systemd. A service is the unit file
// "<name>.service" in the system unit directory; installing writes it (atomically, by renaming a
// finished temporary file) and reloads systemd, removing disables it, deletes it and reloads.
// A unit of the same name in any directory systemd loads units from (a distribution's unit in
// /usr/lib/systemd/system among them) counts as installed: installing never shadows one.
// The running service speaks systemd's notification protocol by hand: one datagram per report
// to the socket named by NOTIFY_SOCKET (a leading '@' names an abstract socket). The variables
// that systemd passes to the service are taken out of the environment when serviceInitialize
// starts, so that programs it starts do not pose as the service.
//
// The service loop (the thread that called serviceInitialize) sleeps on a pipe that lives as
// long as the process: it is never closed, so no write into it, from a signal handler or a
// late thread, can reach another file. Everything that concerns the loop is an atomic flag set
// before one byte is written into the pipe: systemd's stop control (SIGTERM, which the loop
// owns while it runs), the end of the worker, the host system's first tick, the terminate
// event and stop requests from signal handlers. The loop does the work in an ordinary context.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FileName.h"
#include "ServiceHooks.h"
#include "ThreadHandle.h"
#include "Utf.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/ServiceSystem.h"
#include "vemo/core/StringHelper.h"

extern char** environ;

namespace vemo {
namespace {

// ---- places that the tests may replace ----

struct Places {
  std::mutex mutex;
  std::string unitDirectory;
  std::string systemctl;
  std::string runningMarker;
  std::vector<std::string> otherDirectories;
  bool testing = false;
};

Places& places() {
  static Places* p = new Places();  // outlives every static destructor that might stop a service
  return *p;
}

std::string unitDirectory() {
  std::lock_guard<std::mutex> lock(places().mutex);
  return places().unitDirectory.empty() ? "/etc/systemd/system" : places().unitDirectory;
}
std::string systemctlProgram() {
  std::lock_guard<std::mutex> lock(places().mutex);
  return places().systemctl.empty() ? "systemctl" : places().systemctl;
}
std::string runningMarker() {
  std::lock_guard<std::mutex> lock(places().mutex);
  return places().runningMarker.empty() ? "/run/systemd/system" : places().runningMarker;
}
// Every directory systemd loads system units from besides the unit directory, in its order.
std::vector<std::string> otherUnitDirectories() {
  std::lock_guard<std::mutex> lock(places().mutex);
  if (places().testing) return places().otherDirectories;
  return {"/etc/systemd/system.control", "/run/systemd/system.control",
          "/run/systemd/transient",      "/run/systemd/generator.early",
          "/etc/systemd/system",         "/etc/systemd/system.attached",
          "/run/systemd/system",         "/run/systemd/system.attached",
          "/run/systemd/generator",      "/usr/local/lib/systemd/system",
          "/lib/systemd/system",         "/usr/lib/systemd/system",
          "/run/systemd/generator.late"};
}

// ---- small helpers ----

void say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

std::string narrow(const wchar_t* text) {
  if (!text) return std::string();
  const String_T<char> utf8 = StringHelper::wideToUtf8(text);
  return utf8.getBuffer() ? std::string(utf8.getBuffer()) : std::string();
}

// The characters systemd accepts in a unit name; its limit is 255 bytes with the suffix.
bool validUnitName(const std::string& name) {
  if (name.empty() || name.size() > 255 - 8) return false;
  for (unsigned char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == ':' || c == '-' || c == '_' || c == '.' || c == '\\' || c == '@';
    if (!ok) return false;
  }
  return true;
}

std::string unitFile(const std::string& name) {
  return unitDirectory() + "/" + name + ".service";
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// The file that defines the unit `name` wherever systemd would find it (the unit directory
// first, then the others), also a template "a@.service" for an instance "a@b"; "" when none.
std::string installedUnit(const std::string& name) {
  std::vector<std::string> directories = otherUnitDirectories();
  directories.insert(directories.begin(), unitDirectory());
  std::vector<std::string> files = {name + ".service"};
  const std::size_t at = name.find('@');
  if (at != std::string::npos && at + 1 < name.size())
    files.push_back(name.substr(0, at + 1) + ".service");
  for (const std::string& file : files)
    for (const std::string& directory : directories)
      if (exists(directory + "/" + file)) return directory + "/" + file;
  return std::string();
}

bool hasControl(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// Runs the systemctl program with the arguments and returns its exit status, or -1 when it
// could not be run. With `output`, its standard output (at most 4096 bytes) is kept there.
int systemctl(const std::vector<std::string>& arguments, std::string* output) {
  const std::string program = systemctlProgram();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int out[2] = {-1, -1};
  if (output && ::pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t child = -1;
  const int failed =
      program.find('/') == std::string::npos
          ? posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ)
          : posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (output) ::close(out[1]);
  if (failed != 0) {
    if (output) ::close(out[0]);
    return -1;
  }
  if (output) {
    char buffer[512];
    for (;;) {
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (output->size() < 4096) output->append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status)) return -1;
  const int code = WEXITSTATUS(status);
  return code == 127 ? -1 : code;  // 127: the shell's word for a program it could not run
}

// Unit file values: '%' starts a specifier and is doubled to stand for itself. ('$' would start
// a variable only in the arguments of a command, never in its program path, which is all that
// ExecStart holds here.)
std::string escapeValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += c;
    out += c;
  }
  return out;
}

// A value in quotes, already escaped for the unit's own specifiers. Unit files are UTF-8 text:
// a byte that is no part of a UTF-8 character is written as a C escape (\xNN), which systemd
// reads back as that byte.
std::string quoteBytes(const std::string& value) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value.data());
  const unsigned char* end = p + value.size();
  std::string out = "\"";
  while (p < end) {
    const unsigned char* start = p;
    bool broken = false;
    if (*p < 0x80)
      ++p;
    else
      detail::decodeUtf8(p, end, broken);
    for (; start < p; ++start) {
      if (broken) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", *start);
        out += escape;
        continue;
      }
      if (*start == '"' || *start == '\\') out += '\\';
      out += static_cast<char>(*start);
    }
  }
  return out + "\"";
}

std::string quotePath(const std::string& path) {
  return quoteBytes(escapeValue(path));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The program path of an installed unit's ExecStart line, as quotePath wrote it or as a person
// may have written it (unquoted, up to the first blank).
std::string installedPath(const std::string& file) {
  std::FILE* in = std::fopen(file.c_str(), "re");
  if (!in) return std::string();
  std::string line, found;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, in)) {
    line = buffer;
    if (line.compare(0, 10, "ExecStart=") == 0) {
      found = line.substr(10);
      break;
    }
  }
  std::fclose(in);
  while (!found.empty() && (found.back() == '\n' || found.back() == '\r'))
    found.pop_back();
  // The prefixes that change how a command runs are not part of the program's path.
  const std::size_t program = found.find_first_not_of("-+!@:");
  found.erase(0, program == std::string::npos ? found.size() : program);
  std::string raw;
  std::size_t i = 0;
  if (!found.empty() && found[0] == '"') {
    for (i = 1; i < found.size() && found[i] != '"'; ++i) {
      if (found[i] == '\\' && i + 1 < found.size()) {
        ++i;
        if (found[i] == 'x' && i + 2 < found.size() && hexDigit(found[i + 1]) >= 0 &&
            hexDigit(found[i + 2]) >= 0) {
          raw += static_cast<char>(hexDigit(found[i + 1]) * 16 + hexDigit(found[i + 2]));
          i += 2;
          continue;
        }
      }
      raw += found[i];
    }
  } else {
    for (; i < found.size() && found[i] != ' ' && found[i] != '\t'; ++i)
      raw += found[i];
  }
  std::string path;
  for (i = 0; i < raw.size(); ++i) {
    path += raw[i];
    if (raw[i] == '%' && i + 1 < raw.size() && raw[i + 1] == '%') ++i;
  }
  return path;
}

enum class Mode { kInstall, kRemove };

// The checks that install and remove share: the name can be a unit's, the manager is there and
// may be changed (the unit directory is writable: systemd has no other access control to ask),
// and the service is (remove) or is not (install) installed in a state that allows the change.
bool preCheck(Mode mode, const std::string& name) {
  if (!validUnitName(name)) {
    say(mode == Mode::kInstall ? "Failed to install the service (Couldn't create service)\n"
                               : "The service doesn't exist!\n");
    return false;
  }
  const std::string directory = unitDirectory();
  if (!exists(runningMarker()) || !isDirectory(directory)) {
    say("There is a problem for to open the Service Control Dictionary!\n");
    return false;
  }
  if (::access(directory.c_str(), W_OK) != 0) {
    say("Install/remove of the Service Denied!\n");
    if (::geteuid() != 0)
      say("That operation should be made by an user with Administrator privileges!\n");
    return false;
  }
  const std::string file = unitFile(name);
  const std::string installed = installedUnit(name);
  if (mode == Mode::kInstall) {
    if (installed.empty()) return true;
    say("The service already exists!\n");
    std::printf("The current server installed: %s\n", installedPath(installed).c_str());
    std::fflush(stdout);
    return false;
  }
  if (installed.empty()) {
    say("The service doesn't exist!\n");
    return false;
  }
  if (!exists(file)) {
    // A unit of the distribution or of another tool: not ours to delete.
    say("Failed to remove the service (Couldn't open the service)\n");
    return false;
  }
  std::string state;
  systemctl({"is-active", name + ".service"}, &state);
  while (!state.empty() && (state.back() == '\n' || state.back() == ' '))
    state.pop_back();
  if (state.empty()) return false;  // the state could not be asked
  if (state == "active" || state == "reloading") {
    say("Failed to remove the service because the service is running\n"
        "Stop the service and try again\n");
    return false;
  }
  if (state == "deactivating") {
    say("Failed to remove the service because the service is in stop pending state!\n"
        "Wait 30 seconds and try again.\n"
        "If this condition persist, reboot the machine and try again\n");
    return false;
  }
  return true;
}

bool writeAll(int descriptor, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(descriptor, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the unit under a temporary name in the same directory and renames it into place, so
// that systemd never reads half a file.
bool writeUnit(const std::string& file, const std::string& text) {
  // A short name of its own: the unit's name with a suffix may not fit the directory's limit.
  std::string temporary = file.substr(0, file.rfind('/') + 1) + ".vemo-unit-XXXXXX";
  const int descriptor = ::mkostemp(&temporary[0], O_CLOEXEC);
  if (descriptor < 0) return false;
  bool ok =
      writeAll(descriptor, text) && ::fchmod(descriptor, 0644) == 0 && ::fsync(descriptor) == 0;
  ok = ::close(descriptor) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), file.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

// ---- the running service ----

struct Service {
  std::mutex mutex;
  wchar_t name[261] = {};
  void (*worker)(void*) = nullptr;
  void* shutdownEvent = nullptr;
  bool running = false;      // a service loop runs
  std::string notifySocket;  // NOTIFY_SOCKET as it was when the service started
  int watchdogPeriod = -1;   // half of WATCHDOG_USEC in milliseconds; -1: none
  bool paused = false;
  std::condition_variable pauseChanged;
};

Service& service() {
  static Service* s = new Service();  // worker threads may outlive static destruction
  return *s;
}

// The loop's pipe, made by the first serviceInitialize and never closed.
std::atomic<int> g_wakeRead{-1};
std::atomic<int> g_wakeWrite{-1};
// What the loop is woken for.
std::atomic<bool> g_loopRunning{false};
std::atomic<bool> g_terminate{false};    // the terminate event
std::atomic<bool> g_stopControl{false};  // systemd asked the service to stop
std::atomic<bool> g_workerEnded{false};
std::atomic<bool> g_stoppingSent{false};

bool makeWakePipe() {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  if (g_wakeRead.load() >= 0) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  g_wakeRead.store(ends[0]);
  g_wakeWrite.store(ends[1]);
  return true;
}

void drainWakePipe() {
  char bytes[64];
  const int descriptor = g_wakeRead.load();
  while (descriptor >= 0 && ::read(descriptor, bytes, sizeof bytes) > 0) {
  }
}

std::atomic<bool> g_terminateSignal{false};  // the stop control came as SIGTERM

void onTerminateSignal(int) {
  g_terminateSignal.store(true);
  g_stopControl.store(true);
  service_detail::wake();
}

// Sets the host's shutdown event and the terminate event; lets a paused worker go. A host that
// watches no event of its own is asked to stop instead.
void setEvents() {
  void* event;
  {
    std::lock_guard<std::mutex> lock(service().mutex);
    event = service().shutdownEvent;
    service().paused = false;
  }
  // Without an event the stop is noted before the loop is told to end, so that the loop, which
  // carries out noted stops, cannot end first and leave an idle host asleep.
  if (!event) ServiceSystem::shutdownSystem();
  g_terminate.store(true);
  service_detail::wake();
  service().pauseChanged.notify_all();
  if (event) static_cast<Semaphore*>(event)->signal();
}

long long nowMilliseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// How long a report waits for room at a manager that does not read: the service loop sends
// the watchdog's keep-alives and carries out stops, so it may never be held for good.
constexpr int kNotifyWaitMs = 250;

// One report to systemd over the socket the service was started with: 0 when it was sent, else
// the errno value that stopped it.
int send(const std::string& socketName, const std::string& text) {
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::size_t length = socketName.size();
  if (length == 0 || length >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, socketName.data(), length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  // Connected, so that a poll for room waits on the reader's queue.
  const int descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (descriptor < 0) return errno;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  int error = 0;
  if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    error = errno;
  } else {
    const long long deadline = nowMilliseconds() + kNotifyWaitMs;
    for (;;) {
      const ssize_t sent = ::send(descriptor, text.data(), text.size(), MSG_NOSIGNAL);
      if (sent >= 0) {
        error = sent == static_cast<ssize_t>(text.size()) ? 0 : EMSGSIZE;
        break;
      }
      error = errno;
      if (error == EINTR) continue;
      if (error != EAGAIN && error != EWOULDBLOCK) break;
      const long long left = deadline - nowMilliseconds();
      if (left <= 0) break;
      pollfd room = {descriptor, POLLOUT, 0};
      ::poll(&room, 1, static_cast<int>(left));
    }
  }
  ::close(descriptor);
  return error;
}

// A manager that cannot be reached is said once, when it stops answering, and once again
// when it answers again: under systemd a start that times out without a line is a mystery.
std::atomic<bool> g_managerUnreachable{false};

void noteDelivery(const std::string& socketName, int error) {
  if (error == 0) {
    if (g_managerUnreachable.exchange(false))
      Log::message(L"The service manager's socket %s answers again.",
                   detail::pathToWide(socketName.c_str()));
  } else if (!g_managerUnreachable.exchange(true)) {
    Log::warning(
        L"The service manager's socket %s cannot be reached (%s); the service goes on "
        L"and keeps notifying it.",
        detail::pathToWide(socketName.c_str()), detail::pathToWide(std::strerror(error)));
  }
}

bool notifyManager(const std::string& text);

// STOPPING=1, once per run of the service.
void notifyStopping() {
  if (!g_stoppingSent.exchange(true)) notifyManager("STOPPING=1\nSTATUS=stopping");
}

bool notifyManager(const std::string& text) {
  std::string socketName;
  {
    std::lock_guard<std::mutex> lock(service().mutex);
    if (!service().running) return false;
    socketName = service().notifySocket;
  }
  const int error = send(socketName, text);
  noteDelivery(socketName, error);
  return error == 0;
}

// Takes the variable out of the environment; "" when it was not there (or the process runs
// with other rights than its user's, where secure_getenv gives nothing).
std::string takeVariable(const char* name) {
  const char* value = ::secure_getenv(name);
  std::string copy = value ? value : "";
  ::unsetenv(name);
  return copy;
}

// Half of the interval systemd's watchdog asks for, in milliseconds; -1 when it asks for none
// (or for another process).
int watchdogPeriod(const std::string& usec, const std::string& pid) {
  if (usec.empty()) return -1;
  if (!pid.empty() && std::strtol(pid.c_str(), nullptr, 10) != static_cast<long>(::getpid()))
    return -1;
  char* end = nullptr;
  const unsigned long long micro = std::strtoull(usec.c_str(), &end, 10);
  if (*end != '\0' || micro == 0) return -1;
  const unsigned long long half = micro / 2000;
  return half == 0 ? 1 : half > 0x7fffffffULL ? 0x7fffffff : static_cast<int>(half);
}

// Sleeps on the pipe until it is written to or `deadline` (monotonic milliseconds, -1 for
// none) has come; a signal that interrupts the wait does not move the deadline.
void waitForWake(long long deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline >= 0) {
      const long long left = deadline - nowMilliseconds();
      if (left <= 0) return;
      timeout = left > 0x7fffffffLL ? 0x7fffffff : static_cast<int>(left);
    }
    pollfd wait = {g_wakeRead.load(), POLLIN, 0};
    const int ready = ::poll(&wait, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace

namespace service_detail {

void setTestHooks(const std::string& unitDirectory, const std::string& systemctl,
                  const std::string& runningMarker,
                  const std::vector<std::string>& otherDirectories) {
  std::lock_guard<std::mutex> lock(places().mutex);
  places().unitDirectory = unitDirectory;
  places().systemctl = systemctl;
  places().runningMarker = runningMarker;
  places().otherDirectories = otherDirectories;
  places().testing = !unitDirectory.empty();
}

bool signalBlocked(int number) {
  if (number <= 0 || number >= NSIG) return false;
  sigset_t mask;
  if (::pthread_sigmask(SIG_BLOCK, nullptr, &mask) != 0) return false;
  return ::sigismember(&mask, number) == 1;
}

void wake() {
  const int saved = errno;
  const int descriptor = g_wakeWrite.load();
  if (descriptor >= 0) {
    const char byte = 'W';
    // A full pipe already holds a wake-up.
    (void)!::write(descriptor, &byte, 1);
  } else {
    wakeSignalThread();
  }
  errno = saved;
}

bool runningAsService() {
  return g_loopRunning.load();
}

bool stopping() {
  return g_loopRunning.load() && g_stoppingSent.load();
}

bool stopControl() {
  if (!g_loopRunning.load()) return false;
  g_stopControl.store(true);
  wake();
  return true;
}

bool notify(const std::string& text) {
  return notifyManager(text);
}

}  // namespace service_detail

int isService(const wchar_t* name) {
  const std::string unit = narrow(name);
  return validUnitName(unit) && !installedUnit(unit).empty() ? 1 : 0;
}

namespace {

// Whether systemd takes `path` as the program to run, as it is: an absolute, normalised path
// of a file (not a directory), without the characters it refuses in an executable's name
// (quotes, backslashes and control characters). Being absolute, it cannot begin with one of
// the prefixes ('+', '-', '!', '@', ':') that change how a command runs.
bool validProgram(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/' || path.size() >= PATH_MAX)
    return false;
  if (hasControl(path) || path.find_first_of("\"'\\") != std::string::npos) return false;
  std::size_t begin = 1;
  while (begin <= path.size()) {
    std::size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(begin, end - begin);
    if (part.empty() || part == "." || part == "..") return false;
    begin = end + 1;
  }
  return true;
}

// One argument of a command line in a unit, quoted: '%' and '$' doubled so that neither a
// specifier nor a variable is expanded.
std::string quoteArgument(const std::string& argument) {
  std::string value;
  for (char c : argument) {
    if (c == '$') value += c;
    value += c;
  }
  return quoteBytes(escapeValue(value));
}

// The unit file of a service; false when the program path, an argument or the account cannot
// be written into one safely.
bool unitText(std::string description, const std::string& program,
              const std::vector<std::string>& arguments, const std::string& user,
              std::string& text) {
  if (!validProgram(program) || hasControl(user) ||
      user.find_first_of(" \\\"'") != std::string::npos)
    return false;
  std::string command = quotePath(program);
  for (const std::string& argument : arguments) {
    if (hasControl(argument)) return false;
    command += " " + quoteArgument(argument);
  }
  for (char& c : description)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  while (!description.empty() && description.back() == '\\')
    description.pop_back();
  text = "[Unit]\nDescription=" + escapeValue(description) +
         "\n\n[Service]\nType=notify\nExecStart=" + command + "\n";
  if (!user.empty()) text += "User=" + escapeValue(user) + "\n";
  if (const unsigned int seconds = getServiceWatchdog())
    text += "WatchdogSec=" + std::to_string(seconds) + "\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return true;
}

}  // namespace

int service_detail::install(int startMode, const wchar_t* name, const wchar_t* displayName,
                            const wchar_t* program, const std::vector<std::wstring>& arguments,
                            const wchar_t* account, const wchar_t*) {
  const std::string unit = narrow(name);
  if (!preCheck(Mode::kInstall, unit)) return 0;
  std::vector<std::string> narrowArguments;
  for (const std::wstring& argument : arguments)
    narrowArguments.push_back(detail::wideToPath(argument.c_str()));
  std::string text;
  const std::string file = unitFile(unit);
  bool ok = unitText(narrow(displayName), detail::wideToPath(program), narrowArguments,
                     narrow(account), text) &&
            writeUnit(file, text);
  if (ok) ok = systemctl({"daemon-reload"}, nullptr) == 0;
  if (ok && startMode == 1) ok = systemctl({"enable", unit + ".service"}, nullptr) == 0;
  if (!ok) {
    if (exists(file)) {
      ::unlink(file.c_str());
      systemctl({"daemon-reload"}, nullptr);
    }
    say("Failed to install the service (Couldn't create service)\n");
    return 0;
  }
  say("Service successfully installed.\n");
  return 1;
}

int serviceInstall(int startMode, const wchar_t* name, const wchar_t* displayName,
                   const wchar_t* path, const wchar_t* account, const wchar_t* password) {
  return service_detail::install(startMode, name, displayName, path, {}, account, password);
}

int serviceRemove(const wchar_t* name) {
  const std::string unit = narrow(name);
  if (!preCheck(Mode::kRemove, unit)) return 0;
  if (systemctl({"disable", unit + ".service"}, nullptr) != 0) {
    say("Failed to remove the service (Couldn't open the service)\n");
    return 0;
  }
  if (::unlink(unitFile(unit).c_str()) != 0) {
    say("Failed to remove the service\n");
    return 0;
  }
  systemctl({"daemon-reload"}, nullptr);
  say("Service successfully removed.\n");
  return 1;
}

int serviceInitialize(const wchar_t* name, void* worker) {
  if (!name || !worker || std::wcslen(name) > 260) return 0;
  Service& s = service();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.running) return 0;  // one service per process
  }
  // Whatever happens next, the variables are the service's, not its children's.
  const std::string socketName = takeVariable("NOTIFY_SOCKET");
  const std::string watchdogUsec = takeVariable("WATCHDOG_USEC");
  const std::string watchdogPid = takeVariable("WATCHDOG_PID");
  if (socketName.empty()) return 0;
  // A relative name would be looked up from whatever the current directory is.
  if (socketName[0] != '/' && socketName[0] != '@') {
    Log::warning(
        L"NOTIFY_SOCKET=%s is neither an absolute path nor an abstract socket: it is "
        L"ignored, the program runs in the foreground.",
        detail::pathToWide(socketName.c_str()));
    return 0;
  }
  if (!makeWakePipe()) return 0;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.running) return 0;
    std::wcscpy(s.name, name);
    s.worker = reinterpret_cast<void (*)(void*)>(worker);
    s.notifySocket = socketName;
    s.watchdogPeriod = watchdogPeriod(watchdogUsec, watchdogPid);
    s.running = true;
  }
  auto finish = [&s] {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = false;
    s.notifySocket.clear();
  };
  // A manager that does not answer yet is warned of and kept being notified (see noteDelivery).
  g_managerUnreachable.store(false);
  notifyManager("STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000");
  drainWakePipe();
  g_terminate.store(false);
  g_stopControl.store(false);
  g_terminateSignal.store(false);
  g_workerEnded.store(false);
  g_stoppingSent.store(false);
  g_loopRunning.store(true);

  struct sigaction handler, previous;
  std::memset(&handler, 0, sizeof handler);
  handler.sa_handler = onTerminateSignal;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &handler, &previous);

  // Ready once the host system has completed a tick after the worker began.
  const unsigned long ticksBefore = service_detail::tickCount();
  service_detail::wakeOnNextTick();
  std::thread workerThread;
  notifyManager("EXTEND_TIMEOUT_USEC=15000000");
  bool ok = true;
  try {
    workerThread = std::thread([&s] {
      detail::setCurrentThreadName(L"vemo-service");
      handled_exception_thread();  // a stack overflow in the host leaves a report
      s.worker(nullptr);
      g_workerEnded.store(true);
      service_detail::wake();
    });
  } catch (...) {
    ok = false;
  }
  int result = 1;
  if (!ok) {
    setEvents();
  } else {
    const int period = s.watchdogPeriod;
    bool ready = false, stopping = false;
    unsigned long lastTicks = 0;
    // Half-way to each check the host is asked for a pass, so that a live host that sleeps
    // between its passes has a tick to show when the check comes.
    long long nextNudge = -1, nextWatchdog = -1;
    for (;;) {
      waitForWake(!ready || stopping || period < 0 ? -1
                  : nextNudge >= 0                 ? nextNudge
                                                   : nextWatchdog);
      drainWakePipe();
      if (!ready && service_detail::tickCount() != ticksBefore) {
        ready = true;
        notifyManager("READY=1\nSTATUS=running");
        lastTicks = service_detail::tickCount();
        if (period >= 0) {
          nextWatchdog = nowMilliseconds() + period;
          nextNudge = nextWatchdog - period / 2;
        }
      }
      if (g_stopControl.exchange(false) && !stopping) {
        if (g_terminateSignal.exchange(false)) Log::warning(L"%s", L"Termination request.");
        stopping = true;
        notifyStopping();
        setEvents();
      }
      if (service_detail::stopRequested()) {
        service_detail::logNotedSignals();
        service_detail::honourStopRequest();
      }
      const bool ended = g_workerEnded.load();
      if (ended || g_terminate.load()) {
        if (!ready && !stopping && !g_stoppingSent.load()) {
          notifyManager("STATUS=failed to start: the host system ended before it completed a tick");
          result = -1;
        } else {
          notifyStopping();
        }
        break;
      }
      if (ready && period >= 0) {
        const long long now = nowMilliseconds();
        if (nextNudge >= 0 && now >= nextNudge) {
          nextNudge = -1;
          service_detail::nudgeHost();
        }
        if (now >= nextWatchdog) {
          const unsigned long ticks = service_detail::tickCount();
          if (ticks != lastTicks) notifyManager("WATCHDOG=1");
          lastTicks = ticks;
          nextWatchdog = now + period;
          nextNudge = now + period / 2;
        }
      }
    }
  }
  // A stop noted after the loop's last look (a signal, another thread) is carried out here: a
  // host that waits idle would not tick to do it itself.
  if (service_detail::stopRequested()) service_detail::honourStopRequest();
  if (workerThread.joinable()) workerThread.join();
  ::sigaction(SIGTERM, &previous, nullptr);
  g_loopRunning.store(false);
  finish();
  return result;
}

void exitService(unsigned long) {
  // Lets go of the terminate event; the pipe itself stays for the life of the process.
  g_terminate.store(true);
  service_detail::wake();
}

void stopService() {
  notifyStopping();
  setEvents();
}

void pauseService() {
  std::lock_guard<std::mutex> lock(service().mutex);
  service().paused = true;
}

void resumeService() {
  {
    std::lock_guard<std::mutex> lock(service().mutex);
    service().paused = false;
  }
  service().pauseChanged.notify_all();
}

bool isServicePaused() {
  std::lock_guard<std::mutex> lock(service().mutex);
  return service().paused;
}

void waitWhileServicePaused() {
  std::unique_lock<std::mutex> lock(service().mutex);
  service().pauseChanged.wait(lock, [] { return !service().paused; });
}

void setShutdownEvent(void* event) {
  std::lock_guard<std::mutex> lock(service().mutex);
  service().shutdownEvent = event;
}

}  // namespace vemo
