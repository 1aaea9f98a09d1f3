// Object model: class ids, the class registry, handles, shared pointers, the mutex and class
// time stamps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Unknown.h"

using vemo::Log;
using vemo::String;
using vemo::Unknown;
using Handle = Unknown::Handle_T<Unknown>;
using Factory = Unknown::RtFactory;

namespace {

// Tells its owner when it is destroyed.
class Tracked : public virtual Unknown {
  VEMO_DECLARE_CLASS(Tracked)
 public:
  explicit Tracked(int value = 0, bool* destroyed = nullptr) : value(value), destroyed(destroyed) {}
  ~Tracked() override {
    if (destroyed) *destroyed = true;
  }
  int value;
  bool* destroyed;
};

// A registrable class with nothing of its own.
#define PLAIN_CLASS(X, Base) \
  class X : public Base {    \
    VEMO_DECLARE_CLASS(X)    \
   public:                   \
    X() = default;           \
  };
PLAIN_CLASS(TrackedChild, Tracked)
PLAIN_CLASS(lowerFirst, virtual Unknown)  // sorts after every upper-case name
// PairAb and Pairaa share one id: 0x41 << 20 + 0x62 << 25 == 0x61 << 20 + 0x61 << 25.
PLAIN_CLASS(PairAb, virtual Unknown)
PLAIN_CLASS(Pairaa, virtual Unknown)
constexpr unsigned int kPairId = 0xC84AB070u;  // 0x50 + 0x61<<5 + 0x69<<10 + 0x72<<15 + ...

// In this order: PairAb registers first, Pairaa then finds its id taken.
VEMO_IMPLEMENT_CLASS(Tracked)
VEMO_IMPLEMENT_CLASS(TrackedChild)
VEMO_IMPLEMENT_CLASS(lowerFirst)
VEMO_IMPLEMENT_CLASS(PairAb)
VEMO_IMPLEMENT_CLASS(Pairaa)

// A class whose identity is chosen by the test, for registrations made by hand.
class Manual : public virtual Unknown {
 public:
  Manual(const wchar_t* name, unsigned int id, const wchar_t* stamp = L"Fri May  7 18:34:45 2021")
      : _name(name), _id(id), _stamp(stamp) {}
  explicit Manual(const wchar_t* name) : Manual(name, ClassType::computeId(name)) {}
  const String& getClassName() const override { return _name; }
  unsigned int getClassId() const override { return _id; }
  const wchar_t* getClassTimestamp() const override { return _stamp; }

