#include "vemo/core/CallStack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Exception.h"
#include "vemo/core/MessageReader.h"
#include "vemo/core/Stream.h"

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
#else
#define TEST_FRAME
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
