#include "vemo/core/CallStack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <cxxabi.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "vemo/core/DllModule.h"
#include "vemo/core/Exception.h"
#include "vemo/core/MessageReader.h"
#include "vemo/core/Process.h"
#include "vemo/core/Stream.h"
#include "vemo/core/StringHelper.h"

using namespace vemo;

namespace {

// Lines reported by a dump, in order.
struct Lines : CallStack::Callback {
  void report(const char* line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

// Errors and debug lines of the log, in order.
struct LogLines : tests::LogCapture {
  void debug(const wchar_t* text) override { lines.push_back(L"debug: " + std::wstring(text)); }
};

std::vector<std::string> dumpOf(CallStack* stack) {
  Lines lines;
  stack->dump(lines);
  return lines.lines;
}

// Index of the first line of the frame of `function` (named `name`), or -1. The names of the
// test's functions are looked for; where the platform finds none (Wine reads no symbols of a
// Windows program built without debugging information, as the test programs are), a line
// without a name is taken for the function when its return address lies in its first bytes.
template <class Text>
int findFrame(const std::vector<Text>& lines, const char* name, const void* function) {
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(function);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string line(lines[i].begin(), lines[i].end());  // ASCII
    if (line.find(name) != std::string::npos) return static_cast<int>(i);
#if defined(_WIN32)
    const std::size_t hex = line.find("0x");
    if (hex == std::string::npos || line.find("(Function name unavailable)") == std::string::npos)
      continue;
    const std::uintptr_t address = std::stoull(line.substr(hex + 2), nullptr, 16);
    if (address > start && address < start + 4096) return static_cast<int>(i);
#endif
  }
  (void)start;
  return -1;
}

// Every frame line has one of the two shapes, and none comes from the capturing code.
void expectWellFormed(const std::vector<std::string>& lines) {
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Call Stack:");
  const std::regex withLine(R"(    .+ \(\d+\): .+)");
  const std::regex withoutLine("    0x[0-9A-F]{" + std::to_string(2 * sizeof(void*)) +
                               R"(} \(File and line number not available\): .+)");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], withLine) || std::regex_match(lines[i], withoutLine))
        << lines[i];
    for (const char* own : {"CallStack.cpp", "CallStack_posix.cpp", "CallStack_win32.cpp",
                            "getStackTrace", "getCallStack", "backtrace", "RtlCapture"})
      EXPECT_EQ(lines[i].find(own), std::string::npos) << lines[i];
  }
}

int g_captureLine = 0;

// Wine's x86 stack walker follows frame pointers only and does not read the call-frame
// information of code built without them (the optimised library): from 32-bit Windows programs
// under Wine the walk loses or invents frames. These checks are left to 64-bit Windows there.
#if defined(_WIN32) && !defined(_WIN64)
#define SKIP_WHERE_THE_WALK_IS_UNRELIABLE() \
  GTEST_SKIP() << "the 32-bit stack walk under Wine loses frames"
#else
#define SKIP_WHERE_THE_WALK_IS_UNRELIABLE() (void)0
#endif

#if defined(__GNUC__)
#define TEST_FRAME __attribute__((noinline, optimize("no-omit-frame-pointer")))
#define TEST_NOINLINE __attribute__((noinline))
#else
#define TEST_FRAME
#define TEST_NOINLINE
#endif

TEST_FRAME CallStack* vemoTestInnerFrame(bool fast) {
  // clang-format off
  g_captureLine = __LINE__; CallStack* stack = fast ? CallStack::getCallStack_fast() : CallStack::getCallStack();
  // clang-format on
  asm volatile("" ::: "memory");  // keeps the call from becoming a jump
  return stack;
}

TEST_FRAME CallStack* vemoTestOuterFrame(bool fast) {
  CallStack* stack = vemoTestInnerFrame(fast);
  asm volatile("" ::: "memory");  // keeps the call from becoming a jump
  return stack;
}

TEST_FRAME void vemoTestThrowingFrame() {
  tests::Bytes* bytes = new tests::Bytes(std::string("\x27\x10\x00", 3));
  InputStream is(bytes);
  unsigned int id;
  is >> id;  // three bytes of four: the library throws
}

