// The parts of the crash handler that do not depend on the platform: the notice and the support
// address it names.
#include "CrashHandler.h"

#include <atomic>
#include <cstring>
#include <mutex>

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

namespace {

// Two buffers: a new address is written into the one no reader is pointed at, then published.
// A crash reads whichever was published last without taking a lock.
constexpr std::size_t kAddressCapacity = 256;
char g_addresses[2][kAddressCapacity];
std::atomic<const char*> g_address{""};
std::mutex g_setLock;  // serialises the writers only

void publishAddress(const char* text, std::size_t length) {
  std::lock_guard<std::mutex> guard(g_setLock);
  char* target = g_address.load() == g_addresses[0] ? g_addresses[1] : g_addresses[0];
  if (length >= kAddressCapacity) length = kAddressCapacity - 1;
  std::memcpy(target, text, length);
  target[length] = '\0';
  g_address.store(target);
}

std::atomic<bool> g_addressSet{false};

}  // namespace

void setCrashSupportAddress(const String& address) {
#if defined(_WIN32)
  const String_T<unsigned char> narrow = StringHelper::wideToAnsi(address.getBuffer());
  const char* text = reinterpret_cast<const char*>(narrow.getBuffer());
#else
  const String_T<char> narrow = StringHelper::wideToUtf8(address.getBuffer());
  const char* text = narrow.getBuffer();
#endif
  publishAddress(text, std::strlen(text));
  g_addressSet.store(true);
}

void setDefaultCrashSupportAddress(const char* programName) {
  if (!g_addressSet.load()) publishAddress(programName, std::strlen(programName));
}

const char* crashSupportAddress() {
  return g_address.load();
}

}  // namespace detail
}  // namespace vemo
