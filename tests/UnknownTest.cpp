// Object model: class ids, the class registry, handles, shared pointers, the mutex and class
// time stamps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Log.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Unknown.h"

using vemo::Log;
using vemo::LogListener;
using vemo::Mutex;
using vemo::MutexLock;
using vemo::SharedPtr;
using vemo::String;
using vemo::Unknown;

namespace {

// ---- classes of this test module, registered when it loads --------------------------------

// Tells its owner when it is destroyed.
class Tracked : public virtual Unknown {
  VEMO_DECLARE_CLASS(Tracked)
 public:
  Tracked() = default;
  Tracked(const Tracked&) = default;
  Tracked& operator=(const Tracked&) = default;
  explicit Tracked(int value, bool* destroyed = nullptr) : value(value), destroyed(destroyed) {}
  ~Tracked() override {
    if (destroyed) *destroyed = true;
  }
  int value = 0;
  bool* destroyed = nullptr;
};

class TrackedChild : public Tracked {
  VEMO_DECLARE_CLASS(TrackedChild)
 public:
  TrackedChild() = default;
};

// Starts with a lower-case letter: sorts after every upper-case name.
class lowerFirst : public virtual Unknown {
  VEMO_DECLARE_CLASS(lowerFirst)
 public:
  lowerFirst() = default;
};

// PairAb and Pairaa share one id: 0x41 << 20 + 0x62 << 25 == 0x61 << 20 + 0x61 << 25.
// "PairAb" = 0x50 + 0x61<<5 + 0x69<<10 + 0x72<<15 + 0x41<<20 + 0x62<<25 = 0xC84AB070.
constexpr unsigned int kPairId = 0xC84AB070u;
constexpr int kPairIdAsInt = -934629264;  // 0xC84AB070 - 2^32

class PairAb : public virtual Unknown {
  VEMO_DECLARE_CLASS(PairAb)
 public:
  PairAb() = default;
};

class Pairaa : public virtual Unknown {
  VEMO_DECLARE_CLASS(Pairaa)
 public:
  Pairaa() = default;
};

// Defined in this order: PairAb registers first, Pairaa then finds its id taken.
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

// ---- helpers -------------------------------------------------------------------------------

std::wstring W(const String& text) {
  return text.getBuffer();
}

// Records every log line while it lives.
class LogRecorder final : public LogListener {
 public:
  LogRecorder() { Log::addListener(this); }
  ~LogRecorder() { Log::removeListener(this); }
  const wchar_t* getName() override { return L"recorder"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { lines.push_back(L"error: " + std::wstring(text)); }
  void warning(const wchar_t* text) override { lines.push_back(L"warning: " + std::wstring(text)); }
  void message(const wchar_t* text) override { lines.push_back(L"message: " + std::wstring(text)); }
  void debug(const wchar_t* text) override { lines.push_back(L"debug: " + std::wstring(text)); }
  void whistle(bool) override {}
  std::vector<std::wstring> lines;
};

// Collects what is written to the standard output while it lives.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    _file = std::tmpfile();
    _saved = dup(STDOUT_FILENO);
    dup2(fileno(_file), STDOUT_FILENO);
  }
  ~StdoutCapture() { finish(); }
  std::string finish() {
    if (_saved < 0) return _text;
    std::fflush(stdout);
    dup2(_saved, STDOUT_FILENO);
    close(_saved);
    _saved = -1;
    std::rewind(_file);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, _file)) > 0;)
      _text.append(chunk, n);
    std::fclose(_file);
    return _text;
  }

 private:
  std::FILE* _file = nullptr;
  int _saved = -1;
  std::string _text;
};

// ---- class ids -----------------------------------------------------------------------------

