#include "vemo/core/Property.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "JsonInput.h"
#include "LazyGlobal.h"
#include "vemo/core/Log.h"

namespace vemo {

// ---- the converter registry ------------------------------------------------------------------

namespace {

// Both tables under one lock, made by the first set-up.
struct ConverterRegistry {
  Mutex lock;
  std::map<String, Unknown::Handle_T<IPropertyConverter>, StringLess> byType;
  std::map<String, Unknown::Handle_T<IPropertyConverter>, StringLess> byRttiClassName;
};

// Defined before the registrations of this file, so destroyed after their tear-down.
detail::LazyGlobal<ConverterRegistry> g_converters;

// Counts the changes of the registry (under its lock), so that converters found for attributes
// can be remembered until the next change.
std::atomic<unsigned> g_converterGeneration{0};

ConverterRegistry* converters() {
  return g_converters.get();
}

// Conversions in flight, counted by the parity of the epoch they started in. Tearing a
// converter down moves on to the next epoch and waits until the conversions of the previous one
// are over, so that none of them still runs on the converter (or keeps it in a thread's memory of
// recent answers) when it is destroyed.
// Only atomics, so that it outlives every tear-down at exit whatever the order of destruction.
struct ConversionEpochs {
  std::atomic<unsigned> current{0};
  std::atomic<int> inFlight[2] = {};
  std::atomic<bool> advancing{false};  // one tear-down waits at a time
};
ConversionEpochs g_epochs;
// This thread's conversions: only the outermost one counts in inFlight, for all it nests.
struct ThreadConversions {
  int depth = 0;
  unsigned epoch = 0;
};
thread_local ThreadConversions t_conversions;

// Marks a conversion (looking converters up and calling them) in flight while it lives.
class ConversionScope {
 public:
  ConversionScope() noexcept {
    if (t_conversions.depth++ > 0) return;
    // Counted in the epoch that is still current after the count: one that moved on meanwhile
    // may already have been waited for (and its converters destroyed), so count again.
    for (;;) {
      const unsigned epoch = g_epochs.current.load();
      g_epochs.inFlight[epoch & 1u].fetch_add(1);
      if (g_epochs.current.load() == epoch) {
        t_conversions.epoch = epoch & 1u;
        return;
      }
      g_epochs.inFlight[epoch & 1u].fetch_sub(1);
    }
  }
  ~ConversionScope() {
    if (--t_conversions.depth > 0) return;
    g_epochs.inFlight[t_conversions.epoch].fetch_sub(1);
  }
  ConversionScope(const ConversionScope&) = delete;
  ConversionScope& operator=(const ConversionScope&) = delete;
};

// Waits until every conversion that started before the call has ended (except this thread's own,
// when a converter is torn down from inside a conversion: it cannot end while it waits).
void waitForConversionsInFlight() {
  while (g_epochs.advancing.exchange(true))
    std::this_thread::yield();
  const unsigned previous = g_epochs.current.fetch_add(1) & 1u;
  const int own = t_conversions.depth > 0 && t_conversions.epoch == previous ? 1 : 0;
  while (g_epochs.inFlight[previous].load() > own)
    std::this_thread::yield();
  g_epochs.advancing.store(false);
}

IPropertyConverter* lookUp(
    const std::map<String, Unknown::Handle_T<IPropertyConverter>, StringLess>& table,
    const String& name) {
  const auto found = table.find(name);
  return found == table.end() ? nullptr : found->second.get();
}

}  // namespace

bool PropertyFactory::setUpPropertyConverter(IPropertyConverter* converter) {
  const Unknown::Handle_T<IPropertyConverter> held(converter);
  if (!converter) return false;
  ConverterRegistry* registry = g_converters.make();
  const String& type = converter->getPropertyType();
  const String& rttiClassName = converter->getRttiClassName();
  {
    MutexLock guard(registry->lock);
    IPropertyConverter* byType = lookUp(registry->byType, type);
    IPropertyConverter* byRtti = lookUp(registry->byRttiClassName, rttiClassName);
    if (!byType && !byRtti) {
      registry->byType.emplace(type, held);
      g_converterGeneration.fetch_add(1);
      registry->byRttiClassName.emplace(rttiClassName, held);
      return true;
    }
    // The same converter set up again is refused quietly; anything else is a collision.
    if (byType == converter && byRtti == converter) return false;
  }
  Log::error(L"Property: (%s) has been setup error! RTTI class name(%s)", type.getBuffer(),
             rttiClassName.getBuffer());
  return false;
}

void PropertyFactory::tearDownPropertyConverter(const String& propertyType) {
  ConverterRegistry* registry = converters();
  if (!registry) return;
  Unknown::Handle_T<IPropertyConverter> removed;
  {
    MutexLock guard(registry->lock);
    const auto found = registry->byType.find(propertyType);
    if (found == registry->byType.end()) return;
    removed = found->second;
    registry->byType.erase(found);
    const auto rtti = registry->byRttiClassName.find(removed->getRttiClassName());
    if (rtti != registry->byRttiClassName.end() && rtti->second == removed)
      registry->byRttiClassName.erase(rtti);
    g_converterGeneration.fetch_add(1);  // forget every remembered answer ...
  }
  waitForConversionsInFlight();  // ... and let those already given out be used up
}  // the registry's reference goes here, when no conversion can reach the converter any more

IPropertyConverter* PropertyFactory::getPropertyConverter(const String& propertyType) {
  ConverterRegistry* registry = converters();
  if (!registry) return nullptr;
  MutexLock guard(registry->lock);
  return lookUp(registry->byType, propertyType);
}

IPropertyConverter* PropertyFactory::getPropertyConverterByRttiClassName(
    const String& rttiClassName) {
  ConverterRegistry* registry = converters();
  if (!registry) return nullptr;
  MutexLock guard(registry->lock);
  return lookUp(registry->byRttiClassName, rttiClassName);
}

namespace detail {

PropertyConverterRegistration::PropertyConverterRegistration(
    const Unknown::Handle_T<IPropertyConverter>& converter)
    : _propertyType(converter ? converter->getPropertyType() : String()),
      _registered(PropertyFactory::setUpPropertyConverter(converter.get())) {}

PropertyConverterRegistration::~PropertyConverterRegistration() {
  if (_registered) PropertyFactory::tearDownPropertyConverter(_propertyType);
}

}  // namespace detail

// ---- attributes --------------------------------------------------------------------------------

const String IPropertyAttribute::_nullString;

IPropertyConverter* IPropertyAttribute::getPropertyConverter() const {
  // Export and import ask for the converter of every member of every object: each thread
  // remembers recent answers until the registry changes, instead of taking the lock and
  // comparing long type names each time. (An attribute goes away only with its module, whose
  // converters leave the registry with it.)
  struct Remembered {
    const IPropertyAttribute* attribute;
    IPropertyConverter* converter;
    unsigned generation;
  };
  thread_local Remembered remembered[64] = {};
  const unsigned generation = g_converterGeneration.load();
  Remembered& entry = remembered[(reinterpret_cast<std::uintptr_t>(this) / 64) % 64];
  if (entry.attribute == this && entry.generation == generation) return entry.converter;
  IPropertyConverter* converter =
      PropertyFactory::getPropertyConverterByRttiClassName(_rttiClassName);
  entry = Remembered{this, converter, generation};
  return converter;
}

const String& IPropertyAttribute::getPropertyType() const {
  const IPropertyConverter* converter = getPropertyConverter();
  return converter ? converter->getPropertyType() : _nullString;
}

namespace {

constexpr const wchar_t* kPropertyFile = L"src/Property";

// "<what>(%p, %p) @ %s %s" of a failed hand-over.
String failureText(const wchar_t* what, const void* member, const void* converter,
                   const IPropertyAttribute* attribute) {
  String text;
  text.format(L"%s(%p, %p) @ %s %s", what, member, converter,
              attribute->getRttiClassName().getBuffer(),
              attribute->getPropertyRawName().getBuffer());
  return text;
}

}  // namespace

namespace {

// Whether the converter may write the member: of the same kind, and for a value member the
// converter of its own type (another value converter would write a different type there).
bool fits(const IPropertyConverter* converter, const IPropertyAttribute* attribute) {
  if (converter->isUnitProperty() != attribute->isUnitProperty()) return false;
  return !attribute->isUnitProperty() ||
         converter->getRttiClassName() == attribute->getRttiClassName();
}

}  // namespace

void PropertyAttribute_set(IPropertyAttribute* attribute, Void* member,
                           IPropertyConverter* converter, const JsonValue& value) {
  if (converter && fits(converter, attribute)) {
    converter->setProperty(member, value);
    return;
  }
  if (converter)
    Log::error(L"Error attribute implement. %s %s", attribute->getRttiClassName().getBuffer(),
               attribute->getPropertyRawName().getBuffer());
  VEMO_THROW_AT(kPropertyFile, 68,
                failureText(L"void PropertyAttribute::set", member, converter, attribute));
}

void PropertyAttribute_get(IPropertyAttribute* attribute, const Void* member,
                           IPropertyConverter* converter, JsonValue& value) {
  if (converter) {
    converter->getProperty(member, value);
    return;
  }
  VEMO_THROW_AT(kPropertyFile, 79,
                failureText(L"void PropertyAttribute::get", member, nullptr, attribute));
}

void ProcessPropertyAttribute_set(IPropertyAttribute* attribute, const String& rttiClassName,
                                  Void* member, const JsonValue& value) {
  const ConversionScope inFlight;
  if (IPropertyConverter* converter =
          PropertyFactory::getPropertyConverterByRttiClassName(rttiClassName)) {
    converter->setProperty(member, value);
    return;
  }
  VEMO_THROW_AT(kPropertyFile, 100,
                failureText(L"void ProcessPropertyAttribute::set", member, nullptr, attribute));
}

void ProcessPropertyAttribute_get(IPropertyAttribute* attribute, const String& rttiClassName,
                                  const Void* member, JsonValue& value) {
  const ConversionScope inFlight;
  if (IPropertyConverter* converter =
          PropertyFactory::getPropertyConverterByRttiClassName(rttiClassName)) {
    converter->getProperty(member, value);
    return;
  }
  VEMO_THROW_AT(kPropertyFile, 116,
                failureText(L"void ProcessPropertyAttribute::get", member, nullptr, attribute));
}

void PropertyAttributeHelper::registerPropertyAttribute(PropertyAttributes& table,
                                                        IPropertyAttribute* attribute) {
  const Unknown::Handle_T<IPropertyAttribute> held(attribute);
  if (attribute) table[attribute->getPropertyName()] = held;
}

void PropertyAttributeHelper::mergePropertyAttribute(PropertyAttributes& table,
                                                     const PropertyAttributes& base) {
  for (const auto& entry : base)
    table.emplace(entry.first, entry.second);
}

namespace detail {

const PropertyAttributes& PropertyTable::get(const PropertyAttributes& (*base)()) {
  if (!merged.load(std::memory_order_acquire)) {
    MutexLock guard(lock);
    if (!merged.load(std::memory_order_relaxed)) {
      PropertyAttributeHelper::mergePropertyAttribute(attributes, base());
      merged.store(true, std::memory_order_release);
    }
  }
  return attributes;
}

bool PropertyTable::registerAttributes(PropertyAttributes& table,
                                       const Unknown::Handle_T<IPropertyAttribute>* list,
                                       int count) {
  for (int i = 0; i < count; ++i)
    PropertyAttributeHelper::registerPropertyAttribute(table, list[i].get());
  return true;
}

}  // namespace detail

Void& readMtbl(Void& stream, Void& object, const Mtbl* table) {
  for (; table && table->offset != -1; ++table)
    table->read(stream, reinterpret_cast<Void*>(reinterpret_cast<char*>(&object) + table->offset));
  return stream;
}

Void& writeMtbl(Void& stream, const Void& object, const Mtbl* table) {
  for (; table && table->offset != -1; ++table)
    table->write(stream, reinterpret_cast<const Void*>(reinterpret_cast<const char*>(&object) +
                                                       table->offset));
  return stream;
}

// ---- Property ----------------------------------------------------------------------------------

const String TEXT_class(L"__class__");

VEMO_IMPLEMENT_CLASS(Property)
static detail::PropertyTable g_propertyTable;
const String Property::g_propertyType_(L"Property");
static const bool g_propertyRegistered = Property::registerProperty_();
static const ObjectPropertyConverters<Property> g_propertyConverters(Property::g_propertyType_);

const PropertyAttributes& Property::getPropertyAttributes_() {
  return g_propertyTable.attributes;
}
const PropertyAttributes& Property::getPropertyAttributes() const {
  return getPropertyAttributes_();
}
const String& Property::getPropertyType() const {
  return g_propertyType_;
}

void Property::exportProperty(JsonValue& out) const {
  const ConversionScope inFlight;
  JsonValue object(JsonValue::objectValue);
  object[TEXT_class] = JsonValue(getClassName());
  for (const auto& entry : getPropertyAttributes()) {
    IPropertyAttribute* attribute = entry.second.get();
    JsonValue value;
    attribute->getProperty(this, attribute->getPropertyConverter(), value);
    object[attribute->getPropertyName()].swap(value);
  }
  out.swap(object);
}

// ---- strict imports ----------------------------------------------------------------------------

namespace {

// This thread's strict imports: how deep they nest, and the path of the value being imported.
struct StrictImports {
  int depth = 0;
  bool failed = false;  // the fault of an import is on its way out
  std::wstring path;
};
thread_local StrictImports t_strict;

// A strict import on this thread while it lives.
class StrictScope {
 public:
  StrictScope() {
    if (t_strict.depth++ == 0) {
      t_strict.path.clear();
      t_strict.failed = false;
    }
  }
  ~StrictScope() { --t_strict.depth; }
  StrictScope(const StrictScope&) = delete;
  StrictScope& operator=(const StrictScope&) = delete;
};

}  // namespace

bool detail::strictImport() noexcept {
  return t_strict.depth > 0;
}

void detail::importFailed(const String& reason) {
  t_strict.failed = true;
  const String text = String(L"Json value \"") +
                      String(t_strict.path.data(), static_cast<int>(t_strict.path.size())) +
                      L"\": " + reason;
  VEMO_THROW_AT(L"vemo/core/Property", __LINE__, text.getBuffer());
}

void detail::importExpected(const wchar_t* what, const JsonValue& found) {
  importFailed(String(L"expected ") + what + L", found " + describe(found));
}

detail::ImportStep::ImportStep(const String& key)
    : _length(t_strict.path.size()), _kept(t_strict.depth > 0) {
  if (!_kept) return;
  if (_length > 0) t_strict.path += L'.';
  t_strict.path.append(key.getBuffer(), static_cast<std::size_t>(key.getLength()));
}

detail::ImportStep::ImportStep(int index)
    : _length(t_strict.path.size()), _kept(t_strict.depth > 0) {
  if (!_kept) return;
  t_strict.path += L'[';
  t_strict.path += std::to_wstring(index);
  t_strict.path += L']';
}

detail::ImportStep::~ImportStep() {
  if (_kept) t_strict.path.resize(_length);
}

// ---- import ------------------------------------------------------------------------------------

void Property::importProperty(const JsonValue& in) {
  importMembers(in);
}

void Property::importProperty(const JsonValue& in, PropertyImport mode) {
  if (mode == PropertyImport::lenient || detail::strictImport()) {
    importMembers(in);
    return;
  }
  // Everything is checked on a new object of this class first, so that a fault leaves this one
  // as it was; then the same conversions, which now all fit, fill this one.
  const Unknown::Handle_T<Unknown> made = rtCreateInstance();
  Property* scratch = dynamic_cast<Property*>(made.get());
  if (!scratch) {
    importNewStrictly(in);
    return;
  }
  scratch->importNewStrictly(in);
  importMembers(in);
}

void Property::importNewStrictly(const JsonValue& in) {
  const StrictScope strict;
  importMembers(in);
}

void Property::importMembers(const JsonValue& in) {
  const bool strict = detail::strictImport();
  if (!in.isObject()) {
    if (strict) detail::importExpected(L"an object", in);
    return;
  }
  const ConversionScope inFlight;  // one for all the members
  if (strict) {
    const JsonValue& named = in[TEXT_class];
    if (!named.isNull() && !(named.isString() && named.asString() == getClassName())) {
      const detail::ImportStep step(TEXT_class);
      detail::importFailed(String(L"expected the class \"") + getClassName() + L"\", found " +
                           detail::describe(named));
    }
  }
  for (const auto& member : in.getMembers()) {
    if (member.first == TEXT_class) continue;
    const detail::ImportStep step(member.first);
    importMember(member.first, member.second);
  }
}

void Property::importMember(const String& key, const JsonValue& value) {
  const bool strict = detail::strictImport();
  String className;
  if (value.isObject()) {
    const JsonValue& named = value[TEXT_class];
    if (!named.isNull()) className = named.asString();
  }
  const PropertyAttributes& attributes = getPropertyAttributes();
  const auto found = attributes.find(key);
  if (found == attributes.end()) {
    if (strict) detail::importFailed(String(L"unknown key of the class ") + getClassName());
    return;
  }
  IPropertyAttribute* attribute = found->second.get();
  const ConversionScope inFlight;
  IPropertyConverter* converter = nullptr;
  if (!className.isEmpty()) {
    converter = PropertyFactory::getPropertyConverter(className);
    if (!converter && strict)
      detail::importFailed(String(L"no class \"") + className + L"\" is registered");
  } else if (attribute->isUnitProperty()) {
    // The converter registered under the type name of the member's own converter: that one.
    converter = attribute->getPropertyConverter();
  } else {
    // An object member needs its class named (null leaves it as it is).
    if (strict && !value.isNull()) detail::importExpected(L"an object with \"__class__\"", value);
    return;
  }
  try {
    attribute->setProperty(this, converter, value);
  } catch (const Exception& error) {
    if (!strict) {
      error.report();
    } else if (t_strict.failed) {
      throw;  // a fault further in, with its path
    } else {
      const String type = converter ? converter->getPropertyType() : attribute->getRttiClassName();
      detail::importFailed(String(L"expected ") + type + L", found " + detail::describe(value));
    }
  }
}

VEMO_IMPLEMENT_PROPERTY(PropertyDummy, VEMO_PROPERTY(obj, L"Object"))

}  // namespace vemo
