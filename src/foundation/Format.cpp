#include "Format.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>
#include <vector>

#include "Utf.h"
#include "vemo/core/Charset.h"

namespace vemo {
namespace detail {
namespace {

// Collects output, writing at most `room` units but counting all of them.
template <class CharT>
class Sink {
 public:
  Sink(CharT* out, std::size_t room) : _out(out), _room(room) {}

  void put(CharT c) {
    if (_count < _room) _out[_count] = c;
    ++_count;
  }
  void put(const CharT* text, std::size_t n) {
    if (_count < _room)
      std::memcpy(_out + _count, text, std::min(n, _room - _count) * sizeof(CharT));
    _count += n;
  }
  void fill(CharT c, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      put(c);
  }
  // ASCII text produced by the C library (numbers).
  void putAscii(const char* text, std::size_t n) {
    if constexpr (sizeof(CharT) == 1) {
      put(reinterpret_cast<const CharT*>(text), n);
    } else {
      for (std::size_t i = 0; i < n; ++i)
        put(static_cast<CharT>(static_cast<unsigned char>(text[i])));
    }
  }
  std::size_t count() const { return _count; }
  void terminate() {
    if (_count < _room) _out[_count] = 0;
  }

 private:
  CharT* _out;
  std::size_t _room;
  std::size_t _count = 0;
};

// One character in the output's encoding: units it takes and the units themselves.
struct Encoded {
  int n;
  unsigned char bytes[8];
  wchar_t wide[2];
};

template <class CharT>
Encoded encodeFor(char32_t cp) {
  Encoded e{};
  if constexpr (sizeof(CharT) > 1) {
    e.n = encodeWide(cp, e.wide);
  } else if constexpr (std::is_same<CharT, char>::value) {
    e.n = encodeUtf8(cp, e.bytes);
  } else {
    e.n = charToString(e.bytes, static_cast<int>(cp));
  }
  return e;
}

template <class CharT>
void putEncoded(Sink<CharT>& sink, const Encoded& e) {
  if constexpr (sizeof(CharT) > 1)
    sink.put(e.wide, static_cast<std::size_t>(e.n));
  else
    sink.put(reinterpret_cast<const CharT*>(e.bytes), static_cast<std::size_t>(e.n));
}

struct Field {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  enum Length {
    kNone,
    kChar,
    kShort,
    kLong,
    kLongLong,
    kSize,
    kMax,
    kPtrdiff,
    kLongDouble,
    kInt64,
    kInt32,
    kWide
  } length = kNone;
  char conversion = 0;
};

// A string argument: which kind of text it is, and where it stops.
enum class TextKind { kOwn, kNarrow, kWide };

template <class CharT>
TextKind stringKind(const Field& field) {
  const bool upper = field.conversion == 'S' || field.conversion == 'C';
  if (field.length == Field::kShort) return sizeof(CharT) > 1 ? TextKind::kNarrow : TextKind::kOwn;
  if (field.length == Field::kLong || field.length == Field::kWide)
    return sizeof(CharT) > 1 ? TextKind::kOwn : TextKind::kWide;
  if (!upper) return TextKind::kOwn;
  return sizeof(CharT) > 1 ? TextKind::kNarrow : TextKind::kWide;
}

template <class CharT>
void pad(Sink<CharT>& sink, const Field& field, std::size_t length, bool before) {
  if (field.width <= 0 || static_cast<std::size_t>(field.width) <= length) return;
  if (before == field.left) return;
  sink.fill(static_cast<CharT>(' '), static_cast<std::size_t>(field.width) - length);
}

// Emits text of another encoding than the output's, character by character, never past
// `limit` output units and never splitting a character. Returns the units written.
template <class CharT, class Next>
std::size_t emitConverted(Sink<CharT>* sink, std::size_t limit, Next next) {
  std::size_t units = 0;
  char32_t cp;
  while (next(cp)) {
    Encoded e = encodeFor<CharT>(cp);
    if (units + static_cast<std::size_t>(e.n) > limit) break;
    units += static_cast<std::size_t>(e.n);
    if (sink) putEncoded(*sink, e);
  }
  return units;
}

template <class CharT>
std::size_t emitForeign(Sink<CharT>* sink, const void* text, TextKind kind, std::size_t limit) {
  if (kind == TextKind::kWide) {
    const wchar_t* p = static_cast<const wchar_t*>(text);
    return emitConverted(sink, limit, [&p](char32_t& cp) {
      if (*p == 0) return false;
      cp = decodeWide(p, p + 2);
      return true;
    });
  }
  const unsigned char* p = static_cast<const unsigned char*>(text);
  return emitConverted(sink, limit, [&p](char32_t& cp) {
    if (*p == 0) return false;
    const unsigned char* end = p;
    while (*end && end - p < 4)
      ++end;
    cp = decodeUtf8(p, end);
    return true;
  });
}

template <class CharT>
void formatString(Sink<CharT>& sink, const Field& field, const void* text) {
  static const char kNull[] = "(null)";
  const std::size_t limit = field.precision >= 0 ? static_cast<std::size_t>(field.precision)
                                                 : static_cast<std::size_t>(-1);
  TextKind kind = stringKind<CharT>(field);
  if (!text) {
    std::size_t n = std::min(limit, sizeof(kNull) - 1);
    pad(sink, field, n, true);
    sink.putAscii(kNull, n);
    pad(sink, field, n, false);
    return;
  }
  if (kind == TextKind::kOwn || (kind == TextKind::kNarrow && sizeof(CharT) == 1)) {
    const CharT* s = static_cast<const CharT*>(text);
    std::size_t n = 0;
    while (n < limit && s[n])
      ++n;
    pad(sink, field, n, true);
    sink.put(s, n);
    pad(sink, field, n, false);
    return;
  }
  std::size_t n = field.width > 0 ? emitForeign<CharT>(nullptr, text, kind, limit) : 0;
  pad(sink, field, n, true);
  emitForeign(&sink, text, kind, limit);
  pad(sink, field, n, false);
}

template <class CharT>
void formatChar(Sink<CharT>& sink, const Field& field, int value) {
  TextKind kind = stringKind<CharT>(field);
  Encoded e{};
  if (kind == TextKind::kOwn) {
    e.n = 1;
    if constexpr (sizeof(CharT) > 1) {
      // A character above the basic plane is its surrogate pair where wchar_t has 16 bits;
      // any other value is taken as one unit.
      if (value >= 0x10000 && value <= 0x10FFFF)
        e.n = encodeWide(static_cast<char32_t>(value), e.wide);
      else
        e.wide[0] = static_cast<wchar_t>(value);
    } else {
      e.bytes[0] = static_cast<unsigned char>(value);
    }
  } else if (kind == TextKind::kWide) {
    e = encodeFor<CharT>(static_cast<char32_t>(value));
  } else {
    // A narrow character in a wide output: its byte value taken as a code point.
    e = encodeFor<CharT>(static_cast<unsigned char>(value));
  }
  pad(sink, field, static_cast<std::size_t>(e.n), true);
  putEncoded(sink, e);
  pad(sink, field, static_cast<std::size_t>(e.n), false);
}

// Builds the C format directive for a number, e.g. "%-08.3lld".
void buildDirective(char* out, const Field& field, const char* length) {
  char* p = out;
  *p++ = '%';
  if (field.left) *p++ = '-';
  if (field.plus) *p++ = '+';
  if (field.space) *p++ = ' ';
  if (field.alt) *p++ = '#';
  if (field.zero) *p++ = '0';
  if (field.width > 0) p = std::to_chars(p, p + 12, field.width).ptr;
  if (field.precision >= 0) {
    *p++ = '.';
    p = std::to_chars(p, p + 12, field.precision).ptr;
  }
  while (*length)
    *p++ = *length++;
  *p++ = field.conversion;
  *p = 0;
}

// Runs snprintf with one value and hands its text to the sink.
template <class CharT, class Value>
void formatNumber(Sink<CharT>& sink, const Field& field, const char* length, Value value,
                  bool floating) {
  char directive[48];
  buildDirective(directive, field, length);
  char small[128];
  int n = std::snprintf(small, sizeof small, directive, value);
  if (n < 0) return;
  const char* text = small;
  std::vector<char> large;
  if (static_cast<std::size_t>(n) >= sizeof small) {
    large.resize(static_cast<std::size_t>(n) + 1);
    std::snprintf(large.data(), large.size(), directive, value);
    text = large.data();
  }
  if (floating) {
    // The library writes a decimal point whatever LC_NUMERIC says.
    const char* point = std::localeconv()->decimal_point;
    if (point && std::strcmp(point, ".") != 0 && *point) {
      const char* at = std::strstr(text, point);
      if (at) {
        std::size_t before = static_cast<std::size_t>(at - text);
        sink.putAscii(text, before);
        sink.putAscii(".", 1);
        const char* rest = at + std::strlen(point);
        sink.putAscii(rest, std::strlen(rest));
        return;
      }
    }
  }
  sink.putAscii(text, static_cast<std::size_t>(n));
}

bool isPlain(const Field& field) {
  return !field.left && !field.plus && !field.space && !field.alt && !field.zero &&
         field.width <= 0 && field.precision < 0;
}

template <class CharT, class Int>
void formatInteger(Sink<CharT>& sink, const Field& field, const char* length, Int value) {
  if (isPlain(field)) {
    // The common case without flags: no need for the C library.
    char digits[32];
    int base = 10;
    if (field.conversion == 'x' || field.conversion == 'X') base = 16;
    if (field.conversion == 'o') base = 8;
    char* end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    if (field.conversion == 'X')
      for (char* p = digits; p != end; ++p)
        if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 'a' + 'A');
    sink.putAscii(digits, static_cast<std::size_t>(end - digits));
    return;
  }
  formatNumber(sink, field, length, value, false);
}

template <class CharT>
void formatSigned(Sink<CharT>& sink, const Field& field, va_list& args) {
  switch (field.length) {
    case Field::kChar:
      return formatInteger(sink, field, "",
                           static_cast<int>(static_cast<signed char>(va_arg(args, int))));
    case Field::kShort:
      return formatInteger(sink, field, "",
                           static_cast<int>(static_cast<short>(va_arg(args, int))));
    case Field::kLong:
      return formatInteger(sink, field, "l", va_arg(args, long));
    case Field::kLongLong:
    case Field::kInt64:
    case Field::kMax:
      return formatInteger(sink, field, "ll", va_arg(args, long long));
    case Field::kSize:
    case Field::kPtrdiff:
      return formatInteger(sink, field, "ll", static_cast<long long>(va_arg(args, std::ptrdiff_t)));
    default:
      return formatInteger(sink, field, "", va_arg(args, int));
  }
}

template <class CharT>
void formatUnsigned(Sink<CharT>& sink, const Field& field, va_list& args) {
  switch (field.length) {
    case Field::kChar:
      return formatInteger(
          sink, field, "",
          static_cast<unsigned>(static_cast<unsigned char>(va_arg(args, unsigned))));
    case Field::kShort:
      return formatInteger(
          sink, field, "",
          static_cast<unsigned>(static_cast<unsigned short>(va_arg(args, unsigned))));
    case Field::kLong:
      return formatInteger(sink, field, "l", va_arg(args, unsigned long));
    case Field::kLongLong:
    case Field::kInt64:
    case Field::kMax:
      return formatInteger(sink, field, "ll", va_arg(args, unsigned long long));
    case Field::kSize:
    case Field::kPtrdiff:
      return formatInteger(sink, field, "ll",
                           static_cast<unsigned long long>(va_arg(args, std::size_t)));
    default:
      return formatInteger(sink, field, "", va_arg(args, unsigned));
  }
}

template <class CharT>
const CharT* parseLength(const CharT* p, Field& field) {
  switch (*p) {
    case 'h':
      if (p[1] == 'h') {
        field.length = Field::kChar;
        return p + 2;
      }
      field.length = Field::kShort;
      return p + 1;
    case 'l':
      if (p[1] == 'l') {
        field.length = Field::kLongLong;
        return p + 2;
      }
      field.length = Field::kLong;
      return p + 1;
    case 'q':
      field.length = Field::kLongLong;
      return p + 1;
    case 'L':
      field.length = Field::kLongDouble;
      return p + 1;
    case 'z':
      field.length = Field::kSize;
      return p + 1;
    case 'j':
      field.length = Field::kMax;
      return p + 1;
    case 't':
      field.length = Field::kPtrdiff;
      return p + 1;
    case 'w':
      field.length = Field::kWide;
      return p + 1;
    case 'I':
      if (p[1] == '6' && p[2] == '4') {
        field.length = Field::kInt64;
        return p + 3;
      }
      if (p[1] == '3' && p[2] == '2') {
        field.length = Field::kInt32;
        return p + 3;
      }
      field.length = Field::kSize;
      return p + 1;
    default:
      return p;
  }
}

// Parses flags, width and precision after '%'; '*' takes an int argument.
template <class CharT>
const CharT* parseField(const CharT* p, Field& field, va_list& args) {
  for (;; ++p) {
    if (*p == '-')
      field.left = true;
    else if (*p == '+')
      field.plus = true;
    else if (*p == ' ')
      field.space = true;
    else if (*p == '#')
      field.alt = true;
    else if (*p == '0')
      field.zero = true;
    else if (*p != '\'')
      break;
  }
  if (*p == '*') {
    field.width = va_arg(args, int);
    if (field.width < 0) {
      field.left = true;
      field.width = field.width == INT32_MIN ? INT32_MAX : -field.width;
    }
    ++p;
  } else {
    while (*p >= '0' && *p <= '9') {
      int digit = *p++ - '0';
      field.width = field.width > (INT32_MAX - digit) / 10 ? INT32_MAX : field.width * 10 + digit;
    }
  }
  if (*p == '.') {
    ++p;
    field.precision = 0;
    if (*p == '*') {
      field.precision = va_arg(args, int);
      if (field.precision < 0) field.precision = -1;
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') {
        int digit = *p++ - '0';
        field.precision =
            field.precision > (INT32_MAX - digit) / 10 ? INT32_MAX : field.precision * 10 + digit;
      }
    }
  }
  return parseLength(p, field);
}

// Handles one directive; returns false for an unknown conversion.
template <class CharT>
bool formatDirective(Sink<CharT>& sink, Field& field, va_list& args) {
  switch (field.conversion) {
    case 'd':
    case 'i':
      formatSigned(sink, field, args);
      return true;
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      formatUnsigned(sink, field, args);
      return true;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (field.length == Field::kLongDouble)
        formatNumber(sink, field, "L", va_arg(args, long double), true);
      else
        formatNumber(sink, field, "", va_arg(args, double), true);
      return true;
    case 'p':
      formatNumber(sink, field, "", va_arg(args, void*), false);
      return true;
    case 's':
    case 'S':
      formatString(sink, field, va_arg(args, const void*));
      return true;
    case 'c':
    case 'C':
      formatChar(sink, field, va_arg(args, int));
      return true;
    case 'n':
      (void)va_arg(args, void*);  // never written: a format must not write to memory
      return true;
    default:
      return false;
  }
}

}  // namespace

