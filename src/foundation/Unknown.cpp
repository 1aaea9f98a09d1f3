#include "vemo/core/Unknown.h"

#include "LazyGlobal.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <typeinfo>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

#include "Log.h"
#include "vemo/core/Console.h"
#include "vemo/core/Log.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

using detail::LazyGlobal;

// The registry: both tables under one lock. It is made by the first registration and freed
// when the library unloads; afterwards every registry call finds nothing.
struct Registry {
  Mutex lock;
  std::map<String, Unknown::Creator, StringLess> byName;
  std::map<unsigned int, Unknown::Creator> byId;
  std::vector<String> failures;  // the report of every refused registration, in order
};

// Defined before the load-time registrations of this file so that it is destroyed after them.
LazyGlobal<Registry> g_registry;

// Bumped by every change of the registry, under its lock: a thread's cache of creators found by
// class id holds while the registry has not changed since it was filled. Messages are recreated
// by class id on every pop, often on several threads at once: the lock stays out of that path.
std::atomic<std::uint64_t> g_registryVersion{1};

struct CachedCreator {
  std::uint64_t version = 0;
  unsigned int id = 0;
  Unknown::Creator creator = nullptr;
};
constexpr unsigned int kCachedCreators = 8;
thread_local CachedCreator t_creators[kCachedCreators];

Registry* registry() {
  return g_registry.get();
}

String runtimeTypeName(const Unknown& object) {
  return detail::typeName(typeid(object));
}

// The second registration of a class that is already registered with the same creator.
void reportRepeatedSetup(Unknown::Creator creator, const Unknown& sample) {
  Unknown::Handle_T<Unknown> registered = creator();
  if (!registered) return;
  const String newType = runtimeTypeName(sample), oldType = runtimeTypeName(*registered);
  if (newType != oldType) {
    Log::error(L"RTTI: (%s) setup collision! has setup(%s)", newType.getBuffer(),
               oldType.getBuffer());
  } else if (std::wcscmp(sample.getClassTimestamp(), registered->getClassTimestamp()) != 0) {
    Console::setTextAttribute(14);
    Console::output(L"\nRTTI: (%s) has been setup!", sample.getClassName().getBuffer());
    Console::setTextAttribute(7);
  }
}

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Day of the week (0 = Sunday) of a Gregorian date.
int weekday(int year, int month, int day) {
  static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  return (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
}

}  // namespace

// ---- Unknown -------------------------------------------------------------------------------

const String Unknown::g_className_(L"Unknown");
const unsigned int Unknown::g_classId_ = Unknown::ClassType::computeId(Unknown::g_className_);
const bool Unknown::g_setUpCreator_ = Unknown::RtFactory::setupCreator(&Unknown::rtCreateInstance_);
static const Unknown::Unregistration g_unregistrationUnknown(Unknown::g_className_,
                                                             Unknown::g_setUpCreator_);

Unknown::~Unknown() = default;

const wchar_t* Unknown::getClassTimestamp() const {
  static const wchar_t* const stamp = makeClassTimestamp(__DATE__, __TIME__);
  return stamp;
}

const String& Unknown::getClassName() const {
  return g_className_;
}
unsigned int Unknown::getClassId() const {
  return g_classId_;
}
Unknown::Handle_T<Unknown> Unknown::rtCreateInstance() const {
  return rtCreateInstance_();
}
Unknown::Handle_T<Unknown> Unknown::rtCreateInstance_() {
  return Handle_T<Unknown>(new Unknown());
}
Unknown::Handle_T<Unknown> Unknown::createInstance() {
  return Handle_T<Unknown>(new Unknown());
}
Unknown::Handle_T<Unknown> Unknown::clone() const {
  Handle_T<Unknown> copy = rtCreateInstance();
  const Unknown* made = copy.get();
  if (!made || typeid(*made) != typeid(*this)) {
    Log::error(L"Call rtCreateInstance(%s) error! typeid(%s)", getClassName().getBuffer(),
               detail::typeName(typeid(*this)).getBuffer());
    return Handle_T<Unknown>();
  }
  Handle_T<MemoryStream> bytes = MemoryStream::createInstance();
  OutputStream output(bytes.get());
  exportTo(output);
  InputStream input(bytes.get());
  copy->importFrom(input);
  return copy;
}

void Unknown::importFrom(InputStream&) {}
void Unknown::exportTo(OutputStream&) const {}

const wchar_t* Unknown::makeClassTimestamp(const char* date, const char* time) {
  // date is "Mmm dd yyyy" (day padded with a blank), time "hh:mm:ss".
  char month[4] = {0};
  int day = 1, year = 1970;
  std::sscanf(date ? date : "", "%3s %d %d", month, &day, &year);
  int monthNumber = 1;
  for (int i = 0; i < 12; ++i)
    if (std::strcmp(kMonths[i], month) == 0) monthNumber = i + 1;
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %2d %.8s %d", kWeekdays[weekday(year, monthNumber, day)],
                kMonths[monthNumber - 1], day, time ? time : "00:00:00", year);

  // Texts are kept for the whole process (never freed: classes hand them out until the end).
  static std::mutex lock;
  static auto* texts = new std::set<std::wstring>;
  std::lock_guard<std::mutex> guard(lock);
  return texts->insert(std::wstring(text, text + std::strlen(text))).first->c_str();
}

// ---- ClassType -----------------------------------------------------------------------------

