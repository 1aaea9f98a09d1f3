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

#include "Charset.h"
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

// The largest width, and precision of a number, that a directive may ask for (from its digits or
// from a '*' argument): a format cannot make the formatter pad or print without bound.
constexpr int kMaxFieldSize = 4096;

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

// The encodings of text: wide units, UTF-8 bytes, bytes in the process code page.
enum class Encoding { kWide, kUtf8, kAnsi };

template <class CharT>
constexpr Encoding outputEncoding() {
  if constexpr (sizeof(CharT) > 1)
    return Encoding::kWide;
  else if constexpr (std::is_same<CharT, char>::value)
    return Encoding::kUtf8;
  else
    return Encoding::kAnsi;
}

// The encoding a string directive reads: %s the format's own, %S the other width (UTF-8 in a
// wide format), %hs narrow, %ls and %ws wide. Narrow in an 8-bit format is its own kind.
template <class CharT>
Encoding stringEncoding(const Field& field) {
  constexpr Encoding own = outputEncoding<CharT>();
  constexpr Encoding narrow = sizeof(CharT) > 1 ? Encoding::kUtf8 : own;
  const bool upper = field.conversion == 'S' || field.conversion == 'C';
  if (field.length == Field::kShort) return narrow;
  if (field.length == Field::kLong || field.length == Field::kWide) return Encoding::kWide;
  if (!upper) return own;
  return sizeof(CharT) > 1 ? narrow : Encoding::kWide;
}

// A text argument: at most `units` units (none past a zero unit) in `encoding`.
struct TextRun {
  const void* data;
  std::size_t units;
  Encoding encoding;
};

constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

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

// The end of a run of `units` units from `p`, or null for a run that ends at its zero only.
template <class Unit>
const Unit* runEnd(const Unit* p, std::size_t units) {
  return units == kUnbounded ? nullptr : p + units;
}

// Wide or UTF-8 text (code-page text is widened first), converted to the output's encoding.
template <class CharT>
std::size_t emitForeign(Sink<CharT>* sink, const TextRun& text, std::size_t limit) {
  if (text.encoding == Encoding::kWide) {
    const wchar_t* p = static_cast<const wchar_t*>(text.data);
    const wchar_t* end = runEnd(p, text.units);
    return emitConverted(sink, limit, [&p, end](char32_t& cp) {
      if (p == end || *p == 0) return false;
      // A pair is read across two units at most; a zero unit ends it like the end of the run.
      cp = decodeWide(p, end && end - p < 2 ? end : p + 2);
      return true;
    });
  }
  const unsigned char* p = static_cast<const unsigned char*>(text.data);
  const unsigned char* end = runEnd(p, text.units);
  return emitConverted(sink, limit, [&p, end](char32_t& cp) {
    if (p == end || *p == 0) return false;
    const unsigned char* stop = p;
    while (stop != end && *stop && stop - p < 4)
      ++stop;
    cp = decodeUtf8(p, stop);
    return true;
  });
}

template <class Unit>
std::size_t unitsUpTo(const Unit* s, std::size_t units, std::size_t limit) {
  const std::size_t most = std::min(units, limit);
  std::size_t n = 0;
  while (n < most && s[n])
    ++n;
  return n;
}

template <class CharT>
void formatString(Sink<CharT>& sink, const Field& field, TextRun text);

// Code-page text for a wide or UTF-8 output: widened through the process code page (one block
// for the conversion), then written as wide text.
template <class CharT>
void formatCodePageText(Sink<CharT>& sink, const Field& field, const TextRun& text) {
  const unsigned char* s = static_cast<const unsigned char*>(text.data);
  const std::size_t n = unitsUpTo(s, text.units, kUnbounded);
  const long wide = ansiToWide(s, n, nullptr, 0);
  std::vector<wchar_t> converted(wide > 0 ? static_cast<std::size_t>(wide) + 1 : 1, L'\0');
  if (wide > 0) ansiToWide(s, n, converted.data(), converted.size());
  formatString(sink, field, TextRun{converted.data(), kUnbounded, Encoding::kWide});
}