TEST_FRAME void vemoTestUnknownMessage(LogLines&) {
  MessageReader reader;
  InputStream is(new tests::Bytes);
  EXPECT_FALSE(reader.analyse(MessageReader::MessagePackage{7u, &is}));
  asm volatile("" ::: "memory");
}

void vemoTestCatchingFrame();

// Built as the rest of the program is: without frame pointers in an optimised build.
TEST_NOINLINE CallStack* vemoTestFastLeaf() {
  CallStack* stack = CallStack::getCallStack_fast();
  asm volatile("" ::: "memory");  // keeps the call from becoming a jump
  return stack;
}

TEST_NOINLINE void vemoTestFastTraceLeaf(CallStack* stack) {
  stack->getStackTrace_fast();
  asm volatile("" ::: "memory");
}

// True when `address` lies in the first bytes of `function`: a return address of a call in it.
bool returnsInto(std::uintptr_t address, const void* function) {
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(function);
  return address > start && address < start + 1024;
}

}  // namespace

TEST(CallStack, DumpNamesTheCallersWithFileAndLine) {
  SKIP_WHERE_THE_WALK_IS_UNRELIABLE();
  CallStack* stacks[2];
  for (volatile int i = 0; i < 2; ++i)  // one call site for both
    stacks[i] = vemoTestOuterFrame(false);
  CallStack* stack = stacks[0];
  ASSERT_GT(stack->size(), 2u);
  const std::vector<std::string> lines = dumpOf(stack);
  expectWellFormed(lines);
  const int inner =
      findFrame(lines, "vemoTestInnerFrame", reinterpret_cast<const void*>(&vemoTestInnerFrame));
  const int outer =
      findFrame(lines, "vemoTestOuterFrame", reinterpret_cast<const void*>(&vemoTestOuterFrame));
  ASSERT_GE(inner, 1) << ::testing::PrintToString(lines);
  EXPECT_GT(outer, inner);
  // Nothing of the capture comes before the frame that asked for it.
  EXPECT_EQ(inner, 1) << ::testing::PrintToString(lines);
#if !defined(_WIN32)
  EXPECT_NE(lines[inner].find("CallStackTest.cpp (" + std::to_string(g_captureLine) + "): "),
            std::string::npos)
      << lines[inner];
  EXPECT_NE(lines[outer].find("CallStackTest.cpp ("), std::string::npos) << lines[outer];
#endif
  // A second capture from the same place holds the same addresses.
  EXPECT_TRUE(*stacks[1] == *stack);
  stacks[1]->push(0);
  EXPECT_FALSE(*stacks[1] == *stack);
  stacks[1]->destroy();

  // Shared: the stack outlives the first of two references.
  stack->addRef();
  stack->destroy();
  EXPECT_EQ(dumpOf(stack), lines);
  stack->destroy();
}

TEST(CallStack, FastWalkStopsSafely) {
  // The test's frames keep their frame pointers; those of other code may not, which ends the walk
  // there without reading outside the stack.
  CallStack* stack = vemoTestOuterFrame(true);
  const std::vector<std::string> lines = dumpOf(stack);
  expectWellFormed(lines);
#if defined(__GNUC__) && !defined(_WIN32)
  EXPECT_GE(
      findFrame(lines, "vemoTestOuterFrame", reinterpret_cast<const void*>(&vemoTestOuterFrame)), 1)
      << ::testing::PrintToString(lines);
#endif
  stack->destroy();
}

