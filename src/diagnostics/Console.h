// The platform side of Console (Console_<os>.cpp).
#pragma once

#include <cstddef>

namespace vemo {
namespace detail {

// Writes wide text to the standard output as the platform's console expects it.
void consoleWrite(const wchar_t* text, std::size_t length);

}  // namespace detail
}  // namespace vemo
