/// \file
/// String_T: the library's reference-counted, copy-on-write string.
///
/// A string is one pointer wide. It points at the characters of a heap block that starts with a
/// small header (StringData) and holds exactly the text plus one terminating zero: there is no
/// spare capacity, so every edit builds a new exact block, except for the few in-place cases
/// documented below, which only run on blocks that no other string shares.
///
/// Three forms exist:
///   String                  = String_T<wchar_t>        the platform's wide characters
///   String_T<char>          = UTF-8 text
///   String_T<unsigned char> = text in the process code page (see Charset.h)
///
/// In the two 8-bit forms units differ by operation: getLength(), operator[], getSubString() and
/// the (text, count) constructor count characters (walked with the rules of Charset.h), find()
/// takes its start in characters but returns a byte offset, and insert(), erase(), setBuffer()
/// and getBufferLength() work in bytes. For String every unit is one wchar_t.
///
/// Copies cost one atomic increment; different strings sharing a block may live on different
/// threads, but one string object must not be changed while another thread reads it.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "vemo/core/Export.h"
#include "vemo/core/FormatArgs.h"

namespace vemo {

/// Header in front of the characters of every string block.
struct StringData {
  std::uint32_t size;                ///< bytes of the character area, terminator included
  std::atomic<std::int32_t> length;  ///< characters; -1 in the 8-bit forms until first counted
  std::atomic<std::uint32_t> count;  ///< references
};
static_assert(sizeof(StringData) == 12, "string header layout");

namespace detail {
// The top bit of a block's reference count marks a block that lives in a JSON slab (see
// allocateJsonNode in Json.h) rather than in a block of its own; the other bits are the count.
constexpr std::uint32_t kSlabStringBit = 0x80000000u;

// The one empty block per character type. It lives in read-only static storage, is never
// freed and never written: strings that point at it skip reference counting altogether.
template <class T>
struct EmptyStringBlock {
  StringData header;
  T terminator;
};
extern VEMO_CORE_API const EmptyStringBlock<wchar_t> g_emptyWideString;
extern VEMO_CORE_API const EmptyStringBlock<char> g_emptyUtf8String;
extern VEMO_CORE_API const EmptyStringBlock<unsigned char> g_emptyAnsiString;

template <class T>
inline T* emptyStringChars() noexcept;
template <>
inline wchar_t* emptyStringChars<wchar_t>() noexcept {
  return const_cast<wchar_t*>(&g_emptyWideString.terminator);
}
template <>
inline char* emptyStringChars<char>() noexcept {
  return const_cast<char*>(&g_emptyUtf8String.terminator);
}
template <>
inline unsigned char* emptyStringChars<unsigned char>() noexcept {
  return const_cast<unsigned char*>(&g_emptyAnsiString.terminator);
}
struct StringAccess;  // the library's internal block builder
}  // namespace detail

template <class T>
/// A reference-counted, copy-on-write string of T units, one pointer wide (see String.h for the
/// three forms and the units each operation counts in).
///
/// Copies share one block; a string object is changed by one thread at a time.
class VEMO_CORE_API String_T {
  // The character types the standard library has strings of.
  template <class U>
  static constexpr bool kStandardChar = std::is_same_v<U, char> || std::is_same_v<U, wchar_t>;

 public:
  using Char = T;  ///< The code unit.

