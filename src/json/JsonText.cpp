// Json: the lenient recursive-descent parser and the compact and styled writers.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "CharWalk.h"
#include "File.h"
#include "JsonArray.h"
#include "JsonInput.h"
#include "JsonNodes.h"
#include "Number.h"
#include "StringData.h"
#include "Utf.h"
#include "vemo/core/Archive.h"
#include "vemo/core/Charset.h"
#include "vemo/core/File.h"
#include "vemo/core/Json.h"
#include "vemo/core/Log.h"
#include "vemo/core/Text.h"

namespace vemo {

// ---- parsing ---------------------------------------------------------------------------------

namespace {

// The characters with a two-character escape, and the letter after the backslash.
struct ShortEscape {
  wchar_t character;
  char letter;
};
constexpr ShortEscape kShortEscapes[] = {{L'\b', 'b'}, {L'\t', 't'}, {L'\n', 'n'}, {L'\f', 'f'},
                                         {L'\r', 'r'}, {L'"', '"'},  {L'\\', '\\'}};

// For each ASCII character after a backslash, the character the escape stands for: the
// control character of \b \f \n \r \t, any other character itself.
constexpr std::array<char, 128> kUnescaped = [] {
  std::array<char, 128> characters{};
  for (int c = 0; c < 128; ++c)
    characters[c] = static_cast<char>(c);
  for (const ShortEscape& entry : kShortEscapes)
    characters[static_cast<unsigned char>(entry.letter)] = static_cast<char>(entry.character);
  return characters;
}();

// What the parser needs to know of its text: wide characters, or UTF-8 bytes in which every
// byte of 0x80 and above belongs to a two- or three-byte sequence of a character of U+0080 and
// above (see regularUtf8), so that the bytes below 0x80 are the text's ASCII characters.
struct WideText {
  using Char = wchar_t;
  static constexpr bool kChecksStrings = false;
  static const Char* findCommentEnd(const Char* p) { return std::wcsstr(p, L"*/"); }
  static const Char* findLineFeed(const Char* p) { return std::wcschr(p, L'\n'); }
  static std::size_t length(const Char* p) { return std::wcslen(p); }
  // One character at p, stepping over it.
  static wchar_t next(const Char*& p) { return *p++; }
  static const Char* skip(const Char* p) { return p + 1; }
  static double scanDouble(const Char* text, const Char** end) {
    return detail::scanDouble(text, end);
  }
  static wchar_t* copyChar(const Char*& p, wchar_t* o) {
    *o++ = *p++;
    return o;
  }
  static bool isByteOrderMark(const Char* p) { return *p == 0xFEFF; }
};

struct Utf8Text {
  using Char = unsigned char;
  // The bytes of strings are checked as they are measured (see regularLength): the parser
  // stops at the first string that holds anything else, and the text is then read again the
  // slow way.
  static constexpr bool kChecksStrings = true;
  // The bytes of the character at p (a byte of 0x80 or above) when they are a two- or
  // three-byte sequence of regularUtf8, else 0. Stops at the terminator.
  static int regularLength(const Char* p) {
    const Char c = *p;
    if (c >= 0xC2 && c <= 0xDF) return detail::isContinuation(p[1]) ? 2 : 0;
    if (c < 0xE0 || c > 0xEF || !detail::isContinuation(p[1]) || !detail::isContinuation(p[2]) ||
        (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F))
      return 0;
    return 3;
  }
  static const Char* findCommentEnd(const Char* p) {
    return reinterpret_cast<const Char*>(std::strstr(reinterpret_cast<const char*>(p), "*/"));
  }
  static const Char* findLineFeed(const Char* p) {
    return reinterpret_cast<const Char*>(std::strchr(reinterpret_cast<const char*>(p), '\n'));
  }
  static std::size_t length(const Char* p) { return std::strlen(reinterpret_cast<const char*>(p)); }
  static wchar_t next(const Char*& p) {
    const Char c = *p++;
    if (c < 0x80) return c;
    if (c < 0xE0) return static_cast<wchar_t>(((c & 0x1F) << 6) | (*p++ & 0x3F));
    const wchar_t ch =
        static_cast<wchar_t>(((c & 0x0F) << 12) | ((p[0] & 0x3F) << 6) | (p[1] & 0x3F));
    p += 2;
    return ch;
  }
  static const Char* skip(const Char* p) { return p + (*p < 0x80 ? 1 : *p < 0xE0 ? 2 : 3); }
  static wchar_t* copyChar(const Char*& p, wchar_t* o) {
    *o++ = next(p);
    return o;
  }
  static bool isByteOrderMark(const Char* p) {
    return p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF;
  }
  // A number's characters are ASCII: its run of number characters, read where it is when it
  // holds a number in range (the parser comes here with a run that starts with a digit or a
  // minus, which the conversion of the wide text reads the same way), else made wide.
  static double scanDouble(const Char* text, const Char** end) {
    const Char* stop = text;
    while (detail::isDecimalDigit(*stop) || *stop == '.' || *stop == 'e' || *stop == 'E' ||
           *stop == '+' || *stop == '-')
      ++stop;
    if (*text == '-' || detail::isDecimalDigit(*text)) {
      const char* const first = reinterpret_cast<const char*>(text);
      double value = 0;
      const std::from_chars_result read =
          std::from_chars(first, reinterpret_cast<const char*>(stop), value);
      if (read.ec == std::errc()) {
        *end = text + (read.ptr - first);
        return value;
      }
    }
    constexpr std::size_t kShort = 64;
    wchar_t shortRun[kShort];
    std::wstring longRun;
    const std::size_t count = static_cast<std::size_t>(stop - text);
    wchar_t* run = shortRun;
    if (count >= kShort) {
      longRun.resize(count + 1);
      run = &longRun[0];
    }
    std::copy(text, stop, run);
    run[count] = 0;
    const wchar_t* runEnd = run;
    const double value = detail::scanDouble(run, &runEnd);
    *end = text + (runEnd - run);
    return value;
  }
};

// Well-formed UTF-8 (RFC 3629, checked before a strict parse), four-byte sequences included.
struct StrictUtf8Text : Utf8Text {
  static constexpr bool kChecksStrings = false;
  static wchar_t next(const Char*& p) {
    const Char c = *p;
    if (c < 0xF0) return Utf8Text::next(p);
    const char32_t cp = (static_cast<char32_t>(c & 0x07) << 18) |
                        (static_cast<char32_t>(p[1] & 0x3F) << 12) |
                        (static_cast<char32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    p += 4;
    return static_cast<wchar_t>(cp);  // only where wchar_t holds it (see copyChar)
  }
  static const Char* skip(const Char* p) { return *p >= 0xF0 ? p + 4 : Utf8Text::skip(p); }
  static wchar_t* copyChar(const Char*& p, wchar_t* o) {
    if (*p < 0xF0) {
      *o++ = Utf8Text::next(p);
      return o;
    }
    const char32_t cp = (static_cast<char32_t>(p[0] & 0x07) << 18) |
                        (static_cast<char32_t>(p[1] & 0x3F) << 12) |
                        (static_cast<char32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    p += 4;
    return o + detail::encodeWide(cp, o);
  }
};

// The first byte of [p, end) that does not belong to well-formed UTF-8, or end.
const unsigned char* firstInvalidUtf8(const unsigned char* p, const unsigned char* end) {
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int need;
    unsigned char low = 0x80, high = 0xBF;  // the range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      return p;
    }
    if (end - p <= need || p[1] < low || p[1] > high) return p;
    for (int i = 2; i <= need; ++i)
      if (!detail::isContinuation(p[i])) return p;
    p += need + 1;
  }
  return end;
}

// Whether the bytes are well-formed UTF-8 of characters below U+10000 without a zero byte: then
// the parser of UTF-8 text takes them as they are.
bool regularUtf8(const unsigned char* p, const unsigned char* end) {
  while (p < end) {
    // Eight ASCII bytes without a zero at a time.
    std::uint64_t word;
    if (end - p >= 8) {
      std::memcpy(&word, p, 8);
      const std::uint64_t high = 0x8080808080808080ULL;
      if (!(word & high) && !((word - 0x0101010101010101ULL) & ~word & high)) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (end - p < 2 || !detail::isContinuation(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (end - p < 3 || !detail::isContinuation(p[1]) || !detail::isContinuation(p[2]) ||
          (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F))
        return false;
      p += 3;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

template <class Text, bool kStrict>
class JsonParser {
 public:
  using Char = typename Text::Char;
  // `end` is the real end of a text that may hold zero characters (the bytes of a stream);
  // without it the first zero ends the text.
  explicit JsonParser(const Char* text, const Char* end = nullptr) : _p(text), _end(end) {}
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;
  const Char* position() const { return _p; }
  // Where and why the parse failed (the first fault met).
  const Char* errorAt() const { return _errorAt; }
  const char* reason() const { return _reason; }
  // Whether the parse stopped at a string whose bytes this kind of text does not take.
  bool irregular() const { return _irregular; }

  // Skips white space and comments before a value; false on an unterminated /* comment.
  // Strict text has no comments.
  bool skipSpaceAndComments() {
    if constexpr (kStrict) {
      skipSpace();
      return true;
    }
    for (;;) {
      skipSpace();
      if (_p[0] != '/') return true;
      if (_p[1] == '*') {
        const Char* close = Text::findCommentEnd(_p + 2);
        if (!close) return fail(_p, "unterminated comment");
        _p = close + 2;
      } else if (_p[1] == '/') {
        const Char* lineFeed = Text::findLineFeed(_p + 2);
        _p = lineFeed ? lineFeed + 1 : _p + Text::length(_p);
      } else {
        return true;
      }
    }
  }

  // One value (after white space and comments) into `value`; unchanged on failure.
  bool parse(JsonValue& value, int depth) {
    if (!skipSpaceAndComments()) return false;
    switch (*_p) {
      case '"': {
        String text;
        if (!parseString(text)) return false;
        JsonValue made;  // takes the characters over: no reference to count
        new (made._value.string_) String(std::move(text));
        made._type = JsonValue::stringValue;
        value.swap(made);
        return true;
      }
      case '[':
        return parseArray(value, depth + 1);
      case '{':
        return parseObject(value, depth + 1);
      case 't':
        return parseLiteral("true", JsonValue(true), value);
      case 'f':
        return parseLiteral("false", JsonValue(false), value);
      case 'n':
        return parseLiteral("null", JsonValue(), value);
      default:
        if (*_p == '-' || detail::isDecimalDigit(*_p)) return parseNumber(value);
        return fail(_p, valueMissing());
    }
  }

  // After the value of a strict text: nothing but white space up to the end.
  bool finish() {
    skipSpace();
    if (atEnd(_p)) return true;
    return fail(_p, isComment(_p) ? "comments are not allowed" : "text after the value");
  }

 private:
  bool fail(const Char* at, const char* reason) {
    if (!_reason) _errorAt = at, _reason = reason;
    return false;
  }
  bool atEnd(const Char* p) const { return *p == 0 && (!_end || p == _end); }
  static bool isComment(const Char* p) { return p[0] == '/' && (p[1] == '*' || p[1] == '/'); }
  // Why no value starts at _p.
  const char* valueMissing() const {
    if (atEnd(_p)) return "unexpected end of text";
    if (kStrict && isComment(_p)) return "comments are not allowed";
    if (Text::isByteOrderMark(_p)) return "byte-order mark";
    return "expected a value";
  }

  void skipSpace() {
    if constexpr (kStrict) {
      while (*_p == ' ' || *_p == '\t' || *_p == '\n' || *_p == '\r')
        ++_p;
    } else {
      while (detail::isCSpace(*_p))
        ++_p;
    }
  }

  bool parseLiteral(const char* word, JsonValue literal, JsonValue& value) {
    for (const char* w = word; *w; ++w)
      if (_p[w - word] != static_cast<Char>(*w)) return fail(_p, "invalid literal");
    _p += std::strlen(word);
    value.swap(literal);
    return true;
  }

  // The end of the number at _p by the grammar of RFC 8259, or null (after fail).
  const Char* strictNumberEnd() {
    const Char* p = _p;
    if (*p == '-') ++p;
    if (*p == '0') {
      if (detail::isDecimalDigit(*++p)) return failAt(p, "leading zero in a number");
    } else if (detail::isDecimalDigit(*p)) {
      while (detail::isDecimalDigit(*p))
        ++p;
    } else {
      return failAt(p, "digit expected in a number");
    }
    if (*p == '.') {
      if (!detail::isDecimalDigit(*++p)) return failAt(p, "digit expected after the point");
      while (detail::isDecimalDigit(*p))
        ++p;
    }
    if (*p == 'e' || *p == 'E') {
      if (*++p == '+' || *p == '-') ++p;
      if (!detail::isDecimalDigit(*p)) return failAt(p, "digit expected in the exponent");
      while (detail::isDecimalDigit(*p))
        ++p;
    }
    return p;
  }
  const Char* failAt(const Char* at, const char* reason) {
    fail(at, reason);
    return nullptr;
  }

  bool parseNumber(JsonValue& value) {
    const Char* const start = _p;
    const Char* strictEnd = nullptr;
    if constexpr (kStrict) {
      strictEnd = strictNumberEnd();
      if (!strictEnd) return false;
    }
    const bool negative = *_p == '-';
    if (negative) ++_p;
    const unsigned long long limit = negative ? 0x8000000000000000ULL : ~0ULL;
    unsigned long long accumulated = 0;
    bool overflow = false;
    for (; detail::isDecimalDigit(*_p); ++_p) {
      const unsigned digit = static_cast<unsigned>(*_p - '0');
      if (accumulated > limit / 10 || (accumulated == limit / 10 && digit > limit % 10)) {
        overflow = true;
        break;
      }
      accumulated = accumulated * 10 + digit;
    }
    if (overflow || *_p == '.' || *_p == 'e' || *_p == 'E') {
      const Char* stop = start;
      const double number = Text::scanDouble(start, &stop);
      if (stop == start) return fail(start, "invalid number");
      if constexpr (kStrict) {
        // JSON has no infinity: a number too large for a double is not taken as one.
        if (!std::isfinite(number)) return fail(start, "number out of range");
      }
      _p = stop;
      JsonValue(number).swap(value);
    } else if (negative) {
      JsonValue(static_cast<__int64>(0 - accumulated)).swap(value);
    } else {
      JsonValue(static_cast<__uint64>(accumulated)).swap(value);
    }
    if constexpr (kStrict) {
      if (_p != strictEnd) return fail(start, "invalid number");
    }
    return true;
  }

  // Four hexadecimal digits at p, or -1.
  static int hexUnit(const Char* p) {
    int unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = detail::hexDigitValue(p[i]);  // stops at the terminator
      if (digit < 0) return -1;
      unit = unit * 16 + digit;
    }
    return unit;
  }

  // The rules a strict string adds, from its opening quote at _p.
  bool checkStrictString() {
    for (const Char* p = _p + 1;;) {
      const Char c = *p;
      if (c == '"') return true;
      if (atEnd(p)) return fail(_p, "unterminated string");
      if (static_cast<std::uint32_t>(c) < 0x20) return fail(p, "control character in a string");
      if (c != '\\') {
        ++p;
        continue;
      }
      switch (p[1]) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          p += 2;
          continue;
        case 'u':
          break;
        default:
          if (atEnd(p + 1)) return fail(_p, "unterminated string");
          return fail(p, "invalid escape");
      }
      const int unit = hexUnit(p + 2);
      if (unit < 0) return fail(p, "\\u needs four hexadecimal digits");
      if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(p, "lone surrogate");
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const int low = p[6] == '\\' && p[7] == 'u' ? hexUnit(p + 8) : -1;
        if (low < 0xDC00 || low > 0xDFFF) return fail(p, "lone surrogate");
        p += 6;
      }
      p += 6;
    }
  }

  // A quoted string at _p into `text`; false when it has no closing quote.
  bool parseString(String& text) {
    if constexpr (kStrict) {
      if (!checkStrictString()) return false;
    }
    const Char* const begin = _p + 1;
    const Char* end = begin;
    std::size_t count = 0;  // units: at least the characters
    bool plain = true;      // no escape
    if constexpr (!std::is_same<Char, wchar_t>::value) {
      if (parseShortString(text, end, count, plain)) return true;
    }
    for (; *end != '"'; ++end, ++count) {
      if (*end == 0) return fail(_p, "unterminated string");
      if (*end == '\\') {
        plain = false;
        if (*++end == 0) return fail(_p, "unterminated string");
      }
      if constexpr (Text::kChecksStrings) {
        if (*end >= 0x80) {
          const int length = Text::regularLength(end);
          if (length == 0) {
            _irregular = true;
            return fail(end, "irregular UTF-8");
          }
          end += length - 1;
        }
      }
    }
    _p = end + 1;
    if constexpr (std::is_same<Char, wchar_t>::value) {
      if (plain) {
        text = count <= kCachedLength ? sharedString(begin, count) : copied(begin, count);
        return true;
      }
    }
    // `count` is at least the decoded units: a short string is decoded on the stack for the
    // cache, any other straight into its own block, which is then cut to what it holds.
    if (count <= kCachedLength) {
      wchar_t stack[kCachedLength];
      text = sharedString(stack, decode(begin, end, stack));
      return true;
    }
    wchar_t* chars = newBlock(count, 1);
    text = fitted(chars, count, decode(begin, end, chars));
    return true;
  }

  // A short string of UTF-8 text in one pass, decoded onto the stack as it is read, for the
  // cache of shared strings. False where the general way must go on: at `end`, the first byte
  // not read, with the `count` of units before it and whether they were `plain`, once the
  // string is longer than the cache's; at the start of the string for anything the general way
  // must judge (a \u escape, a control character, an irregular sequence, the end of the text).
  bool parseShortString(String& text, const Char*& end, std::size_t& count, bool& plain) {
    wchar_t chars[kCachedLength + 1];  // the last character may take two units
    std::size_t n = 0;
    bool escaped = false;
    const Char* p = _p + 1;
    for (;;) {
      const Char c = *p;
      if (c == '"') break;
      if (n >= kCachedLength) {
        end = p, count = n, plain = !escaped;
        return false;
      }
      if (c >= 0x80) {
        if constexpr (Text::kChecksStrings) {
          if (Text::regularLength(p) == 0) return false;
        }
        n = static_cast<std::size_t>(Text::copyChar(p, chars + n) - chars);
      } else if (c >= 0x20 && c != '\\') {
        chars[n++] = static_cast<wchar_t>(c);
        ++p;
      } else if (c == '\\' && p[1] > 0 && p[1] < 0x80 && p[1] != 'u') {
        chars[n++] = static_cast<wchar_t>(kUnescaped[p[1]]);
        p += 2;
        escaped = true;
      } else {
        return false;
      }
    }
    if (n > kCachedLength) return false;
    _p = p + 1;
    text = sharedString(chars, n);
    return true;
  }

  // The string of a block of newBlock() for `capacity` units that holds `used`. A block of
  // its own with much room left over (a text of many escapes) gives it back; the slab block
  // just made gives back what it does not use.
  static String fitted(wchar_t* chars, std::size_t capacity, std::size_t used) {
    StringData* header = reinterpret_cast<StringData*>(chars) - 1;
    if (used == 0) {                       // nothing but dropped escapes
      detail::StringAccess::adopt(chars);  // and gone again with its only reference
      return String();
    }
    const bool inSlab = header->count.load(std::memory_order_relaxed) & detail::kSlabStringBit;
    if (used < capacity) {
      if (inSlab) {
        detail::shrinkJsonNode(header, blockBytes(capacity), blockBytes(used));
      } else if (capacity - used > capacity / 4) {
        void* smaller = std::realloc(header, blockBytes(used));
        if (smaller) {
          header = static_cast<StringData*>(smaller);
          chars = reinterpret_cast<wchar_t*>(header + 1);
        }
      }
      header->size = static_cast<std::uint32_t>((used + 1) * sizeof(wchar_t));
      header->length.store(static_cast<std::int32_t>(used), std::memory_order_relaxed);
      chars[used] = 0;
    }
    return detail::StringAccess::adopt(chars);
  }

  static constexpr std::size_t blockBytes(std::size_t units) {
    return sizeof(StringData) + (units + 1) * sizeof(wchar_t);
  }

  // A string block for `units` characters and the terminator, with `references` references:
  // in the thread's JSON slab, so that the strings lie beside the members that hold them, or
  // one of its own when it is too large for a slab.
  static wchar_t* newBlock(std::size_t units, std::uint32_t references) {
    if (blockBytes(units) > detail::kJsonSlabLimit) {
      wchar_t* chars = detail::StringAccess::allocate<wchar_t>(units, static_cast<int>(units));
      reinterpret_cast<StringData*>(chars)[-1].count.store(references, std::memory_order_relaxed);
      return chars;
    }
    StringData* header = static_cast<StringData*>(detail::allocateJsonNode(blockBytes(units)));
    header->size = static_cast<std::uint32_t>((units + 1) * sizeof(wchar_t));
    new (&header->length) std::atomic<std::int32_t>(static_cast<std::int32_t>(units));
    new (&header->count) std::atomic<std::uint32_t>(references | detail::kSlabStringBit);
    wchar_t* chars = reinterpret_cast<wchar_t*>(header + 1);
    chars[units] = 0;
    return chars;
  }

  // The string of decoded characters. Short ones are kept in a small cache for the parse, so
  // that the keys and values repeated all over a document share one block instead of each
  // allocating its own (which also keeps them in the processor's cache for writing).
  // A string of its own holding a copy of the characters.
  static String copied(const wchar_t* chars, std::size_t count) {
    wchar_t* block = newBlock(count, 1);
    std::wmemcpy(block, chars, count);
    return detail::StringAccess::adopt(block);
  }

  // Whether two short runs of units are equal: a loop the compiler keeps inline, where the
  // library call costs more than the comparison.
  static bool sameUnits(const wchar_t* a, const wchar_t* b, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }

  // At most kCachedLength characters.
  String sharedString(const wchar_t* chars, std::size_t count) {
    if (count == 0) return String();
    String& cached = _cache[(count * 31 + static_cast<std::size_t>(chars[0]) * 7 +
                             static_cast<std::size_t>(chars[count - 1])) %
                            kCacheSize];
    const std::size_t slot = static_cast<std::size_t>(&cached - _cache);
    if (static_cast<std::size_t>(cached.getBufferLength()) == (count + 1) * sizeof(wchar_t) &&
        sameUnits(cached.getBuffer(), chars, count)) {
      _hit[slot] = true;
      return cached;
    }
    // A string that was found since it came keeps its place once more: a value met once
    // (an id, a title) does not push out a key that every object repeats.
    if (_hit[slot]) {
      _hit[slot] = false;
      return copied(chars, count);
    }
    // A new block for the cache and the caller: it starts with both references, so that
    // nobody else sees it before it is counted.
    wchar_t* block = newBlock(count, 2);
    std::wmemcpy(block, chars, count);
    cached = detail::StringAccess::adopt(block);
    return detail::StringAccess::adopt(block);
  }

  // Decodes the characters and escapes of [p, end) into out; the decoded length.
  static std::size_t decode(const Char* p, const Char* end, wchar_t* const out) {
    wchar_t* o = out;
    while (p < end) {
      if (*p != '\\') {
        o = Text::copyChar(p, o);
        continue;
      }
      ++p;
      const wchar_t escaped = Text::next(p);  // inside the string: the measuring pass saw it
      if (escaped == L'u') {
        o = decodeUnit(p, end, o);
        continue;
      }
      // \b \f \n \r \t stand for their control characters, any other character for itself.
      const auto unit = static_cast<std::uint32_t>(escaped);
      *o++ = unit < kUnescaped.size() ? static_cast<wchar_t>(kUnescaped[unit]) : escaped;
    }
    return static_cast<std::size_t>(o - out);
  }

  // Up to four hexadecimal digits from [p, end), stepping over four characters (fewer at the
  // end of the string). A group without digits gives 0, which is dropped like \u0000.
  static unsigned int readHexUnit(const Char*& p, const Char* end) {
    unsigned int unit = 0;
    const Char* q = p;
    for (; q < end && q - p < 4 && detail::hexDigitValue(*q) >= 0; ++q)
      unit = unit * 16 + static_cast<unsigned int>(detail::hexDigitValue(*q));
    for (int stepped = static_cast<int>(q - p); stepped < 4 && q < end; ++stepped)
      q = Text::skip(q);
    p = q;
    return unit;
  }

  // The \u escape at p (after the "\u"): 0 and lone surrogates are dropped, a high surrogate
  // followed by a \u low surrogate gives the character of the pair.
  static wchar_t* decodeUnit(const Char*& p, const Char* end, wchar_t* o) {
    const unsigned int unit = readHexUnit(p, end);
    // The strict syntax keeps \u0000 as the character it stands for (the lenient one drops it).
    if ((unit == 0 && !kStrict) || (unit >= 0xDC00 && unit <= 0xDFFF)) return o;
    if (unit < 0xD800 || unit > 0xDBFF) {
      *o++ = static_cast<wchar_t>(unit);
      return o;
    }
    if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return o;
    p += 2;
    const unsigned int low = readHexUnit(p, end);
    if (low < 0xDC00 || low > 0xDFFF) return o;
    return o + detail::encodeWide(0x10000 + (((unit & 0x3FF) << 10) | (low & 0x3FF)), o);
  }

  // `[` elements `]` and `{` members `}`: items separated by commas, built in a temporary value
  // that replaces `value` only when the closing bracket has been read.
  template <class ParseItem>
  bool parseContainer(JsonValue& value, int depth, JsonValue::ValueType type, Char close,
                      ParseItem parseItem) {
    if (depth > Json::kMaxDepth) return fail(_p, "nesting deeper than 1000 levels");
    ++_p;
    if (!skipSpaceAndComments()) return false;
    JsonValue container(type);
    if (*_p != close) {
      for (;;) {
        if (!parseItem(container) || !skipSpaceAndComments()) return false;
        if (*_p == close) break;
        if (*_p != ',')
          return fail(_p, atEnd(_p)      ? "unexpected end of text"
                          : close == ']' ? "expected ',' or ']'"
                                         : "expected ',' or '}'");
        ++_p;
      }
    }
    ++_p;
    value.swap(container);
    return true;
  }

  bool parseArray(JsonValue& value, int depth) {
    return parseContainer(value, depth, JsonValue::arrayValue, ']',
                          [&](JsonValue& array) { return parse(array.append(), depth); });
  }

  bool parseObject(JsonValue& value, int depth) {
    return parseContainer(value, depth, JsonValue::objectValue, '}', [&](JsonValue& object) {
      String key;
      if (!skipSpaceAndComments()) return false;
      if (*_p != '"')
        return fail(_p, atEnd(_p) ? "unexpected end of text" : "expected a string key");
      if (!parseString(key)) return false;
      skipSpace();  // no comments between a key and its colon
      if (*_p != ':') return fail(_p, atEnd(_p) ? "unexpected end of text" : "expected ':'");
      ++_p;
      skipSpace();
      // The member is made first and then placed: one comparison fewer per level than looking
      // the key up and inserting after it. A repeated key keeps its place (the last value wins).
      return parse(object._value.object_->emplace(std::move(key), JsonValue()).first->second,
                   depth);
    });
  }

  static constexpr std::size_t kCachedLength = 24;
  static constexpr std::size_t kCacheSize = 64;
  const Char* _p;
  const Char* const _end;
  const Char* _errorAt = nullptr;
  const char* _reason = nullptr;
  bool _irregular = false;
  String _cache[kCacheSize];
  bool _hit[kCacheSize] = {};  // found since it came into the cache
};

namespace {

// The line and column of `at` in the text from `start` (a line feed ends a line); `isChar`
// tells the units that start a character.
template <class Char, class IsChar>
void locate(const Char* start, const Char* at, JsonError& error, IsChar isChar) {
  int line = 1, column = 1;
  for (const Char* p = start; p < at; ++p) {
    if (*p == '\n') {
      ++line, column = 1;
    } else if (isChar(p, start)) {
      ++column;
    }
  }
  error.line = line;
  error.column = column;
  error.offset = static_cast<std::size_t>(at - start);
}

// A wide unit starts a character unless it is the low half of a surrogate pair.
bool wideCharStart(const wchar_t* p, const wchar_t* start) {
  return sizeof(wchar_t) != 2 || p == start || !(*p >= 0xDC00 && *p <= 0xDFFF) ||
         !(p[-1] >= 0xD800 && p[-1] <= 0xDBFF);
}

bool utf8CharStart(const unsigned char* p, const unsigned char*) {
  return !detail::isContinuation(*p);
}

// The reasons are short ASCII texts.
void setReason(JsonError& error, const char* reason) {
  wchar_t wide[96];
  std::size_t n = 0;
  for (; reason[n] && n + 1 < sizeof wide / sizeof wide[0]; ++n)
    wide[n] = static_cast<wchar_t>(reason[n]);
  wide[n] = 0;
  error.reason = String(wide);
}

void clearError(JsonError& error) {
  error.line = error.column = 0;
  error.offset = 0;
  error.reason = String();
}

template <class Parser, class Char>
void takeError(const Parser& parser, const Char* start, JsonError& error) {
  const Char* at = parser.errorAt() ? parser.errorAt() : parser.position();
  if constexpr (std::is_same<Char, wchar_t>::value)
    locate(start, at, error, wideCharStart);
  else
    locate(start, at, error, utf8CharStart);
  setReason(error, parser.reason() ? parser.reason() : "expected a value");
}

// One value of wide text, the whole text when strict.
template <bool kStrict>
const wchar_t* parseWide(const wchar_t* text, JsonValue& value, JsonError* error) {
  JsonParser<WideText, kStrict> parser(text);
  if constexpr (kStrict) {
    JsonValue made;
    if (parser.parse(made, 0) && parser.finish()) {
      value.swap(made);
      return parser.position();
    }
  } else if (parser.parse(value, 0)) {
    return parser.position();
  }
  if (error) takeError(parser, text, *error);
  return nullptr;
}

}  // namespace

const wchar_t* Json::parseValue(const wchar_t* text, JsonValue& value) {
  if (!text) return nullptr;
  return parseWide<false>(text, value, nullptr);
}

const wchar_t* Json::parseValue(const wchar_t* text, JsonValue& value, JsonError& error,
                                Syntax syntax) {
  clearError(error);
  if (!text) {
    setReason(error, "no text");
    return nullptr;
  }
  return syntax == strict ? parseWide<true>(text, value, &error)
                          : parseWide<false>(text, value, &error);
}

// ---- writing ---------------------------------------------------------------------------------

namespace {

// For each ASCII character, the letter after the backslash of its escape in a string: 'u' for
// a \u escape, 0 for a character written as itself.
constexpr std::array<char, 128> kEscapeLetters = [] {
  std::array<char, 128> letters{};
  for (int c = 0; c < 0x20; ++c)
    letters[c] = 'u';
  for (const ShortEscape& entry : kShortEscapes)
    letters[entry.character] = entry.letter;
  return letters;
}();

// The characters a string must escape: the double quote, the backslash and 0 to 31 (a zero
// too, so that no reader or writer of zero-terminated text ever cuts the text there).
bool needsEscape(wchar_t c) {
  const auto unit = static_cast<std::uint32_t>(c);
  return unit < kEscapeLetters.size() && kEscapeLetters[unit] != 0;
}

// The escape of a character that needs one (see needsEscape) at `out`, in ASCII: a
// two-character escape, else \u00XX (the characters from 0 to 31). Returns its length.
int escapeOf(wchar_t c, char* out) {
  if (const char letter = kEscapeLetters[static_cast<std::size_t>(c)]; letter != 'u') {
    out[0] = '\\', out[1] = letter;
    return 2;
  }
  static const char kHex[] = "0123456789abcdef";
  out[0] = '\\', out[1] = 'u', out[2] = '0', out[3] = '0', out[4] = kHex[(c >> 4) & 0xF];
  out[5] = kHex[c & 0xF];
  return 6;
}

// Collects the text in wide characters, for convertToString.
// The text is gathered in blocks of 16384 characters, which the allocator hands out again and
// again, and copied once into a block of its exact size at the end: a large text then never
// moves while it grows, and only its final block is new memory.
class WideSink {
 public:
  bool nonFinite = false;  // a NaN or infinity was written as null
  void put(wchar_t c) {
    if (_used == kBlock) next();
    _block[_used++] = c;
  }
  void put(const wchar_t* text, std::size_t length) {
    while (length > 0) {
      if (_used == kBlock) next();
      const std::size_t n = length < kBlock - _used ? length : kBlock - _used;
      std::wmemcpy(_block + _used, text, n);
      _used += n, text += n, length -= n;
    }
  }
  void put(const char* ascii, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
      put(static_cast<wchar_t>(ascii[i]));
  }
  void indent(int steps) {
    for (int i = 0; i < steps * 4; ++i)
      put(L' ');
  }
  // A string in quotes: the runs between characters that need escaping in one piece each.
  void putString(const wchar_t* chars, std::size_t length) {
    put(L'"');
    for (std::size_t i = 0; i < length;) {
      const std::size_t run = i;
      while (i < length && !needsEscape(chars[i]))
        ++i;
      put(chars + run, i - run);
      if (i < length) {
        char escape[6];
        put(escape, static_cast<std::size_t>(escapeOf(chars[i++], escape)));
      }
    }
    put(L'"');
  }
  String take() {
    const std::size_t total = _full.size() * kBlock + _used;
    if (total == 0) return String();
    wchar_t* chars = detail::StringAccess::allocate<wchar_t>(total, static_cast<int>(total));
    wchar_t* out = chars;
    for (const auto& block : _full)
      out = std::wmemcpy(out, block.get(), kBlock) + kBlock;
    std::wmemcpy(out, _block, _used);
    return detail::StringAccess::adopt(chars);
  }

 private:
  static constexpr std::size_t kBlock = 16384;
  void next() {
    _full.push_back(std::move(_current));
    _current.reset(new wchar_t[kBlock]);
    _block = _current.get();
    _used = 0;
  }

  std::unique_ptr<wchar_t[]> _current{new wchar_t[kBlock]};
  wchar_t* _block = _current.get();
  std::size_t _used = 0;
  std::vector<std::unique_ptr<wchar_t[]>> _full;
};

// Encodes the text onto an Output in blocks of bytes, with the encoding's `encode(cp, out)`
// writing at most four bytes; after a short write it takes nothing more.
template <class Encoding>
class ByteSink {
 public:
  bool nonFinite = false;  // a NaN or infinity was written as null
  explicit ByteSink(Output* output) : _output(output) {}

  void put(wchar_t c) {
    if (_used + 4 > kSize) flush();
    _used += Encoding::encode(c, _bytes + _used);
  }
  // A run of characters, ASCII taking the short way.
  void put(const wchar_t* text, std::size_t length) { encode<false>(text, length); }
  // A string in quotes, escaped and encoded in one pass; one that fits the buffer in one loop
  // with no checks of room in between (most strings: they are short).
  void putString(const wchar_t* text, std::size_t length) {
    constexpr std::size_t kQuotes = Encoding::kAsciiIsOneByte ? 2 : 4;
    if (length <= (kSize - kQuotes) / kMostEscaped) {
      if (static_cast<std::size_t>(kSize - _used) < length * kMostEscaped + kQuotes) flush();
      unsigned char* o = ascii(_bytes + _used, '"');
      o = ascii(encodeRun<true>(text, length, o), '"');
      _used = static_cast<int>(o - _bytes);
      return;
    }
    put(L'"');
    encode<true>(text, length);
    put(L'"');
  }
  // A short ASCII piece (a number, a literal, an escape): no zeros, at most 64 characters.
  void put(const char* ascii, std::size_t length) {
    if (_used + static_cast<int>(length) * 2 > kSize) flush();
    unsigned char* o = _bytes + _used;
    for (std::size_t i = 0; i < length; ++i) {
      *o++ = static_cast<unsigned char>(ascii[i]);
      if (!Encoding::kAsciiIsOneByte) *o++ = 0;
    }
    _used = static_cast<int>(o - _bytes);
  }
  void indent(int steps) {
    static const char kSpaces[] =
        "                                                                ";
    for (int n = steps * 4; n > 0; n -= 64)
      put(kSpaces, static_cast<std::size_t>(n < 64 ? n : 64));
  }
  // Writes what is buffered; false once any write came up short.
  bool flush() {
    if (_ok && _used > 0) _ok = _output->write(_bytes, _used) == _used;
    _used = 0;
    return _ok;
  }

 private:
  // An ASCII character at o; past it.
  static unsigned char* ascii(unsigned char* o, char c) {
    *o++ = static_cast<unsigned char>(c);
    if (!Encoding::kAsciiIsOneByte) *o++ = 0;
    return o;
  }

  // The most bytes a character of a string takes: an escape of six ASCII characters.
  static constexpr std::size_t kMostEscaped = Encoding::kAsciiIsOneByte ? 6 : 12;

  // Encodes the characters at o, which has room for all of them; with `kEscape` those that need
  // it are escaped. An ASCII character is one byte (a unit of two in UTF-16), an escape at most
  // six of them, any other character at most four bytes. Past the last one.
  template <bool kEscape>
  static unsigned char* encodeRun(const wchar_t* text, std::size_t length, unsigned char* o) {
    for (std::size_t i = 0; i < length; ++i) {
      const wchar_t c = text[i];
      const auto unit = static_cast<std::uint32_t>(c);
      // ASCII goes out as itself, in a string unless it needs escaping.
      if (!kEscape) {
        if (unit - 1 < 0x7F)
          o = ascii(o, static_cast<char>(c));
        else
          o += Encoding::encode(c, o);
      } else if (unit >= 0x80) {
        o += Encoding::encode(c, o);
      } else if (const char letter = kEscapeLetters[unit]; letter == 0) {
        o = ascii(o, static_cast<char>(c));
      } else {
        char escape[6];
        for (int e = 0, count = escapeOf(c, escape); e < count; ++e)
          o = ascii(o, escape[e]);
      }
    }
    return o;
  }

  // Encodes a run block by block (see encodeRun).
  template <bool kEscape>
  void encode(const wchar_t* text, std::size_t length) {
    constexpr std::size_t kMostPerChar = kEscape ? kMostEscaped : 4;
    while (length > 0) {
      std::size_t room = static_cast<std::size_t>(kSize - _used) / kMostPerChar;
      if (room == 0) {
        flush();
        room = kSize / kMostPerChar;
      }
      const std::size_t n = length < room ? length : room;
      _used = static_cast<int>(encodeRun<kEscape>(text, n, _bytes + _used) - _bytes);
      text += n, length -= n;
    }
  }

  static constexpr int kSize = 16384;
  Output* _output;
  unsigned char _bytes[kSize];
  int _used = 0;
  bool _ok = true;
};

// UTF-16LE code units; a character above U+FFFF becomes a surrogate pair.
struct Utf16Encoding {
  static constexpr bool kAsciiIsOneByte = false;
  static int encode(wchar_t c, unsigned char* out) {
    unsigned int cp = static_cast<unsigned int>(c);
    if (sizeof(wchar_t) == 4 && cp > 0xFFFF && cp <= 0x10FFFF) {
      cp -= 0x10000;
      unit(0xD800 + (cp >> 10), out);
      unit(0xDC00 + (cp & 0x3FF), out + 2);
      return 4;
    }
    unit(cp, out);
    return 2;
  }
  static void unit(unsigned int u, unsigned char* out) {
    out[0] = static_cast<unsigned char>(u);
    out[1] = static_cast<unsigned char>(u >> 8);
  }
};

// UTF-8 as the text writer makes it of wide text. (A zero never reaches it: strings escape it.)
struct Utf8Encoding {
  static constexpr bool kAsciiIsOneByte = true;
  static int encode(wchar_t c, unsigned char* out) {
    return c < 0x80 ? (*out = static_cast<unsigned char>(c), 1)
                    : detail::encodeUtf8(static_cast<char32_t>(c), out);
  }
};

template <class Sink>
void writeString(Sink& sink, const String& text) {
  sink.putString(text.getBuffer(),
                 static_cast<std::size_t>(text.getBufferLength()) / sizeof(wchar_t) - 1);
}

template <class Sink>
void writeNumber(Sink& sink, unsigned long long magnitude, bool negative) {
  char digits[24];
  char* p = digits;
  if (negative) *p++ = '-';
  p = detail::formatDecimal(magnitude, p);
  sink.put(digits, static_cast<std::size_t>(p - digits));
}

// "%.16g", with a decimal point whatever the locale. JSON has no NaN or infinity: they are
// written as null (warned about once the text is made, see warnNonFinite).
template <class Sink>
void writeDouble(Sink& sink, double value) {
  if (!std::isfinite(value)) {
    sink.nonFinite = true;
    sink.put("null", 4);
    return;
  }
  char text[detail::kDouble16Chars];
  sink.put(text, static_cast<std::size_t>(detail::formatDouble16(value, text) - text));
}

template <class Sink>
void newLine(Sink& sink, int steps) {
  sink.put(L'\n');
  sink.indent(steps);
}

}  // namespace

// The recursive writer, shared by both sinks: `indent` is -1 for compact text, else the
// nesting level.
struct JsonWriter {
  template <class Sink>
  static void write(Sink& sink, const JsonValue& value, int indent) {
    switch (value.type()) {
      case JsonValue::nullValue:
        sink.put("null", 4);
        break;
      case JsonValue::intValue:
        writeNumber(sink,
                    value._value.int_ < 0 ? 0 - static_cast<unsigned long long>(value._value.int_)
                                          : static_cast<unsigned long long>(value._value.int_),
                    value._value.int_ < 0);
        break;
      case JsonValue::uintValue:
        writeNumber(sink, value._value.uint_, false);
        break;
      case JsonValue::doubleValue:
        writeDouble(sink, value._value.real_);
        break;
      case JsonValue::boolValue:
        if (value._value.int_ != 0)
          sink.put("true", 4);
        else
          sink.put("false", 5);
        break;
      case JsonValue::stringValue:
        writeString(sink, value.string());
        break;
      case JsonValue::arrayValue:
        writeArray(sink, *value._value.array_, indent);
        break;
      case JsonValue::objectValue:
        writeObject(sink, *value._value.object_, indent);
        break;
    }
  }

  // Asks for the characters of the strings of an array or object before they are written: a
  // document's strings are scattered blocks, and waiting for each one in turn is most of the
  // writer's time otherwise.
  static void prefetch(const JsonValue& value) {
    if (value.type() == JsonValue::stringValue) detail::prefetchJsonBlock(value.payloadMemory());
  }

  template <class Sink>
  static void writeArray(Sink& sink, const JsonValue::ArrayValues& array, int indent) {
    const int child = indent >= 0 ? indent + 1 : -1;
    array.forEach([](int, const JsonValue& element) { prefetch(element); });
    sink.put(L'[');
    // Indices 0 to size() - 1, a missing one as null: in one pass over a dense array.
    const int size = array.size();
    int next = 0;
    array.forEach([&](int index, const JsonValue& element) {
      if (index != next || next >= size) return;
      if (next > 0) sink.put(L',');
      if (child >= 0) newLine(sink, child);
      write(sink, element, child);
      ++next;
    });
    for (; next < size; ++next) {
      if (next > 0) sink.put(L',');
      if (child >= 0) newLine(sink, child);
      const JsonValue* element = array.find(next);
      write(sink, element ? *element : JsonValue::null(), child);
    }
    if (child >= 0) newLine(sink, child - 1);
    sink.put(L']');
  }

  template <class Sink>
  static void writeObject(Sink& sink, const JsonValue::ObjectValues& object, int indent) {
    const int child = indent >= 0 ? indent + 1 : -1;
    sink.put(L'{');
    for (auto member = object.begin(); member != object.end(); ++member) {
      if (member != object.begin()) sink.put(L',');
      if (child >= 0) newLine(sink, child);
      writeString(sink, member->first);
      if (child >= 0)
        sink.put(" : ", 3);
      else
        sink.put(L':');
      write(sink, member->second, child);
    }
    if (child >= 0) newLine(sink, child - 1);
    sink.put(L'}');
  }
};

namespace {

// Logs where the value holds a NaN or an infinity, each written as null: a path of keys and
// [indices] as get<T> takes it.
void warnNonFinite(const JsonValue& value, std::wstring& path) {
  if (value.type() == JsonValue::doubleValue) {
    const double number = value.asDouble();
    if (!std::isfinite(number))
      Log::warning(L"JSON: %s at \"%s\" has no JSON form and is written as null",
                   std::isnan(number) ? L"NaN"
                   : number > 0       ? L"infinity"
                                      : L"-infinity",
                   path.c_str());
    return;
  }
  const std::size_t length = path.size();
  if (value.isArray()) {
    for (auto element = value.elements().begin(); element != value.elements().end(); ++element) {
      path += L'[';
      path += std::to_wstring(element.index());
      path += L']';
      warnNonFinite(*element, path);
      path.resize(length);
    }
  } else if (value.isObject()) {
    for (const auto& [key, member] : value.members()) {
      if (length > 0) path += L'.';
      path.append(key.getBuffer(), static_cast<std::size_t>(key.getLength()));
      warnNonFinite(member, path);
      path.resize(length);
    }
  }
}

template <class Sink>
void writeAndWarn(Sink& sink, const JsonValue& value, int indent) {
  JsonWriter::write(sink, value, indent);
  if (sink.nonFinite) {
    std::wstring path;
    warnNonFinite(value, path);
  }
}

}  // namespace

bool Json::write_value(const JsonValue& value, Output* output, int indent) {
  if (!output) return false;
  ByteSink<Utf16Encoding> sink(output);
  writeAndWarn(sink, value, indent);
  return sink.flush();
}

bool Json::writeValue(const JsonValue& value, Output* output, bool styled) {
  return write_value(value, output, styled ? 0 : -1);
}

String Json::convertToString(const JsonValue& value, bool styled) {
  // Built directly as wide text: the same text as writing UTF-16 into a memory file and
  // reading it back, without the two conversions.
  WideSink sink;
  writeAndWarn(sink, value, styled ? 0 : -1);
  return sink.take();
}

// ---- streams and files -----------------------------------------------------------------------

namespace detail {

std::unique_ptr<unsigned char, FreeBytes> readAllBytes(Input& input, std::size_t& size) {
  std::unique_ptr<unsigned char, detail::FreeBytes> bytes;
  std::size_t capacity = 0;
  size = 0;
  // Grows by what arrives, at most 1 MiB ahead of it: an input that announces more than it
  // delivers reserves little, one that reports failure (below 0) gives nothing.
  constexpr int kStep = 1 << 20;
  for (int available; (available = input.available()) > 0;) {
    if (available > kStep) available = kStep;
    if (capacity - size < static_cast<std::size_t>(available) + 1) {
      const std::size_t wanted = size + static_cast<std::size_t>(available) + 1;
      capacity = wanted > capacity * 2 ? wanted : capacity * 2;
      void* grown = std::realloc(bytes.get(), capacity);
      if (!grown) throw std::bad_alloc();
      bytes.release();
      bytes.reset(static_cast<unsigned char*>(grown));
    }
    const int got = input.read(bytes.get() + size, available);
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  if (bytes) bytes.get()[size] = 0;
  return bytes;
}

// The wide text of UTF-8 bytes: supplementary characters whole (a surrogate pair where wchar_t
// is 16 bits), each broken sequence as U+FFFD, zero bytes left out.
String decodeUtf8Lenient(const unsigned char* bytes, std::size_t size) {
  detail::StringBuilder<wchar_t> text(size + 1);
  const unsigned char* p = bytes;
  const unsigned char* const end = bytes + size;
  while (p < end) {
    if (*p == 0) {
      ++p;
      continue;
    }
    const char32_t cp = *p < 0x80 ? *p++ : detail::decodeUtf8(p, end);
    wchar_t units[2];
    const int n = detail::encodeWide(cp, units);
    std::copy(units, units + n, text.extend(static_cast<std::size_t>(n)));
  }
  return text.take(static_cast<int>(text.size()));
}

}  // namespace detail

namespace {

// Where the unit number `index` of decodeUtf8Lenient's text starts in the bytes.
std::size_t lenientByteOffset(const unsigned char* bytes, std::size_t size, std::size_t index) {
  const unsigned char* p = bytes;
  const unsigned char* const end = bytes + size;
  std::size_t count = 0;
  while (p < end) {
    const unsigned char* const start = p;
    if (*p == 0) {
      ++p;
      continue;
    }
    wchar_t units[2];
    const std::size_t n =
        static_cast<std::size_t>(detail::encodeWide(detail::decodeUtf8(p, end), units));
    if (index < count + n) return static_cast<std::size_t>(start - bytes);
    count += n;
  }
  return size;
}

// The value of the UTF-8 text, into `value`, a fresh value the caller keeps only on success;
// with `error`, where and why it failed.
bool parseUtf8(const unsigned char* bytes, std::size_t size, JsonValue& value, JsonError* error) {
  const unsigned char* const end = bytes + size;
  // Text of ASCII and two- and three-byte characters is parsed as it is, and so is any other
  // well-formed UTF-8 without zero bytes (four-byte sequences give their character). The
  // parser checks the bytes of each string as it goes, so that the usual text is read in one
  // pass: only a text it stops in, or one with a zero byte right after its value (a number
  // cut there), is looked at as a whole.
  {
    JsonParser<Utf8Text, false> parser(bytes);
    if (parser.parse(value, 0)) {
      const unsigned char* const stop = parser.position();
      if (stop == end || !std::memchr(stop, 0, static_cast<std::size_t>(end - stop))) return true;
      // Zeros after the value are left out of the text, and what follows them may continue the
      // value (the digits of a number or of its exponent): read it so.
    } else if (!parser.irregular() && regularUtf8(bytes, end)) {
      if (error) takeError(parser, bytes, *error);
      return false;
    }
  }
  if (firstInvalidUtf8(bytes, end) == end && !std::memchr(bytes, 0, size)) {
    JsonParser<StrictUtf8Text, false> parser(bytes);
    if (parser.parse(value, 0)) return true;
    if (error) takeError(parser, bytes, *error);
    return false;
  }
  // Broken sequences: each one becomes U+FFFD, as the common converters make it.
  const String text = detail::decodeUtf8Lenient(bytes, size);
  JsonParser<WideText, false> parser(text.getBuffer());
  if (parser.parse(value, 0)) return true;
  if (error) {
    // Lines and columns of the decoded characters, the offset in the bytes.
    takeError(parser, text.getBuffer(), *error);
    error->offset = lenientByteOffset(bytes, size, error->offset);
  }
  return false;
}

// A strict text: well-formed UTF-8 holding one value and nothing else.
bool parseStrictUtf8(const unsigned char* bytes, std::size_t size, JsonValue& value,
                     JsonError& error) {
  const unsigned char* const end = bytes + size;
  const unsigned char* invalid = firstInvalidUtf8(bytes, end);
  if (invalid != end) {
    locate(bytes, invalid, error, utf8CharStart);
    setReason(error, "invalid UTF-8");
    return false;
  }
  JsonParser<StrictUtf8Text, true> parser(bytes, end);
  JsonValue made;
  if (parser.parse(made, 0) && parser.finish()) {
    value.swap(made);
    return true;
  }
  takeError(parser, bytes, error);
  return false;
}

}  // namespace

bool Json::read(JsonValue& value, Input* input) {
  const Unknown::Handle_T<Input> held(input);
  if (!input) return false;
  JsonValue parsed;
  try {
    std::size_t size = 0;
    const std::unique_ptr<unsigned char, detail::FreeBytes> bytes =
        detail::readAllBytes(*input, size);
    if (!bytes || !parseUtf8(bytes.get(), size, parsed, nullptr)) return false;
  } catch (const std::bad_alloc&) {
    return false;  // a text too large for memory, the value unchanged
  }
  // The text goes before the old value: the allocator then has no large block to give back
  // right after the many small ones of a replaced document.
  value.swap(parsed);
  return true;
}

bool Json::read(JsonValue& value, Input* input, JsonError& error, Syntax syntax) {
  const Unknown::Handle_T<Input> held(input);
  clearError(error);
  if (!input) {
    setReason(error, "no input");
    return false;
  }
  JsonValue parsed;
  try {
    std::size_t size = 0;
    const std::unique_ptr<unsigned char, detail::FreeBytes> bytes =
        detail::readAllBytes(*input, size);
    static const unsigned char kNothing[1] = {0};
    const unsigned char* text = bytes ? bytes.get() : kNothing;
    const bool ok = syntax == strict ? parseStrictUtf8(text, size, parsed, error)
                                     : parseUtf8(text, size, parsed, &error);
    if (!ok) {
      if (error.reason.isEmpty()) setReason(error, "the text cannot be read");
      return false;
    }
  } catch (const std::bad_alloc&) {
    clearError(error);
    setReason(error, "text too large for memory");
    return false;
  }
  value.swap(parsed);
  return true;
}

bool Json::write(const JsonValue& value, Output* output, bool styled) {
  const Unknown::Handle_T<Output> held(output);
  if (!output) return false;
  if (sizeof(wchar_t) == 2) {  // pairs of UTF-16 units are joined by the text writer
    TextWriter writer(output, TextWriter::Utf8);
    return writer.write(convertToString(value, styled));
  }
  // The bytes the text writer makes of convertToString's text, encoded on the way.
  ByteSink<Utf8Encoding> sink(output);
  writeAndWarn(sink, value, styled ? 0 : -1);
  return sink.flush();
}

bool Json::write(JsonValue& value, Output* output, bool styled) {
  return write(static_cast<const JsonValue&>(value), output, styled);
}

bool Json::load(JsonValue& value, const String& fileName) {
  const Unknown::Handle_T<Archive> archive =
      ArchiveFactory::openArchive(String(L"memory://<<") + fileName);
  return archive && read(value, archive.get());
}

bool Json::load(JsonValue& value, const String& fileName, JsonError& error, Syntax syntax) {
  const Unknown::Handle_T<Archive> archive =
      ArchiveFactory::openArchive(String(L"memory://<<") + fileName);
  if (!archive) {
    clearError(error);
    setReason(error, "the file cannot be opened");
    return false;
  }
  return read(value, archive.get(), error, syntax);
}

bool Json::save(const JsonValue& value, const String& fileName, bool styled) {
  // The text replaces the file only once it is whole and on disk.
  detail::FileReplacement replacement(fileName);
  return replacement.file() && write(value, replacement.file(), styled) && replacement.commit();
}

bool Json::save(JsonValue& value, const String& fileName, bool styled) {
  return save(static_cast<const JsonValue&>(value), fileName, styled);
}

}  // namespace vemo
