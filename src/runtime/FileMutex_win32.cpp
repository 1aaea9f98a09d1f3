// The lock file on Windows: the file opened for reading and writing without sharing, which no
// other open can get until it is closed.
#include <windows.h>

#include "vemo/core/FileMutex.h"

namespace vemo {

bool FileMutex::tryLock() {
  HANDLE file = CreateFileW(_name.getBuffer(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  _handle = reinterpret_cast<std::intptr_t>(file);
  return true;
}

void FileMutex::release() {
  CloseHandle(reinterpret_cast<HANDLE>(_handle));
  _handle = kNotHeld;
  DeleteFileW(_name.getBuffer());
}

}  // namespace vemo
