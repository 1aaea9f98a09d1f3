/// \file
/// The process code page and the character-level helpers of the two 8-bit string forms.
///
/// Code pages carry their Windows numbers on every platform (1252, 932, 65001 ...); code page 0,
/// the initial setting, is the system's default: on POSIX systems the character set of the
/// environment's LC_CTYPE locale, where the plain C locale counts as UTF-8.
///
/// The walking rules are deliberately simple and are part of the stored format of string
/// lengths: UTF-8 is walked in sequences of at most three bytes (a four-byte character counts as
/// four one-byte characters), and code-page text treats every byte with its top bit set as the
/// lead of a two-byte character.
#pragma once

#include "vemo/core/Export.h"

namespace vemo {

/// The process code page that every code-page conversion uses.
VEMO_CORE_API int getCodePage();
/// Stores the code page used by every later code-page conversion; always true.
VEMO_CORE_API bool setCodePage(int codePage);
/// Looks a character-set name up in the library's table (after ASCII lower-casing), for example
/// "ISO-8859-1" selects 1252. An unknown name returns false and changes nothing.
VEMO_CORE_API bool setCodePage(const char* name);

/// Number of characters of a UTF-8 text by the walking rules above.
VEMO_CORE_API int stringLength(const char* text);
/// Number of characters of a code-page text: a byte with its top bit set starts a two-byte
/// character (unless the terminator follows it).
VEMO_CORE_API int stringLength(const unsigned char* text);
/// Byte length (1, 2 or 3) of the UTF-8 character at `text`.
VEMO_CORE_API int stringCharLength(const char* text);
/// Decodes one UTF-8 character into `ch` and returns the pointer past it.
VEMO_CORE_API const char* stringChar(const char* text, int& ch);
/// Takes one code-page character (two bytes if the first has its top bit set), converts it with
/// the process code page into `ch` and returns the pointer past it.
VEMO_CORE_API const unsigned char* stringChar(const unsigned char* text, int& ch);

/// Encodes the character `ch` as UTF-8 into `out` and returns the byte count (1 to 3 for the
/// basic plane, 4 above it), followed by a terminator: `out` needs room for 5 bytes. 0 writes
/// only the terminator and returns 0.
VEMO_CORE_API int charToString(char* out, int ch);
/// Converts `ch` with the process code page into `out` (room for 3 bytes plus a terminator)
/// and returns the byte count. A character that needs more than 3 bytes becomes '?'.
VEMO_CORE_API int charToString(unsigned char* out, int ch);

/// Number of units that the character `ch` needs in the text of type T.
template <class T>
int charLength(int ch);
/// UTF-8: 1 to 4 bytes (0 for the character 0).
template <>
VEMO_CORE_API int charLength<char>(int ch);
/// The bytes the process code page takes for it (0 for the character 0).
template <>
VEMO_CORE_API int charLength<unsigned char>(int ch);
/// A wide string holds every character in one unit.
template <>
inline int charLength<wchar_t>(int) {
  return 1;
}

}  // namespace vemo
