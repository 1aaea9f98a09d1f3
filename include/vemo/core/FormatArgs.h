/// \file
/// Checked formatting: the arguments of a printf-style call, each with its type.
///
/// The typed forms of String_T::format, Log and Console take their arguments as C++ values
/// instead of through `...`, describe each one here (what it is, its value, its width) and hand
/// the list to the library's formatter, which checks every directive against its argument:
///
/// \code
/// Log::message(L"%s has %d items", name, count);   // name: String, std::wstring, const wchar_t*
/// Log::warning(L"%S: %I64d bytes", path, size);    // path: std::string, String_T<char>, char*
/// \endcode
///
/// Accepted: String, String_T<char>, String_T<unsigned char>, std::wstring, std::string and
/// their views, const wchar_t*, const char*, const unsigned char* (code-page text), character
/// arrays, every integer and character type, bool, enumerations, float, double, long double,
/// pointers and nullptr. Other types do not compile.
///
/// Integers print their value whatever the length modifier: an argument wider than the directive
/// reads (a 64-bit value under %d) prints whole, a narrower one is converted as C would convert it,
/// and %hd / %hhd still cut an int to 16 / 8 bits. A directive whose argument is of another kind,
/// or is missing, prints a marker instead of reading anything: `%!<conversion>(<type>=<value>)`
/// for a mismatch, e.g. "%!d(wstring=abc)" or "%!s(string=abc)" (a narrow text under a wide %s),
/// and `%!<conversion>(missing)` for a directive past the last argument. Arguments left over are
/// ignored, as C ignores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace vemo {

template <class T>
class String_T;

/// One argument. Made by makeFormatArg; its fields are the formatter's business.
struct FormatArg {
  /// The kind of argument, and where its value lies.
  enum Type : unsigned char {
    kSigned,      ///< value.i, `bits` wide
    kUnsigned,    ///< value.u, `bits` wide
    kBool,        ///< value.i, 0 or 1
    kDouble,      ///< value.d (float and double)
    kLongDouble,  ///< *value.ld
    kPointer,     ///< value.p
    kNull,        ///< nullptr
    kWideText,    ///< value.text: wchar_t units
    kUtf8Text,    ///< value.text: UTF-8 bytes
    kAnsiText,    ///< value.text: bytes in the process code page
  };
  /// A text argument.
  struct Text {
    const void* data;   ///< null: a null pointer
    std::size_t units;  ///< at most this many units, and never past a zero unit
  };
  /// The value, by type.
  union Value {
    long long i;            ///< kSigned, kBool
    unsigned long long u;   ///< kUnsigned
    double d;               ///< kDouble
    const long double* ld;  ///< kLongDouble
    const void* p;          ///< kPointer
    Text text;              ///< the text kinds
  };

  Type type;           ///< the kind
  unsigned char bits;  ///< of an integer
  Value value;         ///< the value
};

/// The arguments of one call.
struct FormatArgs {
  const FormatArg* args;  ///< the arguments in order (null when there are none)
  std::size_t count;      ///< how many
};

namespace detail {

template <class V>
struct IsStringT : std::false_type {};
template <class U>
struct IsStringT<String_T<U>> : std::true_type {};
template <class V>
struct IsStdText : std::false_type {};
template <class U, class Traits, class Allocator>
struct IsStdText<std::basic_string<U, Traits, Allocator>> : std::true_type {};
template <class U, class Traits>
struct IsStdText<std::basic_string_view<U, Traits>> : std::true_type {};

template <class>
constexpr bool kUnformattable = false;

template <class U>
constexpr FormatArg::Type textType() {
  if constexpr (std::is_same_v<U, wchar_t>)
    return FormatArg::kWideText;
  else if constexpr (std::is_same_v<U, char>)
    return FormatArg::kUtf8Text;
  else
    return FormatArg::kAnsiText;
}

template <class U>
constexpr bool kTextUnit =
    std::is_same_v<U, wchar_t> || std::is_same_v<U, char> || std::is_same_v<U, unsigned char>;

inline FormatArg textArg(FormatArg::Type type, const void* data, std::size_t units) {
  FormatArg arg{type, 0, {}};
  arg.value.text = FormatArg::Text{data, units};
  return arg;
}

}  // namespace detail

/// The description of one argument; it refers to the argument, which must outlive the call.
template <class V>
FormatArg makeFormatArg(const V& v) {
  FormatArg arg{FormatArg::kSigned, 0, {}};
  if constexpr (std::is_same_v<V, bool>) {
    arg.type = FormatArg::kBool;
    arg.bits = 8;
    arg.value.i = v ? 1 : 0;
  } else if constexpr (std::is_integral_v<V>) {
    arg.bits = static_cast<unsigned char>(sizeof(V) * 8);
    if constexpr (std::is_signed_v<V>) {
      arg.value.i = static_cast<long long>(v);
    } else {
      arg.type = FormatArg::kUnsigned;
      arg.value.u = static_cast<unsigned long long>(v);
    }
  } else if constexpr (std::is_enum_v<V>) {
    return makeFormatArg(static_cast<std::underlying_type_t<V>>(v));
  } else if constexpr (std::is_same_v<V, long double>) {
    arg.type = FormatArg::kLongDouble;
    arg.value.ld = &v;
  } else if constexpr (std::is_floating_point_v<V>) {
    arg.type = FormatArg::kDouble;
    arg.value.d = static_cast<double>(v);
  } else if constexpr (std::is_same_v<V, std::nullptr_t>) {
    arg.type = FormatArg::kNull;
    arg.value.p = nullptr;
  } else if constexpr (std::is_array_v<V>) {
    using U = std::remove_cv_t<std::remove_extent_t<V>>;
    if constexpr (detail::kTextUnit<U>) {
      // A character array: its text, never past its end.
      return detail::textArg(detail::textType<U>(), v, std::extent_v<V>);
    } else {
      arg.type = FormatArg::kPointer;
      arg.value.p = static_cast<const void*>(v);
    }
  } else if constexpr (std::is_pointer_v<V>) {
    using U = std::remove_cv_t<std::remove_pointer_t<V>>;
    if constexpr (detail::kTextUnit<U>) {
      return detail::textArg(detail::textType<U>(), v, static_cast<std::size_t>(-1));
    } else if constexpr (std::is_function_v<U>) {
      arg.type = FormatArg::kPointer;
      arg.value.p = reinterpret_cast<const void*>(v);
    } else {
      arg.type = FormatArg::kPointer;
      arg.value.p = static_cast<const void*>(v);
    }
  } else if constexpr (detail::IsStringT<V>::value) {
    using U = typename V::Char;
    return detail::textArg(detail::textType<U>(), v.getBuffer(),
                           static_cast<std::size_t>(v.end() - v.begin()));
  } else if constexpr (detail::IsStdText<V>::value) {
    using U = typename V::value_type;
    static_assert(std::is_same_v<U, wchar_t> || std::is_same_v<U, char>,
                  "vemo: only wide and UTF-8 standard strings can be formatted");
    return detail::textArg(detail::textType<U>(), v.data(), v.size());
  } else if constexpr (std::is_convertible_v<const V&, const wchar_t*>) {
    return makeFormatArg(static_cast<const wchar_t*>(v));
  } else if constexpr (std::is_convertible_v<const V&, const char*>) {
    return makeFormatArg(static_cast<const char*>(v));
  } else {
    static_assert(detail::kUnformattable<V>,
                  "vemo: this type cannot be formatted: pass a string, a number or a pointer");
  }
  return arg;
}

}  // namespace vemo
