#include "vemo/core/Property.h"

#include <atomic>
#include <cstdint>
#include <thread>

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

void Property::importProperty(const JsonValue& in) {
  if (!in.isObject()) return;
  const ConversionScope inFlight;  // one for all the members
  for (const auto& member : in.getMembers())
    if (member.first != TEXT_class) importMember(member.first, member.second);
}

void Property::importMember(const String& key, const JsonValue& value) {
  String className;
  if (value.isObject()) {
    const JsonValue& named = value[TEXT_class];
    if (!named.isNull()) className = named.asString();
  }
  const PropertyAttributes& attributes = getPropertyAttributes();
  const auto found = attributes.find(key);
  if (found == attributes.end()) return;
  IPropertyAttribute* attribute = found->second.get();
  const ConversionScope inFlight;
  IPropertyConverter* converter = nullptr;
  if (!className.isEmpty()) {
    converter = PropertyFactory::getPropertyConverter(className);
  } else if (attribute->isUnitProperty()) {
    // The converter registered under the type name of the member's own converter: that one.
    converter = attribute->getPropertyConverter();
  } else {
    return;  // an object member needs its class named
  }
  try {
    attribute->setProperty(this, converter, value);
  } catch (const Exception& error) {
    error.report();
  }
}

VEMO_IMPLEMENT_PROPERTY(PropertyDummy, VEMO_PROPERTY(obj, L"Object"))

}  // namespace vemo