template <class CharT>
std::size_t formatText(CharT* out, std::size_t room, const CharT* format, va_list args) {
  Sink<CharT> sink(out, room);
  va_list ap;
  va_copy(ap, args);
  static const CharT kEmpty[1] = {0};
  const CharT* p = format ? format : kEmpty;
  while (*p) {
    const CharT* literal = p;
    while (*p && *p != '%')
      ++p;
    sink.put(literal, static_cast<std::size_t>(p - literal));
    if (!*p) break;
    const CharT* directive = p++;
    if (*p == '%') {
      sink.put(static_cast<CharT>('%'));
      ++p;
      continue;
    }
    Field field;
    p = parseField(p, field, ap);
    field.conversion = (*p > 0 && *p < 128) ? static_cast<char>(*p) : 0;
    if (*p) ++p;
    if (!formatDirective(sink, field, ap))
      sink.put(directive, static_cast<std::size_t>(p - directive));  // unknown: kept as text
  }
  va_end(ap);
  sink.terminate();
  return sink.count();
}

template std::size_t formatText<wchar_t>(wchar_t*, std::size_t, const wchar_t*, va_list);
template std::size_t formatText<char>(char*, std::size_t, const char*, va_list);
template std::size_t formatText<unsigned char>(unsigned char*, std::size_t, const unsigned char*,
                                               va_list);

}  // namespace detail
}  // namespace vemo
