#include "NetPlatform.h"

namespace vemo {
namespace net {

// Windows has no file creation mask and no permission bits: an ipc:// endpoint's socket file
// takes the access of the directory it is made in.
FileCreationMask::FileCreationMask() : _saved(0) {}

FileCreationMask::~FileCreationMask() = default;

bool setFileMode(const std::string&, int) {
  return true;
}

}  // namespace net
}  // namespace vemo
