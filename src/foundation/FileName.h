// File-system names between the library's wide strings and the system's own form. Every name
// that the library hands to the system or takes from it passes through these functions.
//
// On POSIX systems a name is a string of bytes without an encoding of its own: mostly UTF-8, but
// a name written under another encoding (Latin-1, a code page) is just as valid, and a program
// must be able to reach it by the name it was given. So the bytes of a name that form UTF-8
// characters become those characters, and every byte that is no part of one (0x80..0xFF) becomes
// the lone low surrogate U+DC00 + byte (U+DC80..U+DCFF), which goes back to the very same byte.
// Any byte string survives bytes -> wide -> bytes unchanged. Going from wide text to bytes,
// other lone surrogates and values past U+10FFFF become U+FFFD, as in ordinary text.
//
// Only names follow this rule: ordinary text (StringHelper, streams, JSON, logs) keeps
// replacing what it cannot convert by U+FFFD.
//
// On Windows names are UTF-16, as wide strings are: the names pass unchanged.
#pragma once

#include <cstddef>
#include <string>

#include "vemo/core/String.h"

namespace vemo {
namespace detail {

#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
using NativeName = std::basic_string<PathChar>;

// The name as the system's calls take it; a null name gives "".
NativeName wideToPath(const wchar_t* name);
inline NativeName wideToPath(const String& name) {
  return wideToPath(name.getBuffer());
}

// A name as the system gave it (`n` units, or up to its terminator), as the library keeps it.
String pathToWide(const PathChar* name, std::size_t n);
String pathToWide(const PathChar* name);

// The byte coding of names, with the contract of the converters of Charset.h: converts `n`
// units, writes at most `room` units and returns the units of the whole result. Both sides
// use it on POSIX systems; it is the same on every platform.
std::size_t nameBytesToWide(const unsigned char* in, std::size_t n, wchar_t* out, std::size_t room);
std::size_t wideToNameBytes(const wchar_t* in, std::size_t n, unsigned char* out, std::size_t room);

}  // namespace detail
}  // namespace vemo