 private:
  String _name;
  unsigned int _id;
  const wchar_t* _stamp;
};
class OtherManual : public Manual {
 public:
  using Manual::Manual;
};

std::wstring W(const String& text) {
  return text.getBuffer();
}

// Records every error and warning while it lives (the registry logs nothing else).
class LogRecorder final : public vemo::LogListener {
 public:
  LogRecorder() { Log::addListener(this); }
  ~LogRecorder() { Log::removeListener(this); }
  const wchar_t* getName() override { return L"recorder"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { lines.push_back(text); }
  void warning(const wchar_t* text) override { lines.push_back(L"warning: " + std::wstring(text)); }
  void message(const wchar_t*) override {}
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
  std::vector<std::wstring> lines;
};

// What `action` writes to the standard output (not a terminal: no colour sequences).
template <class Action>
std::string captureStdout(Action action) {
  std::fflush(stdout);
  std::FILE* file = std::tmpfile();
  const int saved = dup(STDOUT_FILENO);
  dup2(fileno(file), STDOUT_FILENO);
  action();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::fseek(file, 0, SEEK_END);
  std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  text.resize(std::fread(&text[0], 1, text.size(), file));
  std::fclose(file);
  return text;
}

TEST(ClassId, MatchesTheRuleOnKnownNames) {
  const std::pair<const wchar_t*, unsigned int> cases[] = {
      {L"A", 0x41u},
      {L"abc", 0x000198A1u},
      {L"Unknown", 0xF528BA83u},
      {L"Event", 0x0778A305u},
      {L"Message", 0xD44B5952u},
      {L"", 0xFFFFFFFFu},
      // Seven bytes and more wrap the shift cycle: 'G' << 0 and 'H' << 5 are added.
      {L"ABCDEF", 0x90731481u},
      {L"ABCDEFGH", 0x90731DC8u},
      // UTF-8 47 72 C3 B6 C3 9F 65: byte 5 (0x9F) loses its top bit in the shift by 25.
      {L"Gr\u00F6\u00DFe", 0x4A8E1AECu},
      {L"\U0001F600", 0x004274D0u},  // F0 9F 98 80: 0xF0 + 0x9F << 5 + 0x98 << 10 + 0x80 << 15
      {L"WrapsToZero_zjptsB", 0xFFFFFFFFu}};  // sums to exactly 2^33, which wraps to 0
  for (const auto& c : cases) {
    EXPECT_EQ(Unknown::ClassType::computeId(c.first), c.second) << std::wstring(c.first);
    EXPECT_EQ(Unknown::ClassType(String(c.first)).getClassId(), c.second);
  }
}

TEST(ClassType, FromNothingAndFromObjects) {
  for (const Unknown::ClassType& none :
       {Unknown::ClassType(), Unknown::ClassType(static_cast<const Unknown*>(nullptr))}) {
    EXPECT_TRUE(none.getClassName().isEmpty());
    EXPECT_EQ(none.getClassId(), 0u);
  }
  Handle object = TrackedChild::createInstance();
  Unknown::ClassType type = object->getClassType();
  EXPECT_EQ(W(type.getClassName()), L"TrackedChild");
  EXPECT_EQ(type.getClassId(), TrackedChild::g_classId_);
  Handle made = type.createInstance();
  ASSERT_FALSE(made.isNull());
  EXPECT_NE(made.get(), object.get());
  EXPECT_EQ(W(made->getClassName()), L"TrackedChild");
  type.setClass(nullptr);
  EXPECT_EQ(type.getClassId(), 0u);
  EXPECT_TRUE(type.createInstance().isNull());
}

TEST(Registry, ClassesRegisterWhenTheModuleLoads) {
  EXPECT_TRUE(Unknown::g_setUpCreator_ && Tracked::g_setUpCreator_ &&
              TrackedChild::g_setUpCreator_ && PairAb::g_setUpCreator_);
  EXPECT_FALSE(Pairaa::g_setUpCreator_);  // its id was taken by PairAb
  EXPECT_EQ(Pairaa::getClassId_(), kPairId);
  LogRecorder log;
  for (const auto& c :
       {std::make_pair(L"Unknown", 0xF528BA83u), std::make_pair(L"Tracked", Tracked::g_classId_),
        std::make_pair(L"TrackedChild", TrackedChild::g_classId_)}) {
    for (const Handle& made :
         {Factory::createClassInstance(c.first), Factory::createClassInstance(c.second)}) {
      ASSERT_FALSE(made.isNull()) << std::wstring(c.first);
      EXPECT_EQ(W(made->getClassName()), c.first);
      EXPECT_EQ(made->getClassId(), c.second);
      EXPECT_EQ(made->getReferenceCount(), 1u);
    }
  }
  EXPECT_NE(dynamic_cast<TrackedChild*>(Factory::createClassInstance(L"TrackedChild").get()),
            nullptr);
  // The shared id belongs to PairAb; Pairaa is not known by name either.
  EXPECT_EQ(W(Factory::createClassInstance(kPairId)->getClassName()), L"PairAb");
  // Unknown names and ids give null, without a word.
  for (const wchar_t* name : {L"Pairaa", L"NoSuchClass", L"unknown", L""})
    EXPECT_TRUE(Factory::createClassInstance(name).isNull()) << std::wstring(name);
  EXPECT_TRUE(Factory::createClassInstance(0x12345678u).isNull());
  EXPECT_TRUE(log.lines.empty());
}

TEST(Registry, NamesAreListedInCodeUnitOrder) {
  ASSERT_TRUE(Factory::setupCreator([] { return Handle(new Manual(L"\u00C9clair")); }));
  std::vector<String> names{String(L"stale")};
  Factory::getRtClassNames(names);
  Factory::unsetupCreator(L"\u00C9clair");
  std::vector<std::wstring> listed(names.begin(), names.end());
  // std::wstring compares wchar_t values: plain code-unit order, case-sensitive.
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << ::testing::PrintToString(listed);
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  auto at = [&](const wchar_t* name) { return std::find(listed.begin(), listed.end(), name); };
  for (const wchar_t* name : {L"PairAb", L"Tracked", L"TrackedChild"})
    EXPECT_NE(at(name), listed.end()) << std::wstring(name);
  EXPECT_EQ(at(L"Pairaa"), listed.end());
  EXPECT_EQ(at(L"stale"), listed.end());
  // Upper case before lower case before U+00C9.
  EXPECT_LT(at(L"Unknown"), at(L"lowerFirst"));
  EXPECT_LT(at(L"lowerFirst"), at(L"\u00C9clair"));
  EXPECT_NE(at(L"\u00C9clair"), listed.end());
}

// Creators registered twice. Each call makes a new sample; an odd call makes an OtherManual or
// an object with another time stamp, as a second copy of the code compiled elsewhere would.
std::atomic<int> g_made{0};
Handle makeRepeated() {
  return new Manual(L"Repeated");
}
Handle makeStamped() {
  return new Manual(L"Stamped", Unknown::ClassType::computeId(L"Stamped"),
                    g_made++ % 2 ? L"Sat May  8 10:00:00 2021" : L"Fri May  7 18:34:45 2021");
}
Handle makeShifty() {
  if (g_made++ % 2) return new OtherManual(L"Shifty");
  return new Manual(L"Shifty");
}

TEST(Registry, SameCreatorTwiceIsRefused) {
  const struct {
    Unknown::Creator creator;
    const wchar_t* name;
    const char* printed;
    bool collision;
  } cases[] = {{makeRepeated, L"Repeated", "", false},
               {makeStamped, L"Stamped", "\nRTTI: (Stamped) has been setup!", false},
               {makeShifty, L"Shifty", "", true}};
  for (const auto& c : cases) {
    g_made = 0;
    ASSERT_TRUE(Factory::setupCreator(c.creator));
    LogRecorder log;
    bool again = true;
    EXPECT_EQ(captureStdout([&] { again = Factory::setupCreator(c.creator); }), c.printed);
    EXPECT_FALSE(again);
    EXPECT_FALSE(Factory::createClassInstance(c.name).isNull());
    Factory::unsetupCreator(c.name);
    ASSERT_EQ(log.lines.size(), c.collision ? 1u : 0u) << ::testing::PrintToString(log.lines);
    if (!c.collision) continue;
    // The new sample's type name (an OtherManual), then the registered one's (a Manual).
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(
        log.lines[0], match,
        std::wregex(L"RTTI: \\((.*OtherManual.*)\\) setup collision! has setup\\((.*)\\)")))
        << log.lines[0];
    EXPECT_NE(match[2].str().find(L"Manual"), std::wstring::npos);
    EXPECT_EQ(match[2].str().find(L"OtherManual"), std::wstring::npos);
  }
}

TEST(Registry, CollisionsAreLoggedAndChangeNothing) {
  LogRecorder log;
  // Another name with a taken id; the same class through another creator; a taken name only.
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(Pairaa::createInstance()); }));
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(Tracked::createInstance(7)); }));
  EXPECT_FALSE(Factory::setupCreator([] { return Handle(new Manual(L"Tracked", 0x12345678u)); }));
  EXPECT_EQ(log.lines, (std::vector<std::wstring>{
                           L"RTTI: (Pairaa) setup error! ClassId(-934629264)",
                           L"RTTI: (Tracked) setup error!", L"RTTI: (Tracked) setup error!"}));
  EXPECT_TRUE(Factory::createClassInstance(L"Pairaa").isNull());
  EXPECT_EQ(W(Factory::createClassInstance(kPairId)->getClassName()), L"PairAb");
  EXPECT_TRUE(Factory::createClassInstance(0x12345678u).isNull());
  // The registered creator still answers (it makes value 0, the other one 7).
  auto made = Unknown::Handle_T<Tracked>::dynamicCast(Factory::createClassInstance(L"Tracked"));
  ASSERT_FALSE(made.isNull());
  EXPECT_EQ(made->value, 0);
}

