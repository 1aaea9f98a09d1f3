/// \file
/// Property reflection: classes that describe their data members at run time, so that any
/// instance exports to a JsonValue and is rebuilt from one without hand-written serialisation.
///
/// A reflectable class derives from Property (directly or through another reflectable class)
/// and names its members once:
///
/// \code
/// // Player.h
/// class Player : public vemo::Property {
///   VEMO_DECLARE_PROPERTY(Player, vemo::Property)
///  public:
///   int score = 0;
///   vemo::String name;
///   std::vector<int> rounds;
///  protected:
///   Player() = default;
/// };
///
/// // Player.cpp: one line per member, its name and a description.
/// VEMO_IMPLEMENT_PROPERTY(Player,
///                         VEMO_PROPERTY(score, L"Points scored"),
///                         VEMO_PROPERTY(name, L"Display name"),
///                         VEMO_PROPERTY(rounds, L"Points per round"))
/// \endcode
///
/// The class is then registered like every Unknown class (VEMO_DECLARE_CLASS), has an attribute
/// per member, and its converters ("Player", "PlayerArray", "PlayerList") are registered when the
/// module loads, so Handle_T<Player> members and vectors and lists of them work too.
///
/// An export is a JSON object with the class name under "__class__" and one member per
/// attribute; importing reads the members it knows and leaves the others alone. A member whose
/// type has no converter makes export throw; on import the error is reported (Exception::report,
/// through Log::error) and the member skipped.
#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "vemo/core/Exception.h"
#include "vemo/core/Export.h"
#include "vemo/core/Json.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

/// In the body of a reflectable class X derived from Base (leaves the body in private access).
#define VEMO_DECLARE_PROPERTY(X, Base)                                       \
  VEMO_DECLARE_CLASS(X)                                                      \
                                                                             \
 public:                                                                     \
  static const ::vemo::String g_propertyType_;                               \
  static const ::vemo::PropertyAttributes& getPropertyAttributes_() {        \
    return g_propertyTable_.get(&Base::getPropertyAttributes_);              \
  }                                                                          \
  const ::vemo::PropertyAttributes& getPropertyAttributes() const override { \
    return getPropertyAttributes_();                                         \
  }                                                                          \
  const ::vemo::String& getPropertyType() const override {                   \
    return g_propertyType_;                                                  \
  }                                                                          \
  static bool registerProperty_();                                           \
                                                                             \
 private:                                                                    \
  static ::vemo::detail::PropertyTable g_propertyTable_;                     \
  static const bool g_registerProperty_;

