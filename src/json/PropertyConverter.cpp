// The value converters of the library and their registration when the library loads.
#include "vemo/core/PropertyConverter.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

#include "JsonInput.h"
#include "vemo/core/Exception.h"

namespace vemo {

namespace {

// The value as exactly a T (JsonValue::get's rule); a strict import fails with the reason.
template <class T>
T readExactly(const JsonValue& value) {
  using Kind = detail::JsonKindOf<T>;
  typename Kind::Stored out{};
  String reason;
  if (!value.convertExactly(Kind::kind, &out, reason)) detail::importFailed(reason);
  return static_cast<T>(out);
}

}  // namespace

// ---- numbers, strings and plain values ---------------------------------------------------------

// Each member is first zeroed, then set from the lenient conversion of the value; a strict
// import takes only a value of exactly the member's type (`Exact`) and range.
#define VEMO_CONVERT_NUMBER_(T, Json, read, Exact)                 \
  void convertPropertyToJson(const T& member, JsonValue& value) {  \
    JsonValue(static_cast<Json>(member)).swap(value);              \
  }                                                                \
  void convertPropertyToClass(const JsonValue& value, T& member) { \
    member = static_cast<T>(0);                                    \
    if (detail::strictImport()) {                                  \
      member = static_cast<T>(readExactly<Exact>(value));          \
      return;                                                      \
    }                                                              \
    member = static_cast<T>(value.read());                         \
  }
VEMO_CONVERT_NUMBER_(bool, bool, asBool, bool)
VEMO_CONVERT_NUMBER_(float, double, asFloat, float)
VEMO_CONVERT_NUMBER_(double, double, asDouble, double)
VEMO_CONVERT_NUMBER_(char, __int64, asInt8, signed char)
VEMO_CONVERT_NUMBER_(signed char, __int64, asInt8, signed char)
VEMO_CONVERT_NUMBER_(unsigned char, __int64, asUInt8, unsigned char)
VEMO_CONVERT_NUMBER_(short, __int64, asInt16, short)
VEMO_CONVERT_NUMBER_(unsigned short, __int64, asUInt16, unsigned short)
VEMO_CONVERT_NUMBER_(int, __int64, asInt32, int)
VEMO_CONVERT_NUMBER_(unsigned int, __int64, asUInt32, unsigned int)
VEMO_CONVERT_NUMBER_(__int64, __int64, asInt64, __int64)
// `long` keeps its own width: 32 bits on Windows, 64 on Linux.
VEMO_CONVERT_NUMBER_(long, long, operator long, long)
VEMO_CONVERT_NUMBER_(unsigned long, unsigned long, operator unsigned long, unsigned long)
VEMO_CONVERT_NUMBER_(Varint, __int64, asInt32, int)
VEMO_CONVERT_NUMBER_(Varint64, __int64, asInt64, __int64)
#undef VEMO_CONVERT_NUMBER_

void convertPropertyToJson(const TimeSpan& member, JsonValue& value) {
  JsonValue(member.value).swap(value);
}
void convertPropertyToClass(const JsonValue& value, TimeSpan& member) {
  member = TimeSpan(detail::strictImport() ? readExactly<__int64>(value) : value.asInt64());
}

// Any value becomes its text (a strict import takes only a string).
void convertPropertyToJson(const String& member, JsonValue& value) {
  JsonValue(member).swap(value);
}
void convertPropertyToClass(const JsonValue& value, String& member) {
  member = detail::strictImport() ? readExactly<String>(value) : value.asString();
}

// ---- values kept as text -----------------------------------------------------------------------

void convertPropertyToJson(const Buffer& member, JsonValue& value) {
  JsonValue(member.convertToBase64()).swap(value);
}
void convertPropertyToClass(const JsonValue& value, Buffer& member) {
  Buffer decoded;
  if (!value.isString() || !decoded.convertFromBase64(value.asString())) {
    if (detail::strictImport()) detail::importExpected(L"a string of base64", value);
    VEMO_THROW_AT(L"src/Buffer", 140, L"void convertPropertyToClass(const String &, Buffer &)");
  }
  member = std::move(decoded);
}

void convertPropertyToJson(const Time& member, JsonValue& value) {
  JsonValue(member.convertToString(false)).swap(value);
}
void convertPropertyToClass(const JsonValue& value, Time& member) {
  member = Time();
  if (!value.isString() || !member.convertFromString(value.asString())) {
    if (detail::strictImport()) detail::importExpected(L"a string of a time", value);
    VEMO_THROW_AT(L"src/Time", 243, L"void convertPropertyToClass(JsonValue const &,Time &)");
  }
}

void convertPropertyToJson(const Uuid& member, JsonValue& value) {
  JsonValue(member.convertToString()).swap(value);
}
void convertPropertyToClass(const JsonValue& value, Uuid& member) {
  Uuid id;
  if (!value.isString() || !uuid_convertFromString(id, value.asString().getBuffer())) {
    if (detail::strictImport()) detail::importExpected(L"a string of a UUID", value);
    VEMO_THROW_AT(L"vemo/core/Uuid", 250,
                  L"void convertPropertyToClass(JsonValue const &, Uuid &)");
  }
  member = id;
}

void convertPropertyToJson(const uuid_node_t& member, JsonValue& value) {
  JsonValue(member.convertToString()).swap(value);
}
void convertPropertyToClass(const JsonValue& value, uuid_node_t& member) {
  uuid_node_t node;
  if (!value.isString() || !node.convertFromString(value.asString())) {
    if (detail::strictImport()) detail::importExpected(L"a string of a node id", value);
    VEMO_THROW_AT(L"vemo/core/Uuid", 304,
                  L"void convertPropertyToClass(const JsonValue &, uuid_node_t &)");
  }
  member = node;
}

// ---- composite values: one JSON member per field -----------------------------------------------

namespace {

template <class T, class Field>
struct FieldName {
  const wchar_t* name;
  Field T::*field;
};

// The fields of each composite value, in declaration order.
template <class T>
struct Fields;
template <class F>
struct Fields<Point_T<F>> {
  static constexpr FieldName<Point_T<F>, F> list[] = {{L"x", &Point_T<F>::x},
                                                      {L"y", &Point_T<F>::y}};
};
template <class F>
struct Fields<Rect_T<F>> {
  static constexpr FieldName<Rect_T<F>, F> list[] = {{L"left", &Rect_T<F>::left},
                                                     {L"top", &Rect_T<F>::top},
                                                     {L"right", &Rect_T<F>::right},
                                                     {L"bottom", &Rect_T<F>::bottom}};
};
template <>
struct Fields<Vector2> {
  static constexpr FieldName<Vector2, float> list[] = {{L"x", &Vector2::x}, {L"y", &Vector2::y}};
};
template <>
struct Fields<Vector3> {
  static constexpr FieldName<Vector3, float> list[] = {
      {L"x", &Vector3::x}, {L"y", &Vector3::y}, {L"z", &Vector3::z}};
};
template <>
struct Fields<Vector4> {
  static constexpr FieldName<Vector4, float> list[] = {
      {L"x", &Vector4::x}, {L"y", &Vector4::y}, {L"z", &Vector4::z}, {L"w", &Vector4::w}};
};
template <>
struct Fields<Quaternion> {
  static constexpr FieldName<Quaternion, float> list[] = {{L"x", &Quaternion::x},
                                                          {L"y", &Quaternion::y},
                                                          {L"z", &Quaternion::z},
                                                          {L"w", &Quaternion::w}};
};

// A field from the member of its name (0 when missing, or when the value is not an object).
void readField(const JsonValue& value, const wchar_t* name, int& field) {
  field = value[name].asInt32();
}
void readField(const JsonValue& value, const wchar_t* name, float& field) {
  field = value[name].asFloat();
}

template <class T>
void fieldsToJson(const T& member, JsonValue& value) {
  JsonValue object(JsonValue::objectValue);
  for (const auto& entry : Fields<T>::list)
    object[entry.name] = JsonValue(member.*entry.field);
  value.swap(object);
}
template <class T>
void fieldsToClass(const JsonValue& value, T& member) {
  member = T();
  if (detail::strictImport()) {
    // An object of the fields only, each of exactly its type (a missing one stays 0).
    if (!value.isObject()) detail::importExpected(L"an object", value);
    for (const auto& field : value.getMembers()) {
      const auto known = [&field](const auto& entry) { return field.first == entry.name; };
      if (std::none_of(std::begin(Fields<T>::list), std::end(Fields<T>::list), known)) {
        const detail::ImportStep step(field.first);
        detail::importFailed(String(L"unknown key"));
      }
    }
    for (const auto& entry : Fields<T>::list) {
      const JsonValue& field = value[entry.name];
      if (field.isNull()) continue;
      const detail::ImportStep step{String(entry.name)};
      using Field = std::remove_reference_t<decltype(member.*entry.field)>;
      member.*entry.field = readExactly<Field>(field);
    }
    return;
  }
  for (const auto& entry : Fields<T>::list)
    readField(value, entry.name, member.*entry.field);
}

}  // namespace

#define VEMO_CONVERT_FIELDS_(T)                                    \
  void convertPropertyToJson(const T& member, JsonValue& value) {  \
    fieldsToJson(member, value);                                   \
  }                                                                \
  void convertPropertyToClass(const JsonValue& value, T& member) { \
    fieldsToClass(value, member);                                  \
  }
VEMO_CONVERT_FIELDS_(Point_T<int>)
VEMO_CONVERT_FIELDS_(Point_T<float>)
VEMO_CONVERT_FIELDS_(Rect_T<int>)
VEMO_CONVERT_FIELDS_(Rect_T<float>)
VEMO_CONVERT_FIELDS_(Vector2)
VEMO_CONVERT_FIELDS_(Vector3)
VEMO_CONVERT_FIELDS_(Vector4)
VEMO_CONVERT_FIELDS_(Quaternion)
#undef VEMO_CONVERT_FIELDS_

// ---- the library's converters, registered when it loads ----------------------------------------

namespace {

const ValuePropertyConverters<bool> g_bool(L"bool");
const ValuePropertyConverters<float> g_float(L"float");
const ValuePropertyConverters<double> g_double(L"double");
const ValuePropertyConverters<char> g_char(L"char");
const ValuePropertyConverters<long> g_long(L"long");
const ValuePropertyConverters<unsigned long> g_ulong(L"ulong_t");
const ValuePropertyConverters<signed char> g_int8(L"int8_t");
const ValuePropertyConverters<unsigned char> g_uint8(L"uint8_t");
const ValuePropertyConverters<short> g_int16(L"int16_t");
const ValuePropertyConverters<unsigned short> g_uint16(L"uint16_t");
const ValuePropertyConverters<int> g_int32(L"int32_t");
const ValuePropertyConverters<unsigned int> g_uint32(L"uint32_t");
const ValuePropertyConverters<__int64> g_int64(L"int64_t");
const ValuePropertyConverters<Varint> g_varint(L"Varint");
const ValuePropertyConverters<Varint64> g_varint64(L"Varint64");
const ValuePropertyConverters<String> g_string(L"String");
const ValuePropertyConverters<Buffer> g_buffer(L"Buffer");
const ValuePropertyConverters<Time> g_time(L"Time");
const ValuePropertyConverters<TimeSpan> g_timeSpan(L"TimeSpan");
const ValuePropertyConverters<Uuid> g_uuid(L"Uuid");
const ValuePropertyConverters<uuid_node_t> g_uuidNode(L"uuid_node_t");
const ValuePropertyConverters<Point_T<int>> g_point(L"Point");
const ValuePropertyConverters<Point_T<float>> g_pointf(L"Pointf");
const ValuePropertyConverters<Rect_T<int>> g_rect(L"Rect");
const ValuePropertyConverters<Rect_T<float>> g_rectf(L"Rectf");
const ValuePropertyConverters<Vector2> g_vector2(L"Vector2");
const ValuePropertyConverters<Vector3> g_vector3(L"Vector3");
const ValuePropertyConverters<Vector4> g_vector4(L"Vector4");
const ValuePropertyConverters<Quaternion> g_quaternion(L"Quaternion");

}  // namespace

}  // namespace vemo
