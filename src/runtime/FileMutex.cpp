#include "vemo/core/FileMutex.h"

#include <chrono>
#include <thread>

#include "WaitDeadline.h"

namespace vemo {

Unknown::Handle_T<FileMutex> FileMutex::createInstance(const String& name) {
  return Handle_T<FileMutex>(new FileMutex(name));
}

FileMutex::~FileMutex() {
  unlock();
}

bool FileMutex::lock(unsigned int ms) {
  const detail::WaitDeadline deadline(ms);
  if (isLocked()) return true;
  // Tried every 20 ms, and once more when the time is up.
  while (!tryLock()) {
    const unsigned int left = deadline.left();
    if (left == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(left < 20 ? left : 20));
  }
  return isLocked();
}

void FileMutex::unlock() {
  if (isLocked()) release();
}

}  // namespace vemo