TEST(CallStack, FastWalkStartsAtItsCaller) {
  // The first address is the caller's, whether or not the caller keeps a frame pointer.
  CallStack* stack = vemoTestFastLeaf();
  ASSERT_GE(stack->size(), 1u);
  EXPECT_TRUE(returnsInto((*stack)[0], reinterpret_cast<const void*>(&vemoTestFastLeaf)));
  std::vector<std::string> lines = dumpOf(stack);
  expectWellFormed(lines);
  EXPECT_EQ(findFrame(lines, "vemoTestFastLeaf", reinterpret_cast<const void*>(&vemoTestFastLeaf)),
            1)
      << ::testing::PrintToString(lines);

  // getStackTrace_fast appends from its own caller on.
  stack->clear();
  stack->push(0x10);
  vemoTestFastTraceLeaf(stack);
  ASSERT_GE(stack->size(), 2u);
  EXPECT_EQ((*stack)[0], 0x10u);
  EXPECT_TRUE(returnsInto((*stack)[1], reinterpret_cast<const void*>(&vemoTestFastTraceLeaf)));
  lines = dumpOf(stack);
  EXPECT_EQ(findFrame(lines, "vemoTestFastTraceLeaf",
                      reinterpret_cast<const void*>(&vemoTestFastTraceLeaf)),
            2)
      << ::testing::PrintToString(lines);
  stack->destroy();
}

#if defined(__linux__) && defined(__x86_64__)
namespace {

// A fiber: a function run on a stack block of its own through makecontext/swapcontext.
struct Fiber {
  ucontext_t caller, own;
  CallStack* stack = nullptr;
};
Fiber* g_fiber = nullptr;

TEST_FRAME void vemoTestFiberEntry() {
  g_fiber->stack = CallStack::getCallStack_fast();
  asm volatile("" ::: "memory");
}

}  // namespace

