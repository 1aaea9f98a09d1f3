// Object model: class ids, the class registry, handles, shared pointers and class time stamps.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Unknown.h"

using vemo::String;
using vemo::Unknown;
using Handle = Unknown::Handle_T<Unknown>;
using Factory = Unknown::RtFactory;
using Line = std::wstring;
using Lines = std::vector<Line>;

namespace {

// Tells its owner when it is destroyed.
bool g_unwatched = false;
class Tracked : public virtual Unknown {
  VEMO_DECLARE_CLASS(Tracked)
 public:
  explicit Tracked(int value = 0, bool* destroyed = &g_unwatched)
      : value(value), destroyed(destroyed) {}
  ~Tracked() override { *destroyed = true; }
  int value;
  bool* destroyed;
};
VEMO_IMPLEMENT_CLASS(Tracked)

// A registrable class with nothing of its own, registered when this module loads.
#define PLAIN_CLASS(X, Base) \
  class X : public Base {    \
    VEMO_DECLARE_CLASS(X)    \
  };                         \
  VEMO_IMPLEMENT_CLASS(X)
PLAIN_CLASS(TrackedChild, Tracked)
PLAIN_CLASS(lowerFirst, virtual Unknown)  // sorts after every upper-case name
// Both have id 0xC84AB070 (0x41 << 20 + 0x62 << 25 == 0x61 << 20 + 0x61 << 25); PairAb is first.
PLAIN_CLASS(PairAb, virtual Unknown)
PLAIN_CLASS(Pairaa, virtual Unknown)

// A class whose identity is chosen by the test, for registrations made by hand.
const wchar_t* const kStamp = L"Fri May  7 18:34:45 2021";
struct Manual : virtual Unknown {
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

// Records log lines while it lives; only errors are expected, the rest is marked.
struct LogRecorder final : vemo::LogListener {
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

TEST(ClassId, FollowsTheRuleOverUtf8Bytes) {
  // 8 bytes wrap the shift cycle; "Größe" is 47 72 C3 B6 C3 9F 65, its 0x9F loses its top bit in
  // the shift by 25; the last name sums to exactly 2^33, which wraps to 0.
  const wchar_t* const names[] = {
      L"A",       L"abc",      L"Unknown",         L"Event",
      L"Message", L"ABCDEFGH", L"Gr\u00F6\u00DFe", L"WrapsToZero_zjptsB"};
  const unsigned int ids[] = {0x41u,       0x000198A1u, 0xF528BA83u, 0x0778A305u,
                              0xD44B5952u, 0x90731DC8u, 0x4A8E1AECu, 0xFFFFFFFFu};
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Unknown::ClassType(String(names[i])).getClassId(), ids[i]) << Line(names[i]);
  EXPECT_EQ(Unknown::ClassType(String()).getClassId(), 0xFFFFFFFFu);
}

TEST(Registry, ClassesRegisterAtLoadAndAreMadeByNameOrId) {
  EXPECT_TRUE(Unknown::g_setUpCreator_ && TrackedChild::g_setUpCreator_ && PairAb::g_setUpCreator_);
  EXPECT_FALSE(Pairaa::g_setUpCreator_);  // its id was taken by PairAb
  LogRecorder log;
  for (const auto& c : {std::make_pair(L"Unknown", 0xF528BA83u),
                        std::make_pair(L"TrackedChild", TrackedChild::g_classId_),
                        std::make_pair(L"PairAb", 0xC84AB070u)}) {
    for (const Handle& made :
         {Factory::createClassInstance(c.first), Factory::createClassInstance(c.second)}) {
      ASSERT_FALSE(made.isNull()) << Line(c.first);
      EXPECT_STREQ(made->getClassName().getBuffer(), c.first);
      EXPECT_EQ(made->getClassId(), c.second);
      EXPECT_EQ(made->getReferenceCount(), 1u);
    }
  }
  // Unknown names and ids give null without a word; Pairaa is not known by name either.
  for (const wchar_t* name : {L"Pairaa", L"NoSuchClass", L"unknown"})
    EXPECT_TRUE(Factory::createClassInstance(name).isNull()) << Line(name);
  EXPECT_TRUE(Factory::createClassInstance(0x12345678u).isNull());
  EXPECT_TRUE(log.lines.empty());

  // A class type from an object makes a new object of the class; one from null has no class.
  Unknown::ClassType type = TrackedChild::createInstance()->getClassType();
  EXPECT_NE(dynamic_cast<TrackedChild*>(type.createInstance().get()), nullptr);
  type.setClass(nullptr);
  EXPECT_TRUE(type.getClassName().isEmpty() && type.getClassId() == 0u);
  EXPECT_TRUE(type.createInstance().isNull());
}

TEST(Registry, NamesAreListedInCodeUnitOrder) {
  ASSERT_TRUE(Factory::setupCreator([] { return Handle(new Manual(L"\u00C9clair")); }));
  std::vector<String> names{String(L"stale")};
  Factory::getRtClassNames(names);
  Factory::unsetupCreator(L"\u00C9clair");
  const Lines listed(names.begin(), names.end());  // wstring order: code units, case-sensitive
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << ::testing::PrintToString(listed);
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  auto at = [&](const wchar_t* name) { return std::find(listed.begin(), listed.end(), name); };
  EXPECT_TRUE(at(L"Pairaa") == listed.end() && at(L"stale") == listed.end());
  // Upper case before lower case before U+00C9, all of them listed.
  EXPECT_LT(at(L"PairAb"), at(L"Unknown"));
  EXPECT_LT(at(L"Unknown"), at(L"lowerFirst"));
  EXPECT_LT(at(L"lowerFirst"), at(L"\u00C9clair"));
  EXPECT_NE(at(L"\u00C9clair"), listed.end());
}

// Registered twice. Each call makes a new sample; with kind 1 or 2 every other sample is what a
// second copy of the code would make: one compiled at another time, or of another C++ type.
int g_made = 0;
template <int kKind>
Handle makeTwice() {
  const bool odd = g_made++ % 2 == 1;
  if (kKind == 2 && odd) return new OtherManual(L"Twice");
  return new Manual(L"Twice", 0, kKind == 1 && odd ? L"Sat May  8 10:00:00 2021" : kStamp);
}

TEST(Registry, SameCreatorTwiceIsRefused) {
  const Unknown::Creator creators[] = {makeTwice<0>, makeTwice<1>, makeTwice<2>};
  for (int kind = 0; kind < 3; ++kind) {
    g_made = 0;
    ASSERT_TRUE(Factory::setupCreator(creators[kind]));  // the last round freed name and id
    LogRecorder log;
    testing::internal::CaptureStdout();  // not a terminal: no colour sequences
    EXPECT_FALSE(Factory::setupCreator(creators[kind]));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              kind == 1 ? "\nRTTI: (Twice) has been setup!" : "");
    EXPECT_FALSE(Factory::createClassInstance(L"Twice").isNull());
    Factory::unsetupCreator(L"Twice");
    ASSERT_EQ(log.lines.size(), kind == 2 ? 1u : 0u) << ::testing::PrintToString(log.lines);
    if (kind < 2) continue;
    // The new sample's type name (an OtherManual), then the registered one's (a Manual).
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(
        log.lines[0], match,
        std::wregex(L"RTTI: \\((.*OtherManual.*)\\) setup collision! has setup\\((.*Manual.*)\\)")))
        << log.lines[0];
    EXPECT_EQ(match[2].str().find(L"OtherManual"), Line::npos) << log.lines[0];
  }
}

