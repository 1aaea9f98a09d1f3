// Object model: class ids, the class registry, handles, shared pointers and class time stamps.
#include <gtest/gtest.h>

#include <type_traits>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#endif

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Log.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Unknown.h"

using vemo::String;
using vemo::Unknown;
using UnknownHandle = Unknown::Handle_T<Unknown>;
using Factory = Unknown::RtFactory;
using Line = std::wstring;
using Lines = std::vector<Line>;

namespace {

bool g_unwatched = false;
class Tracked : public virtual Unknown {  // tells its owner when it is destroyed
  VEMO_DECLARE_CLASS(Tracked)
 public:
  explicit Tracked(int value = 0, bool* destroyed = &g_unwatched)
      : value(value), destroyed(destroyed) {}
  ~Tracked() override { *destroyed = true; }
  int value;
  bool* destroyed;
};
VEMO_IMPLEMENT_CLASS(Tracked)

// Registrable classes with nothing of their own. PairAb and Pairaa both have the id 0xC84AB070
// (0x41 << 20 + 0x62 << 25 == 0x61 << 20 + 0x61 << 25): PairAb registers first.
#define PLAIN_CLASS(X, Base) \
  class X : public Base {    \
    VEMO_DECLARE_CLASS(X)    \
  };                         \
  VEMO_IMPLEMENT_CLASS(X)
PLAIN_CLASS(TrackedChild, Tracked)
PLAIN_CLASS(lowerFirst, virtual Unknown)
PLAIN_CLASS(PairAb, virtual Unknown)
PLAIN_CLASS(Pairaa, virtual Unknown)

const wchar_t* const kStamp = L"Fri May  7 18:34:45 2021";
struct Manual : virtual Unknown {  // a class whose identity the test chooses
  Manual(const wchar_t* name, unsigned int id = 0, const wchar_t* stamp = kStamp)
      : name(name), id(id ? id : ClassType::computeId(name)), stamp(stamp) {}
  const String& getClassName() const override { return name; }
  unsigned int getClassId() const override { return id; }
  const wchar_t* getClassTimestamp() const override { return stamp; }
  String name;
  unsigned int id;
  const wchar_t* stamp;
};
struct OtherManual : Manual {
  using Manual::Manual;
};

// Pairaa was refused while the program loaded (its id is PairAb's), before any log listener
// existed: the report is kept, and the first listener added gets it. This one is added while
// the program loads, after the registrations above (the same file initialises in order).
const std::wstring kPairaaRefused = L"RTTI: (Pairaa) setup error! ClassId(-934629264)";
const bool g_pairaaExpected =
    (vemo::tests::expectedSetupFailures().push_back(kPairaaRefused), true);

template <class Key>
Line make(Key key) {  // the class name of what the registry makes for a name or id, or "null"
  const UnknownHandle made = Factory::createClassInstance(key);
  return made ? made->getClassName().getBuffer() : L"null";
}

struct LogRecorder final : vemo::LogListener {  // records log lines while it lives
  LogRecorder() { vemo::Log::addListener(this); }
  ~LogRecorder() { vemo::Log::removeListener(this); }
  const wchar_t* getName() override { return L"recorder"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { lines.push_back(text); }
  void warning(const wchar_t* text) override { lines.push_back(L"(not an error) " + Line(text)); }
  void message(const wchar_t* text) override { warning(text); }
  void debug(const wchar_t* text) override { warning(text); }
  void whistle(bool) override {}
  Lines lines;
};

LogRecorder g_firstListener;

TEST(Registry, RefusalsWhileLoadingReachTheFirstListener) {
  std::vector<String> reports;
  Factory::getSetupFailures(reports);
  ASSERT_FALSE(reports.empty());  // later tests refuse more on purpose
  EXPECT_EQ(reports[0], String(kPairaaRefused.c_str()));
  EXPECT_EQ(g_firstListener.lines, Lines{kPairaaRefused});
  // A listener added later gets nothing of it.
  LogRecorder later;
  EXPECT_TRUE(later.lines.empty());
}

TEST(Registry, ClassIdsFollowTheRuleAndFindTheClasses) {
  // "Größe" is 47 72 C3 B6 C3 9F 65: 0x9F loses its top bit; the last sum is 2^33, wrapping to 0.
  const wchar_t* const names[] = {
      L"A",       L"abc",      L"Unknown",         L"Event",
      L"Message", L"ABCDEFGH", L"Gr\u00F6\u00DFe", L"WrapsToZero_zjptsB"};
  const unsigned int ids[] = {0x41u,       0x000198A1u, 0xF528BA83u, 0x0778A305u,
                              0xD44B5952u, 0x90731DC8u, 0x4A8E1AECu, 0xFFFFFFFFu};
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Unknown::ClassType(String(names[i])).getClassId(), ids[i]) << Line(names[i]);
  EXPECT_EQ(Unknown::ClassType(String()).getClassId(), 0xFFFFFFFFu);

