// Dynamic libraries on Windows: LoadLibraryW, GetProcAddress and the last error's text.
#include <windows.h>

#include "DllModule.h"
#include "vemo/core/Exception.h"

namespace vemo {
namespace detail {

void* openModule(const String& fileName, String& error) {
  HMODULE module = LoadLibraryW(fileName.getBuffer());
  if (!module) error = getLastErrorString();
  return module;
}

void closeModule(void* module) {
  FreeLibrary(static_cast<HMODULE>(module));
}

void* findProcedure(void* module, const char* name, String& error) {
  FARPROC address = GetProcAddress(static_cast<HMODULE>(module), name);
  if (!address) {
    error = getLastErrorString();
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

}  // namespace detail
}  // namespace vemo
