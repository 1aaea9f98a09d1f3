/// \file
/// JsonValue and Json: JSON documents in memory, and JSON text.
///
/// A JsonValue is a plain value (copies are deep): null, a signed or unsigned 64-bit integer, a
/// double, a bool, a String, an array or an object. Its conversions (asInt32(), asDouble() ...)
/// never throw and always return a value. A number outside the range of the integer asked for,
/// and an array or object asked for a number or a bool, log a warning (Log::warning):
///
/// \code
/// JsonValue v(300);
/// signed char c = v.asInt8();   // logs "intValue out of Int8 range", gives 44
/// \endcode
///
/// The other inexact conversions say nothing: a double loses its fraction, a string gives the
/// number its leading digits spell (0 when there are none), cut to the width asked for without a
/// warning, a string is false as a bool, and a number beyond the range of float is an infinity.
/// Checked access (get, find) refuses every one of these.
///
/// An array holds the indices 0 to size() - 1: operator[] past the end fills the gap with nulls,
/// append adds after the last index. As with any map,
/// a reference to an element stays valid while other elements are added.
///
/// Checked access reads a value at a path of keys and indices and refuses anything that does not
/// hold exactly the type asked for, with the path in the error:
///
/// \code
/// int port = config.get<int>(L"server.port");          // throws Exception: missing, "fast",
///                                                       // 3000000000, 80.5 ...
/// std::optional<bool> tls = config.find<bool>(L"server.tls");   // nullopt when absent or null
/// String host = config.get<String>(L"servers[0].host");
/// \endcode
///
/// Arrays and objects are walked with range-for:
///
/// \code
/// for (const JsonValue& server : config[L"servers"].elements()) ...
/// for (const auto& [key, member] : config.members()) ...
/// \endcode
///
/// Json reads and writes JSON text: wide text in memory, UTF-8 on streams and in files. The
/// parser is lenient: it takes /* */ and // comments between tokens and leading zeros, reads
/// non-negative integers as unsigned, and ignores text after the value. Nesting deeper than
/// Json::kMaxDepth arrays or objects is a syntax error. The forms with a JsonError say where and
/// why a text did not parse; with Json::strict they accept exactly the JSON of RFC 8259:
///
/// \code
/// JsonError error;
/// if (!Json::load(value, L"app.json", error, Json::strict))
///   Log::error(L"app.json:%d:%d: %s", error.line, error.column, error.reason.getBuffer());
/// \endcode
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

class Input;
class Output;

/// Where and why a JSON text did not parse.
struct JsonError {
  ///@{
  /// 1-based line (a line feed ends a line) and column (in characters) of the fault; 0 when the
  /// text was never read (no input, a file that cannot be opened) or when there was no fault.
  int line = 0;
  int column = 0;
  ///@}
  /// From the start of the text: in bytes of UTF-8 (read, load), in wchar_t units (parseValue).
  std::size_t offset = 0;
  /// A short text, for example "expected ',' or ']'"; empty when the text parsed.
  String reason;
};