TEST(ClassId, MatchesTheRuleOnKnownNames) {
  struct Case {
    const wchar_t* name;
    unsigned int id;
  };
  const Case cases[] = {
      {L"A", 0x41u},
      {L"abc", 0x000198A1u},  // 0x61 + 0x62 << 5 + 0x63 << 10
      {L"Unknown", 0xF528BA83u},
      {L"Event", 0x0778A305u},
      {L"Message", 0xD44B5952u},
      {L"", 0xFFFFFFFFu},
      // Seven bytes and more wrap the shift cycle: "ABCDEF" = 0x90731481, then
      // 'G' << 0 and 'H' << 5 are added: 0x90731481 + 0x47 + 0x900.
      {L"ABCDEF", 0x90731481u},
      {L"ABCDEFGH", 0x90731DC8u},
      // UTF-8 47 72 C3 B6 C3 9F 65: byte 5 (0x9F) loses its top bit in the shift by 25.
      {L"Gr\u00F6\u00DFe", 0x4A8E1AECu},
      // UTF-8 F0 9F 98 80: 0xF0 + 0x9F << 5 + 0x98 << 10 + 0x80 << 15.
      {L"\U0001F600", 0x004274D0u},
      // Sums to exactly 2^33 over 18 bytes, which wraps to 0.
      {L"WrapsToZero_zjptsB", 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Unknown::ClassType::computeId(c.name), c.id) << std::wstring(c.name);
    EXPECT_EQ(Unknown::ClassType(String(c.name)).getClassId(), c.id) << std::wstring(c.name);
  }
  // Hashing the code points instead of the UTF-8 bytes would give other ids.
  EXPECT_NE(Unknown::ClassType::computeId(L"Gr\u00F6\u00DFe"), 0x06C36687u);
  EXPECT_NE(Unknown::ClassType::computeId(L"\U0001F600"), 0x0001F600u);
}

TEST(ClassId, StaticsOfRegisteredClasses) {
  EXPECT_EQ(W(Unknown::getClassName_()), L"Unknown");
  EXPECT_EQ(Unknown::getClassId_(), 0xF528BA83u);
  EXPECT_EQ(W(Tracked::getClassName_()), L"Tracked");
  EXPECT_EQ(PairAb::getClassId_(), kPairId);
  EXPECT_EQ(Pairaa::getClassId_(), kPairId);

  Unknown::Handle_T<Tracked> tracked = Tracked::createInstance();
  const Unknown& asBase = *tracked;
  EXPECT_EQ(W(asBase.getClassName()), L"Tracked");
  EXPECT_EQ(asBase.getClassId(), Tracked::g_classId_);
  Unknown::Handle_T<Unknown> child = TrackedChild::createInstance();
  EXPECT_EQ(W(child->getClassName()), L"TrackedChild");
}

TEST(ClassType, FromNothingFromObjectAndCopies) {
  const Unknown::ClassType none;
  EXPECT_TRUE(none.getClassName().isEmpty());
  EXPECT_EQ(none.getClassId(), 0u);
  const Unknown::ClassType fromNull(static_cast<const Unknown*>(nullptr));
  EXPECT_TRUE(fromNull.getClassName().isEmpty());
  EXPECT_EQ(fromNull.getClassId(), 0u);
  EXPECT_EQ(Unknown::ClassType(String()).getClassId(), 0xFFFFFFFFu);

  Unknown::Handle_T<Unknown> object = TrackedChild::createInstance();
  Unknown::ClassType type(object.get());
  EXPECT_EQ(W(type.getClassName()), L"TrackedChild");
  EXPECT_EQ(type.getClassId(), TrackedChild::g_classId_);
  EXPECT_EQ(W(object->getClassType().getClassName()), L"TrackedChild");

  Unknown::ClassType copy(type);
  EXPECT_EQ(W(copy.getClassName()), L"TrackedChild");
  EXPECT_EQ(copy.getClassId(), type.getClassId());
  Unknown::ClassType assigned;
  assigned = type;
  EXPECT_EQ(assigned.getClassId(), type.getClassId());
  Unknown::ClassType moved(std::move(copy));
  EXPECT_EQ(W(moved.getClassName()), L"TrackedChild");

  Unknown::Handle_T<Unknown> made = type.createInstance();
  ASSERT_FALSE(made.isNull());
  EXPECT_NE(made.get(), object.get());
  EXPECT_EQ(W(made->getClassName()), L"TrackedChild");

  type.setClass(nullptr);
  EXPECT_TRUE(type.getClassName().isEmpty());
  EXPECT_EQ(type.getClassId(), 0u);
  EXPECT_TRUE(type.createInstance().isNull());
}

// ---- registry ------------------------------------------------------------------------------