  // The classes of this module registered when it loaded and are made by name or id.
  EXPECT_TRUE(Unknown::g_setUpCreator_ && TrackedChild::g_setUpCreator_ && PairAb::g_setUpCreator_);
  EXPECT_FALSE(Pairaa::g_setUpCreator_);  // its id was taken by PairAb
  LogRecorder log;
  for (const wchar_t* name : {L"Unknown", L"TrackedChild", L"PairAb"}) {
    EXPECT_EQ(make(name), name);
    EXPECT_EQ(make(Unknown::ClassType(String(name)).getClassId()), name);
  }
  EXPECT_EQ(Factory::createClassInstance(L"TrackedChild")->getReferenceCount(), 1u);
  // Unknown names and ids give null without a word; Pairaa is not known by name either.
  EXPECT_EQ(make(L"Pairaa") + make(L"NoSuchClass") + make(L"unknown") + make(0x12345678u),
            L"nullnullnullnull");
  EXPECT_TRUE(log.lines.empty());
  // A class type from an object makes a new object of the class; one from null has no class.
  Unknown::ClassType type = TrackedChild::createInstance()->getClassType();
  EXPECT_NE(dynamic_cast<TrackedChild*>(type.createInstance().get()), nullptr);
  type.setClass(nullptr);
  EXPECT_TRUE(type.getClassName().isEmpty() && type.getClassId() == 0u && !type.createInstance());
}

// The registry's version, by which caches of what it made are dropped: moved by a registration
// and by a withdrawal (a module unloading), not by look-ups, objects made or a refused
// registration.
TEST(Registry, ItsVersionMovesWithEveryChange) {
  const std::uint64_t start = vemo::detail::classRegistryVersion();
  EXPECT_EQ(make(L"Tracked"), L"Tracked");
  EXPECT_EQ(make(Unknown::ClassType(String(L"PairAb")).getClassId()), L"PairAb");
  EXPECT_EQ(make(L"NoSuchClass"), L"null");
  std::vector<String> names;
  Factory::getRtClassNames(names);
  EXPECT_EQ(vemo::detail::classRegistryVersion(), start);
  ASSERT_TRUE(Factory::setupCreator([] { return UnknownHandle(new Manual(L"Versioned")); }));
  const std::uint64_t registered = vemo::detail::classRegistryVersion();
  EXPECT_NE(registered, start);
  {
    LogRecorder log;  // the refusal's line
    EXPECT_FALSE(Factory::setupCreator([] { return UnknownHandle(new Manual(L"Versioned")); }));
  }
  EXPECT_EQ(vemo::detail::classRegistryVersion(), registered);
  Factory::unsetupCreator(L"Versioned");
  EXPECT_NE(vemo::detail::classRegistryVersion(), registered);
  EXPECT_NE(vemo::detail::classRegistryVersion(), start);
  EXPECT_EQ(make(L"Versioned"), L"null");
}

TEST(Registry, NamesAreListedInCodeUnitOrder) {
  ASSERT_TRUE(Factory::setupCreator([] { return UnknownHandle(new Manual(L"\u00C9clair")); }));
  std::vector<String> names{String(L"stale")};
  Factory::getRtClassNames(names);
  Factory::unsetupCreator(L"\u00C9clair");
  const Lines listed(names.begin(), names.end());  // wstring order: code units, case-sensitive
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << ::testing::PrintToString(listed);
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  // Upper case before lower case before U+00C9; the stale entry and Pairaa are gone.
  const Lines some{L"PairAb", L"Tracked", L"Unknown", L"lowerFirst", L"\u00C9clair"};
  EXPECT_TRUE(std::includes(listed.begin(), listed.end(), some.begin(), some.end()));
  for (const wchar_t* gone : {L"Pairaa", L"stale"})
    EXPECT_EQ(std::find(listed.begin(), listed.end(), gone), listed.end());
}

// Registered twice; with kind 1 (2) every other sample has another time stamp (C++ type).
int g_made = 0;
template <int kKind>
UnknownHandle makeTwice() {
  const bool odd = g_made++ % 2 == 1;
  if (kKind == 2 && odd) return new OtherManual(L"Twice");
  return new Manual(L"Twice", 0, kKind == 1 && odd ? L"Sat May  8 10:00:00 2021" : kStamp);
}

TEST(Registry, RefusedRegistrations) {
  const Unknown::Creator creators[] = {makeTwice<0>, makeTwice<1>, makeTwice<2>};
  for (int kind = 0; kind < 3; ++kind) {
    g_made = 0;
    ASSERT_TRUE(Factory::setupCreator(creators[kind]));  // the last round freed name and id
    LogRecorder log;
    testing::internal::CaptureStdout();  // not a terminal: no colour sequences
    EXPECT_FALSE(Factory::setupCreator(creators[kind]));
#if defined(_WIN32)
    // The notice goes to the console with WriteConsoleW, which does not write into a standard
    // output redirected to a file, as the capture does: nothing may arrive there either way.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
#else
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              kind == 1 ? "\nRTTI: (Twice) has been setup!" : "");
#endif
    EXPECT_EQ(make(L"Twice"), L"Twice");
    Factory::unsetupCreator(L"Twice");
    ASSERT_EQ(log.lines.size(), kind == 2 ? 1u : 0u) << ::testing::PrintToString(log.lines);
    // The new sample's type name (an OtherManual), then the registered one's (a Manual).
    const std::wregex collision(
        L"RTTI: \\(.*OtherManual\\) setup collision! has setup\\(.*[^r]Manual\\)");
    EXPECT_TRUE(kind != 2 || std::regex_match(log.lines[0], collision)) << log.lines[0];
  }

