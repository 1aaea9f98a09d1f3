// Code-page conversion on Windows: MultiByteToWideChar and WideCharToMultiByte without flags,
// so that broken or unconvertible input is replaced as the system's converter does.
#include <windows.h>

#include <climits>
#include <cstring>
#include <vector>

#include "Charset.h"

namespace vemo {
namespace detail {
namespace {

// Runs `convert(out, room)` (a converter call returning the units written, 0 on failure) so
// that at most `room` units land in `out` and the length of the whole result is returned.
template <class Unit, class Convert>
long convertInto(Unit* out, std::size_t room, Convert convert) {
  const int total = convert(static_cast<Unit*>(nullptr), 0);
  if (total <= 0) return GetLastError() == ERROR_INVALID_PARAMETER ? -1 : 0;
  if (out && room >= static_cast<std::size_t>(total)) {
    convert(out, total);
  } else if (out && room > 0) {
    std::vector<Unit> whole(static_cast<std::size_t>(total));
    convert(whole.data(), total);
    std::memcpy(out, whole.data(), room * sizeof(Unit));
  }
  return total;
}

}  // namespace

// 0 stands for the system's ANSI code page, which the converter takes as CP_ACP itself.
int systemCodePage() {
  return GetACP() == CP_UTF8 ? kUtf8CodePage : 0;
}

long codePageToWide(int codePage, const unsigned char* in, std::size_t n, wchar_t* out,
                    std::size_t room) {
  if (n == 0) return 0;
  if (n > INT_MAX || (codePage != CP_ACP && !IsValidCodePage(static_cast<UINT>(codePage))))
    return -1;
  return convertInto(out, room, [&](wchar_t* to, int size) {
    return MultiByteToWideChar(static_cast<UINT>(codePage), 0, reinterpret_cast<const char*>(in),
                               static_cast<int>(n), to, size);
  });
}

long wideToCodePage(int codePage, const wchar_t* in, std::size_t n, unsigned char* out,
                    std::size_t room) {
  if (n == 0) return 0;
  if (n > INT_MAX || (codePage != CP_ACP && !IsValidCodePage(static_cast<UINT>(codePage))))
    return -1;
  return convertInto(out, room, [&](unsigned char* to, int size) {
    return WideCharToMultiByte(static_cast<UINT>(codePage), 0, in, static_cast<int>(n),
                               reinterpret_cast<char*>(to), size, nullptr, nullptr);
  });
}

}  // namespace detail
}  // namespace vemo
