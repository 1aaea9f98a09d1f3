// JsonValue: construction, element access, conversions and equality. (The JSON text side,
// Json, is in JsonText.cpp.)
#include "vemo/core/Json.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "JsonArray.h"
#include "JsonInput.h"
#include "JsonNodes.h"
#include "Number.h"
#include "StringData.h"
#include "Utf.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {

// ---- construction and lifetime ---------------------------------------------------------------

namespace {

// The wide text of UTF-8 bytes: zeros kept, each broken sequence U+FFFD.
String wideOfUtf8(std::string_view utf8) {
  if (utf8.empty()) return String();
  if (utf8.size() >= static_cast<std::size_t>(INT_MAX))
    throw std::length_error("vemo::JsonValue: text too long for a String");
  detail::StringBuilder<wchar_t> text(utf8.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const unsigned char* const end = p + utf8.size();
  while (p < end) {
    if (*p < 0x80) {
      *text.extend(1) = static_cast<wchar_t>(*p++);
      continue;
    }
    wchar_t units[2];
    const int n = detail::encodeWide(detail::decodeUtf8(p, end), units);
    std::copy(units, units + n, text.extend(static_cast<std::size_t>(n)));
  }
  return text.take(static_cast<int>(text.size()));
}

// Objects and arrays live in the JSON node slabs, as the object's members do.
template <class T, class... Args>
T* makeNode(Args&&... args) {
  static_assert(sizeof(T) <= detail::kJsonNodeLimit && alignof(T) <= 8, "a node fits a slot");
  void* slot = detail::allocateJsonNode(sizeof(T));
  try {
    return new (slot) T(std::forward<Args>(args)...);
  } catch (...) {
    detail::freeJsonNode(slot);
    throw;
  }
}

template <class T>
void dropNode(T* node) noexcept {
  node->~T();
  detail::freeJsonNode(node);
}

}  // namespace

JsonValue::JsonValue(const char* utf8)
    : JsonValue(utf8 ? std::string_view(utf8) : std::string_view()) {}

JsonValue::JsonValue(std::string_view utf8) : _type(stringValue) {
  new (_value.string_) String(wideOfUtf8(utf8));
}

JsonValue::JsonValue(ValueType type) : _type(type) {
  _value.int_ = 0;
  switch (type) {
    case stringValue:
      new (_value.string_) String();
      break;
    case arrayValue:
      _value.array_ = makeNode<ArrayValues>();
      break;
    case objectValue:
      _value.object_ = makeNode<ObjectValues>();
      break;
    case nullValue:
    case intValue:
    case uintValue:
    case doubleValue:
    case boolValue:
      break;
    default:
      _type = nullValue;  // not a type: null rather than a payload nobody owns
  }
}

JsonValue::JsonValue(const JsonValue& other) : _type(other._type) {
  switch (other._type) {
    case stringValue:
      new (_value.string_) String(other.string());
      break;
    case arrayValue:
      _value.array_ = makeNode<ArrayValues>(*other._value.array_);
      break;
    case objectValue:
      _value.object_ = makeNode<ObjectValues>(*other._value.object_);
      break;
    default:
      _value.uint_ = other._value.uint_;
  }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) {
    JsonValue copy(other);
    swap(copy);
  }
  return *this;
}

void JsonValue::clear() noexcept {
  switch (_type) {
    case stringValue:
      string().~String();
      break;
    case arrayValue: {
      const detail::JsonFreeBatch batch;
      dropNode(_value.array_);
      break;
    }
    case objectValue: {
      const detail::JsonFreeBatch batch;
      for (const auto& member : *_value.object_)
        detail::prefetchJsonBlock(member.second.payloadMemory());
      dropNode(_value.object_);
      break;
    }
    default:
      break;
  }
  _type = nullValue;
  _value.int_ = 0;
}

const JsonValue& JsonValue::null() {
  static const JsonValue value;
  return value;
}

// ---- queries and element access ------------------------------------------------------------