/// One member of the class being implemented: its name is the member's, `description` is
/// free text.
#define VEMO_PROPERTY(member, description)                                            \
  ::vemo::makePropertyAttribute(&PropertyClass_::member, ::vemo::String(L## #member), \
                                ::vemo::String(description))

/// In one source file, in the namespace of the class, with one VEMO_PROPERTY per member (or
/// none: VEMO_IMPLEMENT_PROPERTY(X)). Registers the class, its attributes and its three
/// converters when the module loads.
#define VEMO_IMPLEMENT_PROPERTY(...) \
  VEMO_IMPLEMENT_PROPERTY_AS_(VEMO_PROPERTY_CLASS_(__VA_ARGS__, ~), __VA_ARGS__)
#define VEMO_PROPERTY_CLASS_(X, ...) X
/// The class's name is expanded here, before the macros that spell it.
#define VEMO_IMPLEMENT_PROPERTY_AS_(X, ...) VEMO_IMPLEMENT_PROPERTY_(X, __VA_ARGS__)
/// `...` is the whole list, the class's name first: within the function that name is a null
/// attribute, so the list reads as attributes whether or not members follow (and whether or not
/// they end with a comma).
#define VEMO_IMPLEMENT_PROPERTY_(X, ...)                                                       \
  VEMO_IMPLEMENT_CLASS(X)                                                                      \
  ::vemo::detail::PropertyTable X::g_propertyTable_;                                           \
  const ::vemo::String X::g_propertyType_(L## #X);                                             \
  bool X::registerProperty_() {                                                                \
    using PropertyClass_ [[maybe_unused]] = X;                                                 \
    const ::vemo::Unknown::Handle_T<::vemo::IPropertyAttribute> X;                             \
    const ::vemo::Unknown::Handle_T<::vemo::IPropertyAttribute> attributes_[] = {__VA_ARGS__}; \
    return ::vemo::detail::PropertyTable::registerAttributes(                                  \
        g_propertyTable_.attributes, attributes_ + 1,                                          \
        static_cast<int>(sizeof attributes_ / sizeof attributes_[0]) - 1);                     \
  }                                                                                            \
  const bool X::g_registerProperty_ = X::registerProperty_();                                  \
  VEMO_REGISTER_PROPERTY_CONVERTERS_(X)

namespace vemo {

class Property;

/// The pointee of type-erased member addresses.
struct Void {};

/// Converts one value type to JSON and back. Registered once per process in PropertyFactory
/// under its property type (e.g. "int32_t") and the run-time type name of the value type.
class VEMO_CORE_API IPropertyConverter : public virtual Unknown {
 public:
  /// The run-time type name of the value type it converts.
  const String& getRttiClassName() const { return _rttiClassName; }
  /// The name it is registered under, for example "int32_t", "int32_tArray" or a class name.
  const String& getPropertyType() const { return _propertyType; }
  /// True for a value converter, false for the converter of a Property class.
  bool isUnitProperty() const { return _unit; }

  /// Writes the member at `member` from the JSON value.
  virtual void setProperty(Void* member, const JsonValue& value) = 0;
  /// Writes the member's JSON form into `value`.
  virtual void getProperty(const Void* member, JsonValue& value) = 0;

 protected:
  /// A converter of the value type named `rttiClassName`, registered as `propertyType`; `unit`
  /// is true for a value converter.
  IPropertyConverter(const String& rttiClassName, const String& propertyType, bool unit)
      : _rttiClassName(rttiClassName), _propertyType(propertyType), _unit(unit) {}
  ///@{
  /// Copies the names and the kind.
  IPropertyConverter(const IPropertyConverter&) = default;
  IPropertyConverter& operator=(const IPropertyConverter&) = default;
  ///@}

 private:
  String _rttiClassName;
  String _propertyType;
  bool _unit;
};

/// Describes one data member of one class: its name, the run-time type name of its type (for a
/// Handle_T<T> member, of T), a description and how to reach it inside an object.
class VEMO_CORE_API IPropertyAttribute : public virtual Unknown {
 public:
  /// The run-time type name of the member's type (of T for a Handle_T<T> member).
  const String& getRttiClassName() const { return _rttiClassName; }
  /// The owning class's type name, "::" and the member name.
  const String& getPropertyRawName() const { return _rawName; }
  /// The member's name: its key in the JSON form.
  const String& getPropertyName() const { return _propertyName; }
  /// The free text given with VEMO_PROPERTY.
  const String& getDescription() const { return _description; }
  /// True for a value member, false for a handle to a Property object.
  bool isUnitProperty() const { return _unit; }
  /// The converter registered for the member's type, or null.
  IPropertyConverter* getPropertyConverter() const;
  /// That converter's property type, or the empty _nullString.
  const String& getPropertyType() const;

  /// Sets the member of `object` from `value` with `converter`.
  /// \throws Exception when the converter is missing or does not fit the member, or when the
  /// conversion fails.
  virtual void setProperty(Property* object, IPropertyConverter* converter,
                           const JsonValue& value) = 0;
  /// Writes the JSON form of the member of `object` into `value` with `converter`.
  /// \throws Exception when the converter is missing.
  virtual void getProperty(const Property* object, IPropertyConverter* converter,
                           JsonValue& value) = 0;

  static const String _nullString;  ///< The empty string getPropertyType() gives without converter.

 protected:
  /// An attribute of those names; `unit` is true for a value member.
  IPropertyAttribute(const String& rttiClassName, const String& rawName, const String& propertyName,
                     const String& description, bool unit)
      : _rttiClassName(rttiClassName),
        _rawName(rawName),
        _propertyName(propertyName),
        _description(description),
        _unit(unit) {}
  ///@{
  /// Copies the names and the kind.
  IPropertyAttribute(const IPropertyAttribute&) = default;
  IPropertyAttribute& operator=(const IPropertyAttribute&) = default;
  ///@}

 private:
  String _rttiClassName;
  String _rawName;
  String _propertyName;
  String _description;
  bool _unit;
};

/// A class's attributes by member name.
using PropertyAttributes = std::map<String, Unknown::Handle_T<IPropertyAttribute>, StringLess>;

/// Hands the member to the converter to be set: when the converter is missing or of the other
/// kind (value or object) than the attribute, throws Exception (after logging the mismatch).
VEMO_CORE_API void PropertyAttribute_set(IPropertyAttribute* attribute, Void* member,
                                         IPropertyConverter* converter, const JsonValue& value);
/// Hands the member to the converter to be read; throws Exception when the converter is missing.
VEMO_CORE_API void PropertyAttribute_get(IPropertyAttribute* attribute, const Void* member,
                                         IPropertyConverter* converter, JsonValue& value);
///@{
/// The same with the converter looked up by run-time type name; throws Exception when none is
/// registered for it.
VEMO_CORE_API void ProcessPropertyAttribute_set(IPropertyAttribute* attribute,
                                                const String& rttiClassName, Void* member,
                                                const JsonValue& value);
VEMO_CORE_API void ProcessPropertyAttribute_get(IPropertyAttribute* attribute,
                                                const String& rttiClassName, const Void* member,
                                                JsonValue& value);
///@}

namespace detail {

// How a member type is reached: values are handed to their converter as they are; a handle to
// a Property class goes through a Handle_T<Property>, the form every object converter reads and
// writes, so that the converter of whatever class the JSON names can fill it.
template <class Member, class = void>
struct PropertyMember {
  static constexpr bool kUnit = true;
  static String rttiClassName() { return typeName(typeid(Member)); }
  static void set(IPropertyAttribute* attribute, Member& member, IPropertyConverter* converter,
                  const JsonValue& value) {
    PropertyAttribute_set(attribute, reinterpret_cast<Void*>(&member), converter, value);
  }
  static void get(IPropertyAttribute* attribute, const Member& member,
                  IPropertyConverter* converter, JsonValue& value) {
    PropertyAttribute_get(attribute, reinterpret_cast<const Void*>(&member), converter, value);
  }
};

template <class T>
struct PropertyMember<Unknown::Handle_T<T>, std::enable_if_t<std::is_base_of<Property, T>::value>> {
  static constexpr bool kUnit = false;
  static String rttiClassName() { return typeName(typeid(T)); }
  // The member takes the new object only if it is a T (else it becomes null); the old object
  // is released.
  static void set(IPropertyAttribute* attribute, Unknown::Handle_T<T>& member,
                  IPropertyConverter* converter, const JsonValue& value) {
    Unknown::Handle_T<Property> made;
    PropertyAttribute_set(attribute, reinterpret_cast<Void*>(&made), converter, value);
    member = Unknown::Handle_T<T>::dynamicCast(made);
  }
  static void get(IPropertyAttribute* attribute, const Unknown::Handle_T<T>& member,
                  IPropertyConverter* converter, JsonValue& value) {
    const Unknown::Handle_T<Property> object(member);
    PropertyAttribute_get(attribute, reinterpret_cast<const Void*>(&object), converter, value);
  }
};

}  // namespace detail

/// The attribute of the member `Member Class::*` (usually made by VEMO_PROPERTY).
template <class Class, class Member>
class PropertyAttribute : public IPropertyAttribute {
  using Access = detail::PropertyMember<Member>;

 public:
  /// The attribute of `member`, under `name`, with a description.
  static Unknown::Handle_T<IPropertyAttribute> createInstance(Member Class::*member,
                                                              const String& name,
                                                              const String& description) {
    return Unknown::Handle_T<IPropertyAttribute>(new PropertyAttribute(member, name, description));
  }

  /// An object that is not a Class has no such member: nothing happens.
  void setProperty(Property* object, IPropertyConverter* converter,
                   const JsonValue& value) override {
    if (Class* self = dynamic_cast<Class*>(object))
      Access::set(this, self->*_member, converter, value);
  }
  void getProperty(const Property* object, IPropertyConverter* converter,
                   JsonValue& value) override {
    if (const Class* self = dynamic_cast<const Class*>(object))
      Access::get(this, self->*_member, converter, value);
  }

 protected:
  /// See createInstance.
  PropertyAttribute(Member Class::*member, const String& name, const String& description)
      : IPropertyAttribute(Access::rttiClassName(), detail::typeName(typeid(Class)) + L"::" + name,
                           name, description, Access::kUnit),
        _member(member) {}

 private:
  Member Class::*_member;
};

template <class T>
struct HasPropertyConverter;

namespace detail {

template <class T>
struct IsSequence : std::false_type {};
template <class T>
struct IsSequence<std::vector<T>> : std::true_type {};
template <class T>
struct IsSequence<std::list<T>> : std::true_type {};

template <class T, class = void>
struct HasConvertFunctions : std::false_type {};
template <class T>
struct HasConvertFunctions<
    T, std::void_t<
           decltype(convertPropertyToJson(std::declval<const T&>(), std::declval<JsonValue&>())),
           decltype(convertPropertyToClass(std::declval<const JsonValue&>(), std::declval<T&>()))>>
    : std::true_type {};

// The numbers with converters of the library.
template <class T>
constexpr bool isConvertedNumber() {
  return std::is_same<T, bool>::value || std::is_same<T, float>::value ||
         std::is_same<T, double>::value || std::is_same<T, char>::value ||
         std::is_same<T, signed char>::value || std::is_same<T, unsigned char>::value ||
         std::is_same<T, short>::value || std::is_same<T, unsigned short>::value ||
         std::is_same<T, int>::value || std::is_same<T, unsigned int>::value ||
         std::is_same<T, long>::value || std::is_same<T, unsigned long>::value ||
         std::is_same<T, long long>::value;
}

template <class T>
struct DefaultHasPropertyConverter
    : std::integral_constant<bool, std::is_arithmetic<T>::value
                                       ? isConvertedNumber<T>()
                                       : !std::is_enum<T>::value && !std::is_pointer<T>::value &&
                                             HasConvertFunctions<T>::value> {};
template <class T>
struct DefaultHasPropertyConverter<Unknown::Handle_T<T>> : std::is_base_of<Property, T> {};
// Only one level of vector or list: every converted type has an "Array" and a "List" form.
template <class T>
struct DefaultHasPropertyConverter<std::vector<T>>
    : std::integral_constant<bool, !IsSequence<T>::value && HasPropertyConverter<T>::value> {};
template <class T>
struct DefaultHasPropertyConverter<std::list<T>>
    : std::integral_constant<bool, !IsSequence<T>::value && HasPropertyConverter<T>::value> {};

}  // namespace detail

/// Whether a member of type T can be reflected: the library's numbers and value types, handles
/// to Property classes, and one vector or list of any of them; a type of one's own when a pair
/// convertPropertyToJson / convertPropertyToClass for exactly it is found by argument-dependent
/// lookup (its converter must then be set up with PropertyFactory before use). Specialize it
/// for a type that this cannot tell.
template <class T>
struct HasPropertyConverter : detail::DefaultHasPropertyConverter<T> {};

/// The attribute of a member, its type deduced from the member pointer. A member whose type
/// has no converter does not compile.
template <class Class, class Member>
Unknown::Handle_T<IPropertyAttribute> makePropertyAttribute(Member Class::*member,
                                                            const String& name,
                                                            const String& description) {
  static_assert(HasPropertyConverter<Member>::value,
                "VEMO_PROPERTY: the member's type has no property converter");
  return PropertyAttribute<Class, Member>::createInstance(member, name, description);
}

/// Operations on attribute tables.
struct VEMO_CORE_API PropertyAttributeHelper {
  /// Stores the attribute under its name, replacing any attribute of that name.
  static void registerPropertyAttribute(PropertyAttributes& table, IPropertyAttribute* attribute);
  /// Copies the base table's entries whose names the table does not hold yet.
  static void mergePropertyAttribute(PropertyAttributes& table, const PropertyAttributes& base);
};

/// The process-wide converter registry, by property type and by run-time type name.
struct VEMO_CORE_API PropertyFactory {
  /// False when the type or the run-time name is taken (logged unless it is the same converter).
  static bool setUpPropertyConverter(IPropertyConverter* converter);
  /// Withdraws the converter of that type (an unknown type changes nothing); it is destroyed
  /// once no conversion runs on it any more.
  static void tearDownPropertyConverter(const String& propertyType);
  /// The converter registered under that type, or null; no reference is handed out.
  static IPropertyConverter* getPropertyConverter(const String& propertyType);
  /// The converter registered for that run-time type name, or null.
  static IPropertyConverter* getPropertyConverterByRttiClassName(const String& rttiClassName);
};

namespace detail {

// A class's attribute table merged with its base's on first use (see VEMO_DECLARE_PROPERTY).
struct VEMO_CORE_API PropertyTable {
  PropertyAttributes attributes;
  Mutex lock;
  std::atomic<bool> merged{false};

  const PropertyAttributes& get(const PropertyAttributes& (*base)());
  // Registers a class's own attributes; true.
  static bool registerAttributes(PropertyAttributes& table,
                                 const Unknown::Handle_T<IPropertyAttribute>* attributes,
                                 int count);
};

// Sets up one converter when the module loads and tears it down when the module unloads (or the
// process exits), if the set-up succeeded.
class VEMO_CORE_API PropertyConverterRegistration {
 public:
  PropertyConverterRegistration(const Unknown::Handle_T<IPropertyConverter>& converter);
  ~PropertyConverterRegistration();
  PropertyConverterRegistration(const PropertyConverterRegistration&) = delete;
  PropertyConverterRegistration& operator=(const PropertyConverterRegistration&) = delete;

 private:
  String _propertyType;
  bool _registered;
};

}  // namespace detail

/// A member table for the binary form of plain structures: entries of a byte offset and the
/// functions that read and write the member there; the table ends with an offset of -1.
struct Mtbl {
  int offset;                                       ///< of the member in the object; -1 ends
  void (*read)(Void& stream, Void* member);         ///< reads the member from the stream
  void (*write)(Void& stream, const Void* member);  ///< writes the member to the stream
};
///@{
/// Reads or writes every member of the table in order; returns the stream.
VEMO_CORE_API Void& readMtbl(Void& stream, Void& object, const Mtbl* table);
VEMO_CORE_API Void& writeMtbl(Void& stream, const Void& object, const Mtbl* table);
///@}

/// The reserved member of an export that names the object's class: "__class__".
VEMO_CORE_API extern const String TEXT_class;

/// How an import treats a value that does not fit its member.
enum class PropertyImport {
  /// JsonValue's lenient conversions ("fast" as 0, 12.7 as 12, "yes" as false, 42 as "42"),
  /// unknown keys ignored.
  lenient,
  /// The first value of a wrong type or out of its member's range, and the first unknown key,
  /// throw Exception with the value's path and the reason, as JsonValue::get does:
  ///   Json value "server.port": expected int32, found the string "fast"
  strict
};

namespace detail {
// Whether an import with PropertyImport::strict runs on this thread (converters read exactly).
VEMO_CORE_API bool strictImport() noexcept;
// Throws the Exception of a strict import that failed here, with the path of the value.
[[noreturn]] VEMO_CORE_API void importFailed(const String& reason);
// The same for a value that is not `what` ("an array").
[[noreturn]] VEMO_CORE_API void importExpected(const wchar_t* what, const JsonValue& found);
// A key or an index on the way to the value being imported, while it lives (strict imports
// keep the path for their errors; lenient ones keep nothing).
class VEMO_CORE_API ImportStep {
 public:
  explicit ImportStep(const String& key);
  explicit ImportStep(int index);
  ~ImportStep();
  ImportStep(const ImportStep&) = delete;
  ImportStep& operator=(const ImportStep&) = delete;

 private:
  std::size_t _length;
  bool _kept;
};
}  // namespace detail

/// The base of every reflectable class. Property itself has no members.
class VEMO_CORE_API Property : public virtual Unknown {
  VEMO_DECLARE_CLASS(Property)

 public:
  static const String g_propertyType_;  ///< The property type: the class name.
  /// The attribute table of the class, without an object (Property's is empty).
  static const PropertyAttributes& getPropertyAttributes_();
  /// The class's attribute table (its own attributes and its base classes').
  virtual const PropertyAttributes& getPropertyAttributes() const;
  /// The class's property type name: its class name.
  virtual const String& getPropertyType() const;
  /// Registers the class's attributes; Property has none.
  static bool registerProperty_() { return true; }

  /// Reads the members of a JSON object that this class knows; unknown keys are ignored and
  /// members absent from the object keep their values. A member that cannot be converted is
  /// reported (Exception::report) and skipped; a member holding an object is left as it is,
  /// without a report, when its value does not name a class with "__class__". Anything but an
  /// object changes nothing. (Called within a strict import, as the converters of object members
  /// do, it is part of that one.)
  void importProperty(const JsonValue& in);
  /// The same with the rule of `mode`. A strict import checks the whole value before it changes
  /// anything: the first fault throws Exception (see PropertyImport) and leaves the object as it
  /// was. Members absent from the object keep their values in both.
  void importProperty(const JsonValue& in, PropertyImport mode);
  /// An object with "__class__" = the class name and one member per attribute. Throws when a
  /// member's type has no converter.
  void exportProperty(JsonValue& out) const;

 protected:
  Property() = default;

 private:
  friend struct PropertyHelper;
  // Imports one member: the import of an object with this member only.
  void importMember(const String& key, const JsonValue& value);
  // The members of an object, by the rule of the import running on this thread.
  void importMembers(const JsonValue& in);
  // A strict import into this object, which is new (no check on a copy first).
  void importNewStrictly(const JsonValue& in);
};

/// A holder for an object of any registered class: reading `{"obj": <export>}` into it builds the
/// object that the export's "__class__" names.
class VEMO_CORE_API PropertyDummy : public Property {
  VEMO_DECLARE_PROPERTY(PropertyDummy, Property)

 public:
  Unknown::Handle_T<Property> obj;  ///< The object read, or null.

 protected:
  PropertyDummy() = default;
};

}  // namespace vemo

// The converter family comes with the reflection classes.
#include "vemo/core/PropertyConverter.h"