  // Collisions with other classes are refused with a log line and change nothing.
  const Unknown::Creator nameless = [] { return UnknownHandle(new Manual(L"")); };
  ASSERT_TRUE(Factory::setupCreator(nameless));
  LogRecorder log;
  // Taken ids under other names; the same class from another creator; a taken name only.
  EXPECT_FALSE(Factory::setupCreator([] { return UnknownHandle(Pairaa::createInstance()); }));
  EXPECT_FALSE(
      Factory::setupCreator([] { return UnknownHandle(new Manual(L"WrapsToZero_zjptsB")); }));
  EXPECT_FALSE(Factory::setupCreator([] { return UnknownHandle(Tracked::createInstance(7)); }));
  EXPECT_FALSE(
      Factory::setupCreator([] { return UnknownHandle(new Manual(L"Tracked", 0x12345678u)); }));
  EXPECT_EQ(log.lines, (Lines{L"RTTI: (Pairaa) setup error! ClassId(-934629264)",
                              L"RTTI: (WrapsToZero_zjptsB) setup error! ClassId(-1)",
                              L"RTTI: (Tracked) setup error!", L"RTTI: (Tracked) setup error!"}));
  EXPECT_EQ(make(L"Pairaa") + make(L"WrapsToZero_zjptsB") + make(0x12345678u), L"nullnullnull");
  EXPECT_EQ(make(0xC84AB070u), L"PairAb");
  EXPECT_EQ(make(0xFFFFFFFFu), L"");  // the empty name is found by all ones
  // The registered creator still answers (it makes value 0, the other one 7).
  auto made = Unknown::Handle_T<Tracked>::dynamicCast(Factory::createClassInstance(L"Tracked"));
  ASSERT_FALSE(made.isNull());
  EXPECT_EQ(made->value, 0);
  Factory::unsetupCreator(String());  // frees both tables
  EXPECT_EQ(make(0xFFFFFFFFu) + make(String()), L"nullnull");
  EXPECT_TRUE(Factory::setupCreator(nameless));
  Factory::unsetupCreator(String());
  Factory::unsetupCreator(String());  // nothing left to remove
}

// A listener that creates objects, on one thread, while another thread's registration of a
// colliding class logs: neither may wait for the other.
TEST(Registry, ListenersThatCreateClassesWhileAnotherThreadRegisters) {
  struct Creating final : vemo::tests::LogCapture {
    void error(const wchar_t*) override {
      created += !Factory::createClassInstance(L"Tracked").isNull();
    }
    int created = 0;
  } listener;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  vemo::tests::finishWithin(std::chrono::seconds(20), "registry and log", [&] {
    std::thread registering([until] {
      while (std::chrono::steady_clock::now() < until)
        EXPECT_FALSE(Factory::setupCreator([] { return UnknownHandle(new Manual(L"Tracked")); }));
    });
    while (std::chrono::steady_clock::now() < until)
      vemo::Log::error(L"from the test");
    registering.join();
  });
  EXPECT_GT(listener.created, 0);
}