template <class CharT>
void formatString(Sink<CharT>& sink, const Field& field, TextRun text) {
  static const char kNull[] = "(null)";
  const std::size_t limit =
      field.precision >= 0 ? static_cast<std::size_t>(field.precision) : kUnbounded;
  if (!text.data) {
    std::size_t n = std::min(limit, sizeof(kNull) - 1);
    pad(sink, field, n, true);
    sink.putAscii(kNull, n);
    pad(sink, field, n, false);
    return;
  }
  if (text.encoding == outputEncoding<CharT>()) {
    const CharT* s = static_cast<const CharT*>(text.data);
    const std::size_t n = unitsUpTo(s, text.units, limit);
    pad(sink, field, n, true);
    sink.put(s, n);
    pad(sink, field, n, false);
    return;
  }
  if (text.encoding == Encoding::kAnsi) {
    if (effectiveCodePage() != kUtf8CodePage) return formatCodePageText(sink, field, text);
    text.encoding = Encoding::kUtf8;
  }
  std::size_t n = field.width > 0 ? emitForeign<CharT>(nullptr, text, limit) : 0;
  pad(sink, field, n, true);
  emitForeign(&sink, text, limit);
  pad(sink, field, n, false);
}

template <class CharT>
void formatChar(Sink<CharT>& sink, const Field& field, int value) {
  const Encoding encoding = stringEncoding<CharT>(field);
  Encoded e{};
  if (encoding == outputEncoding<CharT>()) {
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
  } else if (encoding == Encoding::kWide) {
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
    // The precision of a number is capped (that of a text only limits what is taken of it).
    *p++ = '.';
    p = std::to_chars(p, p + 12, std::min(field.precision, kMaxFieldSize)).ptr;
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
template <class CharT, class Args>
const CharT* parseField(const CharT* p, Field& field, Sink<CharT>& sink, Args& args) {
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
    int width = 0;
    if (args.star(sink, width)) {
      field.width = width;
      if (field.width < 0) {
        field.left = true;
        field.width = field.width == INT32_MIN ? INT32_MAX : -field.width;
      }
    }
    ++p;
  } else {
    while (*p >= '0' && *p <= '9') {
      int digit = *p++ - '0';
      field.width = field.width > (INT32_MAX - digit) / 10 ? INT32_MAX : field.width * 10 + digit;
    }
  }
  field.width = std::min(field.width, kMaxFieldSize);
  if (*p == '.') {
    ++p;
    field.precision = 0;
    if (*p == '*') {
      int precision = -1;
      args.star(sink, precision);
      field.precision = precision < 0 ? -1 : precision;
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

// ---- the C forms: arguments read from a va_list, as the directives say ------------------------

class VaArgs {
 public:
  explicit VaArgs(va_list args) { va_copy(_ap, args); }
  ~VaArgs() { va_end(_ap); }
  VaArgs(const VaArgs&) = delete;
  VaArgs& operator=(const VaArgs&) = delete;

  template <class CharT>
  bool star(Sink<CharT>&, int& value) {
    value = va_arg(_ap, int);
    return true;
  }

  // Handles one directive; returns false for an unknown conversion.
  template <class CharT>
  bool directive(Sink<CharT>& sink, Field& field) {
    switch (field.conversion) {
      case 'd':
      case 'i':
        formatSigned(sink, field, _ap);
        return true;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        formatUnsigned(sink, field, _ap);
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
          formatNumber(sink, field, "L", va_arg(_ap, long double), true);
        else
          formatNumber(sink, field, "", va_arg(_ap, double), true);
        return true;
      case 'p':
        formatNumber(sink, field, "", va_arg(_ap, void*), false);
        return true;
      case 's':
      case 'S':
        formatString(sink, field,
                     TextRun{va_arg(_ap, const void*), kUnbounded, stringEncoding<CharT>(field)});
        return true;
      case 'c':
      case 'C':
        formatChar(sink, field, va_arg(_ap, int));
        return true;
      case 'n':
        (void)va_arg(_ap, void*);  // never written: a format must not write to memory
        return true;
      default:
        return false;
    }
  }

 private:
  va_list _ap;
};

// ---- the typed forms: each directive checked against its argument ---------------------------

// What a conversion reads.
enum class Wants { kNothing, kInteger, kFloat, kPointer, kText, kChar, kAnything };

Wants wantedBy(char conversion) {
  switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      return Wants::kInteger;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      return Wants::kFloat;
    case 'p':
      return Wants::kPointer;
    case 's':
    case 'S':
      return Wants::kText;
    case 'c':
    case 'C':
      return Wants::kChar;
    case 'n':
      return Wants::kAnything;
    default:
      return Wants::kNothing;
  }
}

bool isInteger(const FormatArg& arg) {
  return arg.type == FormatArg::kSigned || arg.type == FormatArg::kUnsigned ||
         arg.type == FormatArg::kBool;
}
bool isText(const FormatArg& arg) {
  return arg.type == FormatArg::kWideText || arg.type == FormatArg::kUtf8Text ||
         arg.type == FormatArg::kAnsiText;
}
Encoding textEncoding(const FormatArg& arg) {
  return arg.type == FormatArg::kWideText   ? Encoding::kWide
         : arg.type == FormatArg::kUtf8Text ? Encoding::kUtf8
                                            : Encoding::kAnsi;
}

// The integer's 64 bits: a signed value sign-extended, an unsigned one zero-extended.
unsigned long long integerBits(const FormatArg& arg) {
  return arg.type == FormatArg::kUnsigned ? arg.value.u
                                          : static_cast<unsigned long long>(arg.value.i);
}

// Bits that a directive's length modifier reads.
int directiveBits(const Field& field) {
  switch (field.length) {
    case Field::kChar:
      return 8;
    case Field::kShort:
      return 16;
    case Field::kLong:
      return static_cast<int>(sizeof(long) * 8);
    case Field::kLongLong:
    case Field::kInt64:
    case Field::kMax:
      return 64;
    case Field::kSize:
    case Field::kPtrdiff:
      return static_cast<int>(sizeof(std::size_t) * 8);
    default:
      return 32;
  }
}

const char* typeName(const FormatArg& arg) {
  switch (arg.type) {
    case FormatArg::kSigned:
      return arg.bits <= 8 ? "int8" : arg.bits <= 16 ? "int16" : arg.bits <= 32 ? "int32" : "int64";
    case FormatArg::kUnsigned:
      return arg.bits <= 8    ? "uint8"
             : arg.bits <= 16 ? "uint16"
             : arg.bits <= 32 ? "uint32"
                              : "uint64";
    case FormatArg::kBool:
      return "bool";
    case FormatArg::kDouble:
      return "double";
    case FormatArg::kLongDouble:
      return "long double";
    case FormatArg::kPointer:
      return "pointer";
    case FormatArg::kNull:
      return "nullptr";
    case FormatArg::kWideText:
      return "wstring";
    case FormatArg::kUtf8Text:
      return "string";
    case FormatArg::kAnsiText:
      return "ansi string";
  }
  return "?";
}

// "%!d(missing)" for a directive without an argument, "%!d(wstring=text)" for one whose argument
// is of another kind: the argument is shown in its own natural form.
template <class CharT>
void putMarker(Sink<CharT>& sink, char conversion, const FormatArg* arg) {
  const char head[] = {'%', '!', conversion, '('};
  sink.putAscii(head, sizeof head);
  if (!arg) {
    sink.putAscii("missing)", 8);
    return;
  }
  const char* name = typeName(*arg);
  sink.putAscii(name, std::strlen(name));
  Field shown;
  switch (arg->type) {
    case FormatArg::kSigned:
    case FormatArg::kUnsigned: {
      sink.putAscii("=", 1);
      shown.conversion = arg->type == FormatArg::kSigned ? 'd' : 'u';
      if (arg->type == FormatArg::kSigned)
        formatInteger(sink, shown, "ll", arg->value.i);
      else
        formatInteger(sink, shown, "ll", arg->value.u);
      break;
    }
    case FormatArg::kBool:
      sink.putAscii(arg->value.i ? "=true" : "=false", arg->value.i ? 5 : 6);
      break;
    case FormatArg::kDouble:
      sink.putAscii("=", 1);
      shown.conversion = 'g';
      formatNumber(sink, shown, "", arg->value.d, true);
      break;
    case FormatArg::kLongDouble:
      sink.putAscii("=", 1);
      shown.conversion = 'g';
      formatNumber(sink, shown, "L", *arg->value.ld, true);
      break;
    case FormatArg::kPointer:
      sink.putAscii("=", 1);
      shown.conversion = 'p';
      formatNumber(sink, shown, "", const_cast<void*>(arg->value.p), false);
      break;
    case FormatArg::kNull:
      break;
    default:
      sink.putAscii("=", 1);
      formatString(sink, shown,
                   TextRun{arg->value.text.data, arg->value.text.units, textEncoding(*arg)});
      break;
  }
  sink.putAscii(")", 1);
}

// An integer under an integer directive. It is converted to the type the directive names, as C
// converts; but a value wider than that type (and than int) keeps its own width, so that a 64-bit
// value under %d prints whole, and an unsigned 64-bit value under %d or %lld prints as the
// unsigned number it is.
template <class CharT>
void formatTypedInteger(Sink<CharT>& sink, const Field& field, const FormatArg& arg) {
  const int wanted = directiveBits(field);
  const int bits = arg.bits > std::max(wanted, 32) ? arg.bits : wanted;
  unsigned long long value = integerBits(arg);
  if (bits < 64) value &= (1ULL << bits) - 1;
  if (bits == 64 && arg.type == FormatArg::kUnsigned && arg.bits == 64 &&
      (field.conversion == 'd' || field.conversion == 'i')) {
    Field asUnsigned = field;
    asUnsigned.conversion = 'u';
    formatInteger(sink, asUnsigned, "ll", value);
  } else if (field.conversion == 'd' || field.conversion == 'i') {
    long long signedValue = static_cast<long long>(value);
    if (bits < 64 && (value >> (bits - 1)) != 0)
      signedValue -= static_cast<long long>(1ULL << bits);
    formatInteger(sink, field, "ll", signedValue);
  } else {
    formatInteger(sink, field, "ll", value);
  }
}

class TypedArgs {
 public:
  explicit TypedArgs(const FormatArgs& args) : _next(args.args), _end(args.args + args.count) {}

  const FormatArg* take() { return _next != _end ? _next++ : nullptr; }

  // A '*' width or precision: any integer, clamped to int; anything else leaves it unset.
  template <class CharT>
  bool star(Sink<CharT>& sink, int& value) {
    const FormatArg* arg = take();
    if (!arg || !isInteger(*arg)) {
      putMarker(sink, '*', arg);
      return false;
    }
    if (arg->type == FormatArg::kUnsigned)
      value = arg->value.u > static_cast<unsigned long long>(INT32_MAX)
                  ? INT32_MAX
                  : static_cast<int>(arg->value.u);
    else
      value = static_cast<int>(
          std::max<long long>(INT32_MIN + 1LL, std::min<long long>(arg->value.i, INT32_MAX)));
    return true;
  }

  template <class CharT>
  bool directive(Sink<CharT>& sink, Field& field) {
    const Wants wants = wantedBy(field.conversion);
    if (wants == Wants::kNothing) return false;
    const FormatArg* arg = take();
    if (!arg) {
      putMarker(sink, field.conversion, nullptr);
      return true;
    }
    switch (wants) {
      case Wants::kInteger:
        if (!isInteger(*arg)) break;
        formatTypedInteger(sink, field, *arg);
        return true;
      case Wants::kChar: {
        if (!isInteger(*arg)) break;
        // The argument's width says what it holds: a char is one unit of the format's narrow
        // text; anything wider (wchar_t, char16_t, char32_t, int) is a whole character, written
        // in the output's encoding.
        const unsigned long long value = integerBits(*arg);
        if (arg->bits <= 8) {
          formatChar(sink, field, static_cast<int>(value & 0xFF));
        } else {
          Field wide = field;
          wide.length = Field::kWide;
          formatChar(sink, wide, value <= 0x10FFFF ? static_cast<int>(value) : 0xFFFD);
        }
        return true;
      }
      case Wants::kFloat:
        if (arg->type == FormatArg::kDouble) {
          if (field.length == Field::kLongDouble)
            formatNumber(sink, field, "L", static_cast<long double>(arg->value.d), true);
          else
            formatNumber(sink, field, "", arg->value.d, true);
          return true;
        }
        if (arg->type == FormatArg::kLongDouble) {
          if (field.length == Field::kLongDouble)
            formatNumber(sink, field, "L", *arg->value.ld, true);
          else
            formatNumber(sink, field, "", static_cast<double>(*arg->value.ld), true);
          return true;
        }
        break;
      case Wants::kPointer:
        if (arg->type == FormatArg::kPointer || arg->type == FormatArg::kNull) {
          formatNumber(sink, field, "", const_cast<void*>(arg->value.p), false);
          return true;
        }
        if (isText(*arg)) {
          formatNumber(sink, field, "", const_cast<void*>(arg->value.text.data), false);
          return true;
        }
        break;
      case Wants::kText:
        if (arg->type == FormatArg::kNull) {
          formatString(sink, field, TextRun{nullptr, 0, Encoding::kWide});
          return true;
        }
        // The text must have the width of units that the directive reads; code-page and UTF-8
        // texts are both narrow, and converted to each other when they meet.
        if (isText(*arg) && (textEncoding(*arg) == Encoding::kWide) ==
                                (stringEncoding<CharT>(field) == Encoding::kWide)) {
          formatString(sink, field,
                       TextRun{arg->value.text.data, arg->value.text.units, textEncoding(*arg)});
          return true;
        }
        break;
      default:  // %n: takes its argument and writes nothing
        return true;
    }
    putMarker(sink, field.conversion, arg);
    return true;
  }

 private:
  const FormatArg* _next;
  const FormatArg* _end;
};

template <class CharT, class Args>
std::size_t formatWith(CharT* out, std::size_t room, const CharT* format, Args& args) {
  Sink<CharT> sink(out, room);
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
    p = parseField(p, field, sink, args);
    field.conversion = (*p > 0 && *p < 128) ? static_cast<char>(*p) : 0;
    if (*p) ++p;
    if (!args.directive(sink, field))
      sink.put(directive, static_cast<std::size_t>(p - directive));  // unknown: kept as text
  }
  sink.terminate();
  return sink.count();
}

}  // namespace

template <class CharT>
std::size_t formatText(CharT* out, std::size_t room, const CharT* format, va_list args) {
  VaArgs source(args);
  return formatWith(out, room, format, source);
}

template <class CharT>
std::size_t formatText(CharT* out, std::size_t room, const CharT* format, const FormatArgs& args) {
  TypedArgs source(args);
  return formatWith(out, room, format, source);
}

template std::size_t formatText<wchar_t>(wchar_t*, std::size_t, const wchar_t*, va_list);
template std::size_t formatText<char>(char*, std::size_t, const char*, va_list);
template std::size_t formatText<unsigned char>(unsigned char*, std::size_t, const unsigned char*,
                                               va_list);
template std::size_t formatText<wchar_t>(wchar_t*, std::size_t, const wchar_t*, const FormatArgs&);
template std::size_t formatText<char>(char*, std::size_t, const char*, const FormatArgs&);
template std::size_t formatText<unsigned char>(unsigned char*, std::size_t, const unsigned char*,
                                               const FormatArgs&);

}  // namespace detail
}  // namespace vemo