TEST(Registry, ClassesRegisterWhenTheModuleLoads) {
  EXPECT_TRUE(Unknown::g_setUpCreator_);
  EXPECT_TRUE(Tracked::g_setUpCreator_);
  EXPECT_TRUE(TrackedChild::g_setUpCreator_);
  EXPECT_TRUE(PairAb::g_setUpCreator_);
  EXPECT_FALSE(Pairaa::g_setUpCreator_);  // its id was taken by PairAb

  struct Case {
    const wchar_t* name;
    unsigned int id;
  };
  for (const Case& c : {Case{L"Unknown", 0xF528BA83u}, Case{L"Tracked", Tracked::g_classId_},
                        Case{L"TrackedChild", TrackedChild::g_classId_}}) {
    for (const Unknown::Handle_T<Unknown>& made : {Unknown::RtFactory::createClassInstance(c.name),
                                                   Unknown::RtFactory::createClassInstance(c.id)}) {
      ASSERT_FALSE(made.isNull()) << std::wstring(c.name);
      EXPECT_EQ(W(made->getClassName()), c.name);
      EXPECT_EQ(made->getClassId(), c.id);
      EXPECT_EQ(made->getReferenceCount(), 1u);
    }
  }
  Unknown::Handle_T<Unknown> child = Unknown::RtFactory::createClassInstance(L"TrackedChild");
  EXPECT_NE(dynamic_cast<TrackedChild*>(child.get()), nullptr);

  // The id shared by PairAb and Pairaa belongs to PairAb; Pairaa is not known by name.
  Unknown::Handle_T<Unknown> pair = Unknown::RtFactory::createClassInstance(kPairId);
  ASSERT_FALSE(pair.isNull());
  EXPECT_EQ(W(pair->getClassName()), L"PairAb");
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(L"Pairaa").isNull());
}

TEST(Registry, UnknownNamesAndIdsGiveNullSilently) {
  LogRecorder log;
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(L"NoSuchClass").isNull());
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(L"unknown").isNull());  // case matters
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(String()).isNull());
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(0x12345678u).isNull());
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(0xFFFFFFFFu).isNull());
  EXPECT_TRUE(log.lines.empty());
}

TEST(Registry, NamesAreListedInCodeUnitOrder) {
  const Unknown::Creator nonAscii = [] {
    return Unknown::Handle_T<Unknown>(new Manual(L"\u00C9clair"));
  };
  ASSERT_TRUE(Unknown::RtFactory::setupCreator(nonAscii));

  std::vector<String> names{String(L"stale")};
  Unknown::RtFactory::getRtClassNames(names);
  std::vector<std::wstring> listed;
  for (const String& name : names)
    listed.push_back(W(name));
  Unknown::RtFactory::unsetupCreator(L"\u00C9clair");

  // std::wstring compares wchar_t values: plain code-unit order, case-sensitive.
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << ::testing::PrintToString(listed);
  EXPECT_EQ(std::adjacent_find(listed.begin(), listed.end()), listed.end());
  auto position = [&](const wchar_t* name) {
    return std::find(listed.begin(), listed.end(), name) - listed.begin();
  };
  const auto end = static_cast<long>(listed.size());
  for (const wchar_t* name :
       {L"PairAb", L"Tracked", L"TrackedChild", L"Unknown", L"lowerFirst", L"\u00C9clair"})
    EXPECT_LT(position(name), end) << std::wstring(name);
  EXPECT_EQ(position(L"Pairaa"), end);
  EXPECT_EQ(position(L"stale"), end);
  // Upper case before lower case before U+00C9.
  EXPECT_LT(position(L"Unknown"), position(L"lowerFirst"));
  EXPECT_LT(position(L"lowerFirst"), position(L"\u00C9clair"));
}

Unknown::Handle_T<Unknown> makeRepeated() {
  return new Manual(L"Repeated");
}

TEST(Registry, SameCreatorTwiceIsRefusedQuietly) {
  ASSERT_TRUE(Unknown::RtFactory::setupCreator(&makeRepeated));
  LogRecorder log;
  StdoutCapture out;
  const bool again = Unknown::RtFactory::setupCreator(&makeRepeated);
  const std::string printed = out.finish();
  EXPECT_FALSE(again);
  EXPECT_TRUE(log.lines.empty()) << ::testing::PrintToString(log.lines);
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(Unknown::RtFactory::createClassInstance(L"Repeated").isNull());
  Unknown::RtFactory::unsetupCreator(L"Repeated");
}

