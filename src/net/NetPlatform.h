// What vemo_net needs of the operating system (NetPlatform_posix.cpp, NetPlatform_win32.cpp).
#pragma once

#include <string>

namespace vemo {
namespace net {

// While it lives, files this process creates have no access for the group and others (the
// process's file creation mask; a no-op where there is none).
class FileCreationMask {
 public:
  FileCreationMask();
  ~FileCreationMask();
  FileCreationMask(const FileCreationMask&) = delete;
  FileCreationMask& operator=(const FileCreationMask&) = delete;

 private:
  unsigned int _saved;
};

// Gives the file the permission bits `mode` (e.g. 0600); true where there are none to give.
bool setFileMode(const std::string& path, int mode);

}  // namespace net
}  // namespace vemo