TEST(Registry, UnsetupRemovesNameAndId) {
  const Unknown::Creator transient = [] { return Handle(new Manual(L"Transient")); };
  const unsigned int id = Unknown::ClassType::computeId(L"Transient");
  ASSERT_TRUE(Factory::setupCreator(transient));
  EXPECT_FALSE(Factory::createClassInstance(id).isNull());
  Factory::unsetupCreator(L"Transient");
  EXPECT_TRUE(Factory::createClassInstance(L"Transient").isNull());
  EXPECT_TRUE(Factory::createClassInstance(id).isNull());
  // Both tables are free again, so the class registers anew.
  EXPECT_TRUE(Factory::setupCreator(transient));
  Factory::unsetupCreator(L"Transient");
  Factory::unsetupCreator(L"Transient");  // nothing left to remove
}

TEST(Registry, EmptyNameIsFoundByAllOnes) {
  ASSERT_TRUE(Factory::setupCreator([] { return Handle(new Manual(L"")); }));
  Handle made = Factory::createClassInstance(0xFFFFFFFFu);
  ASSERT_FALSE(made.isNull());
  EXPECT_TRUE(made->getClassName().isEmpty());
  {
    // A name whose sum wraps to 0 has the same id, so it collides with the empty name.
    LogRecorder log;
    EXPECT_FALSE(Factory::setupCreator([] { return Handle(new Manual(L"WrapsToZero_zjptsB")); }));
    EXPECT_EQ(log.lines,
              std::vector<std::wstring>{L"RTTI: (WrapsToZero_zjptsB) setup error! ClassId(-1)"});
  }
  Factory::unsetupCreator(String());
  EXPECT_TRUE(Factory::createClassInstance(0xFFFFFFFFu).isNull());
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
      EXPECT_EQ(raw->getReferenceCount(), 4u);
      Unknown::Handle_T<Unknown> asBase = third;
      EXPECT_EQ(Unknown::Handle_T<TrackedChild>::dynamicCast(asBase).get(), nullptr);
      EXPECT_EQ(Unknown::Handle_T<Tracked>::dynamicCast(asBase).get(), raw);
      EXPECT_EQ(raw->getReferenceCount(), 5u);
    }
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    Unknown::Handle_T<Tracked>& alias = first;
    first = alias;  // assigning a handle to itself
    first = raw;    // and its own raw pointer
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    EXPECT_EQ(first->value, 1);

    // Moves transfer the reference; assignments release what the target held.
    Unknown::Handle_T<Tracked> other = Tracked::createInstance(2, &otherGone), moved;
    moved = std::move(first);
    EXPECT_TRUE(first.isNull());
    other = std::move(moved);
    EXPECT_TRUE(otherGone);
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    Unknown::Handle_T<Tracked> last(std::move(other));
    EXPECT_TRUE(other.isNull());
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
}