namespace detail {

/// The nodes of JSON values (object members, objects, arrays) and the strings the parser makes
/// come from slabs of 8 KiB that each thread fills in turn: a document's parts then lie
/// together in memory in the order of its text, and making one costs a pointer bump instead of
/// a trip through the allocator. A slab goes back to the allocator when the last of its blocks
/// is freed, on whichever thread that happens, so a part that lives long (a string taken out of
/// a document and kept) keeps its slab allocated. Blocks are aligned to 8; nodes of the object
/// map are at most kJsonNodeLimit bytes.
constexpr std::size_t kJsonNodeLimit = 120;
VEMO_CORE_API void* allocateJsonNode(std::size_t size);
VEMO_CORE_API void freeJsonNode(void* node) noexcept;
/// The slabs allocated now, in all threads (a thread keeps the one it fills until it ends).
VEMO_CORE_API int getJsonSlabCount();

/// The allocator of the object map's nodes: single nodes from the slabs, anything else from
/// operator new. Stateless: any two compare equal.
template <class T>
struct JsonNodeAllocator {
  using value_type = T;
  static constexpr bool kFromSlabs = sizeof(T) <= kJsonNodeLimit && alignof(T) <= 8;
  JsonNodeAllocator() noexcept = default;
  template <class U>
  JsonNodeAllocator(const JsonNodeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (kFromSlabs && n == 1) return static_cast<T*>(allocateJsonNode(sizeof(T)));
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (kFromSlabs && n == 1)
      freeJsonNode(p);
    else
      std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const JsonNodeAllocator<U>&) const noexcept {
    return true;
  }
  template <class U>
  bool operator!=(const JsonNodeAllocator<U>&) const noexcept {
    return false;
  }
};

// The types that checked access converts to, and how each is carried across the library's
// boundary: integers by their width and sign, as the fixed-width type of that kind.
enum class JsonKind {
  int8,
  uint8,
  int16,
  uint16,
  int32,
  uint32,
  int64,
  uint64,
  float32,
  float64,
  boolean,
  string
};

template <class T, class = void>
struct JsonKindOf {};  // a type without checked access: get<T> does not compile

template <class T>
struct JsonKindOf<T,
                  std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value>> {
  static constexpr bool kSigned = std::is_signed<T>::value;
  using Stored = std::conditional_t<
      sizeof(T) == 1, std::conditional_t<kSigned, std::int8_t, std::uint8_t>,
      std::conditional_t<
          sizeof(T) == 2, std::conditional_t<kSigned, std::int16_t, std::uint16_t>,
          std::conditional_t<sizeof(T) == 4,
                             std::conditional_t<kSigned, std::int32_t, std::uint32_t>,
                             std::conditional_t<kSigned, std::int64_t, std::uint64_t>>>>;
  static constexpr JsonKind kind = sizeof(T) == 1   ? (kSigned ? JsonKind::int8 : JsonKind::uint8)
                                   : sizeof(T) == 2 ? (kSigned ? JsonKind::int16 : JsonKind::uint16)
                                   : sizeof(T) == 4
                                       ? (kSigned ? JsonKind::int32 : JsonKind::uint32)
                                       : (kSigned ? JsonKind::int64 : JsonKind::uint64);
};
template <>
struct JsonKindOf<float> {
  using Stored = float;
  static constexpr JsonKind kind = JsonKind::float32;
};
template <>
struct JsonKindOf<double> {
  using Stored = double;
  static constexpr JsonKind kind = JsonKind::float64;
};
template <>
struct JsonKindOf<bool> {
  using Stored = bool;
  static constexpr JsonKind kind = JsonKind::boolean;
};
template <>
struct JsonKindOf<String> {
  using Stored = String;
  static constexpr JsonKind kind = JsonKind::string;
};

}  // namespace detail

/// One JSON value: null, an integer, a double, a bool, a string, an array or an object.
///
/// A plain value: copies are deep, and one value is used by one thread at a time.
class VEMO_CORE_API JsonValue {
 public:
  /// The kinds of value; type() gives a value's kind.
  enum ValueType {
    nullValue = 0,
    intValue = 1,
    uintValue = 2,
    doubleValue = 3,
    boolValue = 4,
    stringValue = 5,
    arrayValue = 6,
    objectValue = 7,
  };
  /// The members of an object, ordered by key (a std::map whose nodes come from the JSON
  /// node slabs, see detail::JsonNodeAllocator).
  using ObjectValues = std::map<String, JsonValue, StringLess,
                                detail::JsonNodeAllocator<std::pair<const String, JsonValue>>>;
  class ArrayValues;

