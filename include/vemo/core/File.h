// File: operating-system files.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

class VEMO_CORE_API File {
 public:
  // The text of the calling thread's current errno, named by its symbolic meaning, e.g.
  // "ENOENT: No such file or directory."; "" for 0 and "UNKNOWN: Unknown error" for a value
  // without a text.
  static const wchar_t* getLastError();
};

}  // namespace vemo
