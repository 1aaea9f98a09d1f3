#include "BoxPlatform.h"

namespace vemo {
namespace net {

// Windows: the socket files of ipc:// endpoints are left to ZeroMQ.
SocketFile noteSocketFile(const std::string& path) {
  SocketFile file;
  file.path = path;
  return file;
}

void removeSocketFile(const SocketFile&) {}

}  // namespace net
}  // namespace vemo
