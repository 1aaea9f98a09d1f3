// Text conversion between wide characters and 8-bit encodings, inside the library.
//
// Every converter follows the same contract: it converts `n` units of input, writes at most
// `room` units of output and returns the units of the whole result, so that one call with a
// small buffer measures and a second one with an exact block converts. Broken input is
// replaced, never refused.
#pragma once

#include <cstddef>

namespace vemo {
namespace detail {

constexpr int kUtf8CodePage = 65001;

std::size_t utf8ToWide(const unsigned char* in, std::size_t n, wchar_t* out, std::size_t room);
std::size_t wideToUtf8(const wchar_t* in, std::size_t n, unsigned char* out, std::size_t room);

// The code page that code-page text uses now: the process setting, with 0 resolved by the
// platform (kUtf8CodePage when the system's character set is UTF-8).
int effectiveCodePage();

// Conversions with the process code page, whichever it is (UTF-8 or another); -1 when the
// platform has no converter for it.
long ansiToWide(const unsigned char* in, std::size_t n, wchar_t* out, std::size_t room);
long wideToAnsi(const wchar_t* in, std::size_t n, unsigned char* out, std::size_t room);

// --- platform layer (Charset_<os>.cpp) ---

// The code page of the system's default character set, or 0 when it has no number of its
// own (the conversions below then use the system's character set by name).
int systemCodePage();

// Conversions for code pages other than UTF-8. They return -1 when the platform has no
// converter for `codePage`.
long codePageToWide(int codePage, const unsigned char* in, std::size_t n, wchar_t* out,
                    std::size_t room);
long wideToCodePage(int codePage, const wchar_t* in, std::size_t n, unsigned char* out,
                    std::size_t room);

}  // namespace detail
}  // namespace vemo
