// Dynamic libraries on Windows: LoadLibraryW, GetProcAddress and FreeLibrary, with the text of
// the last system error for failures.
#include <windows.h>

#include "vemo/core/DllModule.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

bool DllModule::load(const String& fileName) {
  HMODULE module = LoadLibraryW(fileName.getBuffer());
  if (!module) {
    const String error = getLastErrorString();
    Log::error(L"Unable to load %s.  %s", fileName.getBuffer(), error.getBuffer());
    return false;
  }
  DllModule::unload();
  _module = module;
  _fileName = fileName;
  return true;
}

void DllModule::unload() {
  if (!_module) return;
  FreeLibrary(static_cast<HMODULE>(_module));
  _module = nullptr;
  _fileName = String();
}

void* DllModule::getProcAddress(const wchar_t* name) const {
  if (!_module) return nullptr;
  const String_T<char> procedure = StringHelper::wideToUtf8(name);
  FARPROC address = GetProcAddress(static_cast<HMODULE>(_module), procedure.getBuffer());
  if (!address) {
    const String error = getLastErrorString();
    Log::error(
        L"The procedure entry point %s could not be located in the dynamic link library %s. %s",
        name ? name : L"", _fileName.getBuffer(), error.getBuffer());
    return nullptr;
  }
  return reinterpret_cast<void*>(address);
}

}  // namespace vemo
