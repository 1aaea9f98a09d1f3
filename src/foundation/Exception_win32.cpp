// System error texts on Windows: the system's message table through FormatMessageW.
#include <windows.h>

#include "vemo/core/Exception.h"

namespace vemo {

String getErrorString(unsigned long code) {
  String result;
  wchar_t* text = nullptr;
  // Allocate the buffer, ignore inserts, the system's table; neutral/default language.
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
  const DWORD length = FormatMessageW(flags, nullptr, static_cast<DWORD>(code),
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (text) {
    DWORD end = length;
    while (end > 0 && (text[end - 1] == L'\n' || text[end - 1] == L'\r'))
      --end;
    text[end] = L'\0';
    result = String(text);
    LocalFree(text);
  }
  return result;
}

String getLastErrorString() {
  return getErrorString(GetLastError());
}

}  // namespace vemo
