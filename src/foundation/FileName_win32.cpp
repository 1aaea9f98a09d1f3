// Names on Windows are UTF-16, as the library's wide strings are: they pass unchanged.
#include <cwchar>

#include "FileName.h"
#include "StringData.h"

namespace vemo {
namespace detail {

NativeName wideToPath(const wchar_t* name) {
  return name ? NativeName(name) : NativeName();
}

String pathToWide(const PathChar* name, std::size_t n) {
  if (!name) return String();
  return StringAccess::copy(name, n, static_cast<int>(n));
}

String pathToWide(const PathChar* name) {
  return name ? pathToWide(name, std::wcslen(name)) : String();
}

}  // namespace detail
}  // namespace vemo
