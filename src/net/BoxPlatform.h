// What BoxEndpoint needs of the operating system (BoxPlatform_posix.cpp, BoxPlatform_win32.cpp).
#pragma once

#include <string>

namespace vemo {
namespace net {

// The socket file of an ipc:// endpoint as it was bound. ZeroMQ leaves the file behind when it
// unbinds; the endpoint removes it, but only while the path still names that same socket (not
// one that another process has bound there since, nor anything else).
struct SocketFile {
  std::string path;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  bool known = false;
};

// The socket at `path` (not following a symbolic link); not known when there is none.
SocketFile noteSocketFile(const std::string& path);
// Removes the file when it is still the socket noted.
void removeSocketFile(const SocketFile& file);

}  // namespace net
}  // namespace vemo