TEST(Handle, CopiesStartWithoutReferences) {
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

TEST(Handle, ReleaseIsAtomicAcrossThreads) {
  bool destroyed = false;
  Unknown::Handle_T<Tracked> shared = Tracked::createInstance(0, &destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&shared] {
      for (int i = 0; i < 20000; ++i)
        Unknown::Handle_T<Tracked> copy(shared);
    });
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(shared->getReferenceCount(), 1u);
  shared = nullptr;
  EXPECT_TRUE(destroyed);
}

TEST(SharedPtr, SharesAndDeletesOnce) {
  struct Counted {
    int* deletes;
    ~Counted() { ++*deletes; }
  };
  int deletes = 0;
  {
    vemo::SharedPtr<Counted> first(new Counted{&deletes}), empty(nullptr);
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.useCount(), 0u);
    {
      vemo::SharedPtr<Counted> second = first, third;
      third = second;
      EXPECT_EQ(first.useCount(), 3u);
      EXPECT_EQ(third->deletes, &deletes);
    }
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(first.useCount(), 1u);
  }
  EXPECT_EQ(deletes, 1);
}

TEST(Mutex, IsRecursiveForItsOwnerAndExcludesOthers) {
  vemo::Mutex mutex;
  std::atomic<bool> entered{false};
  std::thread other;
  {
    vemo::MutexLock outer(mutex), inner(mutex);  // would deadlock if the lock were not recursive
    other = std::thread([&] {
      vemo::MutexLock guard(mutex);
      entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered);
  }
  other.join();
  EXPECT_TRUE(entered);
}

// The C library's calendar text of a compiler date ("Mmm dd yyyy") and time ("hh:mm:ss").
std::string calendar(const std::string& date, const std::string& time) {
  std::tm t{};
  if (!strptime((date + " " + time).c_str(), "%b %d %Y %H:%M:%S", &t)) return "unparsable";
  const std::time_t when = timegm(&t);
  gmtime_r(&when, &t);
  char text[64];
  std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &t);
  return text;
}

