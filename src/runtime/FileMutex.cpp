#include "vemo/core/FileMutex.h"

#include <chrono>
#include <thread>

#include "vemo/core/Tick.h"

namespace vemo {

Unknown::Handle_T<FileMutex> FileMutex::createInstance(const String& name) {
  return Handle_T<FileMutex>(new FileMutex(name));
}

FileMutex::~FileMutex() {
  unlock();
}

bool FileMutex::lock(unsigned int ms) {
  const unsigned int start = getTimeTick();
  if (isLocked()) return true;
  while (!tryLock()) {
    if (ms != 0xFFFFFFFFu && getTimeTick() - start >= ms) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return isLocked();
}

void FileMutex::unlock() {
  if (isLocked()) release();
}

}  // namespace vemo