  JsonValue() noexcept : _type(nullValue) { _value.int_ = 0; }
  /// That type with an empty or zero payload.
  JsonValue(ValueType type);
  ///@{
  /// Every integer type but unsigned __int64 gives an intValue. Where `long` is 64 bits wide,
  /// `long` and `unsigned long` count as __int64 and unsigned __int64.
  JsonValue(signed char value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(char value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(short value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(int value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(long value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(__int64 value) noexcept : _type(intValue) { _value.int_ = value; }
  ///@}
  ///@{
  /// Every unsigned type narrower than 64 bits gives an intValue; where `unsigned long` is
  /// 64 bits wide, it gives a uintValue like unsigned __int64.
  JsonValue(unsigned char value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(unsigned short value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(unsigned int value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(unsigned long value) noexcept {
    if (sizeof(unsigned long) == sizeof(__uint64))
      _type = uintValue, _value.uint_ = value;
    else
      _type = intValue, _value.int_ = static_cast<__int64>(value);
  }
  ///@}
  /// A uintValue.
  JsonValue(__uint64 value) noexcept : _type(uintValue) { _value.uint_ = value; }
  ///@{
  /// A doubleValue.
  JsonValue(float value) noexcept : JsonValue(static_cast<double>(value)) {}
  JsonValue(double value) noexcept : _type(doubleValue) { _value.real_ = value; }
  ///@}
  /// A boolValue.
  JsonValue(bool value) noexcept : _type(boolValue) { _value.int_ = value ? 1 : 0; }
  /// Shares the characters.
  JsonValue(const String& value) noexcept : _type(stringValue) {
    new (_value.string_) String(value);
  }
  /// A stringValue of the wide text.
  JsonValue(const wchar_t* value) : JsonValue(String(value)) {}
  ///@{
  /// Narrow text is UTF-8: a character beyond the basic plane is one character (a surrogate pair
  /// where wchar_t is 16 bits), a broken sequence U+FFFD. A null pointer gives the empty string.
  JsonValue(const char* utf8);
  JsonValue(const std::string& utf8) : JsonValue(std::string_view(utf8)) {}
  JsonValue(std::string_view utf8);
  ///@}
  /// A null value.
  JsonValue(std::nullptr_t) noexcept : JsonValue() {}
  /// No other pointer is a value (it would otherwise become a bool).
  template <class T, std::enable_if_t<!std::is_same<std::remove_cv_t<T>, char>::value &&
                                          !std::is_same<std::remove_cv_t<T>, wchar_t>::value,
                                      int> = 0>
  JsonValue(T*) = delete;

  ///@{
  /// A deep copy; the moved-from value is null afterwards.
  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : _value(other._value), _type(other._type) {
    other._type = nullValue;
  }
  ///@}
  /// A deep copy of the other value; assigning a value to itself changes nothing.
  JsonValue& operator=(const JsonValue& other);
  /// The other value is taken before the old content is released, so a value may be assigned
  /// one of its own members or elements (and itself).
  JsonValue& operator=(JsonValue&& other) noexcept {
    JsonValue taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~JsonValue() { clear(); }

  /// Neither value may lie inside the other (the tree would then own itself); the same holds
  /// for moving a value into one of its own members or elements.
  void swap(JsonValue& other) noexcept {
    std::swap(_value, other._value);
    std::swap(_type, other._type);
  }
  /// Releases the payload; the value is null afterwards.
  void clear() noexcept;

  /// The kind of the value.
  ValueType type() const noexcept { return _type; }
  ///@{
  /// Whether the value is of that kind (isNumber: an integer or a double).
  bool isNull() const noexcept { return _type == nullValue; }
  bool isBool() const noexcept { return _type == boolValue; }
  bool isString() const noexcept { return _type == stringValue; }
  bool isArray() const noexcept { return _type == arrayValue; }
  bool isObject() const noexcept { return _type == objectValue; }
  bool isNumber() const noexcept {
    return _type == intValue || _type == uintValue || _type == doubleValue;
  }
  ///@}
  ///@{
  /// Whether the value is a number that the type holds exactly (a double without fraction).
  bool isInt8() const;
  bool isUInt8() const;
  bool isInt16() const;
  bool isUInt16() const;
  bool isInt32() const;
  bool isUInt32() const;
  bool isInt64() const;
  bool isUInt64() const;
  ///@}

  /// Entries of an array or object; 0 for everything else.
  int size() const noexcept;
  /// True for null and for an array or object without entries.
  bool empty() const noexcept;
  /// The members of an object; an empty map for every other value.
  const ObjectValues& getMembers() const;
  ///@{
  /// Whether the value is an object with that member.
  bool contains(const String& key) const;
  bool contains(const wchar_t* key) const { return contains(String(key)); }
  ///@}

  /// The entries of an array in ascending index order (none for every other value); index()
  /// of an iterator gives the entry's index. Entries never move, so adding entries while
  /// iterating leaves the iterators valid (the walk ends where the array ended when it began),
  /// but replacing or clearing the array does not.
  template <class Value>
  class ElementIterator {
   public:
    ///@{
    /// Iterator traits of a forward iterator.
    using iterator_category = std::forward_iterator_tag;
    using value_type = JsonValue;
    using difference_type = std::ptrdiff_t;
    using pointer = Value*;
    using reference = Value&;
    ///@}
    ElementIterator() noexcept = default;
    ///@{
    /// The entry the iterator is at.
    Value& operator*() const noexcept { return *_value; }
    Value* operator->() const noexcept { return _value; }
    ///@}
    /// The entry's index in the array.
    int index() const noexcept { return _index; }
    ///@{
    /// Moves to the entry with the next higher index.
    ElementIterator& operator++() {
      _value = entry(_array, ++_position, _index);
      return *this;
    }
    ElementIterator operator++(int) {
      ElementIterator before = *this;
      ++*this;
      return before;
    }
    ///@}
    ///@{
    /// Whether both are at the same entry of the same array.
    bool operator==(const ElementIterator& other) const noexcept {
      return _position == other._position && _array == other._array;
    }
    bool operator!=(const ElementIterator& other) const noexcept { return !(*this == other); }
    ///@}

   private:
    friend class JsonValue;
    ElementIterator(const ArrayValues* array, std::uint32_t position)
        : _array(array), _position(position), _value(entry(array, position, _index)) {}
    const ArrayValues* _array = nullptr;
    std::uint32_t _position = 0;  // the entry's place in index order
    int _index = 0;
    Value* _value = nullptr;
  };
  /// A pair of iterators for range-for.
  template <class Iterator>
  struct Range {
    Iterator first;  ///< The first entry.
    Iterator last;   ///< Past the last entry.
    /// The first entry.
    Iterator begin() const { return first; }
    /// Past the last entry.
    Iterator end() const { return last; }
  };
  ///@{
  /// The entries of an array in ascending index order (none for every other value), for
  /// range-for; see ElementIterator.
  Range<ElementIterator<JsonValue>> elements();
  Range<ElementIterator<const JsonValue>> elements() const;
  ///@}
  ///@{
  /// The members of an object by key (none for every other value); the values may be changed.
  Range<ObjectValues::iterator> members();
  const ObjectValues& members() const { return getMembers(); }
  ///@}

  ///@{
  /// Appends a copy of the value (moves it) under the index after the last one, and returns
  /// the new entry. A value that is not an array first becomes an empty one. The value may be
  /// part of this one: it is taken before anything changes.
  JsonValue& append(const JsonValue& value);
  JsonValue& append(JsonValue&& value);
  ///@}

  ///@{
  /// Checked access. `path` names the value from this one: keys separated by '.', and indices
  /// of arrays as a key of digits or in brackets ("servers[0].port", "servers.0.port"); the empty
  /// path is this value. The value must hold exactly a T: an integer type takes an integer (or a
  /// double without fraction) within its range, float and double any finite number in range,
  /// bool only true or false, String only a string.
  ///
  /// get throws the library's Exception, with the path in its text, when the value is missing,
  /// null or not exactly a T. find gives nullopt when the value is missing or null and throws
  /// like get when it is there but not a T (so a wrong setting is never taken for an absent one).
  /// Both throw for a path that passes through a value that is not an array or object.
  template <class T>
  T get(const String& path) const {
    using Kind = detail::JsonKindOf<T>;
    typename Kind::Stored out{};
    String reason;
    const JsonValue* found = walk(path, reason);
    if (!found) checkFailed(path, reason.isEmpty() ? String(L"not found") : reason);
    if (!found->convertExactly(Kind::kind, &out, reason)) checkFailed(path, reason);
    return static_cast<T>(out);
  }
  template <class T>
  T get(const wchar_t* path) const {
    return get<T>(String(path));
  }
  template <class T>
  T get() const {
    return get<T>(String());
  }
  ///@}
  ///@{
  /// Checked access that tells an absent setting from a wrong one: nullopt when the value at
  /// `path` is missing or null; throws Exception like get() when it is there but not exactly a
  /// T, or when the path passes through a value that is not an array or object.
  template <class T>
  std::optional<T> find(const String& path) const {
    using Kind = detail::JsonKindOf<T>;
    typename Kind::Stored out{};
    String reason;
    const JsonValue* found = walk(path, reason);
    if (!found) {
      if (reason.isEmpty()) return std::nullopt;
      checkFailed(path, reason);
    }
    if (found->isNull()) return std::nullopt;
    if (!found->convertExactly(Kind::kind, &out, reason)) checkFailed(path, reason);
    return static_cast<T>(out);
  }
  template <class T>
  std::optional<T> find(const wchar_t* path) const {
    return find<T>(String(path));
  }
  ///@}
  /// The value at the path, or null when a key or index is missing. A path that passes through
  /// a value that is not an array or object, or that is not well formed, also gives null.
  const JsonValue* findPath(const String& path) const {
    String reason;
    return walk(path, reason);
  }

  /// A value that is not an array (or object) first becomes an empty one; a missing entry is
  /// inserted as null. An index past the end of an array first fills the gap with nulls, so an
  /// array is never sparse: a[5] = 1 on an empty array gives [null,null,null,null,null,1]. A
  /// negative index, or one more than kMaxArrayGap past the end, throws Exception and changes
  /// nothing.
  static constexpr int kMaxArrayGap = 1 << 22;
  ///@{
  /// The entry at `index` of an array, or the member `key` of an object, made when missing as
  /// described above.
  /// \throws Exception for a negative index or one more than kMaxArrayGap past the end.
  JsonValue& operator[](int index);
  JsonValue& operator[](const String& key);
  JsonValue& operator[](const wchar_t* key) { return (*this)[String(key)]; }
  ///@}
  ///@{
  /// The entry or member, read only: never modifies; the wrong type or a missing entry gives
  /// the shared constant null value.
  const JsonValue& operator[](int index) const;
  const JsonValue& operator[](const String& key) const;
  const JsonValue& operator[](const wchar_t* key) const { return (*this)[String(key)]; }
  ///@}
  ///@{
  /// Lenient conversions: never throw, always give a value. A number out of an integer's range, and
  /// an array or object asked for a number or a bool, log a warning; other inexact conversions are
  /// silent. Null gives 0, false or the empty string; an array or object gives its JSON text from
  /// asString().
  signed char asInt8() const;
  unsigned char asUInt8() const;
  short asInt16() const;
  unsigned short asUInt16() const;
  int asInt32() const;
  unsigned int asUInt32() const;
  __int64 asInt64() const;
  __uint64 asUInt64() const;
  float asFloat() const;
  double asDouble() const;
  bool asBool() const;
  String asString() const;

  operator signed char() const { return asInt8(); }
  operator char() const { return static_cast<char>(asInt8()); }
  operator unsigned char() const { return asUInt8(); }
  operator short() const { return asInt16(); }
  operator unsigned short() const { return asUInt16(); }
  operator int() const { return asInt32(); }
  operator unsigned int() const { return asUInt32(); }
  operator long() const {
    return sizeof(long) == sizeof(__int64) ? static_cast<long>(asInt64()) : asInt32();
  }
  operator unsigned long() const {
    return sizeof(long) == sizeof(__int64) ? static_cast<unsigned long>(asUInt64()) : asUInt32();
  }
  operator __int64() const { return asInt64(); }
  operator __uint64() const { return asUInt64(); }
  operator float() const { return asFloat(); }
  operator double() const { return asDouble(); }
  operator bool() const { return asBool(); }
  operator String() const { return asString(); }
  ///@}

  ///@{
  /// Deep comparison. Strings, arrays and objects compare by content, null equals only null,
  /// two values of the same other kind compare by value, and values of different kinds by their
  /// text (asString()): 1 equals 1u and also the string "1".
  bool operator==(const JsonValue& other) const;
  bool operator!=(const JsonValue& other) const { return !(*this == other); }
  ///@}
  /// Each compares with the value built from the scalar.
  template <class T, class = decltype(JsonValue(std::declval<const T&>()))>
  bool operator==(const T& other) const {
    return *this == JsonValue(other);
  }

  /// The process-wide constant null value.
  static const JsonValue& null();

  /// Converts a value exactly into `*out`, of the stored type of `kind` (detail::JsonKindOf);
  /// otherwise `reason` says why not, for example "expected int32, found the string "fast"".
  bool convertExactly(detail::JsonKind kind, void* out, String& reason) const;

 private:
  // The value at the path; null when it is missing (`reason` empty) or the path cannot be
  // walked (`reason` says why).
  const JsonValue* walk(const String& path, String& reason) const;
  [[noreturn]] static void checkFailed(const String& path, const String& reason);
  // The entry at `position` in index order of the array (its index into `index`), or null past
  // the end.
  static JsonValue* entry(const ArrayValues* array, std::uint32_t position, int& index) noexcept;

  template <class Text, bool kStrict>
  friend class JsonParser;
  friend struct JsonWriter;
  // A String is one pointer that may be moved bit for bit, so it lives inside the payload
  // instead of in a separate holder.
  union Payload {
    __int64 int_;
    __uint64 uint_;
    double real_;
    ArrayValues* array_;
    ObjectValues* object_;
    alignas(String) unsigned char string_[sizeof(String)];
  };
  static_assert(sizeof(String) == sizeof(void*), "a String is one pointer");
  String& string() noexcept { return *std::launder(reinterpret_cast<String*>(_value.string_)); }
  const String& string() const noexcept {
    return *std::launder(reinterpret_cast<const String*>(_value.string_));
  }
  // The integer conversion rule; `name` is the type's name in the warnings ("Int8" ...).
  template <class T>
  T asInteger(const wchar_t* name) const;
  // The memory that reading or dropping the value touches first (its string's characters, its
  // container), or null: what to ask for ahead of that use.
  const void* payloadMemory() const noexcept {
    if (_type == stringValue) return string().getBuffer();
    return _type == arrayValue || _type == objectValue ? _value.array_ : nullptr;
  }
  // Appends under the next index of a dense array (the parser's way of filling one).
  JsonValue& append();

  Payload _value;
  ValueType _type;
};

/// Reading and writing JSON text: wide text in memory, UTF-8 on streams and in files.
class VEMO_CORE_API Json {
 public:
  /// Arrays and objects nested deeper than this are a syntax error.
  static constexpr int kMaxDepth = 1000;

  /// The rules of the forms with a JsonError. `lenient` accepts what the plain forms accept.
  /// `strict` accepts exactly a JSON text of RFC 8259: one value with only space, tab, line feed
  /// and carriage return around it, no comments, numbers without leading zeros and with digits
  /// on both sides of the point, strings without raw control characters, only the escapes of
  /// the RFC and `\u` escapes of four digits whose surrogates come in pairs, and, from a stream
  /// or file, only well-formed UTF-8 (four-byte sequences give their character).
  enum Syntax { lenient, strict };

  /// Skips whitespace and comments, parses one value into `value` and returns the position just
  /// after it; null on a syntax error (then `value` is unchanged). Text after the value is not
  /// examined.
  static const wchar_t* parseValue(const wchar_t* text, JsonValue& value);
  /// The same, saying where and why the text did not parse (`error` is cleared on success). With
  /// `strict`, the value must be the whole text: the result is then the text's end.
  static const wchar_t* parseValue(const wchar_t* text, JsonValue& value, JsonError& error,
                                   Syntax syntax = lenient);
  /// Writes the value as UTF-16LE code units; `styled` selects the indented layout. False at
  /// the first short write.
  static bool writeValue(const JsonValue& value, Output* output, bool styled);
  /// The text of the value; empty if it could not be built.
  static String convertToString(const JsonValue& value, bool styled);

  ///@{
  /// All remaining UTF-8 text of the input, parsed (trailing text is ignored). False for a null
  /// input or text that does not parse.
  static bool read(JsonValue& value, Input* input);
  static bool read(JsonValue& value, Input* input, JsonError& error, Syntax syntax = lenient);
  ///@}
  ///@{
  /// The text as UTF-8 (no byte-order mark); false for a null output or a short write.
  static bool write(const JsonValue& value, Output* output, bool styled);
  static bool write(JsonValue& value, Output* output, bool styled);
  ///@}
  ///@{
  /// read() of a file's content; false when the file cannot be read or does not parse.
  static bool load(JsonValue& value, const String& fileName);
  static bool load(JsonValue& value, const String& fileName, JsonError& error,
                   Syntax syntax = lenient);
  ///@}
  ///@{
  /// write() into the file: the text replaces the file only once it is whole and on disk. False
  /// when it cannot be written; the old file, if any, is then left as it was.
  static bool save(const JsonValue& value, const String& fileName, bool styled);
  static bool save(JsonValue& value, const String& fileName, bool styled);
  ///@}

 private:
  static bool write_value(const JsonValue& value, Output* output, int indent);
};

}  // namespace vemo
