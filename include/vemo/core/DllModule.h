/// \file
/// DllModule: a dynamic library loaded at run time, with failures reported through Log.
///
/// \code
/// auto module = vemo::DllModule::createInstance();
/// if (module->load(L"plugin.dll")) {
///   auto entry = reinterpret_cast<int (*)()>(module->getProcAddress(L"pluginEntry"));
///   if (entry) entry();
/// }
/// \endcode
///
/// A failed load logs the error "Unable to load <file>.  <system text>"; a missing procedure
/// logs "The procedure entry point <name> could not be located in the dynamic link library
/// <file>. <system text>". The system text is the last system error on Windows and dlerror()'s
/// text on POSIX systems. Nothing throws. The module is freed by unload() or when the object goes.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// A dynamic library loaded at run time, and the functions looked up in it.
class VEMO_CORE_API DllModule : public virtual Unknown {
  VEMO_DECLARE_CLASS(DllModule)

 public:
  ~DllModule() override;

  /// Loads the library `fileName` (the system's search rules apply to a bare name). On success
  /// keeps its handle and name, after freeing any library loaded before; on failure logs and
  /// returns false, keeping what was loaded.
  virtual bool load(const String& fileName);
  /// Frees the library, if one is loaded, and empties the file name.
  virtual void unload();

  /// The address of the exported procedure `name` (converted to UTF-8); null without a word when
  /// nothing is loaded, null after logging when the library lacks it.
  void* getProcAddress(const wchar_t* name) const;
  /// The name given to the successful load(); empty while nothing is loaded.
  const String& getFileName() const { return _fileName; }

 protected:
  DllModule() = default;
  DllModule(const DllModule&) = delete;
  DllModule& operator=(const DllModule&) = delete;

 private:
  void* _module = nullptr;
  String _fileName;
};

}  // namespace vemo
