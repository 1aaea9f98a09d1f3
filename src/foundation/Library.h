// The library's own module, recorded by its entry point when it is loaded, and functions looked
// up in modules loaded at run time.
#pragma once

namespace vemo {
namespace detail {

// The module handle of this library: the address at which it is loaded.
void* libraryModule();

// Windows: the function `name` of the loaded module `module` (GetProcAddress), null when it
// has none. Through the generic function type, which converts to any other without a warning.
using AnyFunction = void (*)();
AnyFunction procedureAddress(void* module, const char* name);

// procedureAddress as the function type of the slot; true when found.
template <class Function>
bool lookUpProcedure(void* module, const char* name, Function& slot) {
  slot = reinterpret_cast<Function>(procedureAddress(module, name));
  return slot != nullptr;
}

}  // namespace detail
}  // namespace vemo