// Every other object it makes carries another time stamp, as a second copy of the class's code
// compiled at another time would.
std::atomic<int> g_stampedMade{0};
Unknown::Handle_T<Unknown> makeStamped() {
  const bool odd = g_stampedMade++ % 2 != 0;
  return new Manual(L"Stamped", Unknown::ClassType::computeId(L"Stamped"),
                    odd ? L"Sat May  8 10:00:00 2021" : L"Fri May  7 18:34:45 2021");
}

TEST(Registry, SameCreatorWithAnotherTimeStampPrintsANotice) {
  g_stampedMade = 0;
  ASSERT_TRUE(Unknown::RtFactory::setupCreator(&makeStamped));
  LogRecorder log;
  StdoutCapture out;
  const bool again = Unknown::RtFactory::setupCreator(&makeStamped);
  const std::string printed = out.finish();
  Unknown::RtFactory::unsetupCreator(L"Stamped");
  EXPECT_FALSE(again);
  EXPECT_TRUE(log.lines.empty()) << ::testing::PrintToString(log.lines);
  // Not a terminal here: no colour sequences, just the text.
  EXPECT_EQ(printed, "\nRTTI: (Stamped) has been setup!");
}

// Alternates between two C++ types that claim the same class.
std::atomic<int> g_shiftyMade{0};
Unknown::Handle_T<Unknown> makeShifty() {
  if (g_shiftyMade++ % 2 == 0) return new Manual(L"Shifty");
  return new OtherManual(L"Shifty");
}

TEST(Registry, SameCreatorMakingAnotherTypeIsACollision) {
  g_shiftyMade = 0;
  ASSERT_TRUE(Unknown::RtFactory::setupCreator(&makeShifty));
  LogRecorder log;
  EXPECT_FALSE(Unknown::RtFactory::setupCreator(&makeShifty));
  Unknown::RtFactory::unsetupCreator(L"Shifty");
  ASSERT_EQ(log.lines.size(), 1u) << ::testing::PrintToString(log.lines);
  // The new sample is an OtherManual, the registered creator's sample a Manual.
  const std::wregex pattern(
      L"error: RTTI: \\((.*OtherManual.*)\\) setup collision! has setup\\((.*)\\)");
  std::wsmatch match;
  ASSERT_TRUE(std::regex_match(log.lines[0], match, pattern)) << log.lines[0];
  EXPECT_NE(match[2].str().find(L"Manual"), std::wstring::npos);
  EXPECT_EQ(match[2].str().find(L"OtherManual"), std::wstring::npos);
}

TEST(Registry, CollidingIdIsRefusedWithTheId) {
  LogRecorder log;
  const Unknown::Creator pairaa = [] {
    return Unknown::Handle_T<Unknown>(Pairaa::createInstance());
  };
  EXPECT_FALSE(Unknown::RtFactory::setupCreator(pairaa));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0],
            L"error: RTTI: (Pairaa) setup error! ClassId(" + std::to_wstring(kPairIdAsInt) + L")");
  // Nothing changed: Pairaa is still unknown, the id still makes a PairAb.
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(L"Pairaa").isNull());
  EXPECT_EQ(W(Unknown::RtFactory::createClassInstance(kPairId)->getClassName()), L"PairAb");
}

TEST(Registry, TakenNameIsRefused) {
  LogRecorder log;
  // The same class through another creator: name and id both taken.
  const Unknown::Creator otherCreator = [] {
    return Unknown::Handle_T<Unknown>(Tracked::createInstance(7));
  };
  EXPECT_FALSE(Unknown::RtFactory::setupCreator(otherCreator));
  // The name taken, the id free.
  const Unknown::Creator impostor = [] {
    return Unknown::Handle_T<Unknown>(new Manual(L"Tracked", 0x12345678u));
  };
  EXPECT_FALSE(Unknown::RtFactory::setupCreator(impostor));
  EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"error: RTTI: (Tracked) setup error!",
                                                  L"error: RTTI: (Tracked) setup error!"}));
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(0x12345678u).isNull());
  // The registered creator still answers (it makes value 0, the other one 7).
  Unknown::Handle_T<Tracked> made =
      Unknown::Handle_T<Tracked>::dynamicCast(Unknown::RtFactory::createClassInstance(L"Tracked"));
  ASSERT_FALSE(made.isNull());
  EXPECT_EQ(made->value, 0);
}