void Unknown::ClassType::setClass(const Unknown* object) {
  if (object) {
    _name = object->getClassName();
    _id = object->getClassId();
  } else {
    _name = String();
    _id = 0;
  }
}

Unknown::Handle_T<Unknown> Unknown::ClassType::createInstance() const {
  return RtFactory::createClassInstance(_name);
}

unsigned int Unknown::ClassType::computeId(const String& name) {
  const String_T<char> utf8 = StringHelper::wideToUtf8(name);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(utf8.getBuffer());
  std::uint32_t sum = 0;
  for (int i = 0, n = utf8.getBufferLength() - 1; i < n; ++i)
    sum += static_cast<std::uint32_t>(bytes[i]) << (5 * (i % 6));
  return sum ? sum : 0xFFFFFFFFu;
}

// ---- RtFactory -----------------------------------------------------------------------------

bool Unknown::RtFactory::setupCreator(Creator creator) {
  Registry* storage = g_registry.make();
  if (!creator) return false;
  // The sample is made, and every report written, outside the lock: a creator or a log listener
  // may use the registry itself.
  const Handle_T<Unknown> sample = creator();
  if (!sample) return false;
  const String name = sample->getClassName();
  const unsigned int id = sample->getClassId();
  enum class Outcome { kRegistered, kIdTaken, kNameTaken, kRepeated } outcome;
  {
    MutexLock guard(storage->lock);
    const auto byName = storage->byName.find(name);
    const auto byId = storage->byId.find(id);
    const bool nameTaken = byName != storage->byName.end();
    const bool idTaken = byId != storage->byId.end();
    if (!nameTaken && !idTaken) {
      storage->byName.emplace(name, creator);
      storage->byId.emplace(id, creator);
      g_registryVersion.fetch_add(1, std::memory_order_release);
      outcome = Outcome::kRegistered;
    } else if (!nameTaken) {
      outcome = Outcome::kIdTaken;  // two names that hash to one id
    } else if (!idTaken || byName->second != creator || byId->second != creator) {
      outcome = Outcome::kNameTaken;
    } else {
      outcome = Outcome::kRepeated;
    }
  }
  String failure;
  switch (outcome) {
    case Outcome::kRegistered:
      return true;
    case Outcome::kIdTaken:
      failure.format(L"RTTI: (%s) setup error! ClassId(%d)", name.getBuffer(),
                     static_cast<int>(id));
      break;
    case Outcome::kNameTaken:
      failure.format(L"RTTI: (%s) setup error!", name.getBuffer());
      break;
    case Outcome::kRepeated:
      reportRepeatedSetup(creator, *sample);
      return false;
  }
  {
    MutexLock guard(storage->lock);
    storage->failures.push_back(failure);
  }
  // Most registrations run while the library loads, before any listener exists: the first
  // listener added still learns of them.
  detail::errorForFirstListener(failure);
  return false;
}

void Unknown::RtFactory::unsetupCreator(const String& name) {
  Registry* storage = registry();
  if (!storage) return;
  MutexLock guard(storage->lock);
  storage->byName.erase(name);
  storage->byId.erase(ClassType::computeId(name));
  g_registryVersion.fetch_add(1, std::memory_order_release);
}

Unknown::Handle_T<Unknown> Unknown::RtFactory::createClassInstance(const String& name) {
  Registry* storage = registry();
  if (!storage) return Handle_T<Unknown>();
  Creator creator = nullptr;
  {
    MutexLock guard(storage->lock);
    const auto found = storage->byName.find(name);
    if (found != storage->byName.end()) creator = found->second;
  }
  return creator ? creator() : Handle_T<Unknown>();
}

Unknown::Handle_T<Unknown> Unknown::RtFactory::createClassInstance(unsigned int id) {
  Registry* storage = registry();
  if (!storage) return Handle_T<Unknown>();
  // The version is read before the lookup: a change made meanwhile leaves the entry stale, and
  // the next call looks again.
  const std::uint64_t version = g_registryVersion.load(std::memory_order_acquire);
  CachedCreator& cached = t_creators[id % kCachedCreators];
  if (cached.version != version || cached.id != id) {
    Creator creator = nullptr;
    {
      MutexLock guard(storage->lock);
      const auto found = storage->byId.find(id);
      if (found != storage->byId.end()) creator = found->second;
    }
    cached = CachedCreator{version, id, creator};
  }
  return cached.creator ? cached.creator() : Handle_T<Unknown>();
}

void Unknown::RtFactory::getSetupFailures(std::vector<String>& reports) {
  reports.clear();
  Registry* storage = registry();
  if (!storage) return;
  MutexLock guard(storage->lock);
  reports = storage->failures;
}

void Unknown::RtFactory::getRtClassNames(std::vector<String>& names) {
  names.clear();
  Registry* storage = registry();
  if (!storage) return;
  MutexLock guard(storage->lock);
  names.reserve(storage->byName.size());
  for (const auto& entry : storage->byName)
    names.push_back(entry.first);
}

std::uint64_t detail::classRegistryVersion() noexcept {
  return g_registryVersion.load(std::memory_order_acquire);
}

String detail::typeName(const std::type_info& type) {
  const char* name = type.name();
#if __has_include(<cxxabi.h>)
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (readable) {
    String wide = StringHelper::utf8ToWide(readable);
    std::free(readable);
    return wide;
  }
#endif
  return StringHelper::utf8ToWide(name);
}

Unknown::Unregistration::~Unregistration() {
  if (_registered) RtFactory::unsetupCreator(_name);
}

}  // namespace vemo