TEST(CallStack, FastWalkOnAStackOfItsOwn) {
  // The fiber's stack lies between two inaccessible pages, away from the thread's stack. Where
  // its frame-pointer chain would go on, it points just past the block, into the upper guard:
  // the walk must end at the block's edge without reading there.
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t size = 16 * page;
  void* mapping =
      mmap(nullptr, size + 2 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  char* block = static_cast<char*>(mapping) + page;
  ASSERT_EQ(mprotect(block, size, PROT_READ | PROT_WRITE), 0);
  std::memset(block, 0xA5, size);  // no zero that would end the walk by chance

  Fiber fiber;
  g_fiber = &fiber;
  ASSERT_EQ(getcontext(&fiber.own), 0);
  fiber.own.uc_stack.ss_sp = block;
  fiber.own.uc_stack.ss_size = size;
  fiber.own.uc_link = &fiber.caller;
  makecontext(&fiber.own, vemoTestFiberEntry, 0);
  fiber.own.uc_mcontext.gregs[REG_RBP] = reinterpret_cast<greg_t>(block + size);
  ASSERT_EQ(swapcontext(&fiber.caller, &fiber.own), 0);

  ASSERT_NE(fiber.stack, nullptr);
  ASSERT_GE(fiber.stack->size(), 1u);
  EXPECT_LE(fiber.stack->size(), 3u);  // the entry, the context start, nothing beyond
  EXPECT_TRUE(returnsInto((*fiber.stack)[0], reinterpret_cast<const void*>(&vemoTestFiberEntry)));
  const std::vector<std::string> lines = dumpOf(fiber.stack);
  expectWellFormed(lines);
  EXPECT_EQ(
      findFrame(lines, "vemoTestFiberEntry", reinterpret_cast<const void*>(&vemoTestFiberEntry)), 1)
      << ::testing::PrintToString(lines);
  fiber.stack->destroy();
  munmap(mapping, size + 2 * page);
}
#endif

TEST(CallStack, IndexReadsOnlyWhatWasPushed) {
  // Chunks that held more addresses before clear() keep them: reads past the size or across a
  // chunk's edge must not see them.
  CallStack* stack = CallStack::getCallStack_fast();
  stack->clear();
  for (std::uintptr_t i = 0; i < 100; ++i)
    stack->push(0xBAD00000u + i);
  stack->clear();
  for (std::uintptr_t i = 0; i < 64; ++i)
    stack->push(0x1000 + i);
  ASSERT_EQ(stack->size(), 64u);
  EXPECT_EQ((*stack)[0], 0x1000u);
  EXPECT_EQ((*stack)[31], 0x1000u + 31);
  EXPECT_EQ((*stack)[32], 0x1000u + 32);
  EXPECT_EQ((*stack)[63], 0x1000u + 63);
  EXPECT_EQ((*stack)[64], 0u);
  EXPECT_EQ((*stack)[65], 0u);
  EXPECT_EQ((*stack)[99], 0u);
  EXPECT_EQ((*stack)[~0u], 0u);
  // Equal to a fresh stack of the same 64 addresses, whatever the stale chunks hold.
  CallStack* fresh = CallStack::getCallStack_fast();
  fresh->clear();
  for (std::uintptr_t i = 0; i < 64; ++i)
    fresh->push(0x1000 + i);
  EXPECT_TRUE(*stack == *fresh);
  stack->push(0x1000 + 64);  // into the third chunk, over a stale address
  EXPECT_EQ((*stack)[64], 0x1000u + 64);
  EXPECT_FALSE(*stack == *fresh);
  fresh->destroy();
  stack->destroy();
}

TEST(CallStack, ChunksAndEquality) {
  CallStack* stack = CallStack::getCallStack();
  CallStack* other = CallStack::getCallStack_fast();
  stack->clear();
  other->clear();
  EXPECT_EQ(stack->size(), 0u);
  EXPECT_TRUE(*stack == *other);
  EXPECT_EQ(dumpOf(stack), std::vector<std::string>{"Call Stack:"});

  for (std::uintptr_t i = 0; i < 40; ++i)
    stack->push(0x1000 + i);
  ASSERT_EQ(stack->size(), 40u);
  EXPECT_EQ((*stack)[0], 0x1000u);
  EXPECT_EQ((*stack)[31], 0x1000u + 31);
  EXPECT_EQ((*stack)[32], 0x1000u + 32);  // the first of the second chunk
  EXPECT_EQ((*stack)[35], 0x1000u + 35);
  EXPECT_EQ((*stack)[39], 0x1000u + 39);
  EXPECT_EQ((*stack)[40], 0u);  // past the end
  EXPECT_FALSE(*stack == *other);

  for (std::uintptr_t i = 0; i < 40; ++i)
    other->push(0x1000 + i);
  EXPECT_TRUE(*stack == *other);
  other->clear();  // refilled into the chunks it already has, one address different
  for (std::uintptr_t i = 0; i < 40; ++i)
    other->push(i == 33 ? 0 : 0x1000 + i);
  EXPECT_EQ((*other)[33], 0u);
  EXPECT_FALSE(*stack == *other);
  for (std::uintptr_t i = 0; i < 100; ++i)
    other->push(i);  // a third, fourth and fifth chunk
  EXPECT_EQ(other->size(), 140u);
  EXPECT_EQ((*other)[139], 99u);
  other->destroy();

  // Addresses outside any module: shown with the width of a pointer.
  stack->clear();
  stack->push(0x10);
  const std::string address = sizeof(void*) == 8 ? "0x0000000000000010" : "0x00000010";
  EXPECT_EQ(dumpOf(stack),
            (std::vector<std::string>{"Call Stack:", "    " + address +
                                                         " (File and line number not available): "
                                                         "(Function name unavailable)"}));
  stack->destroy();
}

TEST(CallStack, Reporters) {
#if !defined(_WIN32)
  ::testing::internal::CaptureStderr();
  DumpCallStack_VS().report("to the debugger");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\nto the debugger");
#endif
  ::testing::internal::CaptureStdout();
  DumpCallStack_Console().report("to the console");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\nto the console");

  LogLines log;
  DumpCallStack_Log().report("to the log");
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"debug: to the log"});
}

TEST(CallStack, ExceptionCarriesItsStack) {
  SKIP_WHERE_THE_WALK_IS_UNRELIABLE();
  vemoTestCatchingFrame();
}

TEST(CallStack, UnknownMessageLogsTheStack) {
  SKIP_WHERE_THE_WALK_IS_UNRELIABLE();
  LogLines log;
  vemoTestUnknownMessage(log);
  ASSERT_GE(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0], L"error: Unknown message(7).");
  EXPECT_EQ(log.lines[1], L"debug: Call Stack:");
  EXPECT_GE(findFrame(log.lines, "vemoTestUnknownMessage",
                      reinterpret_cast<const void*>(&vemoTestUnknownMessage)),
            2);
}

