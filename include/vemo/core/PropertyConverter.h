/// \file
/// The property converter family: how each member type turns into JSON and back.
///
/// A value type T has a pair of free functions, convertPropertyToJson(const T&, JsonValue&) and
/// convertPropertyToClass(const JsonValue&, T&); PropertyConverterUnit<T> wraps them as a
/// converter. Vectors and lists of such types convert as JSON arrays. PropertyConverter<T>
/// converts handles to objects of the Property class T through their export.
///
/// The library registers a triple for each of its value types ("int32_t", "int32_tArray",
/// "int32_tList" ...) and for Property and PropertyDummy; each reflectable class adds its own
/// (VEMO_IMPLEMENT_PROPERTY). Numbers, strings and composite values never fail: they take the
/// lenient conversions of JsonValue (warnings included); within a strict import they take only
/// a value of exactly their type (JsonValue::get's rule) and fail with its path otherwise.
/// Buffer, Time, Uuid and uuid_node_t require a string they can read and throw Exception
/// otherwise.
///
/// Included by Property.h.
#pragma once

#include <list>
#include <type_traits>
#include <vector>

#include "vemo/core/Buffer.h"
#include "vemo/core/Export.h"
#include "vemo/core/Geometry.h"
#include "vemo/core/Json.h"
#include "vemo/core/Property.h"
#include "vemo/core/PropertyHelper.h"
#include "vemo/core/String.h"
#include "vemo/core/Time.h"
#include "vemo/core/Uuid.h"
#include "vemo/core/Varint.h"

namespace vemo {

// ---- value types -------------------------------------------------------------------------------

#define VEMO_PROPERTY_VALUE_(T)                                                \
  VEMO_CORE_API void convertPropertyToJson(const T& member, JsonValue& value); \
  VEMO_CORE_API void convertPropertyToClass(const JsonValue& value, T& member);
VEMO_PROPERTY_VALUE_(bool)
VEMO_PROPERTY_VALUE_(float)
VEMO_PROPERTY_VALUE_(double)
VEMO_PROPERTY_VALUE_(char)
VEMO_PROPERTY_VALUE_(long)
VEMO_PROPERTY_VALUE_(unsigned long)
VEMO_PROPERTY_VALUE_(signed char)
VEMO_PROPERTY_VALUE_(unsigned char)
VEMO_PROPERTY_VALUE_(short)
VEMO_PROPERTY_VALUE_(unsigned short)
VEMO_PROPERTY_VALUE_(int)
VEMO_PROPERTY_VALUE_(unsigned int)
VEMO_PROPERTY_VALUE_(__int64)
VEMO_PROPERTY_VALUE_(Varint)
VEMO_PROPERTY_VALUE_(Varint64)
VEMO_PROPERTY_VALUE_(String)
VEMO_PROPERTY_VALUE_(Buffer)
VEMO_PROPERTY_VALUE_(Time)
VEMO_PROPERTY_VALUE_(TimeSpan)
VEMO_PROPERTY_VALUE_(Uuid)
VEMO_PROPERTY_VALUE_(uuid_node_t)
VEMO_PROPERTY_VALUE_(Point_T<int>)
VEMO_PROPERTY_VALUE_(Point_T<float>)
VEMO_PROPERTY_VALUE_(Rect_T<int>)
VEMO_PROPERTY_VALUE_(Rect_T<float>)
VEMO_PROPERTY_VALUE_(Vector2)
VEMO_PROPERTY_VALUE_(Vector3)
VEMO_PROPERTY_VALUE_(Vector4)
VEMO_PROPERTY_VALUE_(Quaternion)
#undef VEMO_PROPERTY_VALUE_

// ---- containers --------------------------------------------------------------------------------

/// Element i of the JSON array is the i-th element's JSON form.
template <class Container>
void convertContainerToJson(const Container& container, JsonValue& value) {
  JsonValue array(JsonValue::arrayValue);
  int index = 0;
  for (const typename Container::value_type& element : container) {
    JsonValue item;
    convertPropertyToJson(element, item);
    array[index++].swap(item);
  }
  value.swap(array);
}

/// The container is emptied, then gets one element per index 0 to size() - 1 of a JSON array
/// (a missing index converts from null); anything but an array leaves it empty (a strict import
/// fails on it).
template <class Container>
void convertContainerToClass(const JsonValue& value, Container& container) {
  container.clear();
  if (!value.isArray()) {
    if (detail::strictImport()) detail::importExpected(L"an array", value);
    return;
  }
  for (int i = 0; i < value.size(); ++i) {
    const detail::ImportStep step(i);
    typename Container::value_type element{};
    convertPropertyToClass(value[i], element);
    container.push_back(std::move(element));
  }
}

///@{
/// A vector or list as a JSON array, and back (convertContainerToJson, convertContainerToClass).
template <class T>
void convertPropertyToJson(const std::vector<T>& member, JsonValue& value) {
  convertContainerToJson(member, value);
}
template <class T>
void convertPropertyToClass(const JsonValue& value, std::vector<T>& member) {
  convertContainerToClass(value, member);
}
template <class T>
void convertPropertyToJson(const std::list<T>& member, JsonValue& value) {
  convertContainerToJson(member, value);
}
template <class T>
void convertPropertyToClass(const JsonValue& value, std::list<T>& member) {
  convertContainerToClass(value, member);
}
///@}

// ---- handles to Property objects
// -----------------------------------------------------------------

/// JSON null for a null handle, else the object's export.
template <class T, class = std::enable_if_t<std::is_base_of<Property, T>::value>>
void convertPropertyToJson(const Unknown::Handle_T<T>& member, JsonValue& value) {
  if (member)
    member->exportProperty(value);
  else
    JsonValue().swap(value);
}

/// The object that the value's "__class__" names, if it is a T; else null.
template <class T, class = std::enable_if_t<std::is_base_of<Property, T>::value>>
void convertPropertyToClass(const JsonValue& value, Unknown::Handle_T<T>& member) {
  member = Unknown::Handle_T<T>::dynamicCast(PropertyHelper::convertPropertyToClass(value));
}

// ---- the converters ----------------------------------------------------------------------------

/// The converter of a value type (or a vector or list of one).
template <class T>
class PropertyConverterUnit : public IPropertyConverter {
 public:
  /// A converter of T to be registered as `propertyType`.
  static Unknown::Handle_T<IPropertyConverter> createInstance(const String& propertyType) {
    return Unknown::Handle_T<IPropertyConverter>(new PropertyConverterUnit(propertyType));
  }
  void setProperty(Void* member, const JsonValue& value) override {
    convertPropertyToClass(value, *reinterpret_cast<T*>(member));
  }
  void getProperty(const Void* member, JsonValue& value) override {
    convertPropertyToJson(*reinterpret_cast<const T*>(member), value);
  }

