#include "vemo/core/String.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

#include "CharWalk.h"
#include "Format.h"
#include "StringData.h"
#include "Utf.h"
#include "vemo/core/Charset.h"
#include "vemo/core/Json.h"
#include "vemo/core/Log.h"
#include "vemo/core/Memory.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace detail {

const EmptyStringBlock<wchar_t> g_emptyWideString = {{sizeof(wchar_t), {0}, {1}}, 0};
const EmptyStringBlock<char> g_emptyUtf8String = {{1, {0}, {1}}, 0};
const EmptyStringBlock<unsigned char> g_emptyAnsiString = {{1, {0}, {1}}, 0};

template <class T>
T* StringAccess::allocate(std::size_t units, int length) {
  const std::size_t bytes = sizeof(StringData) + (units + 1) * sizeof(T);
  void* block = nullptr;
  // Sizes and lengths are 32-bit fields of the header.
  if (units < static_cast<std::size_t>(INT32_MAX) / sizeof(T)) block = std::malloc(bytes);
  if (!block) {
    Log::error(L"Allocate memory(%d) error!", static_cast<int>(bytes));
    throw std::bad_alloc();
  }
  StringData* header = static_cast<StringData*>(block);
  header->size = static_cast<std::uint32_t>((units + 1) * sizeof(T));
  new (&header->length) std::atomic<std::int32_t>(length);
  new (&header->count) std::atomic<std::uint32_t>(1);
  T* chars = reinterpret_cast<T*>(header + 1);
  chars[units] = 0;
  return chars;
}

template <class T>
String_T<T> StringAccess::adopt(T* chars) {
  return String_T<T>(chars, typename String_T<T>::Adopt());
}

template <class T>
String_T<T> StringAccess::copy(const T* data, std::size_t units, int length) {
  if (units == 0) return String_T<T>();
  T* chars = allocate<T>(units, length);
  __memcpy__(chars, data, units * sizeof(T));
  return String_T<T>(chars, typename String_T<T>::Adopt());
}

}  // namespace detail

