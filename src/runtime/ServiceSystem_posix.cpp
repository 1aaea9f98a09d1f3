// The service host on Linux, where the service manager is systemd. A service is the unit file
// "<name>.service" in the system unit directory; installing writes it (atomically, by renaming a
// finished temporary file) and reloads systemd, removing disables it, deletes it and reloads.
// The running service speaks systemd's notification protocol by hand: one datagram per report
// to the socket named by NOTIFY_SOCKET (a leading '@' names an abstract socket).
//
// SIGTERM is systemd's stop control. While serviceInitialize runs it owns that signal: the
// handler only writes one byte into a pipe, and the thread that called serviceInitialize reads
// it and does the stopping work outside the handler.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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
#include "Utf.h"
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

// A program path in quotes. Unit files are UTF-8 text: a byte of the path that is no part of a
// UTF-8 character is written as a C escape (\xNN), which systemd reads back as that byte.
std::string quotePath(const std::string& path) {
  const std::string value = escapeValue(path);
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
  if (mode == Mode::kInstall) {
    if (!exists(file)) return true;
    say("The service already exists!\n");
    std::printf("The current server installed: %s\n", installedPath(file).c_str());
    std::fflush(stdout);
    return false;
  }
  if (!exists(file)) {
    say("The service doesn't exist!\n");
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
  std::string temporary = file + ".XXXXXX";
  const std::size_t slash = temporary.rfind('/');
  temporary.insert(slash + 1, ".");
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
  int terminate[2] = {-1, -1};  // the terminate event: a byte in the pipe sets it
  bool paused = false;
  std::condition_variable pauseChanged;
};

Service& service() {
  static Service* s = new Service();  // worker threads may outlive static destruction
  return *s;
}

std::atomic<int> g_signalPipe{-1};

void onTerminateSignal(int) {
  const int saved = errno;
  const int descriptor = g_signalPipe.load(std::memory_order_relaxed);
  if (descriptor >= 0) {
    const char stop = 'T';
    (void)!::write(descriptor, &stop, 1);
  }
  errno = saved;
}

// Sets the host's shutdown event (if any) and the terminate event.
void setEvents() {
  void* event;
  {
    std::lock_guard<std::mutex> lock(service().mutex);
    event = service().shutdownEvent;
    if (service().terminate[1] >= 0) {
      const char set = 'E';
      (void)!::write(service().terminate[1], &set, 1);
    }
    service().paused = false;
  }
  service().pauseChanged.notify_all();
  if (event) static_cast<Semaphore*>(event)->signal();
}

// One report to systemd; false when it could not be sent.
bool notify(const std::string& text) {
  const char* socketName = std::getenv("NOTIFY_SOCKET");
  if (!socketName || !socketName[0]) return false;
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::size_t length = std::strlen(socketName);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socketName, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  const int descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent;
  do {
    sent = ::sendto(descriptor, text.data(), text.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), size);
  } while (sent < 0 && errno == EINTR);
  ::close(descriptor);
  return sent == static_cast<ssize_t>(text.size());
}

// Half of the interval systemd's watchdog asks for, in milliseconds; -1 when it asks for none.
int watchdogPeriod() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (!usec || !usec[0]) return -1;
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid && pid[0] && std::strtol(pid, nullptr, 10) != static_cast<long>(::getpid())) return -1;
  char* end = nullptr;
  const unsigned long long micro = std::strtoull(usec, &end, 10);
  if (*end != '\0' || micro == 0) return -1;
  const unsigned long long half = micro / 2000;
  return half == 0 ? 1 : half > 0x7fffffffULL ? 0x7fffffff : static_cast<int>(half);
}

}  // namespace

namespace service_detail {
void setTestHooks(const std::string& unitDirectory, const std::string& systemctl,
                  const std::string& runningMarker) {
  std::lock_guard<std::mutex> lock(places().mutex);
  places().unitDirectory = unitDirectory;
  places().systemctl = systemctl;
  places().runningMarker = runningMarker;
}
}  // namespace service_detail

