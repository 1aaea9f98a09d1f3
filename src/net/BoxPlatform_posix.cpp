#include <sys/stat.h>
#include <unistd.h>

#include "BoxPlatform.h"

namespace vemo {
namespace net {

SocketFile noteSocketFile(const std::string& path) {
  SocketFile file;
  file.path = path;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
    file.device = static_cast<unsigned long long>(info.st_dev);
    file.inode = static_cast<unsigned long long>(info.st_ino);
    file.known = true;
  }
  return file;
}

void removeSocketFile(const SocketFile& file) {
  if (!file.known) return;
  const SocketFile now = noteSocketFile(file.path);
  if (now.known && now.device == file.device && now.inode == file.inode)
    ::unlink(file.path.c_str());
}

}  // namespace net
}  // namespace vemo