namespace {

using detail::StringAccess;

template <class T>
constexpr bool kWide = sizeof(T) > 1;

template <class T>
std::size_t textLength(const T* text) {
  if (!text) return 0;
  if constexpr (kWide<T>) {
    return std::wcslen(text);
  } else {
    return std::strlen(reinterpret_cast<const char*>(text));
  }
}

// Units of the character at p.
template <class T>
int charUnits(const T* p) {
  if constexpr (kWide<T>) {
    return 1;
  } else if constexpr (std::is_same<T, char>::value) {
    return detail::utf8CharBytes(reinterpret_cast<const unsigned char*>(p));
  } else {
    return detail::ansiCharBytes(p);
  }
}

// Unit offset of character `index` of [text, end), clamped to the end.
template <class T>
std::size_t unitOffset(const T* text, const T* end, int index) {
  if (index <= 0) return 0;
  if constexpr (kWide<T>) {
    return std::min(static_cast<std::size_t>(index), static_cast<std::size_t>(end - text));
  } else {
    const T* p = text;
    while (index-- > 0 && p < end)
      p += charUnits(p);
    return static_cast<std::size_t>(std::min(p, end) - text);
  }
}

// Writes the character `ch` in the units of T; returns how many (0 for the zero character).
template <class T>
int encodeChar(int ch, T (&out)[8]) {
  if constexpr (kWide<T>) {
    // Where wchar_t has 16 bits, a character above the basic plane is its surrogate pair.
    if (sizeof(T) == 2 && ch >= 0x10000 && ch <= 0x10FFFF) {
      const int n = detail::encodeWide(static_cast<char32_t>(ch), out);
      out[n] = 0;
      return n;
    }
    out[0] = static_cast<T>(ch);
    out[1] = 0;
    return ch ? 1 : 0;
  } else {
    return charToString(out, ch);
  }
}

// The rank of a wide character in UTF-16 code-unit order. With 32-bit wchar_t, characters
// above U+FFFF sort where their surrogate pairs would: after U+D7FF, before U+E000.
inline std::uint32_t utf16Rank(std::uint32_t c) {
  if (sizeof(wchar_t) == 2 || c < 0xD800) return c;
  if (c >= 0x10000) return 0xD800 + (c - 0x10000);
  if (c >= 0xE000) return c + 0x100000;
  return c;  // a lone surrogate
}

// Ordinal comparison of code units; a text that ends first is less.
template <class T>
int compareUnits(const T* a, std::size_t aUnits, const T* b, std::size_t bUnits) {
  using Unit = std::conditional_t<kWide<T>, std::uint32_t, unsigned char>;
  const std::size_t n = std::min(aUnits, bUnits);
  for (std::size_t i = 0; i < n; ++i) {
    Unit x = static_cast<Unit>(a[i]), y = static_cast<Unit>(b[i]);
    if (x != y) {
      if constexpr (kWide<T>) {
        x = utf16Rank(x);
        y = utf16Rank(y);
      }
      return x < y ? -1 : 1;
    }
  }
  return aUnits == bUnits ? 0 : (aUnits < bUnits ? -1 : 1);
}

template <class T>
int asciiLower(T c) {
  return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : static_cast<int>(c);
}

template <class T>
bool isAsciiSpace(T c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Search of a unit range in another (the pattern is not empty).
template <class T>
std::size_t findUnits(const T* text, std::size_t units, std::size_t from, const T* pattern,
                      std::size_t patternUnits) {
  if constexpr (kWide<T>) {
    return std::wstring_view(text, units).find(std::wstring_view(pattern, patternUnits), from);
  } else {
    return std::string_view(reinterpret_cast<const char*>(text), units)
        .find(std::string_view(reinterpret_cast<const char*>(pattern), patternUnits), from);
  }
}

}  // namespace

// ---- construction and assignment -------------------------------------------------------

template <class T>
String_T<T>::String_T(const T* text) : _chars(detail::emptyStringChars<T>()) {
  const std::size_t n = textLength(text);
  if (n) _chars = StringAccess::allocate<T>(n, kWide<T> ? static_cast<int>(n) : -1);
  if (n) __memcpy__(_chars, text, n * sizeof(T));
}

template <class T>
String_T<T>::String_T(const T* text, int count) : _chars(detail::emptyStringChars<T>()) {
  if (!text || count <= 0) return;
  std::size_t units = static_cast<std::size_t>(count);
  if constexpr (!kWide<T>) {
    const T* p = text;
    for (int i = 0; i < count; ++i)
      p += charUnits(p);
    units = static_cast<std::size_t>(p - text);
  }
  while (units > 0 && text[units - 1] == 0)
    --units;
  if (units) *this = StringAccess::copy(text, units, kWide<T> ? static_cast<int>(units) : -1);
}

template <class T>
String_T<T>::String_T(int ch) : _chars(detail::emptyStringChars<T>()) {
  T units[8];
  const int n = encodeChar<T>(ch, units);
  // An 8-bit encoding may count as several characters by the walking rules (four-byte UTF-8).
  if (n) *this = StringAccess::copy(units, static_cast<std::size_t>(n), kWide<T> ? n : -1);
}

template <class T>
String_T<T>& String_T<T>::operator=(const String_T& other) noexcept {
  other.retain();
  releaseBlock(_chars);
  _chars = other._chars;
  return *this;
}

template <class T>
String_T<T>& String_T<T>::operator=(String_T&& other) noexcept {
  if (this != &other) {
    releaseBlock(_chars);
    _chars = other._chars;
    other._chars = detail::emptyStringChars<T>();
  }
  return *this;
}

template <class T>
String_T<T>& String_T<T>::operator=(const T* text) {
  const std::size_t n = textLength(text);
  if (n == 0) {
    attach(detail::emptyStringChars<T>());
  } else if ((n + 1) * sizeof(T) == header()->size && !isShared()) {
    std::memmove(_chars, text, n * sizeof(T));
    header()->length.store(kWide<T> ? static_cast<int>(n) : -1, std::memory_order_relaxed);
  } else {
    *this = StringAccess::copy(text, n, kWide<T> ? static_cast<int>(n) : -1);
  }
  return *this;
}

template <class T>
void String_T<T>::setBuffer(const T* data, int bytes) {
  if (bytes <= 0) {
    attach(detail::emptyStringChars<T>());
    return;
  }
  const std::size_t units = (static_cast<std::size_t>(bytes) + sizeof(T) - 1) / sizeof(T);
  T* chars = StringAccess::allocate<T>(units, kWide<T> ? static_cast<int>(units) : -1);
  chars[units - 1] = 0;  // the part of a character not covered by `bytes`
  __memcpy__(chars, data, static_cast<std::size_t>(bytes));
  attach(chars);
}

// ---- block management ------------------------------------------------------------------

template <class T>
bool String_T<T>::isShared() const noexcept {
  return _chars == detail::emptyStringChars<T>() ||
         (header()->count.load(std::memory_order_acquire) & ~detail::kSlabStringBit) != 1;
}

template <class T>
void String_T<T>::freeBlock(StringData* data) noexcept {
  if (data->count.load(std::memory_order_relaxed) & detail::kSlabStringBit)
    detail::freeJsonNode(data);
  else
    std::free(data);
}

template <class T>
void String_T<T>::attach(T* chars) noexcept {
  T* old = _chars;
  _chars = chars;
  releaseBlock(old);
}

template <class T>
void String_T<T>::fork() {
  const std::size_t n = static_cast<std::size_t>(units());
  T* chars = StringAccess::allocate<T>(n, header()->length.load(std::memory_order_relaxed));
  __memcpy__(chars, _chars, n * sizeof(T));
  attach(chars);
}

// ---- inspection ------------------------------------------------------------------------

template <class T>
int String_T<T>::getLength() const {
  if constexpr (kWide<T>) {
    return header()->length.load(std::memory_order_relaxed);
  } else {
    int length = header()->length.load(std::memory_order_relaxed);
    if (length < 0) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(_chars);
      length = std::is_same<T, char>::value
                   ? detail::countChars<detail::utf8CharBytes>(p, p + units())
                   : detail::countChars<detail::ansiCharBytes>(p, p + units());
      header()->length.store(length, std::memory_order_relaxed);
    }
    return length;
  }
}