// The short alias names a handle at namespace scope, outside any class of the library.
vemo::Handle<Unknown> g_namespaceScopeHandle;

TEST(Handle, CountsFollowTheHandlesNotTheCopiesOrMoves) {
  static_assert(std::is_same_v<vemo::Handle<Unknown>, Unknown::Handle_T<Unknown>>);
  EXPECT_TRUE(g_namespaceScopeHandle.isNull());
  bool destroyed = false, otherGone = false;
  Tracked* raw = new Tracked(1, &destroyed);
  EXPECT_EQ(raw->getReferenceCount(), 0u);
  {
    Unknown::Handle_T<Tracked> first(raw), second(first), third, fromRaw(raw);  // count inside
    third = second;
    UnknownHandle asBase = third;
    EXPECT_TRUE(Unknown::Handle_T<TrackedChild>::dynamicCast(asBase).isNull());
    EXPECT_EQ(raw->getReferenceCount(), 5u);
    second = third = fromRaw = nullptr;
    asBase = nullptr;
    Unknown::Handle_T<Tracked>& alias = first;
    first = alias;  // assigning a handle to itself
    first = raw;    // and its own raw pointer
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    Unknown::Handle_T<Tracked> other = Tracked::createInstance(2, &otherGone),
                               moved(std::move(first));
    other = std::move(moved);  // releases what it held
    EXPECT_TRUE(otherGone && first.isNull() && moved.isNull() && !destroyed);
    EXPECT_EQ(raw->getReferenceCount(), 1u);
  }
  EXPECT_TRUE(destroyed);

  // A copy of an object starts without references; assignment copies members, not the count.
  Unknown::Handle_T<Tracked> original = Tracked::createInstance(3), keep = original;
  Tracked copy(*original);
  EXPECT_TRUE(copy.getReferenceCount() == 0u && copy.value == 3);
  copy.value = 9;
  *original = copy;
  EXPECT_EQ(original->value, 9);
  EXPECT_EQ(original->getReferenceCount(), 2u);
  // Moves onto a handle of the same object, and onto itself.
  destroyed = false;
  {
    Unknown::Handle_T<Tracked> first = Tracked::createInstance(1, &destroyed), second = first;
    second = std::move(first);  // both held the object: one reference goes with the source
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(second->getReferenceCount(), 1u);
    Unknown::Handle_T<Tracked>& alias = second;
    second = std::move(alias);  // moving a handle onto itself keeps it
    ASSERT_FALSE(second.isNull());
    EXPECT_EQ(second->getReferenceCount(), 1u);
  }
  EXPECT_TRUE(destroyed);
}

// A reference passed through plain pointers (disown, a cast to the virtual base and back,
// adopt) is the one the object was made with: never counted twice, never dropped on the way.
TEST(Handle, AdoptAndDisownMoveOneReferenceWithoutCounting) {
  bool destroyed = false;
  {
    Unknown::Handle_T<Tracked> made = Tracked::createInstance(5, &destroyed);
    Tracked* const object = made.get();
    Tracked* const given = made.disown();
    EXPECT_EQ(given, object);
    EXPECT_TRUE(made.isNull());
    EXPECT_EQ(object->getReferenceCount(), 1u);  // still the one the object was made with
    EXPECT_FALSE(destroyed);
    made = nullptr;  // the disowned handle lets go of nothing
    EXPECT_FALSE(destroyed);

    // Through the virtual base (another address) and back.
    Unknown* const base = given;
    EXPECT_NE(static_cast<void*>(base), static_cast<void*>(given));
    UnknownHandle asBase = UnknownHandle::adopt(base);
    EXPECT_EQ(asBase.get(), base);
    EXPECT_EQ(object->getReferenceCount(), 1u);
    {
      UnknownHandle copy = asBase;
      EXPECT_EQ(object->getReferenceCount(), 2u);
    }
    EXPECT_EQ(object->getReferenceCount(), 1u);
    Unknown::Handle_T<Tracked> back =
        Unknown::Handle_T<Tracked>::adopt(dynamic_cast<Tracked*>(asBase.disown()));
    EXPECT_TRUE(asBase.isNull());
    ASSERT_EQ(back.get(), object);
    EXPECT_EQ(object->getReferenceCount(), 1u);
    EXPECT_EQ(back->value, 5);
    EXPECT_FALSE(destroyed);

    // Null both ways.
    EXPECT_TRUE(Unknown::Handle_T<Tracked>::adopt(nullptr).isNull());
    Unknown::Handle_T<Tracked> empty;
    EXPECT_EQ(empty.disown(), nullptr);
  }
  EXPECT_TRUE(destroyed);  // the last handle, an adopted one, destroyed it
}