int JsonValue::size() const noexcept {
  if (_type == arrayValue) return _value.array_->size();
  if (_type == objectValue) return static_cast<int>(_value.object_->size());
  return 0;
}

bool JsonValue::empty() const noexcept {
  return _type == nullValue || ((_type == arrayValue || _type == objectValue) && size() == 0);
}

const JsonValue::ObjectValues& JsonValue::getMembers() const {
  static const ObjectValues none;
  return _type == objectValue ? *_value.object_ : none;
}

JsonValue& JsonValue::operator[](int index) {
  // Arrays stay dense: an index past the end first fills the gap with nulls (the text writer
  // writes indices 0 to size() - 1, so an entry past a gap would otherwise be lost).
  if (_type == arrayValue) {
    if (JsonValue* found = const_cast<JsonValue*>(_value.array_->find(index))) return *found;
  }
  if (index < 0) VEMO_THROW_AT(L"vemo/core/Json", __LINE__, L"Json array index is negative");
  const int size = _type == arrayValue ? _value.array_->size() : 0;
  if (index - size > kMaxArrayGap)
    VEMO_THROW_AT(L"vemo/core/Json", __LINE__,
                  L"Json array index is too far past the end (more than 4194304 nulls)");
  if (_type != arrayValue) *this = JsonValue(arrayValue);
  ArrayValues& array = *_value.array_;
  for (int next = array.size(); next < index; ++next)
    array.at(next);
  return array.at(index);
}

JsonValue& JsonValue::operator[](const String& key) {
  if (_type != objectValue) *this = JsonValue(objectValue);
  return (*_value.object_)[key];
}

const JsonValue& JsonValue::operator[](int index) const {
  if (_type != arrayValue) return null();
  const JsonValue* element = _value.array_->find(index);
  return element ? *element : null();
}

const JsonValue& JsonValue::operator[](const String& key) const {
  if (_type != objectValue) return null();
  const auto found = _value.object_->find(key);
  return found == _value.object_->end() ? null() : found->second;
}

JsonValue& JsonValue::append() {
  return _value.array_->append();
}

bool JsonValue::contains(const String& key) const {
  return _type == objectValue && _value.object_->find(key) != _value.object_->end();
}

JsonValue& JsonValue::append(const JsonValue& value) {
  JsonValue taken(value);  // before this value changes: it may hold the one appended
  return append(std::move(taken));
}

JsonValue& JsonValue::append(JsonValue&& value) {
  JsonValue taken(std::move(value));
  if (_type != arrayValue) *this = JsonValue(arrayValue);
  int index = 0;
  if (!_value.array_->nextIndex(index))
    VEMO_THROW_AT(L"vemo/core/Json", __LINE__, L"Json array has no index after 2147483647");
  JsonValue& added = _value.array_->at(index);
  added.swap(taken);
  return added;
}

JsonValue* JsonValue::entry(const ArrayValues* array, std::uint32_t position, int& index) noexcept {
  return array ? const_cast<JsonValue*>(array->byPosition(position, index)) : nullptr;
}

JsonValue::Range<JsonValue::ElementIterator<JsonValue>> JsonValue::elements() {
  const ArrayValues* array = _type == arrayValue ? _value.array_ : nullptr;
  const std::uint32_t count = array ? static_cast<std::uint32_t>(array->size()) : 0;
  return {ElementIterator<JsonValue>(array, 0), ElementIterator<JsonValue>(array, count)};
}

JsonValue::Range<JsonValue::ElementIterator<const JsonValue>> JsonValue::elements() const {
  const ArrayValues* array = _type == arrayValue ? _value.array_ : nullptr;
  const std::uint32_t count = array ? static_cast<std::uint32_t>(array->size()) : 0;
  return {ElementIterator<const JsonValue>(array, 0),
          ElementIterator<const JsonValue>(array, count)};
}

JsonValue::Range<JsonValue::ObjectValues::iterator> JsonValue::members() {
  static ObjectValues none;  // never filled: only its end is handed out
  ObjectValues& object = _type == objectValue ? *_value.object_ : none;
  return {object.begin(), object.end()};
}