  /// The empty string (no heap block).
  String_T() noexcept : _chars(detail::emptyStringChars<T>()) {}
  /// Copy of a zero-terminated text; null or "" gives the empty string.
  String_T(const T* text);
  /// Copy of `count` characters (embedded zeros kept, trailing zeros dropped); a count of 0 or
  /// less, or a range of zeros only, gives the empty string.
  String_T(const T* text, int count);
  /// A one-character string (a code point for String, encoded for the 8-bit forms); 0 gives "".
  explicit String_T(int ch);
  /// Every unit of a standard string or view (embedded zeros kept, trailing zeros dropped); the
  /// text of a String_T<char> is UTF-8. Texts of 2 GiB and more throw std::length_error.
  template <class U = T, class = std::enable_if_t<kStandardChar<U> && std::is_same_v<U, T>>>
  String_T(const std::basic_string<U>& text) : String_T() {
    assignUnits(text.data(), text.size());
  }
  /// \copydoc String_T(const std::basic_string<U>&)
  template <class U = T, class = std::enable_if_t<kStandardChar<U> && std::is_same_v<U, T>>>
  String_T(std::basic_string_view<U> text) : String_T() {
    assignUnits(text.data(), text.size());
  }
  /// The text of a standard string or view of the other width, converted: a String from UTF-8
  /// (a broken sequence is U+FFFD), a String_T<char> to UTF-8 (a lone surrogate is U+FFFD).
  /// Embedded zeros are kept, trailing zeros dropped. Explicit, as every conversion between
  /// encodings is.
  template <class U, std::enable_if_t<kStandardChar<U> && kStandardChar<T> && !std::is_same_v<U, T>,
                                      int> = 0>
  explicit String_T(const std::basic_string<U>& text) : String_T() {
    assignConverted(text.data(), text.size());
  }
  /// \copydoc String_T(const std::basic_string<U>&)
  template <class U, std::enable_if_t<kStandardChar<U> && kStandardChar<T> && !std::is_same_v<U, T>,
                                      int> = 0>
  explicit String_T(std::basic_string_view<U> text) : String_T() {
    assignConverted(text.data(), text.size());
  }
  /// Shares the other's block: one atomic increment.
  String_T(const String_T& other) noexcept : _chars(other._chars) { retain(); }
  /// Takes the other's block; the other is empty afterwards.
  String_T(String_T&& other) noexcept : _chars(other._chars) {
    other._chars = detail::emptyStringChars<T>();
  }
  ~String_T() { releaseBlock(_chars); }

  /// Shares the other's block (assigning a string to itself changes nothing).
  String_T& operator=(const String_T& other) noexcept;
  /// Takes the other's block; the other is left empty (moving a string onto itself changes
  /// nothing).
  String_T& operator=(String_T&& other) noexcept;
  /// Null or "" gives the empty string; a text of exactly the current size is copied in place
  /// when the block is not shared.
  String_T& operator=(const T* text);

  /// Replaces the text by `bytes` bytes of `data`, rounded up to whole characters with zeros.
  void setBuffer(const T* data, int bytes);
  ///@{
  /// The zero-terminated units; valid until the string is changed or destroyed. Never null.
  const T* getBuffer() const noexcept { return _chars; }
  operator const T*() const noexcept { return _chars; }
  ///@}
  ///@{
  /// The units as a standard string or view (every unit, embedded zeros included); the view is
  /// valid until the string is changed or destroyed.
  template <class U = T, class = std::enable_if_t<kStandardChar<U>>>
  std::basic_string<U> toStdString() const {
    return std::basic_string<U>(_chars, static_cast<std::size_t>(units()));
  }
  template <class U = T, class = std::enable_if_t<kStandardChar<U>>>
  std::basic_string_view<U> toStringView() const noexcept {
    return std::basic_string_view<U>(_chars, static_cast<std::size_t>(units()));
  }
  ///@}
  ///@{
  /// The code units, for range-for and the standard algorithms (bytes in the 8-bit forms).
  const T* begin() const noexcept { return _chars; }
  const T* end() const noexcept { return _chars + units(); }
  ///@}

  /// The number of characters (walked once and remembered in the 8-bit forms).
  int getLength() const;
  /// Bytes of the character area including the terminator.
  int getBufferLength() const noexcept { return static_cast<int>(header()->size); }
  /// True for a string without units.
  bool isEmpty() const noexcept { return header()->size == sizeof(T); }
  /// The character at character index i (no bounds check; 0 <= i <= getLength()).
  int operator[](int i) const;

  ///@{
  /// First occurrence at or after character `start`, or -1 (always -1 on an empty string).
  int find(const T* text, int start = 0) const;
  int find(int ch, int start = 0) const;
  ///@}
  /// `count` characters from `start`; a negative count, or one past the end, means to the end.
  String_T getSubString(int start, int count = -1) const;