template <class T>
int String_T<T>::operator[](int i) const {
  if constexpr (kWide<T>) {
    return static_cast<int>(_chars[i]);
  } else {
    const T* p = _chars + unitOffset(_chars, _chars + units(), i);
    int ch = 0;
    stringChar(p, ch);
    return ch;
  }
}

template <class T>
int String_T<T>::find(const T* text, int start) const {
  const std::size_t patternUnits = textLength(text);
  const std::size_t from = unitOffset(_chars, _chars + units(), start);
  if (isEmpty()) return -1;
  if (patternUnits == 0) return static_cast<int>(from);
  const std::size_t at =
      findUnits(_chars, static_cast<std::size_t>(units()), from, text, patternUnits);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

template <class T>
int String_T<T>::find(int ch, int start) const {
  T pattern[8];
  encodeChar<T>(ch, pattern);
  return find(pattern, start);
}

template <class T>
String_T<T> String_T<T>::getSubString(int start, int count) const {
  const T* end = _chars + units();
  const std::size_t from = unitOffset(_chars, end, start);
  const std::size_t to = count < 0 ? units() : from + unitOffset(_chars + from, end, count);
  if (from == 0 && to == static_cast<std::size_t>(units())) return *this;
  return StringAccess::copy(_chars + from, to - from, kWide<T> ? static_cast<int>(to - from) : -1);
}

// ---- editing -----------------------------------------------------------------------------

template <class T>
int String_T<T>::insert(int pos, const String_T& text) {
  return insert(pos, text.getBuffer());
}

template <class T>
int String_T<T>::insert(int pos, const T* text) {
  const std::size_t n = textLength(text);
  const std::size_t length = static_cast<std::size_t>(units());
  if (n == 0) return static_cast<int>(length);
  const std::size_t at = std::min(static_cast<std::size_t>(std::max(pos, 0)), length);
  T* chars = StringAccess::allocate<T>(length + n, kWide<T> ? static_cast<int>(length + n) : -1);
  __memcpy__(chars, _chars, at * sizeof(T));
  __memcpy__(chars + at, text, n * sizeof(T));
  __memcpy__(chars + at + n, _chars + at, (length - at) * sizeof(T));
  attach(chars);
  return static_cast<int>(length + n);
}

template <class T>
int String_T<T>::insert(int pos, int ch) {
  T text[8];
  encodeChar<T>(ch, text);
  return insert(pos, text);
}

template <class T>
int String_T<T>::erase(int start, int count) {
  if (count < 1) return count;
  const std::size_t length = static_cast<std::size_t>(units());
  const std::size_t from = std::min(static_cast<std::size_t>(std::max(start, 0)), length);
  const std::size_t n = std::min(static_cast<std::size_t>(count), length - from);
  if (n == 0) return count;
  if (n == length) {
    attach(detail::emptyStringChars<T>());
    return count;
  }
  T* chars = StringAccess::allocate<T>(length - n, kWide<T> ? static_cast<int>(length - n) : -1);
  __memcpy__(chars, _chars, from * sizeof(T));
  __memcpy__(chars + from, _chars + from + n, (length - from - n) * sizeof(T));
  attach(chars);
  return count;
}

template <class T>
int String_T<T>::remove(const String_T& pattern) {
  return replace(pattern.getBuffer(), static_cast<const T*>(nullptr));
}

template <class T>
int String_T<T>::remove(const T* pattern) {
  return replace(pattern, static_cast<const T*>(nullptr));
}

template <class T>
int String_T<T>::remove(int ch) {
  T pattern[8];
  encodeChar<T>(ch, pattern);
  return replace(pattern, static_cast<const T*>(nullptr));
}

template <class T>
int String_T<T>::replace(const String_T& pattern, const String_T& replacement) {
  return replace(pattern.getBuffer(), replacement.getBuffer());
}

template <class T>
int String_T<T>::replace(const String_T& pattern, const T* replacement) {
  return replace(pattern.getBuffer(), replacement);
}

template <class T>
int String_T<T>::replace(const T* pattern, const String_T& replacement) {
  return replace(pattern, replacement.getBuffer());
}

template <class T>
int String_T<T>::replace(int pattern, int replacement) {
  T from[8], to[8];
  encodeChar<T>(pattern, from);
  encodeChar<T>(replacement, to);
  return replace(from, to);
}

template <class T>
int String_T<T>::replace(const T* pattern, const T* replacement) {
  const std::size_t p = textLength(pattern), r = textLength(replacement);
  const std::size_t length = static_cast<std::size_t>(units());
  if (p == 0 || length == 0) return 0;
  std::size_t count = 0;
  for (std::size_t at = findUnits(_chars, length, 0, pattern, p); at != std::string_view::npos;
       at = findUnits(_chars, length, at + p, pattern, p))
    ++count;
  if (count == 0) return 0;

  if (p == r && !isShared()) {
    for (std::size_t at = findUnits(_chars, length, 0, pattern, p); at != std::string_view::npos;
         at = findUnits(_chars, length, at + p, pattern, p))
      std::memmove(_chars + at, replacement, r * sizeof(T));
    if (!kWide<T>) header()->length.store(-1, std::memory_order_relaxed);
    return static_cast<int>(count);
  }

  const std::size_t newLength = length + count * r - count * p;
  if (newLength == 0) {
    attach(detail::emptyStringChars<T>());
    return static_cast<int>(count);
  }
  T* chars = StringAccess::allocate<T>(newLength, kWide<T> ? static_cast<int>(newLength) : -1);
  T* out = chars;
  std::size_t done = 0;
  for (std::size_t at = findUnits(_chars, length, 0, pattern, p); at != std::string_view::npos;
       at = findUnits(_chars, length, at + p, pattern, p)) {
    __memcpy__(out, _chars + done, (at - done) * sizeof(T));
    out += at - done;
    if (r) __memcpy__(out, replacement, r * sizeof(T));  // remove() passes a null replacement
    out += r;
    done = at + p;
  }
  __memcpy__(out, _chars + done, (length - done) * sizeof(T));
  attach(chars);
  return static_cast<int>(count);
}

template <class T>
String_T<T>& String_T<T>::trim() {
  return trimRight().trimLeft();
}

template <class T>
String_T<T>& String_T<T>::trimLeft() {
  const int length = units();
  int from = 0;
  while (from < length && isAsciiSpace(_chars[from]))
    ++from;
  if (from > 0) setBuffer(_chars + from, static_cast<int>((length - from) * sizeof(T)));
  return *this;
}

template <class T>
String_T<T>& String_T<T>::trimRight() {
  const int length = units();
  int to = length;
  while (to > 0 && isAsciiSpace(_chars[to - 1]))
    --to;
  if (to < length) setBuffer(_chars, static_cast<int>(to * sizeof(T)));
  return *this;
}

template <class T>
String_T<T>& String_T<T>::toLowerCase() {
  if (isEmpty()) return *this;
  if (isShared()) fork();
  for (int i = 0, n = units(); i < n; ++i)
    if (_chars[i] >= 'A' && _chars[i] <= 'Z') _chars[i] = static_cast<T>(_chars[i] - 'A' + 'a');
  return *this;
}

template <class T>
String_T<T>& String_T<T>::toUpperCase() {
  if (isEmpty()) return *this;
  if (isShared()) fork();
  for (int i = 0, n = units(); i < n; ++i)
    if (_chars[i] >= 'a' && _chars[i] <= 'z') _chars[i] = static_cast<T>(_chars[i] - 'a' + 'A');
  return *this;
}

// ---- comparison --------------------------------------------------------------------------

template <class T>
int String_T<T>::compare(const T* text) const {
  return compareUnits(_chars, static_cast<std::size_t>(units()), text, textLength(text));
}

template <class T>
int String_T<T>::compare(const String_T& other) const noexcept {
  if (_chars == other._chars) return 0;  // one shared block
  return compareUnits(_chars, static_cast<std::size_t>(units()), other._chars,
                      static_cast<std::size_t>(other.units()));
}

template <class T>
int String_T<T>::compareNoCase(const T* text) const {
  static const T kEmpty[1] = {0};
  const T* a = _chars;
  const T* b = text ? text : kEmpty;
  for (;; ++a, ++b) {
    const int x = asciiLower(*a), y = asciiLower(*b);
    if (x != y) {
      using Unit = std::conditional_t<kWide<T>, std::uint32_t, unsigned char>;
      Unit u = static_cast<Unit>(x), v = static_cast<Unit>(y);
      if constexpr (kWide<T>) {
        u = utf16Rank(u);
        v = utf16Rank(v);
      }
      return u < v ? -1 : 1;
    }
    if (x == 0) return 0;
  }
}

template <class T>
bool String_T<T>::operator==(const String_T& other) const noexcept {
  if (_chars == other._chars) return true;
  if (header()->size != other.header()->size) return false;
  return std::memcmp(_chars, other._chars, header()->size) == 0;
}

// ---- concatenation -----------------------------------------------------------------------

namespace {
template <class T>
String_T<T> concatenate(const String_T<T>& left, const T* right, std::size_t rightUnits) {
  if (rightUnits == 0) return left;
  const std::size_t leftUnits = static_cast<std::size_t>(left.getBufferLength()) / sizeof(T) - 1;
  T* chars = StringAccess::allocate<T>(leftUnits + rightUnits,
                                       kWide<T> ? static_cast<int>(leftUnits + rightUnits) : -1);
  __memcpy__(chars, left.getBuffer(), leftUnits * sizeof(T));
  __memcpy__(chars + leftUnits, right, rightUnits * sizeof(T));
  return StringAccess::adopt(chars);
}
}  // namespace

template <class T>
String_T<T> String_T<T>::operator+(const String_T& text) const {
  if (isEmpty()) return text;
  return concatenate(*this, text._chars, static_cast<std::size_t>(text.units()));
}

template <class T>
String_T<T> String_T<T>::operator+(const T* text) const {
  return concatenate(*this, text, textLength(text));
}

template <class T>
String_T<T>& String_T<T>::operator+=(const String_T& text) {
  return *this = *this + text;
}

template <class T>
String_T<T>& String_T<T>::operator+=(const T* text) {
  return *this = *this + text;
}

template <class T>
String_T<T>& String_T<T>::operator+=(int ch) {
  T text[8];
  const int n = encodeChar<T>(ch, text);
  return *this = concatenate(*this, text, static_cast<std::size_t>(n));
}

template <class T>
String_T<T> operator+(const T* left, const String_T<T>& right) {
  return String_T<T>(left) + right;
}

// ---- formatting --------------------------------------------------------------------------

namespace {

template <class T, class Args>
int formatInto(String_T<T>& target, const T* format, Args&& args) {
  detail::FormatBuffer<T, 256> text;
  if (!text.format(format, args)) {
    Log::error(L"Allocate memory(%d) error!", static_cast<int>(text.length() * sizeof(T)));
    throw std::bad_alloc();
  }
  target = StringAccess::copy(text.text(), text.length(),
                              kWide<T> ? static_cast<int>(text.length()) : -1);
  return static_cast<int>(text.length());
}

}  // namespace

template <class T>
int String_T<T>::vprintf(const T* format, va_list args) {
  return formatInto(*this, format, args);
}

template <class T>
int String_T<T>::vformat(const T* format, const FormatArgs& args) {
  return formatInto(*this, format, args);
}

namespace {

// UTF-8 of wide units, zeros included; a lone surrogate is U+FFFD.
std::string utf8Of(const wchar_t* p, const wchar_t* end) {
  std::string out;
  out.reserve(static_cast<std::size_t>(end - p));
  while (p < end) {
    unsigned char bytes[4];
    const int n = detail::encodeUtf8(detail::decodeWide(p, end), bytes);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace

template <class T>
void String_T<T>::assignConverted(const char* data, std::size_t count) {
  if constexpr (std::is_same_v<T, wchar_t>) {
    // UTF-8 to wide: at most one unit per byte.
    std::wstring wide;
    wide.reserve(count);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + count;
    while (p < end) {
      wchar_t units[2];
      const int n = detail::encodeWide(detail::decodeUtf8(p, end), units);
      wide.append(units, static_cast<std::size_t>(n));
    }
    assignUnits(wide.data(), wide.size());
  } else {
    assignUnits(reinterpret_cast<const T*>(data), count);
  }
}

template <class T>
void String_T<T>::assignConverted(const wchar_t* data, std::size_t count) {
  if constexpr (std::is_same_v<T, char>) {
    const std::string utf8 = utf8Of(data, data + count);
    assignUnits(utf8.data(), utf8.size());
  } else if constexpr (std::is_same_v<T, wchar_t>) {
    assignUnits(data, count);
  } else {
    const std::string utf8 = utf8Of(data, data + count);
    assignUnits(reinterpret_cast<const T*>(utf8.data()), utf8.size());
  }
}

std::ostream& operator<<(std::ostream& out, const String_T<wchar_t>& text) {
  return out << std::string_view(utf8Of(text.begin(), text.end()));
}

std::wostream& operator<<(std::wostream& out, const String_T<wchar_t>& text) {
  return out << std::wstring_view(text.begin(),
                                  static_cast<std::size_t>(text.end() - text.begin()));
}

std::ostream& operator<<(std::ostream& out, const String_T<char>& text) {
  return out << std::string_view(text.begin(), static_cast<std::size_t>(text.end() - text.begin()));
}

template class String_T<wchar_t>;
template class String_T<char>;
template class String_T<unsigned char>;
template VEMO_CORE_API String_T<wchar_t> operator+(const wchar_t*, const String_T<wchar_t>&);
template VEMO_CORE_API String_T<char> operator+(const char*, const String_T<char>&);
template VEMO_CORE_API String_T<unsigned char> operator+(const unsigned char*,
                                                         const String_T<unsigned char>&);

namespace detail {
template wchar_t* StringAccess::allocate<wchar_t>(std::size_t, int);
template char* StringAccess::allocate<char>(std::size_t, int);
template unsigned char* StringAccess::allocate<unsigned char>(std::size_t, int);
template String_T<wchar_t> StringAccess::adopt(wchar_t*);
template String_T<char> StringAccess::adopt(char*);
template String_T<unsigned char> StringAccess::adopt(unsigned char*);
template String_T<wchar_t> StringAccess::copy(const wchar_t*, std::size_t, int);
template String_T<char> StringAccess::copy(const char*, std::size_t, int);
template String_T<unsigned char> StringAccess::copy(const unsigned char*, std::size_t, int);
}  // namespace detail

}  // namespace vemo
