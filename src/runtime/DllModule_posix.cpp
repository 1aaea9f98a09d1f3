// Dynamic libraries on POSIX systems: dlopen with every symbol bound at once (as Windows binds
// a library's imports when it loads it), dlsym, and dlerror's text for failures.
#include <dlfcn.h>
#include <errno.h>

#include "DllModule.h"
#include "FileName.h"
#include "vemo/core/Exception.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace detail {
namespace {

String lastDlError() {
  const char* text = dlerror();
  return text ? StringHelper::utf8ToWide(text) : String();
}

}  // namespace

void* openModule(const String& fileName, String& error) {
  // dlopen of an empty name gives the program itself, which is no library by that name.
  if (fileName.isEmpty()) {
    error = getErrorString(ENOENT);
    return nullptr;
  }
  void* module = dlopen(wideToPath(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) error = lastDlError();
  return module;
}

void closeModule(void* module) {
  dlclose(module);
}

void* findProcedure(void* module, const char* name, String& error) {
  dlerror();  // a symbol may have the value null: only a new error text tells a failure
  void* address = dlsym(module, name);
  if (!address) error = lastDlError();
  return address;
}

}  // namespace detail
}  // namespace vemo
