// JsonValue and Json: JSON documents in memory, and JSON text.
//
// A JsonValue is a plain value (copies are deep): null, a signed or unsigned 64-bit integer, a
// double, a bool, a String, an array or an object. Its conversions never throw: a conversion
// that cannot be made exactly logs a warning (Log::warning) and still returns a value, e.g.
//
//   JsonValue v(300);
//   signed char c = v.asInt8();   // logs "intValue out of Int8 range", gives 44
//
// An array is an ordered map from int index to value, so it may be sparse: size() counts the
// entries. Everything this library builds fills indices 0, 1, 2 ... densely. As with any map,
// a reference to an element stays valid while other elements are added.
//
// Json reads and writes JSON text: wide text in memory, UTF-8 on streams and in files. The
// parser is lenient: it takes /* */ and // comments between tokens and leading zeros, reads
// non-negative integers as unsigned, and ignores text after the value. Nesting deeper than
// Json::kMaxDepth arrays or objects is a syntax error.
#pragma once

#include <map>
#include <new>
#include <utility>

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

class Input;
class Output;

class VEMO_CORE_API JsonValue {
 public:
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
  using ObjectValues = std::map<String, JsonValue, StringLess>;
  class ArrayValues;

  JsonValue() noexcept : _type(nullValue) { _value.int_ = 0; }
  // That type with an empty or zero payload.
  JsonValue(ValueType type);
  // Every integer type but unsigned __int64 gives an intValue. Where `long` is 64 bits wide,
  // `long` and `unsigned long` count as __int64 and unsigned __int64.
  JsonValue(signed char value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(char value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(short value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(int value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(long value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(__int64 value) noexcept : _type(intValue) { _value.int_ = value; }
  JsonValue(unsigned char value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(unsigned short value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(unsigned int value) noexcept : JsonValue(static_cast<__int64>(value)) {}
  JsonValue(unsigned long value) noexcept {
    if (sizeof(unsigned long) == sizeof(__uint64))
      _type = uintValue, _value.uint_ = value;
    else
      _type = intValue, _value.int_ = static_cast<__int64>(value);
  }
  JsonValue(__uint64 value) noexcept : _type(uintValue) { _value.uint_ = value; }
  JsonValue(float value) noexcept : JsonValue(static_cast<double>(value)) {}
  JsonValue(double value) noexcept : _type(doubleValue) { _value.real_ = value; }
  JsonValue(bool value) noexcept : _type(boolValue) { _value.int_ = value ? 1 : 0; }
  // Shares the characters.
  JsonValue(const String& value) noexcept : _type(stringValue) {
    new (_value.string_) String(value);
  }
  JsonValue(const wchar_t* value) : JsonValue(String(value)) {}

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : _value(other._value), _type(other._type) {
    other._type = nullValue;
  }
  JsonValue& operator=(const JsonValue& other);
  // The other value is taken before the old content is released, so a value may be assigned
  // one of its own members or elements (and itself).
  JsonValue& operator=(JsonValue&& other) noexcept {
    JsonValue taken(std::move(other));
    swap(taken);
    return *this;
  }
  ~JsonValue() { clear(); }

  // Neither value may lie inside the other (the tree would then own itself); the same holds
  // for moving a value into one of its own members or elements.
  void swap(JsonValue& other) noexcept {
    std::swap(_value, other._value);
    std::swap(_type, other._type);
  }
  // Releases the payload; the value is null afterwards.
  void clear() noexcept;

  ValueType type() const noexcept { return _type; }
  bool isNull() const noexcept { return _type == nullValue; }
  bool isBool() const noexcept { return _type == boolValue; }
  bool isString() const noexcept { return _type == stringValue; }
  bool isArray() const noexcept { return _type == arrayValue; }
  bool isObject() const noexcept { return _type == objectValue; }
  bool isNumber() const noexcept {
    return _type == intValue || _type == uintValue || _type == doubleValue;
  }
  // Whether the value is a number that the type holds exactly (a double without fraction).
  bool isInt8() const;
  bool isUInt8() const;
  bool isInt16() const;
  bool isUInt16() const;
  bool isInt32() const;
  bool isUInt32() const;
  bool isInt64() const;
  bool isUInt64() const;

  // Entries of an array or object; 0 for everything else.
  int size() const noexcept;
  // True for null and for an array or object without entries.
  bool empty() const noexcept;
  // The members of an object; an empty map for every other value.
  const ObjectValues& getMembers() const;

  // A value that is not an array (or object) first becomes an empty one; a missing entry is
  // inserted as null.
  JsonValue& operator[](int index);
  JsonValue& operator[](const String& key);
  JsonValue& operator[](const wchar_t* key) { return (*this)[String(key)]; }
  // Never modify: the wrong type or a missing entry gives the shared constant null value.
  const JsonValue& operator[](int index) const;
  const JsonValue& operator[](const String& key) const;
  const JsonValue& operator[](const wchar_t* key) const { return (*this)[String(key)]; }
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

  bool operator==(const JsonValue& other) const;
  bool operator!=(const JsonValue& other) const { return !(*this == other); }
  // Each compares with the value built from the scalar.
  template <class T, class = decltype(JsonValue(std::declval<const T&>()))>
  bool operator==(const T& other) const {
    return *this == JsonValue(other);
  }

  // The process-wide constant null value.
  static const JsonValue& null();

 private:
  template <class Text>
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
  // Appends under the next index of a dense array (the parser's way of filling one).
  JsonValue& append();

  Payload _value;
  ValueType _type;
};

class VEMO_CORE_API Json {
 public:
  // Arrays and objects nested deeper than this are a syntax error.
  static constexpr int kMaxDepth = 1000;

  // Skips whitespace and comments, parses one value into `value` and returns the position just
  // after it; null on a syntax error (then `value` is unchanged). Text after the value is not
  // examined.
  static const wchar_t* parseValue(const wchar_t* text, JsonValue& value);
  // Writes the value as UTF-16LE code units; `styled` selects the indented layout. False at
  // the first short write.
  static bool writeValue(const JsonValue& value, Output* output, bool styled);
  // The text of the value; empty if it could not be built.
  static String convertToString(const JsonValue& value, bool styled);

  // All remaining UTF-8 text of the input, parsed (trailing text is ignored). False for a null
  // input or text that does not parse.
  static bool read(JsonValue& value, Input* input);
  // The text as UTF-8 (no byte-order mark); false for a null output or a short write.
  static bool write(JsonValue& value, Output* output, bool styled);
  // read() of a file's content / write() into a file created or truncated.
  static bool load(JsonValue& value, const String& fileName);
  static bool save(JsonValue& value, const String& fileName, bool styled);

 private:
  static bool write_value(const JsonValue& value, Output* output, int indent);
};

}  // namespace vemo
