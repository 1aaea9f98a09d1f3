// The parts of the crash handler that do not depend on the platform: the notices, the support
// address and report directory they name, and the claim of a report's two files.
#include "CrashHandler.h"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <type_traits>

#include "FileName.h"
#include "SafeText.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace detail {

const char kCrashNotice[] =
    "This application has halted due to an unexpected error.\n"
    "A crash report and minidump file were saved to disk, you can find them here:\n"
    "%s\n%s\n"
    "Please send the log file to %s to help us analyse\n"
    "and solve this problem.\n\n"
    "NOTE: The crash report and minidump files can contain some sensitive information\n"
    "(filenames, partial file content, usernames and passwords etc.)\n";

const char kCrashNoReportNotice[] =
    "This application has halted due to an unexpected error.\n"
    "No crash report could be saved: no directory would take one.\n"
    "Please tell %s about this problem.\n";

const char kCrashNoDescriptorNotice[] =
    "This application has halted due to an unexpected error.\n"
    "No crash report could be saved: the process has no file descriptor left (%s)\n"
    "Please tell %s about this problem.\n";

namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

// Windows takes '/' between names as well as its own separator.
bool isSeparator(char c) {
#if defined(_WIN32)
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

// A text that a crash may read at any moment without a lock: a new value is written into the
// buffer no reader is pointed at, then published. Writers are serialised among themselves by a
// flag, which unlike a mutex has no destructor: a late crash finds the object whole.
template <std::size_t kCapacity>
class PublishedText {
 public:
  void publish(const char* text, std::size_t length) {
    while (_writing.test_and_set(std::memory_order_acquire))
      std::this_thread::yield();
    char* target = _current.load() == _buffers[0] ? _buffers[1] : _buffers[0];
    if (length >= kCapacity) length = kCapacity - 1;
    std::memcpy(target, text, length);
    target[length] = '\0';
    _current.store(target);
    _writing.clear(std::memory_order_release);
  }
  const char* get() const { return _current.load(); }

 private:
  char _buffers[2][kCapacity] = {};
  std::atomic<const char*> _current{""};
  std::atomic_flag _writing = ATOMIC_FLAG_INIT;
};

// A crash may come after the static destructors have run (from an atexit handler or a module
// unloaded later): what it reads here must not have been destroyed.
using SupportAddress = PublishedText<600>;
using ReportDirectory = PublishedText<kCrashDirectoryCapacity>;
static_assert(std::is_trivially_destructible<SupportAddress>::value &&
                  std::is_trivially_destructible<ReportDirectory>::value,
              "the published texts outlive the static destructors");
SupportAddress g_supportAddress;
std::atomic<bool> g_addressSet{false};
ReportDirectory g_reportDirectory;

// A text in the encoding of the process's narrow file names and output.
String_T<char> narrowText(const String& text) {
#if defined(_WIN32)
  const String_T<unsigned char> narrow = StringHelper::wideToAnsi(text.getBuffer());
  return String_T<char>(reinterpret_cast<const char*>(narrow.getBuffer()));
#else
  return StringHelper::wideToUtf8(text.getBuffer());
#endif
}

template <typename Published>
void publish(Published& target, const String_T<char>& text) {
  target.publish(text.getBuffer(), std::strlen(text.getBuffer()));
}

// "crash@<stamp>[-<pid>].<extension>" in `directory`.
void crashFileName(const char* directory, const char* stamp, unsigned long processId,
                   const char* extension, char (&path)[kCrashPathCapacity]) {
  SafeText name(path, sizeof path);
  name.text(directory).text("crash@").text(stamp);
  if (processId != 0) name.text("-").decimal(static_cast<long long>(processId));
  name.text(".").text(extension);
}

// One attempt at both names: `taken` when either exists (nothing is kept then).
CrashFileCreator::Claim claimPair(CrashFileCreator& creator, CrashFiles& files) {
  const CrashFileCreator::Claim dump = creator.create(0, files.dump);
  if (dump != CrashFileCreator::Claim::created) return dump;
  const CrashFileCreator::Claim log = creator.create(1, files.log);
  if (log != CrashFileCreator::Claim::created) creator.release(0, files.dump);
  return log;
}

CrashFileCreator::Claim claimIn(const char* directory, CrashFileCreator& creator,
                                CrashFiles& files) {
  constexpr int kClockReadings = 3;
  CrashFileCreator::Claim claim = CrashFileCreator::Claim::taken;
  char stamp[32];
  for (int attempt = 0; attempt <= kClockReadings; ++attempt) {
    // The last attempt keeps the last reading and adds the process id.
    if (attempt < kClockReadings) creator.stamp(stamp);
    const unsigned long processId = attempt < kClockReadings ? 0 : creator.processId();
    crashFileName(directory, stamp, processId, "dmp", files.dump);
    crashFileName(directory, stamp, processId, "log", files.log);
    claim = claimPair(creator, files);
    if (claim != CrashFileCreator::Claim::taken) return claim;
  }
  return claim;
}

}  // namespace

void setCrashSupportAddress(const String& address) {
  publish(g_supportAddress, narrowText(address));
  g_addressSet.store(true);
}

void setDefaultCrashSupportAddress(const char* programName) {
  if (!g_addressSet.load()) g_supportAddress.publish(programName, std::strlen(programName));
}

const char* crashSupportAddress() {
  return g_supportAddress.get();
}

bool setCrashReportDirectory(const String& directory) {
  if (directory.getLength() == 0) {
    g_reportDirectory.publish("", 0);
    return true;
  }
  // Made absolute now: the notice names the full path, and the program may change its current
  // directory before it crashes.
  std::error_code ignored;
#if defined(_WIN32)
  const std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::path(directory.getBuffer()), ignored);
  String_T<char> text = narrowText(absolute.empty() ? directory : String(absolute.c_str()));
#else
  const std::string given = detail::wideToPath(directory);
  const std::filesystem::path absolute =
      std::filesystem::absolute(std::filesystem::path(given), ignored);
  String_T<char> text(absolute.empty() ? given.c_str() : absolute.c_str());
#endif
  const std::size_t length = std::strlen(text.getBuffer());
  if (length > 0 && !isSeparator(text.getBuffer()[length - 1])) {
    const char separator[2] = {kSeparator, '\0'};
    text += separator;
  }
  if (std::strlen(text.getBuffer()) >= kCrashDirectoryCapacity) return false;
  publish(g_reportDirectory, text);
  return true;
}

const char* crashReportDirectory() {
  return g_reportDirectory.get();
}

void CrashDirectories::add(const char* directory) {
  if (!directory || !*directory || _count == kCapacity) return;
  const std::size_t length = std::strlen(directory);
  const bool separated = isSeparator(directory[length - 1]);
  if (length + (separated ? 0 : 1) >= sizeof _paths[0]) return;
  char* target = _paths[_count];
  std::memcpy(target, directory, length);
  if (!separated) target[length] = kSeparator;
  target[length + (separated ? 0 : 1)] = '\0';
  for (int i = 0; i < _count; ++i)
    if (std::strcmp(_paths[i], target) == 0) return;
  ++_count;
}

bool claimCrashFiles(const CrashDirectories& directories, CrashFileCreator& creator,
                     CrashFiles& files) {
  for (int i = 0; i < directories.count(); ++i)
    if (claimIn(directories[i], creator, files) == CrashFileCreator::Claim::created) return true;
  files.dump[0] = files.log[0] = '\0';
  return false;
}

}  // namespace detail
}  // namespace vemo