TEST(Registry, UnsetupRemovesNameAndId) {
  const Unknown::Creator transient = [] {
    return Unknown::Handle_T<Unknown>(new Manual(L"Transient"));
  };
  const unsigned int id = Unknown::ClassType::computeId(L"Transient");
  ASSERT_TRUE(Unknown::RtFactory::setupCreator(transient));
  EXPECT_FALSE(Unknown::RtFactory::createClassInstance(L"Transient").isNull());
  EXPECT_FALSE(Unknown::RtFactory::createClassInstance(id).isNull());

  Unknown::RtFactory::unsetupCreator(L"Transient");
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(L"Transient").isNull());
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(id).isNull());
  // Both tables are free again, so the class registers anew.
  EXPECT_TRUE(Unknown::RtFactory::setupCreator(transient));
  Unknown::RtFactory::unsetupCreator(L"Transient");
  Unknown::RtFactory::unsetupCreator(L"Transient");  // nothing left to remove
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(id).isNull());
}

TEST(Registry, EmptyNameIsFoundByAllOnes) {
  const Unknown::Creator nameless = [] { return Unknown::Handle_T<Unknown>(new Manual(L"")); };
  ASSERT_TRUE(Unknown::RtFactory::setupCreator(nameless));
  Unknown::Handle_T<Unknown> made = Unknown::RtFactory::createClassInstance(0xFFFFFFFFu);
  ASSERT_FALSE(made.isNull());
  EXPECT_TRUE(made->getClassName().isEmpty());
  EXPECT_FALSE(Unknown::RtFactory::createClassInstance(String()).isNull());

  // A name whose sum wraps to 0 has the same id, so it collides with the empty name.
  {
    LogRecorder log;
    const Unknown::Creator wraps = [] {
      return Unknown::Handle_T<Unknown>(new Manual(L"WrapsToZero_zjptsB"));
    };
    EXPECT_FALSE(Unknown::RtFactory::setupCreator(wraps));
    EXPECT_EQ(log.lines, std::vector<std::wstring>{
                             L"error: RTTI: (WrapsToZero_zjptsB) setup error! ClassId(-1)"});
  }

  Unknown::RtFactory::unsetupCreator(String());
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(0xFFFFFFFFu).isNull());
  EXPECT_TRUE(Unknown::RtFactory::createClassInstance(String()).isNull());
}

// ---- handles -------------------------------------------------------------------------------

TEST(Handle, CountsFollowTheHandles) {
  bool destroyed = false;
  Tracked* raw = new Tracked(1, &destroyed);
  EXPECT_EQ(raw->getReferenceCount(), 0u);
  {
    Unknown::Handle_T<Tracked> first(raw);
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    {
      Unknown::Handle_T<Tracked> second(first);
      Unknown::Handle_T<Tracked> third;
      third = second;
      EXPECT_EQ(raw->getReferenceCount(), 3u);
      // A second independent handle from the raw pointer is fine: the count is in the object.
      Unknown::Handle_T<Tracked> fromRaw(raw);
      EXPECT_EQ(raw->getReferenceCount(), 4u);
    }
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    EXPECT_FALSE(destroyed);

    Unknown::Handle_T<Tracked>& alias = first;
    first = alias;  // assigning a handle to itself
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    first = raw;  // and its own raw pointer
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(raw->getReferenceCount(), 1u);
    EXPECT_EQ(first->value, 1);
  }
  EXPECT_TRUE(destroyed);
}

TEST(Handle, AssignmentReleasesTheOldObject) {
  bool firstGone = false, secondGone = false;
  Unknown::Handle_T<Tracked> handle = Tracked::createInstance(1, &firstGone);
  Unknown::Handle_T<Tracked> other = Tracked::createInstance(2, &secondGone);
  handle = other;
  EXPECT_TRUE(firstGone);
  EXPECT_EQ(other->getReferenceCount(), 2u);
  handle = nullptr;
  EXPECT_TRUE(handle.isNull());
  EXPECT_EQ(other->getReferenceCount(), 1u);
  other = Unknown::Handle_T<Tracked>();
  EXPECT_TRUE(secondGone);
}