namespace {

TEST_FRAME void vemoTestCatchingFrame() {
  LogLines log;
  try {
    vemoTestThrowingFrame();
    FAIL() << "no exception";
  } catch (const Exception& thrown) {
    ASSERT_NE(thrown.callStack(), nullptr);
    Exception copy = thrown;  // shares the capture
    EXPECT_EQ(copy.callStack(), thrown.callStack());
    Exception assigned(L"file", 1, L"function", -1, L"other");
    CallStack* own = assigned.callStack();
    assigned = copy;
    assigned = assigned;
    EXPECT_EQ(assigned.callStack(), thrown.callStack());
    EXPECT_NE(own, thrown.callStack());
    { Exception last = assigned; }

    copy.report();
    ASSERT_GE(log.lines.size(), 3u);
    EXPECT_EQ(log.lines[0].rfind(L"error: ", 0), 0u);
    EXPECT_EQ(log.lines[0].substr(7), std::wstring(thrown.description()));
    EXPECT_EQ(log.lines[1], L"debug: Call Stack:");
    const int frame = findFrame(log.lines, "vemoTestThrowingFrame",
                                reinterpret_cast<const void*>(&vemoTestThrowingFrame));
    EXPECT_GE(frame, 2);
    EXPECT_GT(findFrame(log.lines, "vemoTestCatchingFrame",
                        reinterpret_cast<const void*>(&vemoTestCatchingFrame)),
              frame);
    for (const std::wstring& line : log.lines)
      EXPECT_EQ(line.find(L"getCallStack"), std::wstring::npos) << line;
  }
}

}  // namespace

namespace {

// Dumps the module's stack: the module was loaded after the symbol reader was made.
struct ModuleDump {
  int (*dumpInModule)(CallStack::Callback*) = nullptr;
  Lines lines;
  int line = 0;
  void run() { line = dumpInModule(&lines); }
  void expectNamed() const {
    const std::vector<std::string>& text = lines.lines;
    ASSERT_GE(text.size(), 3u) << ::testing::PrintToString(text);
    expectWellFormed(text);
#if defined(_WIN32)
    // The line of the return address, which may be the one after the call.
    EXPECT_NE(text[1].find("CallStackModule.cpp ("), std::string::npos) << text[1];
#else
    EXPECT_NE(text[1].find("CallStackModule.cpp (" + std::to_string(line) + "): "),
              std::string::npos)
        << text[1];
#endif
    EXPECT_NE(text[1].find("captureInModule"), std::string::npos) << text[1];
    EXPECT_NE(text[2].find("CallStackModule.cpp ("), std::string::npos) << text[2];
    EXPECT_NE(text[2].find("callStackModuleDump"), std::string::npos) << text[2];
  }
};

}  // namespace