  ///@{
  /// Insert before `pos` (0..length); returns the new length (bytes in the 8-bit forms).
  int insert(int pos, const String_T& text);
  int insert(int pos, const T* text);
  int insert(int pos, int ch);
  ///@}
  /// Removes `count` units from `start`; a count below 1 does nothing. Returns `count`.
  int erase(int start, int count);

  ///@{
  /// Remove or replace every non-overlapping occurrence, left to right; return how many.
  int remove(const String_T& pattern);
  int remove(const T* pattern);
  int remove(int ch);
  int replace(const String_T& pattern, const String_T& replacement);
  int replace(const String_T& pattern, const T* replacement);
  int replace(const T* pattern, const String_T& replacement);
  int replace(const T* pattern, const T* replacement);
  int replace(int pattern, int replacement);
  ///@}

  ///@{
  /// Strip ASCII white space from both ends, the start or the end (characters from 128 up are
  /// never stripped); return this string.
  String_T& trim();
  String_T& trimLeft();
  String_T& trimRight();
  ///@}
  ///@{
  /// ASCII case mapping in place (other characters are left as they are); return this string.
  String_T& toLowerCase();
  String_T& toUpperCase();
  ///@}

  /// -1, 0 or 1 in code-unit order; null counts as "".
  int compare(const T* text) const;
  /// The same over the whole of both strings, embedded zeros included.
  int compare(const String_T& other) const noexcept;
  /// ASCII case-insensitive comparison; null counts as "".
  int compareNoCase(const T* text) const;

  ///@{
  /// Equality over every unit, embedded zeros included.
  bool operator==(const String_T& other) const noexcept;
  bool operator!=(const String_T& other) const noexcept { return !(*this == other); }
  ///@}
  ///@{
  /// compare(text) against 0 (code-unit order; null counts as "").
  bool operator==(const T* text) const { return compare(text) == 0; }
  bool operator!=(const T* text) const { return compare(text) != 0; }
  bool operator<(const T* text) const { return compare(text) < 0; }
  bool operator<=(const T* text) const { return compare(text) <= 0; }
  bool operator>(const T* text) const { return compare(text) > 0; }
  bool operator>=(const T* text) const { return compare(text) >= 0; }
  ///@}

  ///@{
  /// Appends the text, or one character (a code point for String, encoded for the 8-bit
  /// forms); returns this string.
  String_T& operator+=(const String_T& text);
  String_T& operator+=(const T* text);
  String_T& operator+=(int ch);
  ///@}
  ///@{
  /// A new string of this text followed by `text`.
  String_T operator+(const String_T& text) const;
  String_T operator+(const T* text) const;
  ///@}

  /// Replaces the text by the formatted text; returns the number of characters written. Wide
  /// formats read %s as a wide string and %S or %hs as UTF-8; 8-bit formats read %s as their
  /// own kind of text and %S or %ls as a wide string. %I64d, %I64u and %I64X take 64 bits.
  ///
  /// A call with arguments takes the typed form: each argument keeps its C++ type, and each
  /// directive is checked against it (a String or std::wstring under %s, a std::string under %S,
  /// any integer under %d; a mismatch or a missing argument prints a marker such as
  /// "%!d(wstring=abc)": see FormatArgs.h). The C forms below read what the directives say.
  template <class A0, class... A>
  int format(const T* format, const A0& first, const A&... rest) {
    const FormatArg args[] = {makeFormatArg(first), makeFormatArg(rest)...};
    return vformat(format, FormatArgs{args, 1 + sizeof...(A)});
  }
  /// The typed form with a list of arguments (FormatArgs.h).
  int vformat(const T* format, const FormatArgs& args);
  /// Without arguments the typed form too: a directive prints its marker, "%%" a '%'.
  int format(const T* format) { return vformat(format, FormatArgs{nullptr, 0}); }
  /// The C form (a template only so that a call without arguments takes the typed one).
  template <class = void>
  int format(const T* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vprintf(format, args);
    va_end(args);
    return n;
  }
  /// The C form with a va_list.
  int vprintf(const T* format, va_list args);