TEST(Timestamp, MadeFromCompilerTextsWithTheCalendarsWeekday) {
  const char* const cases[][3] = {{"May  7 2021", "18:34:45", "Fri May  7 18:34:45 2021"},
                                  {"Jan  1 2000", "00:00:00", "Sat Jan  1 00:00:00 2000"},
                                  {"Jul 20 1969", "20:17:40", "Sun Jul 20 20:17:40 1969"},
                                  {"Feb 29 2024", "12:00:00", "Thu Feb 29 12:00:00 2024"},
                                  {"Mar  1 2000", "08:00:00", "Wed Mar  1 08:00:00 2000"},
                                  {"Mar  1 2100", "08:05:01", "Mon Mar  1 08:05:01 2100"}};
  for (const auto& c : cases) {
    ASSERT_EQ(calendar(c[0], c[1]), c[2]);
    const wchar_t* stamp = Unknown::makeClassTimestamp(c[0], c[1]);
    EXPECT_EQ(std::wstring(stamp), std::wstring(c[2], c[2] + std::strlen(c[2])));
    EXPECT_STREQ(Unknown::makeClassTimestamp(c[0], c[1]), stamp);
  }
  // The library's classes and this module's carry their compile times.
  const Handle library = Unknown::createInstance(), tracked = Tracked::createInstance();
  for (const wchar_t* stamp : {library->getClassTimestamp(), tracked->getClassTimestamp()}) {
    const std::string text(stamp, stamp + std::wcslen(stamp));
    ASSERT_EQ(text.size(), 24u) << text;
    EXPECT_EQ(text, calendar(text.substr(4, 6) + text.substr(19), text.substr(11, 8)));
  }
  EXPECT_STREQ(tracked->getClassTimestamp(), Unknown::makeClassTimestamp(__DATE__, __TIME__));
  EXPECT_STREQ(TrackedChild::createInstance()->getClassTimestamp(), tracked->getClassTimestamp());
}

}  // namespace