TEST(CallStack, ModulesLoadedLaterAreNamed) {
  SKIP_WHERE_THE_WALK_IS_UNRELIABLE();
  // The symbol reader exists and has read the modules of the process as they are now.
  CallStack* before = vemoTestOuterFrame(false);
  dumpOf(before);

  auto module = DllModule::createInstance();
  String path = getAppPath() + StringHelper::utf8ToWide(VEMO_CALL_STACK_MODULE_NAME);
#if defined(_WIN32)
  path.replace(L'/', L'\\');
#endif
  ASSERT_TRUE(module->load(path));
  auto dumpInModule = reinterpret_cast<int (*)(CallStack::Callback*)>(
      module->getProcAddress(L"callStackModuleDump"));
  ASSERT_NE(dumpInModule, nullptr);

  // Two threads dump frames of the new module at the same moment: one of them makes the reader
  // that knows it, the other uses it or the one before, and both name the module's frames.
  ModuleDump dumps[2];
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (ModuleDump& dump : dumps) {
    dump.dumpInModule = dumpInModule;
    threads.emplace_back([&dump, &ready] {
      ready.fetch_add(1);
      while (ready.load() < 2)
        std::this_thread::yield();
      dump.run();
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (const ModuleDump& dump : dumps)
    dump.expectNamed();
  // And once more, with the reader that is current now.
  ModuleDump again;
  again.dumpInModule = dumpInModule;
  again.run();
  again.expectNamed();
  ASSERT_GE(again.lines.lines.size(), 2u);
  ASSERT_GE(dumps[0].lines.lines.size(), 2u);
  EXPECT_EQ(again.lines.lines[1], dumps[0].lines.lines[1]);

  // Stacks captured before the module came are still named as they were.
  const std::vector<std::string> beforeLines = dumpOf(before);
  EXPECT_EQ(findFrame(beforeLines, "vemoTestInnerFrame",
                      reinterpret_cast<const void*>(&vemoTestInnerFrame)),
            1)
      << ::testing::PrintToString(beforeLines);
  before->destroy();
  module->unload();
}

#if defined(__linux__) && defined(__GNUC__)
// The symbol reader must outlive the library's static objects: a dump in an exit handler that
// runs after them, and a dump that another thread is in the middle of while they are destroyed,
// still name their frames. The exit handler is registered from the program's pre-initialisers,
// before the library is initialised, so that it runs after the library's static destructors.
namespace {

std::atomic<bool> g_lateArmed{false};
std::atomic<bool> g_lateInDump{false};
std::atomic<bool> g_lateTornDown{false};
std::atomic<bool> g_lateDumpDone{false};
CallStack* g_lateStack = nullptr;

// Holds the dump at its first frame until the library's statics are gone.
struct HeldLines : CallStack::Callback {
  void report(const char* line) override {
    lines.emplace_back(line);
    if (lines.size() != 2) return;
    g_lateInDump.store(true);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g_lateTornDown.load() && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::vector<std::string> lines;
};
HeldLines* g_heldLines = nullptr;

bool names(const std::vector<std::string>& lines, const char* function) {
  for (const std::string& line : lines)
    if (line.find(function) != std::string::npos &&
        line.find("CallStackTest.cpp (") != std::string::npos)
      return true;
  return false;
}

TEST_NOINLINE void vemoTestLateExit() {
  if (!g_lateArmed.load()) return;
  g_lateTornDown.store(true);  // the held dump goes on now
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!g_lateDumpDone.load() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool heldOk = g_lateDumpDone.load() && names(g_heldLines->lines, "vemoTestInnerFrame") &&
                      names(g_heldLines->lines, "vemoTestOuterFrame");
  Lines late;
  CallStack* stack = CallStack::getCallStack();
  stack->dump(late);
  const bool lateOk = names(late.lines, "vemoTestLateExit");
  std::fprintf(stderr, "held dump: %s; late dump: %s\n", heldOk ? "named" : "broken",
               lateOk ? "named" : "broken");
  for (const std::string& line : g_heldLines->lines)
    std::fprintf(stderr, "%s\n", line.c_str());
  for (const std::string& line : late.lines)
    std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  std::_Exit(heldOk && lateOk ? 0 : 1);
}

void vemoTestRegisterLateExit(int, char**, char**) {
  // Not std::atexit: that ties the handler to this program, whose exit handlers the loader runs
  // before those of the libraries. One tied to no module runs after all of them.
  abi::__cxa_atexit([](void*) { vemoTestLateExit(); }, nullptr, nullptr);
}
__attribute__((section(".preinit_array"),
               used)) void (*const g_registerLateExit)(int, char**,
                                                       char**) = vemoTestRegisterLateExit;

void vemoTestExitDuringDump() {
  g_lateStack = vemoTestOuterFrame(false);
  g_heldLines = new HeldLines;
  std::thread([] {
    g_lateStack->dump(*g_heldLines);
    g_lateDumpDone.store(true);
  }).detach();
  while (!g_lateInDump.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  g_lateArmed.store(true);
  std::exit(0);
}

}  // namespace

TEST(CallStack, SymbolReaderOutlivesTheLibrarysStatics) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(vemoTestExitDuringDump(), ::testing::ExitedWithCode(0),
              "held dump: named; late dump: named");
}
#endif