TEST(SharedPtr, SharesAndDeletesOnce) {
  bool destroyed = false;
  {
    vemo::SharedPtr<Tracked> first(new Tracked(0, &destroyed)), empty(nullptr), second = first;
    EXPECT_TRUE(!empty && empty.useCount() == 0u);
    EXPECT_EQ(first.useCount(), 2u);
    second = empty;
    EXPECT_EQ(first.useCount(), 1u);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);

  // A moved-from SharedPtr is empty and does not point at the object it gave away.
  destroyed = false;
  vemo::SharedPtr<Tracked> source(new Tracked(4, &destroyed)), target;
  vemo::SharedPtr<Tracked> built(std::move(source));
  EXPECT_TRUE(!source && source.get() == nullptr && source.useCount() == 0u);
  target = std::move(built);
  EXPECT_TRUE(!built && built.get() == nullptr);
  vemo::SharedPtr<Tracked>& alias = target;
  target = std::move(alias);  // onto itself
  ASSERT_TRUE(target);
  EXPECT_TRUE(target->value == 4 && target.useCount() == 1u);
  target = vemo::SharedPtr<Tracked>();
  EXPECT_TRUE(destroyed && !target);
}

#if defined(_WIN32)
// The system's calendar (valid from 1601, unlike the run-time library's before 1970) for a
// compiler date ("Mmm dd yyyy") and time ("hh:mm:ss"), in the C library's "%a %b %e ..." form.
Line calendar(const std::string& date, const std::string& time) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  static const char kDays[] = "SunMonTueWedThuFriSat";
  char month[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf((date + " " + time).c_str(), "%3s %d %d %d:%d:%d", month, &day, &year, &hour,
                  &minute, &second) != 6)
    return L"unparsable";
  const char* at = std::strstr(kMonths, month);
  if (!at) return L"unparsable";
  SYSTEMTIME given{};
  given.wYear = static_cast<WORD>(year), given.wMonth = static_cast<WORD>((at - kMonths) / 3 + 1);
  given.wDay = static_cast<WORD>(day), given.wHour = static_cast<WORD>(hour);
  given.wMinute = static_cast<WORD>(minute), given.wSecond = static_cast<WORD>(second);
  FILETIME file;
  SYSTEMTIME t;
  if (!SystemTimeToFileTime(&given, &file) || !FileTimeToSystemTime(&file, &t)) return L"bad";
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s %2d %02d:%02d:%02d %d", kDays + 3 * t.wDayOfWeek,
                kMonths + 3 * (t.wMonth - 1), t.wDay, t.wHour, t.wMinute, t.wSecond, t.wYear);
  return Line(text, text + std::strlen(text));
}
#else
// The C library's text for a compiler date ("Mmm dd yyyy") and time ("hh:mm:ss").
Line calendar(const std::string& date, const std::string& time) {
  std::tm t{};
  if (!strptime((date + " " + time).c_str(), "%b %d %Y %H:%M:%S", &t)) return L"unparsable";
  const std::time_t when = timegm(&t);
  gmtime_r(&when, &t);
  char text[64];
  return Line(text, text + std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &t));
}
#endif

TEST(Timestamp, CompilerTextsWithTheCalendarsWeekday) {
  ASSERT_EQ(calendar("May  7 2021", "18:34:45"), kStamp);
  EXPECT_STREQ(Unknown::makeClassTimestamp("May  7 2021", "18:34:45"), kStamp);
  // Before 1970, in leap years, in 2000 (a leap year) and 2100 (not one).
  for (const char* date : {"Jul 20 1969", "Feb 29 2024", "Mar  1 2000", "Mar  1 2100"})
    EXPECT_EQ(Unknown::makeClassTimestamp(date, "08:05:01"), calendar(date, "08:05:01"));
  const Line library = Unknown::createInstance()->getClassTimestamp();  // the library's classes
  const std::string narrow(library.begin(), library.end());
  EXPECT_EQ(library, calendar(narrow.substr(4, 6) + narrow.substr(19), narrow.substr(11, 8)));
  EXPECT_STREQ(TrackedChild::createInstance()->getClassTimestamp(),  // this module's classes
               Unknown::makeClassTimestamp(__DATE__, __TIME__));
}

}  // namespace