TEST(Registry, CollisionsAreLoggedAndChangeNothing) {
  const Unknown::Creator nameless = [] { return Handle(new Manual(L"")); };
  ASSERT_TRUE(Factory::setupCreator(nameless));
  LogRecorder log;
  // Another name with a taken id (twice, once with the id of the empty name); the same class
  // through another creator; a taken name only.
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(Pairaa::createInstance()); }));
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(new Manual(L"WrapsToZero_zjptsB")); }));
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(Tracked::createInstance(7)); }));
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(new Manual(L"Tracked", 0x12345678u)); }));
  EXPECT_EQ(log.lines, (Lines{L"RTTI: (Pairaa) setup error! ClassId(-934629264)",
                              L"RTTI: (WrapsToZero_zjptsB) setup error! ClassId(-1)",
                              L"RTTI: (Tracked) setup error!", L"RTTI: (Tracked) setup error!"}));
  for (const wchar_t* name : {L"Pairaa", L"WrapsToZero_zjptsB"})
    EXPECT_TRUE(Factory::createClassInstance(name).isNull());
  EXPECT_STREQ(Factory::createClassInstance(0xC84AB070u)->getClassName().getBuffer(), L"PairAb");
  EXPECT_TRUE(Factory::createClassInstance(0x12345678u).isNull());
  // The registered creator still answers (it makes value 0, the other one 7).
  auto made = Unknown::Handle_T<Tracked>::dynamicCast(Factory::createClassInstance(L"Tracked"));
  ASSERT_FALSE(made.isNull());
  EXPECT_EQ(made->value, 0);

  // The empty name is found by all ones; unsetup frees both tables.
  ASSERT_FALSE(Factory::createClassInstance(0xFFFFFFFFu).isNull());
  EXPECT_TRUE(Factory::createClassInstance(0xFFFFFFFFu)->getClassName().isEmpty());
  Factory::unsetupCreator(String());
  EXPECT_TRUE(Factory::createClassInstance(0xFFFFFFFFu).isNull());
  EXPECT_TRUE(Factory::createClassInstance(String()).isNull());
  EXPECT_TRUE(Factory::setupCreator(nameless));
  Factory::unsetupCreator(String());
  Factory::unsetupCreator(String());  // nothing left to remove
}

