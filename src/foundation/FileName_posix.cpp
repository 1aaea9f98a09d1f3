// Names on POSIX systems are bytes: UTF-8 where they are, escaped bytes where they are not.
#include <cstring>
#include <cwchar>

#include "FileName.h"
#include "StringData.h"

namespace vemo {
namespace detail {

NativeName wideToPath(const wchar_t* name) {
  if (!name) return NativeName();
  const std::size_t n = std::wcslen(name);
  // Exactly n bytes for an ASCII name: one conversion, one block (none for short names).
  NativeName bytes(n, '\0');
  const std::size_t total =
      wideToNameBytes(name, n, reinterpret_cast<unsigned char*>(bytes.data()), n);
  if (total != n) {
    bytes.resize(total);
    wideToNameBytes(name, n, reinterpret_cast<unsigned char*>(bytes.data()), total);
  }
  return bytes;
}

String pathToWide(const PathChar* name, std::size_t n) {
  if (!name || n == 0) return String();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
  const std::size_t units = nameBytesToWide(bytes, n, nullptr, 0);
  wchar_t* chars = StringAccess::allocate<wchar_t>(units, static_cast<int>(units));
  nameBytesToWide(bytes, n, chars, units);
  return StringAccess::adopt(chars);
}

String pathToWide(const PathChar* name) {
  return name ? pathToWide(name, std::strlen(name)) : String();
}

}  // namespace detail
}  // namespace vemo
