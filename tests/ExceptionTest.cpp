// Exception: source location and texts, report() through the log, and error texts of errno values.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/CallStack.h"
#include "vemo/core/Exception.h"
#include "vemo/core/File.h"
#include "vemo/core/Log.h"

using namespace vemo;

namespace {

using Errors = tests::LogCapture;  // errors are marked "error: "

TEST(ExceptionTest, OwnsItsFieldsAndCopiesOutliveTheOriginal) {
  wchar_t file[] = L"include/vemo/core/Buffer.h", description[] = L"read past the end";
  auto* original = new Exception(file, 77, L"TyIs& operator >>(TyIs &, Buffer &)", 42, description);
  file[0] = description[0] = L'#';  // the caller's texts change, the exception's do not
  const Exception copy(*original);
  delete original;
  EXPECT_STREQ(copy.file(), L"include/vemo/core/Buffer.h");
  EXPECT_STREQ(copy.function(), L"TyIs& operator >>(TyIs &, Buffer &)");
  EXPECT_TRUE(copy.line() == 77 && copy.code() == 42) << copy.line() << ", " << copy.code();
  EXPECT_STREQ(copy.description(), L"read past the end");
  EXPECT_STREQ(Exception(L"a.cpp", 1, "f(\xC3\xA9)", -1, L"").function(), L"f(\u00E9)");  // UTF-8
}

// Code that catches the standard library's exceptions catches the library's too, and reads its
// description as UTF-8; copies and assignments carry it.
TEST(ExceptionTest, IsAStandardExceptionWithItsDescriptionInUtf8) {
  try {
    VEMO_THROW(7, L"caf\u00E9 d\u00E9j\u00E0 vu");
  } catch (const std::exception& caught) {
    EXPECT_STREQ(caught.what(), "caf\xC3\xA9 d\xC3\xA9j\xC3\xA0 vu");
    EXPECT_NE(dynamic_cast<const Exception*>(&caught), nullptr);
  }
  Exception assigned(L"a.cpp", 1, L"f", -1, L"first");
  const Exception second(L"b.cpp", 2, L"g", -1, L"second");
  assigned = second;
  EXPECT_STREQ(assigned.what(), "second");
  EXPECT_STREQ(Exception(second).what(), "second");
  EXPECT_STREQ(Exception(L"c.cpp", 3, L"h", -1, L"").what(), "");
}

struct Reader {
  void readHeader(int line) { VEMO_THROW(line, L"bad header"); }
};

TEST(ExceptionTest, ThrowRecordsTheSiteAndReportLogsTheDescriptionLiterally) {
  Errors log;
  try {
    Reader().readHeader(4711);
    FAIL() << "nothing was thrown";
  } catch (const Exception& e) {
    const std::wstring file = e.file(), function = e.function();
    EXPECT_EQ(file.rfind(L"/ExceptionTest.cpp"), file.size() - 18) << file;
    EXPECT_EQ(e.line(), 4711);  // the given line, not the macro's
    EXPECT_NE(function.find(L"Reader::readHeader(int)"), std::wstring::npos) << function;
    EXPECT_EQ(e.code(), -1);
    e.report();
  }
  Exception(L"f.cpp", 1, L"void f()", -1, L"100% done: %s %d %S %n %%").report();
  EXPECT_EQ(log.lines,
            (std::vector<std::wstring>{L"error: bad header", L"error: 100% done: %s %d %S %n %%"}));
}

#if defined(__GNUC__)
#define TEST_NOINLINE __attribute__((noinline))
#else
#define TEST_NOINLINE
#endif

int g_throwLine = 0;

TEST_NOINLINE void thrower() {
  g_throwLine = __LINE__ + 1;
  VEMO_THROW(g_throwLine, L"thrown here");
}

struct DumpLines : CallStack::Callback {
  void report(const char* line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

TEST(ExceptionTest, CallStackBeginsAtTheThrowSite) {
  try {
    thrower();
    FAIL() << "nothing was thrown";
  } catch (const Exception& e) {
    ASSERT_NE(e.callStack(), nullptr);
    const CallStack& stack = *e.callStack();
    ASSERT_GE(stack.size(), 1u);
    // The first address is the return from the constructor into the throwing function.
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(&thrower);
    EXPECT_TRUE(stack[0] > start && stack[0] < start + 1024)
        << std::hex << stack[0] << " outside " << start;
    DumpLines dump;
    e.callStack()->dump(dump);
    ASSERT_GE(dump.lines.size(), 2u);
    EXPECT_EQ(dump.lines[0], "Call Stack:");
    EXPECT_NE(dump.lines[1].find("thrower"), std::string::npos) << dump.lines[1];
#if !defined(_WIN32)
    EXPECT_NE(dump.lines[1].find("ExceptionTest.cpp (" + std::to_string(g_throwLine) + "): "),
              std::string::npos)
        << dump.lines[1];
#endif
    for (const std::string& line : dump.lines) {
      EXPECT_EQ(line.find("Exception.cpp"), std::string::npos) << line;
      EXPECT_EQ(line.find("Exception::Exception"), std::string::npos) << line;
    }
  }
}

TEST_NOINLINE void deepThrower(int depth, CallStack** direct) {
  if (depth > 0) {
    deepThrower(depth - 1, direct);
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump
    return;
  }
  *direct = CallStack::getCallStack();
  VEMO_THROW(__LINE__, L"deep");
}

bool returnsInto(std::uintptr_t address, const void* function) {
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(function);
  return address > start && address < start + 1024;
}

TEST(ExceptionTest, DeepStackKeepsEveryFrameFromTheThrowSite) {
#if defined(_WIN32) && !defined(_WIN64)
  GTEST_SKIP() << "the 32-bit stack walk under Wine loses frames";
#endif
  // More than a chunk of frames before and after the throw site: they are moved to the front
  // across the chunks' edges.
  CallStack* direct = nullptr;
  try {
    deepThrower(40, &direct);
    FAIL() << "nothing was thrown";
  } catch (const Exception& e) {
    ASSERT_NE(direct, nullptr);
    ASSERT_NE(e.callStack(), nullptr);
    const CallStack& thrown = *e.callStack();
    const void* function = reinterpret_cast<const void*>(&deepThrower);
    ASSERT_GE(thrown.size(), 42u);
    EXPECT_EQ(thrown.size(), direct->size());
    // Both begin in the innermost call, at their own call sites; the calls above are the same.
    EXPECT_TRUE(returnsInto(thrown[0], function)) << std::hex << thrown[0];
    EXPECT_TRUE(returnsInto((*direct)[0], function)) << std::hex << (*direct)[0];
    EXPECT_NE(thrown[0], (*direct)[0]);
    for (unsigned int i = 1; i < thrown.size(); ++i)
      EXPECT_EQ(thrown[i], (*direct)[i]) << i;
    for (unsigned int i = 1; i <= 40; ++i)
      EXPECT_TRUE(returnsInto(thrown[i], function)) << i;
    EXPECT_EQ(thrown[thrown.size()], 0u);
    // Addresses pushed later go after the last one kept.
    const unsigned int size = direct->size();
    direct->push(0x10);
    direct->push(0x20);
    EXPECT_EQ(direct->size(), size + 2);
    EXPECT_EQ((*direct)[size - 1], thrown[size - 1]);
    EXPECT_EQ((*direct)[size], 0x10u);
    EXPECT_EQ((*direct)[size + 1], 0x20u);
    direct->destroy();
  }
}

// The symbolic errno values with a text of their own; the system's texts are the C library's.
TEST(ExceptionTest, ErrorTextsOfEveryNumber) {
  const std::wstring table =
      L"EPERM: Operation not permitted.|ENOENT: No such file or directory.|ESRCH: No such "
      L"process.|EINTR: Interrupted function.|EIO: I/O error.|ENXIO: No such device or address.|"
      L"E2BIG: Argument list too long.|ENOEXEC: Exec format error.|EBADF: Bad file number.|"
      L"ECHILD: No spawned processes.|EAGAIN: No more processes or not enough memory or maximum "
      L"nesting level reached.|ENOMEM: Not enough memory.|EACCES: Permission denied.|EFAULT: Bad "
      L"address.|EBUSY: Device or resource busy.|EEXIST: File exists.|EXDEV: Cross-device link.|"
      L"ENODEV: No such device.|ENOTDIR: Not a directory.|EISDIR: Is a directory.|EINVAL: Invalid "
      L"argument.|ENFILE: Too many files open in system.|EMFILE: Too many open files.|ENOTTY: "
      L"Inappropriate I/O control operation.|EFBIG: File too large.|ENOSPC: No space left on "
      L"device.|ESPIPE: Invalid seek.|EROFS: Read-only file system.|EMLINK: Too many links.|EPIPE: "
      L"Broken pipe.|EDOM: Math argument.|ERANGE: Result too large.|EDEADLK: Resource deadlock "
      L"would occur.|ENAMETOOLONG: Filename too long.|ENOLCK: No locks available.|ENOSYS: Function "
      L"not supported.|ENOTEMPTY: Directory not empty.|EILSEQ: Illegal byte sequence.|";
  auto widen = [](const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); };
  std::map<std::wstring, std::wstring> texts;  // by symbol
  for (std::size_t at = 0, bar; (bar = table.find(L'|', at)) != std::wstring::npos; at = bar + 1)
    texts[table.substr(at, table.find(L':', at) - at)] = table.substr(at, bar - at);
  errno = 0;
  EXPECT_STREQ(File::getLastError(), L"");
#if defined(_WIN32)
  // The run-time library's errno numbers are the classic ones: the table is indexed by them.
  const char* const symbols[] = {
      "",        "EPERM",     "ENOENT", "ESRCH",  "EINTR",   "EIO",    "ENXIO",        "E2BIG",
      "ENOEXEC", "EBADF",     "ECHILD", "EAGAIN", "ENOMEM",  "EACCES", "EFAULT",       nullptr,
      "EBUSY",   "EEXIST",    "EXDEV",  "ENODEV", "ENOTDIR", "EISDIR", "EINVAL",       "ENFILE",
      "EMFILE",  "ENOTTY",    nullptr,  "EFBIG",  "ENOSPC",  "ESPIPE", "EROFS",        "EMLINK",
      "EPIPE",   "EDOM",      "ERANGE", nullptr,  "EDEADLK", nullptr,  "ENAMETOOLONG", "ENOLCK",
      "ENOSYS",  "ENOTEMPTY", "EILSEQ"};
  for (int number = -1; number < 4096; number += number == -1 ? 2 : 1) {  // all but 0
    errno = number;
    const char* symbol = number > 0 && number <= 42 ? symbols[number] : nullptr;
    const auto text = symbol ? texts.find(widen(symbol)) : texts.end();
    const std::wstring unknown = L"UNKNOWN: Unknown error(" + std::to_wstring(number) + L").";
    EXPECT_EQ(File::getLastError(), text != texts.end() ? text->second
                                    : number == 80      ? L"STRUNCATE: String was truncated"
                                    : number > 0 && number <= 42 ? unknown
                                                                 : L"UNKNOWN: Unknown error")
        << "errno " << number;
    if (text != texts.end()) texts.erase(text);
  }
  EXPECT_TRUE(texts.empty()) << texts.begin()->first << " is not a number here";
  // System error codes: the system's message table, without the line break that ends its texts.
  for (unsigned long code : {2ul, 5ul, 87ul}) {
    const std::wstring text = getErrorString(code).getBuffer();
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_TRUE(text.empty() || (text.back() != L'\n' && text.back() != L'\r')) << code;
  }
  EXPECT_TRUE(getErrorString(0x2FFFFFFFul).isEmpty());  // no such message
#else
  for (int number = -1; number < 4096; number += number == -1 ? 2 : 1) {  // all but 0
    const char* symbol = strerrorname_np(number);
    const auto text = symbol ? texts.find(widen(symbol)) : texts.end();
    errno = number;
    EXPECT_EQ(File::getLastError(), text == texts.end() ? L"UNKNOWN: Unknown error" : text->second)
        << "errno " << number;
    if (text != texts.end()) texts.erase(text);  // each symbol is one number
    const std::wstring system = symbol ? widen(std::strerror(number)) : L"";
    EXPECT_EQ(std::wstring(getErrorString(number).getBuffer()), system) << number;
  }
  EXPECT_TRUE(texts.empty()) << texts.begin()->first << " is not a number here";
#endif
}

}  // namespace