// ---- conversions -----------------------------------------------------------------------------

namespace {

// The double bounds of an integer type (for 64 bits, the nearest doubles: 2^63 and 2^64).
template <class T>
double lowerBound() {
  return static_cast<double>(std::numeric_limits<T>::min());
}
template <class T>
double upperBound() {
  return static_cast<double>(std::numeric_limits<T>::max());
}

template <class T>
bool holdsSigned(__int64 value) {
  if (std::is_signed<T>::value)
    return value >= static_cast<__int64>(std::numeric_limits<T>::min()) &&
           value <= static_cast<__int64>(std::numeric_limits<T>::max());
  return value >= 0 &&
         static_cast<__uint64>(value) <= static_cast<__uint64>(std::numeric_limits<T>::max());
}
template <class T>
bool holdsUnsigned(__uint64 value) {
  return value <= static_cast<__uint64>(std::numeric_limits<T>::max());
}
template <class T>
bool holdsDouble(double value) {
  double whole;
  return value >= lowerBound<T>() && value <= upperBound<T>() && std::modf(value, &whole) == 0.0;
}

// A double truncated toward zero as a 64-bit pattern; outside the 64-bit range (and NaN) it is
// the processor's "integer indefinite", 0x8000000000000000, as the x86 conversion gives.
__uint64 truncateDouble(double value) {
  if (value >= -9223372036854775808.0 && value < 9223372036854775808.0)
    return static_cast<__uint64>(static_cast<__int64>(value));
  if (value >= 9223372036854775808.0 && value < 18446744073709551616.0)
    return static_cast<__uint64>(value);
  return 0x8000000000000000ULL;
}

template <class T>
bool holds(const JsonValue& value, __int64 asInt, __uint64 asUInt, double asDouble) {
  switch (value.type()) {
    case JsonValue::intValue:
      return holdsSigned<T>(asInt);
    case JsonValue::uintValue:
      return holdsUnsigned<T>(asUInt);
    case JsonValue::doubleValue:
      return holdsDouble<T>(asDouble);
    default:
      return false;
  }
}

}  // namespace

// The one rule of every integer conversion: warn when the value does not fit, then cut it to
// the target's width anyway.
template <class T>
T JsonValue::asInteger(const wchar_t* name) const {
  switch (_type) {
    case nullValue:
      return 0;
    case intValue:
      if (!holdsSigned<T>(_value.int_)) Log::warning(L"intValue out of %s range", name);
      return static_cast<T>(_value.int_);
    case uintValue:
      if (!holdsUnsigned<T>(_value.uint_)) Log::warning(L"uintValue out of %s range", name);
      return static_cast<T>(_value.uint_);
    case doubleValue:
      if (_value.real_ < lowerBound<T>() || _value.real_ > upperBound<T>())
        Log::warning(L"double out of %s range", name);
      return static_cast<T>(truncateDouble(_value.real_));
    case boolValue:
      return static_cast<T>(_value.int_ != 0 ? 1 : 0);
    case stringValue:
      return static_cast<T>(detail::scanInt64(string().getBuffer()));
    case arrayValue:
    case objectValue:
      break;
  }
  Log::warning(L"Value is not convertible to %s", name);
  return 0;
}

#define VEMO_JSON_INTEGER(Name, Type)                                   \
  bool JsonValue::is##Name() const {                                    \
    return holds<Type>(*this, _value.int_, _value.uint_, _value.real_); \
  }                                                                     \
  Type JsonValue::as##Name() const {                                    \
    return asInteger<Type>(L## #Name);                                  \
  }
VEMO_JSON_INTEGER(Int8, signed char)
VEMO_JSON_INTEGER(UInt8, unsigned char)
VEMO_JSON_INTEGER(Int16, short)
VEMO_JSON_INTEGER(UInt16, unsigned short)
VEMO_JSON_INTEGER(Int32, int)
VEMO_JSON_INTEGER(UInt32, unsigned int)
VEMO_JSON_INTEGER(Int64, __int64)
VEMO_JSON_INTEGER(UInt64, __uint64)
#undef VEMO_JSON_INTEGER

