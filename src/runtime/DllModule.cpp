#include "vemo/core/DllModule.h"

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

}  // namespace vemo
