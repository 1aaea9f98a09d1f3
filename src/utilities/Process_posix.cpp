// Process helpers on POSIX systems: /proc/self/exe for the executable, getcwd/chdir, mkdir, and
// directory listings from readdir with the entry types it gives (fstatat where it gives none).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "FileName.h"
#include "Process.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"

namespace vemo {
namespace detail {
namespace {

// Paths longer than this are not the executable's or the current directory's on any system we
// run on; the limit keeps a failing call from growing its buffer without end.
constexpr std::size_t kPathLimit = 1 << 20;

// A symbolic link is followed to tell a file; directories count only as themselves, so that a
// recursive scan cannot run round a loop of links.
unsigned entryKinds(int directory, const dirent& entry) {
  unsigned kinds = entry.d_name[0] == '.' ? kEntryHidden : 0u;
  unsigned char type = entry.d_type;
  struct stat status;
  if (type == DT_UNKNOWN) {
    if (fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return kinds;
    type = S_ISDIR(status.st_mode)   ? DT_DIR
           : S_ISREG(status.st_mode) ? DT_REG
           : S_ISLNK(status.st_mode) ? DT_LNK
                                     : DT_UNKNOWN;
  }
  if (type == DT_DIR) return kinds | kEntryDirectory;
  if (type == DT_REG) return kinds | kEntryFile;
  if (type == DT_LNK && fstatat(directory, entry.d_name, &status, 0) == 0 &&
      S_ISREG(status.st_mode))
    return kinds | kEntryFile;
  return kinds;
}

}  // namespace

void enumerateDirectory(const String& directory, DirectoryVisitor& visitor) {
  const NativeName path = wideToPath(directory.isEmpty() ? L"." : directory.getBuffer());
  DIR* listing = opendir(path.c_str());
  if (!listing) return;
  const int descriptor = dirfd(listing);
  while (const dirent* entry = readdir(listing)) {
    const String name = pathToWide(entry->d_name);
    if (!visitor.visit(name.getBuffer(), entryKinds(descriptor, *entry))) break;
  }
  closedir(listing);
}

void makeDirectory(const String& path) {
  mkdir(wideToPath(path).c_str(), 0777);
}

}  // namespace detail

std::vector<String> getProgramArguments(int argc, char** argv) {
  std::vector<String> arguments;
  for (int i = 0; i < argc && argv && argv[i]; ++i)
    arguments.push_back(detail::pathToWide(argv[i]));
  return arguments;
}

String getAppName() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return String();
    if (static_cast<std::size_t>(length) < buffer.size())
      return detail::pathToWide(buffer.data(), static_cast<std::size_t>(length));
    if (buffer.size() >= detail::kPathLimit) return String();
    buffer.resize(buffer.size() * 2);
  }
}

String getCurrentDirectory() {
  std::vector<char> buffer(1024);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() >= detail::kPathLimit) {
      Log::error(L"GetCurrentDirectory : %s", getLastErrorString().getBuffer());
      return String();
    }
    buffer.resize(buffer.size() * 2);
  }
  return detail::pathToWide(buffer.data());
}

bool setCurrentDirectory(const wchar_t* directory) {
  if (!directory)
    errno = EFAULT;
  else if (chdir(detail::wideToPath(directory).c_str()) == 0)
    return true;
  Log::error(L"SetCurrentDirectory : %s", getLastErrorString().getBuffer());
  return false;
}

}  // namespace vemo