double JsonValue::asDouble() const {
  switch (_type) {
    case nullValue:
      return 0.0;
    case intValue:
      return static_cast<double>(_value.int_);
    case uintValue:
      return static_cast<double>(_value.uint_);
    case doubleValue:
      return _value.real_;
    case boolValue:
      return _value.int_ != 0 ? 1.0 : 0.0;
    case stringValue:
      return detail::scanDouble(string().getBuffer(), nullptr);
    case arrayValue:
    case objectValue:
      break;
  }
  Log::warning(L"Value is not convertible to double.");
  return 0.0;
}

float JsonValue::asFloat() const {
  if (_type == arrayValue || _type == objectValue) {
    Log::warning(L"Value is not convertible to float.");
    return 0.0f;
  }
  // Narrowed to the nearest float, as the language's conversion rounds: the text written for
  // FLT_MAX (3.402823466385289e+38, a little above it) reads back as FLT_MAX. Only from half a
  // unit above FLT_MAX on, where rounding to nearest leaves the float range, is it infinity.
  const double value = asDouble();
  constexpr double kFloatOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
  if (std::fabs(value) >= kFloatOverflow)
    return value > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

bool JsonValue::asBool() const {
  switch (_type) {
    case nullValue:
    case stringValue:
      return false;
    case intValue:
    case uintValue:
    case boolValue:
      return _value.uint_ != 0;
    case doubleValue:
      return !(_value.real_ == 0.0);
    case arrayValue:
    case objectValue:
      break;
  }
  Log::warning(L"Value is not convertible to bool.");
  return false;
}

String JsonValue::asString() const {
  switch (_type) {
    case nullValue:
      return String();
    case intValue:
      return convertToString(_value.int_);
    case uintValue:
      return convertToString(_value.uint_);
    case doubleValue:
      return convertToString(_value.real_);
    case boolValue:
      return convertToString(_value.int_ != 0);
    case stringValue:
      return string();
    case arrayValue:
    case objectValue:
      break;
  }
  return Json::convertToString(*this, false);
}

// ---- checked access --------------------------------------------------------------------------

namespace {

struct KindInfo {
  const wchar_t* name;
  bool isInteger;
  bool isSigned;
  __int64 min;   // integers only
  __uint64 max;  // integers only
};

KindInfo kindInfo(detail::JsonKind kind) {
  using K = detail::JsonKind;
  switch (kind) {
    case K::int8:
      return {L"int8", true, true, INT8_MIN, INT8_MAX};
    case K::uint8:
      return {L"uint8", true, false, 0, UINT8_MAX};
    case K::int16:
      return {L"int16", true, true, INT16_MIN, INT16_MAX};
    case K::uint16:
      return {L"uint16", true, false, 0, UINT16_MAX};
    case K::int32:
      return {L"int32", true, true, INT32_MIN, INT32_MAX};
    case K::uint32:
      return {L"uint32", true, false, 0, UINT32_MAX};
    case K::int64:
      return {L"int64", true, true, INT64_MIN, INT64_MAX};
    case K::uint64:
      return {L"uint64", true, false, 0, UINT64_MAX};
    case K::float32:
      return {L"float", false, true, 0, 0};
    case K::float64:
      return {L"double", false, true, 0, 0};
    case K::boolean:
      return {L"bool", false, false, 0, 0};
    case K::string:
      break;
  }
  return {L"string", false, false, 0, 0};
}

}  // namespace

String detail::describe(const JsonValue& value) {
  switch (value.type()) {
    case JsonValue::nullValue:
      return String(L"null");
    case JsonValue::intValue:
    case JsonValue::uintValue:
    case JsonValue::doubleValue:
      return String(L"the number ") + value.asString();
    case JsonValue::boolValue:
      return value.asString();
    case JsonValue::stringValue: {
      String text = value.asString();
      if (text.getLength() > 40) text = text.getSubString(0, 40) + L"...";
      return String(L"the string \"") + text + L"\"";
    }
    case JsonValue::arrayValue:
      return String(L"an array");
    case JsonValue::objectValue:
      break;
  }
  return String(L"an object");
}

namespace {

template <class T>
void store(void* out, T value) {
  *static_cast<T*>(out) = value;
}

// Stores an integer in the width of the kind (the range is checked).
void storeInteger(detail::JsonKind kind, void* out, __int64 asSigned, __uint64 asUnsigned) {
  using K = detail::JsonKind;
  switch (kind) {
    case K::int8:
      return store(out, static_cast<std::int8_t>(asSigned));
    case K::uint8:
      return store(out, static_cast<std::uint8_t>(asUnsigned));
    case K::int16:
      return store(out, static_cast<std::int16_t>(asSigned));
    case K::uint16:
      return store(out, static_cast<std::uint16_t>(asUnsigned));
    case K::int32:
      return store(out, static_cast<std::int32_t>(asSigned));
    case K::uint32:
      return store(out, static_cast<std::uint32_t>(asUnsigned));
    case K::int64:
      return store(out, static_cast<std::int64_t>(asSigned));
    default:
      return store(out, static_cast<std::uint64_t>(asUnsigned));
  }
}

// Path segments: a key up to '.' or '[', then indices in brackets.
bool isDigits(const wchar_t* p, const wchar_t* end) {
  if (p == end) return false;
  for (; p < end; ++p)
    if (*p < L'0' || *p > L'9') return false;
  return true;
}

// The decimal index of [p, end), or -1 when it is not one (or too large).
int indexOf(const wchar_t* p, const wchar_t* end) {
  if (!isDigits(p, end) || end - p > 10) return -1;
  long long index = 0;
  for (; p < end; ++p)
    index = index * 10 + (*p - L'0');
  return index <= INT_MAX ? static_cast<int>(index) : -1;
}

}  // namespace

bool JsonValue::convertExactly(detail::JsonKind kind, void* out, String& reason) const {
  const KindInfo info = kindInfo(kind);
  const auto mismatch = [&] {
    reason = String(L"expected ") + info.name + L", found " + detail::describe(*this);
    return false;
  };
  if (kind == detail::JsonKind::string) {
    if (_type != stringValue) return mismatch();
    *static_cast<String*>(out) = string();
    return true;
  }
  if (kind == detail::JsonKind::boolean) {
    if (_type != boolValue) return mismatch();
    store(out, _value.int_ != 0);
    return true;
  }
  if (!isNumber()) return mismatch();
  const auto outOfRange = [&] {
    reason = asString() + L" is out of the range of " + info.name;
    return false;
  };
  if (!info.isInteger) {
    const double value = asDouble();
    if (!std::isfinite(value)) return outOfRange();
    if (kind == detail::JsonKind::float64) {
      store(out, value);
      return true;
    }
    // Rounded to the nearest float; from half a unit above FLT_MAX on it is out of range.
    constexpr double kFloatOverflow = 340282356779733661637539395458142568448.0;
    if (std::fabs(value) >= kFloatOverflow) return outOfRange();
    store(out, static_cast<float>(value));
    return true;
  }
  __int64 asSigned = 0;
  __uint64 asUnsigned = 0;
  bool negative = false;
  if (_type == intValue) {
    asSigned = _value.int_;
    asUnsigned = static_cast<__uint64>(asSigned);
    negative = asSigned < 0;
  } else if (_type == uintValue) {
    asUnsigned = _value.uint_;
    asSigned = static_cast<__int64>(asUnsigned);
  } else {
    const double value = _value.real_;
    double whole;
    if (!std::isfinite(value)) return outOfRange();
    if (std::modf(value, &whole) != 0.0) {
      reason = asString() + L" is not a whole number (" + info.name + L")";
      return false;
    }
    if (value < -9223372036854775808.0 || value >= 18446744073709551616.0) return outOfRange();
    negative = value < 0;
    if (negative) {
      asSigned = static_cast<__int64>(value);
      asUnsigned = static_cast<__uint64>(asSigned);
    } else {
      asUnsigned = static_cast<__uint64>(value);
      asSigned = static_cast<__int64>(asUnsigned);
    }
  }
  if (negative ? (!info.isSigned || asSigned < info.min) : asUnsigned > info.max)
    return outOfRange();
  storeInteger(kind, out, asSigned, asUnsigned);
  return true;
}

const JsonValue* JsonValue::walk(const String& path, String& reason) const {
  const wchar_t* p = path.getBuffer();
  const wchar_t* const end = p + path.getLength();
  const JsonValue* value = this;
  const auto stepped = [&](const wchar_t* upTo) {
    return String(path.getBuffer(), int(upTo - path.getBuffer()));
  };
  const auto notContainer = [&](const wchar_t* upTo, const wchar_t* what) {
    const String part =
        upTo == path.getBuffer() ? String(L"the value") : String(L"\"") + stepped(upTo) + L"\"";
    reason = part + L" is " + detail::describe(*value) + L", not " + what;
    return nullptr;
  };
  if (p == end) return value;
  for (;;) {
    // A key (or an index of digits) up to '.', '[' or the end.
    const wchar_t* keyEnd = p;
    while (keyEnd < end && *keyEnd != L'.' && *keyEnd != L'[')
      ++keyEnd;
    const bool bracketOnly = keyEnd == p && keyEnd < end && *keyEnd == L'[';
    if (!bracketOnly) {
      const wchar_t* before = p == path.getBuffer() ? p : p - 1;
      if (value->isObject()) {
        const auto found = value->_value.object_->find(String(p, int(keyEnd - p)));
        if (found == value->_value.object_->end()) return nullptr;
        value = &found->second;
      } else if (value->isArray() && indexOf(p, keyEnd) >= 0) {
        value = value->_value.array_->find(indexOf(p, keyEnd));
        if (!value) return nullptr;
      } else if (value->isNull()) {
        return nullptr;  // an absent part
      } else {
        return notContainer(before, value->isArray() ? L"an object" : L"an array or object");
      }
    }
    p = keyEnd;
    // Indices in brackets.
    while (p < end && *p == L'[') {
      const wchar_t* close = p + 1;
      while (close < end && *close != L']')
        ++close;
      const int index = close < end ? indexOf(p + 1, close) : -1;
      if (index < 0) {
        reason = String(L"the path is not well formed at \"") + String(p, int(end - p)) + L"\"";
        return nullptr;
      }
      if (!value->isArray()) {
        if (value->isNull()) return nullptr;
        return notContainer(p, L"an array");
      }
      value = value->_value.array_->find(index);
      if (!value) return nullptr;
      p = close + 1;
    }
    if (p == end) return value;
    if (*p != L'.') {
      reason = String(L"the path is not well formed at \"") + String(p, int(end - p)) + L"\"";
      return nullptr;
    }
    ++p;
  }
}

void JsonValue::checkFailed(const String& path, const String& reason) {
  const String text = String(L"Json value \"") + path + L"\": " + reason;
  VEMO_THROW_AT(L"vemo/core/Json", __LINE__, text.getBuffer());
}

// ---- equality --------------------------------------------------------------------------------

bool JsonValue::operator==(const JsonValue& other) const {
  if (_type == stringValue && other._type == stringValue) return string() == other.string();
  if (_type == arrayValue && other._type == arrayValue)
    return *_value.array_ == *other._value.array_;
  if (_type == objectValue && other._type == objectValue) {
    const ObjectValues &mine = *_value.object_, &theirs = *other._value.object_;
    if (mine.size() != theirs.size()) return false;
    for (const auto& member : mine) {
      const auto found = theirs.find(member.first);
      if (found == theirs.end() || !(member.second == found->second)) return false;
    }
    return true;
  }
  if (_type == nullValue) return other._type == nullValue;
  if (_type == other._type) {
    switch (_type) {
      case intValue:
        return _value.int_ == other._value.int_;
      case uintValue:
        return _value.uint_ == other._value.uint_;
      case doubleValue:
        return _value.real_ == other._value.real_;
      case boolValue:
        return (_value.int_ != 0) == (other._value.int_ != 0);
      default:
        break;
    }
  }
  return asString() == other.asString();
}

// ---- the array map ---------------------------------------------------------------------------

JsonValue::ArrayValues::ArrayValues(const ArrayValues& other) : _order(other._order) {
  for (std::uint32_t i = 0; i < other._count; ++i)
    newSlot() = other.slot(i);
}

JsonValue::ArrayValues::~ArrayValues() {
  // Front to back (delete[] goes back to front), asking for the payload of an entry a few places
  // ahead: a parsed array's payloads lie in the order of its text, and each would otherwise be a
  // wait for memory.
  constexpr std::uint32_t kAhead = 4;
  std::uint32_t i = 0;
  for (int block = 0; i < _count; ++block) {
    JsonValue* values = block == 0 ? _first : _blocks[block - 1].get();
    const std::uint32_t n = std::min(blockSize(block), _count - i);
    for (std::uint32_t j = 0; j < n; ++j, ++i) {
      if (j + kAhead < n) detail::prefetchJsonBlock(values[j + kAhead].payloadMemory());
      values[j].clear();
    }
  }
}

JsonValue& JsonValue::ArrayValues::newSlot() {
  const int block = blockOf(_count);
  if (block > 0 && _count == blockStart(block)) {
    std::unique_ptr<JsonValue[]> made(new JsonValue[blockSize(block)]);
    _blocks.push_back(std::move(made));
  }
  return slot(_count++);
}

std::size_t JsonValue::ArrayValues::orderPosition(int index) const noexcept {
  // A sparse array that was dense up to some point keeps entry i at position i there.
  const std::size_t at = static_cast<std::size_t>(index);
  if (index >= 0 && at < _order.size() && _order[at].first == index) return at;
  return static_cast<std::size_t>(std::lower_bound(_order.begin(), _order.end(), index,
                                                   [](const std::pair<int, std::uint32_t>& entry,
                                                      int key) { return entry.first < key; }) -
                                  _order.begin());
}

JsonValue& JsonValue::ArrayValues::at(int index) {
  if (_order.empty()) {
    const std::uint32_t at = static_cast<std::uint32_t>(index);
    if (index >= 0 && at < _count) return slot(at);
    if (index >= 0 && at == _count) return newSlot();
    // The first entry out of order: from now on the order is kept apart.
    _order.reserve(_count + 1);
    for (std::uint32_t i = 0; i < _count; ++i)
      _order.emplace_back(static_cast<int>(i), i);
  }
  const std::size_t position = orderPosition(index);
  if (position < _order.size() && _order[position].first == index)
    return slot(_order[position].second);
  _order.reserve(_order.size() + 1);  // may throw before anything changed
  JsonValue& added = newSlot();
  _order.emplace(_order.begin() + static_cast<std::ptrdiff_t>(position), index, _count - 1);
  return added;
}

const JsonValue* JsonValue::ArrayValues::find(int index) const noexcept {
  if (_order.empty())
    return index >= 0 && static_cast<std::uint32_t>(index) < _count
               ? &slot(static_cast<std::uint32_t>(index))
               : nullptr;
  const std::size_t position = orderPosition(index);
  return position < _order.size() && _order[position].first == index
             ? &slot(_order[position].second)
             : nullptr;
}

JsonValue& JsonValue::ArrayValues::append() {
  if (_order.empty()) return newSlot();
  const int last = _order.back().first;
  return at(last < std::numeric_limits<int>::max() ? last + 1 : last);
}

bool JsonValue::ArrayValues::operator==(const ArrayValues& other) const {
  if (_count != other._count) return false;
  bool equal = true;
  forEach([&](int index, const JsonValue& value) {
    if (!equal) return;
    const JsonValue* theirs = other.find(index);
    equal = theirs && value == *theirs;
  });
  return equal;
}

}  // namespace vemo
