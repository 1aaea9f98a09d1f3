#include "vemo/core/DllModule.h"

#include "DllModule.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

// The class has its name and id like every class of the library, but is not entered in the
// class registry: there is nothing to rebuild from bytes.
const String DllModule::g_className_(L"DllModule");
const unsigned int DllModule::g_classId_ = Unknown::ClassType::computeId(DllModule::g_className_);
const bool DllModule::g_setUpCreator_ = false;

const wchar_t* DllModule::getClassTimestamp() const {
  return Unknown::getClassTimestamp();
}

DllModule::~DllModule() {
  DllModule::unload();
}

// A failed load keeps the module already loaded; a successful one replaces it.
bool DllModule::load(const String& fileName) {
  String error;
  void* module = detail::openModule(fileName, error);
  if (!module) {
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
  detail::closeModule(_module);
  _module = nullptr;
  _fileName = String();
}

void* DllModule::getProcAddress(const wchar_t* name) const {
  if (!_module) return nullptr;
  String error;
  void* address = detail::findProcedure(_module, StringHelper::wideToUtf8(name).getBuffer(), error);
  if (!address && !error.isEmpty()) {
    Log::error(
        L"The procedure entry point %s could not be located in the dynamic link library %s. %s",
        name ? name : L"", _fileName.getBuffer(), error.getBuffer());
  }
  return address;
}

}  // namespace vemo