TEST(Handle, CountsFollowTheHandles) {
  bool destroyed = false, otherGone = false;
  Tracked* raw = new Tracked(1, &destroyed);
  EXPECT_EQ(raw->getReferenceCount(), 0u);
  {
    Unknown::Handle_T<Tracked> first(raw);
    {
      Unknown::Handle_T<Tracked> second(first), third, fromRaw(raw);  // the count is inside
      third = second;
      Handle asBase = third;
      EXPECT_TRUE(Unknown::Handle_T<TrackedChild>::dynamicCast(asBase).isNull());
      EXPECT_EQ(Unknown::Handle_T<Tracked>::dynamicCast(asBase).get(), raw);
      EXPECT_EQ(raw->getReferenceCount(), 5u);
    }
    Unknown::Handle_T<Tracked>& alias = first;
    first = alias;  // assigning a handle to itself
    first = raw;    // and its own raw pointer
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    EXPECT_EQ(first->value, 1);
    // Moves transfer the reference; assignments release what the target held.
    Unknown::Handle_T<Tracked> other = Tracked::createInstance(2, &otherGone),
                               moved(std::move(first));
    other = std::move(moved);
    EXPECT_TRUE(otherGone && first.isNull() && moved.isNull());
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

TEST(Handle, CopiesStartWithoutReferencesAndAssignmentKeepsThem) {
  Unknown::Handle_T<Tracked> original = Tracked::createInstance(3), keep = original;
  Tracked copy(*original);
  EXPECT_EQ(copy.getReferenceCount(), 0u);
  EXPECT_EQ(copy.value, 3);
  Unknown::Handle_T<Tracked> other = Tracked::createInstance(9);
  *original = *other;  // copies the members, not the count
  EXPECT_EQ(original->value, 9);
  EXPECT_EQ(original->getReferenceCount(), 2u);
  EXPECT_EQ(other->getReferenceCount(), 1u);
}

TEST(SharedPtr, SharesAndDeletesOnce) {
  struct Counted {
    int* deletes;
    ~Counted() { ++*deletes; }
  };
  int deletes = 0;
  {
    vemo::SharedPtr<Counted> first(new Counted{&deletes}), empty(nullptr), second = first;
    EXPECT_TRUE(!empty && empty.useCount() == 0u);
    EXPECT_EQ(first.useCount(), 2u);
    EXPECT_EQ(second->deletes, &deletes);
    second = empty;
    EXPECT_EQ(first.useCount(), 1u);
    EXPECT_EQ(deletes, 0);
  }
  EXPECT_EQ(deletes, 1);
}

// The C library's calendar text of a compiler date ("Mmm dd yyyy") and time ("hh:mm:ss").
std::wstring calendar(const std::string& date, const std::string& time) {
  std::tm t{};
  if (!strptime((date + " " + time).c_str(), "%b %d %Y %H:%M:%S", &t)) return L"unparsable";
  const std::time_t when = timegm(&t);
  gmtime_r(&when, &t);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &t);
  return Line(text, text + length);
}

TEST(Timestamp, CompilerTextsWithTheCalendarsWeekday) {
  ASSERT_EQ(calendar("May  7 2021", "18:34:45"), L"Fri May  7 18:34:45 2021");
  EXPECT_STREQ(Unknown::makeClassTimestamp("May  7 2021", "18:34:45"), L"Fri May  7 18:34:45 2021");
  // Before 1970, in leap years, in 2000 (a leap year) and 2100 (not one).
  for (const char* date :
       {"Jul 20 1969", "Jan  1 2000", "Feb 29 2024", "Mar  1 2000", "Mar  1 2100"})
    EXPECT_EQ(Unknown::makeClassTimestamp(date, "08:05:01"), calendar(date, "08:05:01"));
  // The library's classes and this module's carry their compile times.
  const Handle library = Unknown::createInstance(), tracked = Tracked::createInstance();
  for (const Line text : {library->getClassTimestamp(), tracked->getClassTimestamp()}) {
    ASSERT_EQ(text.size(), 24u) << text;
    const std::string narrow(text.begin(), text.end());
    EXPECT_EQ(text, calendar(narrow.substr(4, 6) + narrow.substr(19), narrow.substr(11, 8)));
  }
  EXPECT_STREQ(tracked->getClassTimestamp(), Unknown::makeClassTimestamp(__DATE__, __TIME__));
  EXPECT_STREQ(TrackedChild::createInstance()->getClassTimestamp(), tracked->getClassTimestamp());
}

}  // namespace
