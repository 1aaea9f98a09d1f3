#include <sys/stat.h>

#include "NetPlatform.h"

namespace vemo {
namespace net {

FileCreationMask::FileCreationMask() : _saved(static_cast<unsigned int>(umask(077))) {}

FileCreationMask::~FileCreationMask() {
  umask(static_cast<mode_t>(_saved));
}

bool setFileMode(const std::string& path, int mode) {
  return chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace net
}  // namespace vemo
