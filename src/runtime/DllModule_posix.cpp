// Dynamic libraries on POSIX systems: dlopen with every symbol bound at once (as Windows binds
// a library's imports when it loads it), dlsym, and dlerror's text for failures.
#include <dlfcn.h>
#include <errno.h>

#include "vemo/core/DllModule.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

String lastDlError() {
  const char* text = dlerror();
  return text ? StringHelper::utf8ToWide(text) : String();
}

}  // namespace

bool DllModule::load(const String& fileName) {
  // dlopen of an empty name gives the program itself, which is no library by that name.
  void* module = fileName.isEmpty()
                     ? nullptr
                     : dlopen(StringHelper::wideToUtf8(fileName.getBuffer()).getBuffer(),
                              RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const String error = fileName.isEmpty() ? getErrorString(ENOENT) : lastDlError();
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
  dlclose(_module);
  _module = nullptr;
  _fileName = String();
}

void* DllModule::getProcAddress(const wchar_t* name) const {
  if (!_module) return nullptr;
  dlerror();  // a symbol may have the value null: only a new error text tells a failure
  void* address = dlsym(_module, StringHelper::wideToUtf8(name).getBuffer());
  if (address) return address;
  const String error = lastDlError();
  if (error.isEmpty()) return nullptr;
  Log::error(
      L"The procedure entry point %s could not be located in the dynamic link library %s. %s",
      name ? name : L"", _fileName.getBuffer(), error.getBuffer());
  return nullptr;
}

}  // namespace vemo
