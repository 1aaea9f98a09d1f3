#include "vemo/core/StringHelper.h"

#include <charconv>
#include <cstring>
#include <cwchar>

#include "Charset.h"
#include "StringData.h"

namespace vemo {
namespace {

using detail::StringAccess;

template <class T>
std::size_t unitsOf(const T* text) {
  if constexpr (sizeof(T) > 1)
    return std::wcslen(text);
  else
    return std::strlen(reinterpret_cast<const char*>(text));
}

// Runs a converter of the Charset.h contract twice at most: into a stack buffer, and into an
// exact block when the result is longer. A failed or empty conversion gives "".
template <class Out, class In, class Convert>
String_T<Out> convertText(const In* text, Convert convert) {
  if (!text || !*text) return String_T<Out>();
  const std::size_t n = unitsOf(text);
  constexpr std::size_t kStackUnits = 512;
  Out stack[kStackUnits];
  const long total = static_cast<long>(convert(text, n, stack, kStackUnits));
  if (total <= 0) return String_T<Out>();
  const std::size_t units = static_cast<std::size_t>(total);
  const int length = sizeof(Out) > 1 ? static_cast<int>(units) : -1;
  if (units <= kStackUnits) return StringAccess::copy(stack, units, length);
  Out* chars = StringAccess::allocate<Out>(units, length);
  convert(text, n, chars, units);
  return StringAccess::adopt(chars);
}

// Decimal digits of an integer through the standard conversion.
template <class Int>
String decimal(Int value) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  wchar_t wide[24];
  std::size_t n = 0;
  for (const char* p = digits; p != end; ++p)
    wide[n++] = static_cast<wchar_t>(*p);
  return StringAccess::copy(wide, n, static_cast<int>(n));
}

}  // namespace

String StringHelper::ansiToWide(const unsigned char* text) {
  return convertText<wchar_t>(text, detail::ansiToWide);
}

String_T<unsigned char> StringHelper::wideToAnsi(const wchar_t* text) {
  return convertText<unsigned char>(text, detail::wideToAnsi);
}

String StringHelper::utf8ToWide(const char* text) {
  return convertText<wchar_t>(reinterpret_cast<const unsigned char*>(text), detail::utf8ToWide);
}

String_T<char> StringHelper::wideToUtf8(const wchar_t* text) {
  return convertText<char>(text, [](const wchar_t* in, std::size_t n, char* out, std::size_t room) {
    return detail::wideToUtf8(in, n, reinterpret_cast<unsigned char*>(out), room);
  });
}

String_T<char> StringHelper::ansiToUtf8(const unsigned char* text) {
  return wideToUtf8(ansiToWide(text));
}

String_T<unsigned char> StringHelper::utf8ToAnsi(const char* text) {
  return wideToAnsi(utf8ToWide(text));
}

StringConvert::operator String_T<unsigned char>() const {
  if (_utf8) return StringHelper::utf8ToAnsi(_utf8);
  if (!_wide) return String_T<unsigned char>(_ansi);
  return StringHelper::wideToAnsi(_wide);
}

StringConvert::operator String_T<char>() const {
  if (_ansi) return StringHelper::ansiToUtf8(_ansi);
  if (!_wide) return String_T<char>(_utf8);
  return StringHelper::wideToUtf8(_wide);
}

StringConvert::operator String() const {
  if (_ansi) return StringHelper::ansiToWide(_ansi);
  if (!_utf8) return String(_wide);
  return StringHelper::utf8ToWide(_utf8);
}

String convertToString(bool value) {
  return String(value ? L"true" : L"false");
}

String convertToString(float value) {
  String text;
  text.format(L"%.8g", static_cast<double>(value));
  return text;
}

String convertToString(double value) {
  String text;
  text.format(L"%.16g", value);
  return text;
}

String convertToString(long value) {
  return decimal(value);
}
String convertToString(unsigned long value) {
  return decimal(value);
}
String convertToString(unsigned int value) {
  return decimal(value);
}
String convertToString(signed char value) {
  return decimal(static_cast<int>(value));
}
String convertToString(unsigned char value) {
  return decimal(static_cast<int>(value));
}
String convertToString(short value) {
  return decimal(static_cast<int>(value));
}
String convertToString(unsigned short value) {
  return decimal(static_cast<int>(value));
}
String convertToString(int value) {
  return decimal(value);
}
String convertToString(__int64 value) {
  return decimal(value);
}
String convertToString(__uint64 value) {
  return decimal(value);
}
String convertToString(const unsigned char* text) {
  return StringHelper::ansiToWide(text);
}
String convertToString(const char* text) {
  return StringHelper::utf8ToWide(text);
}
String convertToString(const wchar_t* text) {
  return String(text);
}
String convertToString(const String_T<unsigned char>& text) {
  return StringHelper::ansiToWide(text);
}
String convertToString(const String_T<char>& text) {
  return StringHelper::utf8ToWide(text);
}
String convertToString(const String& text) {
  return text;
}

}  // namespace vemo