 protected:
  /// See createInstance.
  explicit PropertyConverterUnit(const String& propertyType)
      : IPropertyConverter(detail::typeName(typeid(T)), propertyType, true) {}
};

/// The converter of the Property class T. It reads and writes a Handle_T<Property> at the
/// member address (the form in which attributes hand over handle members): JSON null resets the
/// handle; any other value replaces it by a new T filled with importProperty. Export writes the
/// object's export, or null for a null handle.
template <class T>
class PropertyConverter : public IPropertyConverter {
 public:
  /// A converter of T to be registered as `propertyType`.
  static Unknown::Handle_T<IPropertyConverter> createInstance(const String& propertyType) {
    return Unknown::Handle_T<IPropertyConverter>(new PropertyConverter(propertyType));
  }
  void setProperty(Void* member, const JsonValue& value) override {
    Unknown::Handle_T<Property>& handle = *reinterpret_cast<Unknown::Handle_T<Property>*>(member);
    if (value.isNull()) {
      handle = nullptr;
      return;
    }
    const Unknown::Handle_T<T> object = T::createInstance();
    handle = object.get();
    object->importProperty(value);
  }
  void getProperty(const Void* member, JsonValue& value) override {
    convertPropertyToJson(*reinterpret_cast<const Unknown::Handle_T<Property>*>(member), value);
  }

 protected:
  /// See createInstance.
  explicit PropertyConverter(const String& propertyType)
      : IPropertyConverter(detail::typeName(typeid(T)), propertyType, false) {}
};

/// The three registrations of one type: the type under its name, std::vector and std::list of
/// it under the name followed by "Array" and "List".
template <class Converter, class Element>
struct PropertyConverterTriple {
  /// Registers the three converters; each is withdrawn again when this object goes.
  explicit PropertyConverterTriple(const String& propertyType)
      : single(Converter::createInstance(propertyType)),
        array(PropertyConverterUnit<std::vector<Element>>::createInstance(propertyType + L"Array")),
        list(PropertyConverterUnit<std::list<Element>>::createInstance(propertyType + L"List")) {}

  ///@{
  /// The registrations of the type, of its vector and of its list.
  detail::PropertyConverterRegistration single, array, list;
  ///@}
};

/// The triple of a value type.
template <class T>
using ValuePropertyConverters = PropertyConverterTriple<PropertyConverterUnit<T>, T>;
/// The triple of the Property class T (handles to T).
template <class T>
using ObjectPropertyConverters =
    PropertyConverterTriple<PropertyConverter<T>, Unknown::Handle_T<T>>;

}  // namespace vemo

/// The converter triple of the reflectable class X (part of VEMO_IMPLEMENT_PROPERTY).
#define VEMO_REGISTER_PROPERTY_CONVERTERS_(X) \
  static const ::vemo::ObjectPropertyConverters<X> g_propertyConverters_##X##_(X::g_propertyType_);
