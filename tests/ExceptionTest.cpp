// Exception: source location and texts, report() through the log, and error texts of errno values.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vemo/core/Exception.h"
#include "vemo/core/File.h"
#include "vemo/core/Log.h"

namespace vemo {
namespace {

// Plain widening of an ASCII text (the C locale's error texts are ASCII).
std::wstring widen(const char* text) {
  std::wstring wide;
  for (; *text; ++text)
    wide.push_back(static_cast<unsigned char>(*text));
  return wide;
}

bool endsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Collects everything the log hands out while it is registered.
class CaptureListener final : public LogListener {
 public:
  CaptureListener() { Log::addListener(this); }
  ~CaptureListener() { Log::removeListener(this); }

  const wchar_t* getName() override { return L"exception-test-capture"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { errors.push_back(text); }
  void warning(const wchar_t* text) override { others.push_back(text); }
  void message(const wchar_t* text) override { others.push_back(text); }
  void debug(const wchar_t* text) override { others.push_back(text); }
  void whistle(bool) override { others.push_back(L"<whistle>"); }

  std::vector<std::wstring> errors;
  std::vector<std::wstring> others;
};

// ---------------------------------------------------------------------------------------------
// Exception fields

TEST(ExceptionTest, KeepsAllFiveFields) {
  const Exception e(L"src/Stream.cpp", 117, L"int read(void)", 42, L"peek data error!");
  EXPECT_STREQ(e.file(), L"src/Stream.cpp");
  EXPECT_EQ(e.line(), 117);
  EXPECT_STREQ(e.function(), L"int read(void)");
  EXPECT_EQ(e.code(), 42);
  EXPECT_STREQ(e.description(), L"peek data error!");
}

TEST(ExceptionTest, NarrowSignatureIsDecodedAsUtf8) {
  // "void f(é, ü)" as UTF-8, as a compiler may spell a signature.
  const Exception e(L"a.cpp", 1, "void f(\xC3\xA9, \xC3\xBC)", -1, L"x");
  EXPECT_STREQ(e.function(), L"void f(\u00E9, \u00FC)");
  const Exception empty(L"", 0, "", 0, L"");
  EXPECT_STREQ(empty.file(), L"");
  EXPECT_STREQ(empty.function(), L"");
  EXPECT_STREQ(empty.description(), L"");
}

TEST(ExceptionTest, OwnsItsTextsAndCopiesOutliveTheOriginal) {
  wchar_t file[32], function[64], description[64];
  std::wcscpy(file, L"include/vemo/core/Buffer.h");
  std::wcscpy(function, L"TyIs& operator >>(TyIs &, Buffer &)");
  std::wcscpy(description, L"read past the end");

  auto original = std::make_unique<Exception>(file, 77, function, -1, description);
  // Overwriting the caller's buffers leaves the exception untouched.
  std::wmemset(file, L'#', 31);
  std::wmemset(function, L'#', 63);
  std::wmemset(description, L'#', 63);
  EXPECT_STREQ(original->file(), L"include/vemo/core/Buffer.h");
  EXPECT_STREQ(original->function(), L"TyIs& operator >>(TyIs &, Buffer &)");
  EXPECT_STREQ(original->description(), L"read past the end");

  const Exception copied(*original);
  Exception assigned(L"other.cpp", 1, L"void g()", 5, L"to be replaced");
  assigned = *original;
  original.reset();

  for (const Exception* e : {&copied, static_cast<const Exception*>(&assigned)}) {
    EXPECT_STREQ(e->file(), L"include/vemo/core/Buffer.h");
    EXPECT_EQ(e->line(), 77);
    EXPECT_STREQ(e->function(), L"TyIs& operator >>(TyIs &, Buffer &)");
    EXPECT_EQ(e->code(), -1);
    EXPECT_STREQ(e->description(), L"read past the end");
  }
}

// ---------------------------------------------------------------------------------------------
// VEMO_THROW

[[noreturn]] void throwFromHelper(int line, const wchar_t* description) {
  VEMO_THROW(line, description);
}

TEST(ExceptionTest, ThrowMacroRecordsFileLineFunctionAndCode) {
  try {
    throwFromHelper(4711, L"peek data error!");
    FAIL() << "nothing was thrown";
  } catch (const Exception& e) {
    EXPECT_TRUE(endsWith(e.file(), L"ExceptionTest.cpp")) << e.file();
    EXPECT_EQ(e.line(), 4711);  // the given line, not the line of the macro
    const std::wstring function = e.function();
    EXPECT_NE(function.find(L"throwFromHelper("), std::wstring::npos) << function;
    EXPECT_NE(function.find(L"int"), std::wstring::npos) << function;  // the parameter list
    EXPECT_EQ(e.code(), -1);
    EXPECT_STREQ(e.description(), L"peek data error!");
  }
}

TEST(ExceptionTest, ThrowMacroInsideAMemberFunctionNamesTheClass) {
  struct Reader {
    void readHeader() { VEMO_THROW(12, L"bad header"); }
  };
  try {
    Reader().readHeader();
    FAIL() << "nothing was thrown";
  } catch (const Exception& e) {
    const std::wstring function = e.function();
    EXPECT_NE(function.find(L"Reader::readHeader"), std::wstring::npos) << function;
    EXPECT_EQ(e.line(), 12);
  }
}

// ---------------------------------------------------------------------------------------------
// report()

TEST(ExceptionTest, ReportLogsExactlyTheDescriptionAsOneError) {
  CaptureListener log;
  const Exception plain(L"f.cpp", 1, L"void f()", -1, L"peek data error!");
  plain.report();
  // Format directives in the description are text, not directives.
  const Exception percent(L"f.cpp", 2, L"void f()", -1, L"100% done: %s %d %S %n %%");
  percent.report();
  const Exception empty(L"f.cpp", 3, L"void f()", -1, L"");
  empty.report();

  ASSERT_EQ(log.errors.size(), 3u);
  EXPECT_EQ(log.errors[0], L"peek data error!");
  EXPECT_EQ(log.errors[1], L"100% done: %s %d %S %n %%");
  EXPECT_EQ(log.errors[2], L"");
  EXPECT_TRUE(log.others.empty());
}

TEST(ExceptionTest, ReportLogsALongDescriptionWhole) {
  CaptureListener log;
  std::wstring description(40000, L'x');
  description[0] = L'%';
  description[39999] = L'\u00E9';
  Exception(L"f.cpp", 1, L"void f()", -1, description.c_str()).report();
  ASSERT_EQ(log.errors.size(), 1u);
  EXPECT_EQ(log.errors[0], description);
}

// ---------------------------------------------------------------------------------------------
// File::getLastError

struct ErrnoText {
  int number;
  const wchar_t* text;
};

// Every symbolic errno with a text of its own.
const ErrnoText kErrnoTexts[] = {
    {EPERM, L"EPERM: Operation not permitted."},
    {ENOENT, L"ENOENT: No such file or directory."},
    {ESRCH, L"ESRCH: No such process."},
    {EINTR, L"EINTR: Interrupted function."},
    {EIO, L"EIO: I/O error."},
    {ENXIO, L"ENXIO: No such device or address."},
    {E2BIG, L"E2BIG: Argument list too long."},
    {ENOEXEC, L"ENOEXEC: Exec format error."},
    {EBADF, L"EBADF: Bad file number."},
    {ECHILD, L"ECHILD: No spawned processes."},
    {EAGAIN, L"EAGAIN: No more processes or not enough memory or maximum nesting level reached."},
    {ENOMEM, L"ENOMEM: Not enough memory."},
    {EACCES, L"EACCES: Permission denied."},
    {EFAULT, L"EFAULT: Bad address."},
    {EBUSY, L"EBUSY: Device or resource busy."},
    {EEXIST, L"EEXIST: File exists."},
    {EXDEV, L"EXDEV: Cross-device link."},
    {ENODEV, L"ENODEV: No such device."},
    {ENOTDIR, L"ENOTDIR: Not a directory."},
    {EISDIR, L"EISDIR: Is a directory."},
    {EINVAL, L"EINVAL: Invalid argument."},
    {ENFILE, L"ENFILE: Too many files open in system."},
    {EMFILE, L"EMFILE: Too many open files."},
    {ENOTTY, L"ENOTTY: Inappropriate I/O control operation."},
    {EFBIG, L"EFBIG: File too large."},
    {ENOSPC, L"ENOSPC: No space left on device."},
    {ESPIPE, L"ESPIPE: Invalid seek."},
    {EROFS, L"EROFS: Read-only file system."},
    {EMLINK, L"EMLINK: Too many links."},
    {EPIPE, L"EPIPE: Broken pipe."},
    {EDOM, L"EDOM: Math argument."},
    {ERANGE, L"ERANGE: Result too large."},
    {EDEADLK, L"EDEADLK: Resource deadlock would occur."},
    {ENAMETOOLONG, L"ENAMETOOLONG: Filename too long."},
    {ENOLCK, L"ENOLCK: No locks available."},
    {ENOSYS, L"ENOSYS: Function not supported."},
    {ENOTEMPTY, L"ENOTEMPTY: Directory not empty."},
    {EILSEQ, L"EILSEQ: Illegal byte sequence."},
};

constexpr const wchar_t* kUnknown = L"UNKNOWN: Unknown error";

TEST(ExceptionTest, LastErrorTextOfEverySymbolicErrno) {
  for (const ErrnoText& entry : kErrnoTexts) {
    errno = entry.number;
    EXPECT_STREQ(File::getLastError(), entry.text) << "errno " << entry.number;
  }
  // Aliases of the same numbers.
  errno = EWOULDBLOCK;
  EXPECT_STREQ(File::getLastError(),
               L"EAGAIN: No more processes or not enough memory or maximum nesting level reached.");
  errno = EDEADLOCK;
  EXPECT_STREQ(File::getLastError(), L"EDEADLK: Resource deadlock would occur.");
}

TEST(ExceptionTest, LastErrorTextOfZeroAndOfErrnosWithoutText) {
  errno = 0;
  EXPECT_STREQ(File::getLastError(), L"");
  // Numbers of this system whose meaning has no text, among them the numbers that fall into
  // the gaps of the classic numbering (ENOTBLK and ETXTBSY are 15 and 26 here).
  for (int number : {ENOTBLK, ETXTBSY, EOVERFLOW, ECONNREFUSED, ETIMEDOUT, ENOTSUP, 99999, -1}) {
    errno = number;
    EXPECT_STREQ(File::getLastError(), kUnknown) << "errno " << number;
  }
}

TEST(ExceptionTest, LastErrorTextNamesTheSymbolOfEveryErrnoOfTheSystem) {
  // Across all numbers the C library knows, a text is either the fallback or starts with the
  // C library's own name of that number; exactly the symbols above have a text.
  int named = 0;
  for (int number = 1; number < 4096; ++number) {
    const char* name = strerrorname_np(number);
    errno = number;
    const std::wstring text = File::getLastError();
    if (!name) {
      EXPECT_EQ(text, kUnknown) << "errno " << number;
      continue;
    }
    if (text == kUnknown) continue;
    ++named;
    EXPECT_EQ(text.substr(0, text.find(L':')), widen(name)) << "errno " << number;
    EXPECT_EQ(text.back(), L'.') << "errno " << number;
  }
  EXPECT_EQ(named, static_cast<int>(sizeof kErrnoTexts / sizeof kErrnoTexts[0]));
}

TEST(ExceptionTest, LastErrorTextAfterARealFailure) {
  errno = 0;
  std::FILE* file = std::fopen("/nonexistent-vemo-directory/missing.txt", "rb");
  ASSERT_EQ(file, nullptr);
  EXPECT_STREQ(File::getLastError(), L"ENOENT: No such file or directory.");
}

// ---------------------------------------------------------------------------------------------
// getErrorString / getLastErrorString

TEST(ExceptionTest, ErrorStringIsTheSystemText) {
  EXPECT_EQ(std::wstring(getErrorString(ENOENT).getBuffer()), widen(std::strerror(ENOENT)));
  // Every number the C library knows gives its text.
  for (int number = 1; number < 4096; ++number) {
    if (!strerrorname_np(number)) continue;
    EXPECT_EQ(std::wstring(getErrorString(number).getBuffer()), widen(std::strerror(number)))
        << "error " << number;
  }
}

TEST(ExceptionTest, ErrorStringOfUnknownNumbersIsEmpty) {
  for (unsigned long number : {99999ul, 0x7FFFFFFFul, 0x80000000ul, 0xFFFFFFFFul}) {
    EXPECT_TRUE(getErrorString(number).isEmpty()) << "error " << number;
  }
}

TEST(ExceptionTest, LastErrorStringReadsErrno) {
  for (int number : {EACCES, EISDIR, ENAMETOOLONG}) {
    const std::wstring expected = widen(std::strerror(number));
    errno = number;
    const String text = getLastErrorString();
    EXPECT_EQ(std::wstring(text.getBuffer()), expected) << "errno " << number;
  }
  errno = 99999;
  EXPECT_TRUE(getLastErrorString().isEmpty());
}

}  // namespace
}  // namespace vemo