int isService(const wchar_t* name) {
  const std::string unit = narrow(name);
  return validUnitName(unit) && exists(unitFile(unit)) ? 1 : 0;
}

namespace {

// The unit file of a service; false when the program path or the account cannot be written
// into one safely.
bool unitText(std::string description, const std::string& program, const std::string& user,
              std::string& text) {
  if (program.empty() || hasControl(program) || hasControl(user) ||
      user.find_first_of(" \\\"'") != std::string::npos)
    return false;
  for (char& c : description)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  while (!description.empty() && description.back() == '\\')
    description.pop_back();
  text = "[Unit]\nDescription=" + escapeValue(description) +
         "\n\n[Service]\nType=notify\nExecStart=" + quotePath(program) + "\n";
  if (!user.empty()) text += "User=" + escapeValue(user) + "\n";
  if (const unsigned int seconds = getServiceWatchdog())
    text += "WatchdogSec=" + std::to_string(seconds) + "\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return true;
}

}  // namespace

int serviceInstall(int startMode, const wchar_t* name, const wchar_t* displayName,
                   const wchar_t* path, const wchar_t* account, const wchar_t*) {
  const std::string unit = narrow(name);
  if (!preCheck(Mode::kInstall, unit)) return 0;
  std::string text;
  const std::string file = unitFile(unit);
  bool ok = unitText(narrow(displayName), detail::wideToPath(path), narrow(account), text) &&
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
  const char* socketName = std::getenv("NOTIFY_SOCKET");
  if (!socketName || !socketName[0] || !name || !worker || std::wcslen(name) > 260) return 0;
  Service& s = service();
  int terminate[2];
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.terminate[0] >= 0) return 0;  // one service per process
    std::wcscpy(s.name, name);
    s.worker = reinterpret_cast<void (*)(void*)>(worker);
  }
  // A socket that cannot be reached is a manager that cannot be reached: run in the foreground.
  if (!notify("STATUS=starting\nEXTEND_TIMEOUT_USEC=8000000")) return 0;
  if (::pipe2(terminate, O_CLOEXEC | O_NONBLOCK) != 0) {
    exitService(static_cast<unsigned long>(errno));
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.terminate[0] = terminate[0];
    s.terminate[1] = terminate[1];
  }
  struct sigaction handler, previous;
  std::memset(&handler, 0, sizeof handler);
  handler.sa_handler = onTerminateSignal;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = SA_RESTART;
  g_signalPipe.store(terminate[1]);
  ::sigaction(SIGTERM, &handler, &previous);

  std::thread workerThread;
  bool ok = notify("EXTEND_TIMEOUT_USEC=15000000");
  if (ok) {
    try {
      workerThread = std::thread(s.worker, nullptr);
    } catch (...) {
      ok = false;
    }
  }
  if (ok) ok = notify("READY=1\nSTATUS=running");
  if (!ok) {
    setEvents();
  } else {
    const int period = watchdogPeriod();
    unsigned long lastTicks = service_detail::tickCount();
    for (;;) {
      pollfd wait = {terminate[0], POLLIN, 0};
      const int ready = ::poll(&wait, 1, period);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) {
        const unsigned long ticks = service_detail::tickCount();
        if (ticks != lastTicks) notify("WATCHDOG=1");
        lastTicks = ticks;
        continue;
      }
      char byte = 0;
      if (::read(terminate[0], &byte, 1) != 1) continue;
      if (byte == 'T') {
        notify("STOPPING=1\nSTATUS=stopping");
        setEvents();
      }
      break;
    }
  }
  if (workerThread.joinable()) workerThread.join();
  ::sigaction(SIGTERM, &previous, nullptr);
  g_signalPipe.store(-1);
  exitService(0);
  return 1;
}

void exitService(unsigned long) {
  std::lock_guard<std::mutex> lock(service().mutex);
  for (int& descriptor : service().terminate) {
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
  }
}

void stopService() {
  notify("STOPPING=1\nSTATUS=stopping");
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