 private:
  friend struct detail::StringAccess;
  struct Adopt {};
  // Takes over a block that already carries one reference.
  String_T(T* adoptedChars, Adopt) noexcept : _chars(adoptedChars) {}

  StringData* header() const noexcept {
    return reinterpret_cast<StringData*>(reinterpret_cast<char*>(_chars) - sizeof(StringData));
  }
  bool isShared() const noexcept;
  void retain() const noexcept {
    if (_chars != detail::emptyStringChars<T>())
      header()->count.fetch_add(1, std::memory_order_relaxed);
  }
  static void releaseBlock(T* chars) noexcept {
    if (chars == detail::emptyStringChars<T>()) return;
    StringData* data =
        reinterpret_cast<StringData*>(reinterpret_cast<char*>(chars) - sizeof(StringData));
    // The last reference needs no atomic decrement: nobody else can take one meanwhile (the
    // acquire orders the earlier releases of other holders before the block is freed).
    if ((data->count.load(std::memory_order_acquire) & ~detail::kSlabStringBit) == 1 ||
        (data->count.fetch_sub(1, std::memory_order_acq_rel) & ~detail::kSlabStringBit) == 1)
      freeBlock(data);
  }
  static void freeBlock(StringData* data) noexcept;
  void attach(T* chars) noexcept;
  void assignUnits(const T* data, std::size_t count) {
    if (count > static_cast<std::size_t>(INT32_MAX) / sizeof(T) - 1)
      throw std::length_error("vemo::String_T: text of 2 GiB or more");
    while (count > 0 && data[count - 1] == 0)
      --count;
    if (count > 0) setBuffer(data, static_cast<int>(count * sizeof(T)));
  }
  // The text of the other width, converted (String from UTF-8, String_T<char> to UTF-8).
  void assignConverted(const char* data, std::size_t count);
  void assignConverted(const wchar_t* data, std::size_t count);
  void fork();
  int units() const noexcept { return static_cast<int>(header()->size / sizeof(T)) - 1; }

  T* _chars;
};

/// The wide string, the library's string of choice.
using String = String_T<wchar_t>;

/// A new string of `left` followed by `right`.
template <class T>
VEMO_CORE_API String_T<T> operator+(const T* left, const String_T<T>& right);

/// Text on standard streams: a String as UTF-8 on a narrow stream and as it is on a wide one, a
/// String_T<char> as its UTF-8 bytes. Every unit is written (embedded zeros too), padded to the
/// stream's width as a standard string is.
///@{
VEMO_CORE_API std::ostream& operator<<(std::ostream& out, const String_T<wchar_t>& text);
VEMO_CORE_API std::wostream& operator<<(std::wostream& out, const String_T<wchar_t>& text);
VEMO_CORE_API std::ostream& operator<<(std::ostream& out, const String_T<char>& text);
///@}

/// Ordinal order of code units (a shorter prefix first) for maps keyed by strings.
struct StringLess {
  /// True when `a` comes before `b`.
  template <class T>
  bool operator()(const String_T<T>& a, const String_T<T>& b) const noexcept {
    return a.compare(b) < 0;
  }
};

// The library instantiates the three forms. Programs on Windows do not declare them extern:
// GCC neither imports nor exports the inline members of an extern template there, so a program
// built without inlining instantiates those members itself (the others come from the DLL).
#if !defined(_WIN32) || defined(VEMO_CORE_BUILD)
extern template class String_T<wchar_t>;
extern template class String_T<char>;
extern template class String_T<unsigned char>;
#endif

}  // namespace vemo

/// Hashing over every code unit, consistent with operator==, for unordered containers.
template <class T>
struct std::hash<vemo::String_T<T>> {
  /// The hash of the string's units.
  std::size_t operator()(const vemo::String_T<T>& text) const noexcept {
    const std::string_view bytes(reinterpret_cast<const char*>(text.begin()),
                                 static_cast<std::size_t>(text.end() - text.begin()) * sizeof(T));
    return std::hash<std::string_view>()(bytes);
  }
};