TEST(Handle, MoveTransfersTheReference) {
  bool destroyed = false;
  Unknown::Handle_T<Tracked> source = Tracked::createInstance(5, &destroyed);
  Tracked* raw = source.get();
  Unknown::Handle_T<Tracked> target(std::move(source));
  EXPECT_TRUE(source.isNull());
  EXPECT_EQ(target.get(), raw);
  EXPECT_EQ(raw->getReferenceCount(), 1u);

  Unknown::Handle_T<Tracked> assigned;
  assigned = std::move(target);
  EXPECT_TRUE(target.isNull());
  EXPECT_EQ(raw->getReferenceCount(), 1u);

  bool otherGone = false;
  Unknown::Handle_T<Tracked> other = Tracked::createInstance(6, &otherGone);
  other = std::move(assigned);  // drops the object it held
  EXPECT_TRUE(otherGone);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(other->value, 5);
  other = nullptr;
  EXPECT_TRUE(destroyed);
}

TEST(Handle, ConvertsToBaseAndCastsBack) {
  Unknown::Handle_T<TrackedChild> child = TrackedChild::createInstance();
  Unknown::Handle_T<Tracked> asTracked = child;
  Unknown::Handle_T<Unknown> asUnknown = child;
  EXPECT_EQ(child->getReferenceCount(), 3u);
  EXPECT_EQ(static_cast<Unknown*>(child.get()), asUnknown.get());

  Unknown::Handle_T<TrackedChild> back = Unknown::Handle_T<TrackedChild>::dynamicCast(asUnknown);
  EXPECT_EQ(back.get(), child.get());
  EXPECT_EQ(child->getReferenceCount(), 4u);

  Unknown::Handle_T<Unknown> plain = Unknown::createInstance();
  EXPECT_TRUE(Unknown::Handle_T<Tracked>::dynamicCast(plain).isNull());
  EXPECT_EQ(plain->getReferenceCount(), 1u);
  EXPECT_TRUE(Unknown::Handle_T<Tracked>::dynamicCast(Unknown::Handle_T<Unknown>()).isNull());

  Unknown::Handle_T<Tracked> null;
  EXPECT_TRUE(null.isNull());
  EXPECT_FALSE(null);
  EXPECT_TRUE(child);
}

TEST(Handle, CopiesStartWithoutReferences) {
  bool destroyed = false;
  Unknown::Handle_T<Tracked> original = Tracked::createInstance(3, &destroyed);
  Unknown::Handle_T<Tracked> keep = original;
  EXPECT_EQ(original->getReferenceCount(), 2u);

  Tracked copy(*original);
  EXPECT_EQ(copy.getReferenceCount(), 0u);
  EXPECT_EQ(copy.value, 3);
  copy.destroyed = nullptr;

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
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 20000; ++i)
        Unknown::Handle_T<Tracked> copy(shared);
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(shared->getReferenceCount(), 1u);
  EXPECT_FALSE(destroyed);
  shared = nullptr;
  EXPECT_TRUE(destroyed);
}

// ---- SharedPtr and Mutex -------------------------------------------------------------------

struct Counted {
  explicit Counted(int* deletes) : deletes(deletes) {}
  ~Counted() { ++*deletes; }
  int* deletes;
};

TEST(SharedPtr, SharesAndDeletesOnce) {
  int deletes = 0;
  {
    SharedPtr<Counted> first(new Counted(&deletes));
    EXPECT_TRUE(first);
    EXPECT_EQ(first.useCount(), 1u);
    {
      SharedPtr<Counted> second = first;
      SharedPtr<Counted> third;
      EXPECT_FALSE(third);
      EXPECT_EQ(third.useCount(), 0u);
      third = second;
      EXPECT_EQ(first.useCount(), 3u);
      EXPECT_EQ(third.get(), first.get());
      EXPECT_EQ(third->deletes, &deletes);
    }
    EXPECT_EQ(deletes, 0);
    EXPECT_EQ(first.useCount(), 1u);
  }
  EXPECT_EQ(deletes, 1);

  SharedPtr<Counted> empty(nullptr);
  EXPECT_FALSE(empty);
  EXPECT_EQ(empty.useCount(), 0u);
}

