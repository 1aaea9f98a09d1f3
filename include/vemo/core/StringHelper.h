/// \file
/// Conversions between the three string forms, and values formatted as text.
///
/// Every conversion takes a zero-terminated text (null gives the empty string) and returns a new
/// exact-size string. Input that the target cannot represent is replaced, never refused: U+FFFD
/// when decoding broken bytes, '?' when a character has no code-page form. When text is read as
/// UTF-16 a surrogate pair becomes one character; when it is written as UTF-16 a character above
/// U+FFFF becomes a pair.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

/// Conversions between the three string forms ("ansi": the process code page, see Charset.h).
struct VEMO_CORE_API StringHelper {
  /// Code-page text as a wide string.
  static String ansiToWide(const unsigned char* text);
  /// A wide text in the code page ('?' for a character it has no form for).
  static String_T<unsigned char> wideToAnsi(const wchar_t* text);
  /// UTF-8 as a wide string (U+FFFD for a broken sequence).
  static String utf8ToWide(const char* text);
  /// A wide text as UTF-8 (U+FFFD for a lone surrogate).
  static String_T<char> wideToUtf8(const wchar_t* text);
  /// Code-page text as UTF-8.
  static String_T<char> ansiToUtf8(const unsigned char* text);
  /// UTF-8 in the code page ('?' for a character it has no form for).
  static String_T<unsigned char> utf8ToAnsi(const char* text);
};

/// Holds one text of any of the three forms and converts it on demand, for example
/// `String_T<char> utf8 = StringConvert(L"text");`. The text is not copied: it must outlive
/// the conversion.
class VEMO_CORE_API StringConvert {
 public:
  ///@{
  /// Holds a code-page, UTF-8 or wide text.
  StringConvert(const unsigned char* ansi) : _ansi(ansi) {}
  StringConvert(const char* utf8) : _utf8(utf8) {}
  StringConvert(const wchar_t* wide) : _wide(wide) {}
  ///@}

  ///@{
  /// The text in that form, converted with StringHelper when it is held in another one.
  operator String_T<unsigned char>() const;
  operator String_T<char>() const;
  operator String() const;
  ///@}

 private:
  const unsigned char* _ansi = nullptr;
  const char* _utf8 = nullptr;
  const wchar_t* _wide = nullptr;
};

/// "true" or "false".
VEMO_CORE_API String convertToString(bool value);
VEMO_CORE_API String convertToString(float value);   ///< "%.8g"
VEMO_CORE_API String convertToString(double value);  ///< "%.16g"
///@{
/// The integer in decimal.
VEMO_CORE_API String convertToString(long value);
VEMO_CORE_API String convertToString(unsigned long value);
VEMO_CORE_API String convertToString(unsigned int value);
VEMO_CORE_API String convertToString(signed char value);
VEMO_CORE_API String convertToString(unsigned char value);
VEMO_CORE_API String convertToString(short value);
VEMO_CORE_API String convertToString(unsigned short value);
VEMO_CORE_API String convertToString(int value);
VEMO_CORE_API String convertToString(__int64 value);
VEMO_CORE_API String convertToString(__uint64 value);
///@}
///@{
/// The text as a wide string: code-page and UTF-8 text converted (StringHelper), wide text
/// copied; null gives the empty string.
VEMO_CORE_API String convertToString(const unsigned char* text);
VEMO_CORE_API String convertToString(const char* text);
VEMO_CORE_API String convertToString(const wchar_t* text);
VEMO_CORE_API String convertToString(const String_T<unsigned char>& text);
VEMO_CORE_API String convertToString(const String_T<char>& text);
VEMO_CORE_API String convertToString(const String& text);
///@}

}  // namespace vemo