TEST(Mutex, IsRecursiveForItsOwnerAndExcludesOthers) {
  Mutex mutex;
  std::atomic<bool> entered{false};
  std::thread other;
  {
    MutexLock outer(mutex);
    {
      MutexLock inner(mutex);  // would deadlock if the lock were not recursive
      mutex.lock();
      mutex.unlock();
    }
    other = std::thread([&] {
      MutexLock guard(mutex);
      entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered);  // still held once by this thread
  }
  other.join();
  EXPECT_TRUE(entered);
}

// ---- time stamps ---------------------------------------------------------------------------

// Checks the form "Www Mmm dd hh:mm:ss yyyy" and that the weekday is the date's, by the C
// library's calendar.
void expectTimestamp(const std::wstring& stamp) {
  static const std::wregex form(
      L"(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      L"([ 1-3][0-9]) ([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9]) ([0-9]{4})");
  std::wsmatch match;
  ASSERT_TRUE(std::regex_match(stamp, match, form)) << stamp;
  static const std::wstring months = L"JanFebMarAprMayJunJulAugSepOctNovDec";
  static const std::wstring weekdays = L"SunMonTueWedThuFriSat";
  std::tm date{};
  date.tm_year = std::stoi(match[7].str()) - 1900;
  date.tm_mon = static_cast<int>(months.find(match[2].str()) / 3);
  date.tm_mday = std::stoi(match[3].str());
  date.tm_hour = 12;
  const std::time_t when = timegm(&date);
  std::tm check{};
  gmtime_r(&when, &check);
  EXPECT_EQ(check.tm_mday, date.tm_mday) << stamp;  // no 31 Feb
  EXPECT_EQ(match[1].str(), weekdays.substr(static_cast<std::size_t>(check.tm_wday) * 3, 3))
      << stamp;
}

TEST(Timestamp, MadeFromCompilerTexts) {
  struct Case {
    const char* date;
    const char* time;
    const wchar_t* stamp;
  };
  const Case cases[] = {
      {"May  7 2021", "18:34:45", L"Fri May  7 18:34:45 2021"},
      {"Jan  1 2000", "00:00:00", L"Sat Jan  1 00:00:00 2000"},
      {"Dec 31 1999", "23:59:59", L"Fri Dec 31 23:59:59 1999"},
      {"Jul 20 1969", "20:17:40", L"Sun Jul 20 20:17:40 1969"},
      {"Feb 29 2024", "12:00:00", L"Thu Feb 29 12:00:00 2024"},
      {"Mar  1 2000", "08:00:00", L"Wed Mar  1 08:00:00 2000"},  // 2000 is a leap year
      {"Mar  1 2100", "08:00:00", L"Mon Mar  1 08:00:00 2100"},  // 2100 is not
      {"Oct 10 2023", "09:05:01", L"Tue Oct 10 09:05:01 2023"},
  };
  for (const Case& c : cases) {
    const wchar_t* stamp = Unknown::makeClassTimestamp(c.date, c.time);
    ASSERT_NE(stamp, nullptr);
    EXPECT_STREQ(stamp, c.stamp);
    expectTimestamp(stamp);
  }
  // The text stays valid and the same for the same input.
  EXPECT_STREQ(Unknown::makeClassTimestamp("May  7 2021", "18:34:45"), cases[0].stamp);
}

TEST(Timestamp, ClassesCarryTheirCompileTime) {
  Unknown::Handle_T<Unknown> library = Unknown::createInstance();
  expectTimestamp(library->getClassTimestamp());

  // Classes of this module carry this module's compile time.
  Unknown::Handle_T<Unknown> tracked = Tracked::createInstance();
  Unknown::Handle_T<Unknown> child = TrackedChild::createInstance();
  expectTimestamp(tracked->getClassTimestamp());
  EXPECT_STREQ(tracked->getClassTimestamp(), Unknown::makeClassTimestamp(__DATE__, __TIME__));
  EXPECT_STREQ(child->getClassTimestamp(), tracked->getClassTimestamp());
}

}  // namespace
