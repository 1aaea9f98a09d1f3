// File-system names. On POSIX systems a name is bytes: a name that is not UTF-8 (here Latin-1
// bytes) reaches the library with each stray byte as U+DC80..U+DCFF and goes back to the system
// as the same bytes, in scans, files, temporary files, archives, created directories, the
// current directory, lock files, modules and the program's own name. The coding itself is
// checked against Python's "surrogateescape" error handler. Ordinary text keeps U+FFFD for such
// bytes, and wide text that holds the escapes is logged, written and compared like any other.
// On Windows names are UTF-16 already: the same scenarios run there with names beyond ASCII.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "FileName.h"
#include "TestSupport.h"
#include "vemo/core/Archive.h"
#include "vemo/core/DllModule.h"
#include "vemo/core/File.h"
#include "vemo/core/FileMutex.h"
#include "vemo/core/Json.h"
#include "vemo/core/Log.h"
#include "vemo/core/MD5.h"
#include "vemo/core/Process.h"
#include "vemo/core/Stream.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Text.h"
#include "vemo/core/Time.h"

#if !defined(_WIN32)
extern char** environ;
#endif

using namespace vemo;
using Lines = std::vector<std::wstring>;
namespace fs = std::filesystem;
using Scratch = tests::ScratchDirectory;

namespace {

// A name as the system keeps it and as the library's wide text holds it.
struct Name {
  fs::path native;
  std::wstring wide;
};

#if defined(_WIN32)
const Name kResume{fs::path(L"r\u00E9sum\u00E9.txt"), L"r\u00E9sum\u00E9.txt"};
const Name kCafe{fs::path(L"caf\u00E9"), L"caf\u00E9"};
const Name kDeja{fs::path(L"d\u00E9j\u00E0"), L"d\u00E9j\u00E0"};
const Name kLock{fs::path(L"v\u00E9rrou"), L"v\u00E9rrou"};
const Name kModule{fs::path(L"mod\u00FBle.dll"), L"mod\u00FBle.dll"};
#else
const Name kResume{fs::path("r\xE9sum\xE9.txt"), L"r\xDCE9sum\xDCE9.txt"};
const Name kCafe{fs::path("caf\xE9"), L"caf\xDCE9"};
const Name kDeja{fs::path("d\xE9j\xE0"), L"d\xDCE9j\xDCE0"};
const Name kLock{fs::path("v\xE9rrou"), L"v\xDCE9rrou"};
const Name kModule{fs::path("mod\xFBle.so"), L"mod\xDCFBle.so"};
const Name kProgram{fs::path("pr\xF6gram"), L"pr\xDCF6gram"};
#endif

std::string readAll(Archive& archive) {
  std::string bytes(64, '\0');
  bytes.resize(std::size_t(std::max(archive.read(&bytes[0], 64), 0)));
  return bytes;
}

std::string readNative(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeNative(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::wstring& name) {
  Unknown::Handle_T<File> file = File::createInstance();
  if (!file->open(String(name.c_str()), File::kReadOnly, File::kReadable | File::kWritable))
    return "(does not open)";
  return readAll(*file);
}

// The wide units of a text of code points on this platform (pairs where wchar_t has 16 bits).
std::wstring unitsOf(const std::u32string& points) {
  std::wstring units;
  for (char32_t c : points) {
    if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
      units += wchar_t(0xD800 + ((c - 0x10000) >> 10));
      units += wchar_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += wchar_t(c);
    }
  }
  return units;
}

std::wstring toWideName(const std::string& bytes) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::wstring wide(detail::nameBytesToWide(in, bytes.size(), nullptr, 0), L'\0');
  EXPECT_EQ(detail::nameBytesToWide(in, bytes.size(), &wide[0], wide.size()), wide.size());
  return wide;
}

std::string toNameBytes(const std::wstring& wide) {
  std::string bytes(detail::wideToNameBytes(wide.data(), wide.size(), nullptr, 0), '\0');
  EXPECT_EQ(detail::wideToNameBytes(wide.data(), wide.size(),
                                    reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size()),
            bytes.size());
  return bytes;
}

Lines texts(const std::list<String>& strings) {
  Lines lines;
  for (const String& s : strings)
    lines.push_back(s.getBuffer());
  return lines;
}

#if !defined(_WIN32)
// The scratch directory's own path as getcwd and /proc/self/exe give it (links resolved).
std::wstring canonicalRoot(const Scratch& scratch) {
  return tests::toWide(fs::canonical(scratch.path).generic_string()) + L"/";
}

// Started again under another name (TheProgramsOwnName), this program writes the wide units of
// what the library takes for its own name and path into the file the variable names, and ends.
constexpr const char* kReportVariable = "VEMO_FILE_NAME_REPORT";
const bool g_reported = [] {
  const char* report = std::getenv(kReportVariable);
  if (!report) return false;
  const std::wstring text =
      std::wstring(getAppName().getBuffer()) + L'\n' + getAppPath().getBuffer();
  std::ofstream(report, std::ios::binary)
      .write(reinterpret_cast<const char*>(text.data()),
             std::streamsize(text.size() * sizeof(wchar_t)));
  std::_Exit(0);
}();
#endif

}  // namespace

// Python: b"\xed\xa0\x80".decode("utf-8", "surrogateescape") == "\udced\udca0\udc80", and so on
// for each case; encode(..., "surrogateescape") gives the bytes back.
TEST(FileNameCoding, BytesAsPythonsSurrogateEscapeAndBack) {
  const struct {
    std::string bytes;
    std::u32string points;
  } cases[] = {
      {"r\xE9sum\xE9.txt", U"r\xDCE9sum\xDCE9.txt"},
      {"caf\xC3\xA9", U"caf\u00E9"},                      // UTF-8 stays as it is
      {"\xEF\xBF\xBD", U"\uFFFD"},                        // so does a real U+FFFD
      {"\xF0\x9F\x98\x80", U"\U0001F600"},                // and a character past U+FFFF
      {"\xED\xA0\x80", U"\xDCED\xDCA0\xDC80"},            // an encoded surrogate
      {"\xED\xB2\x80", U"\xDCED\xDCB2\xDC80"},            // an escape's own UTF-8
      {"\xF4\x90\x80\x80", U"\xDCF4\xDC90\xDC80\xDC80"},  // past U+10FFFF
      {"\xC0\xAF", U"\xDCC0\xDCAF"},                      // overlong
      {"\xE0\x80\xAF", U"\xDCE0\xDC80\xDCAF"},            // overlong
      {"\xE2\x82x", U"\xDCE2\xDC82x"},                    // cut short
      {"\xF0\x9F\x98", U"\xDCF0\xDC9F\xDC98"},            // cut at the end
      {"\x80\xBF\xFE\xFF", U"\xDC80\xDCBF\xDCFE\xDCFF"},  // stray bytes
      {"\xF8\x88\x80\x80\x80", U"\xDCF8\xDC88\xDC80\xDC80\xDC80"},
      {"a\xC2", U"a\xDCC2"},
      {"\xC2\xA0\xC2", U"\u00A0\xDCC2"},
      {std::string("a\0b", 3), std::u32string(U"a\0b", 3)},
  };
  for (const auto& c : cases) {
    const std::wstring wide = toWideName(c.bytes);
    EXPECT_EQ(wide, unitsOf(c.points)) << c.bytes;
    EXPECT_EQ(toNameBytes(wide), c.bytes);
  }
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, char(b));
    EXPECT_EQ(toWideName(byte), std::wstring(1, wchar_t(b < 0x80 ? b : 0xDC00 + b))) << b;
    EXPECT_EQ(toNameBytes(toWideName(byte)), byte) << b;
  }

  // Wide text that no bytes give: other lone surrogates and values past U+10FFFF are U+FFFD.
  const std::string replacement = "\xEF\xBF\xBD";
  for (wchar_t unit :
       {wchar_t(0xD800), wchar_t(0xDBFF), wchar_t(0xDC7F), wchar_t(0xDD00), wchar_t(0xDFFF)})
    EXPECT_EQ(toNameBytes(std::wstring(1, unit) + L"x"), replacement + "x") << unsigned(unit);
  if (sizeof(wchar_t) == 4) {
    EXPECT_EQ(toNameBytes(std::wstring(1, wchar_t(0x110000))), replacement);
  } else {
    // A pair is one character, even where its low half looks like an escaped byte.
    EXPECT_EQ(toNameBytes(unitsOf(U"\U00010080")), "\xF0\x90\x82\x80");
  }

  // The converters' contract: the whole length with any room, at most `room` units written.
  const std::wstring name = unitsOf(U"\xDCE9\u00E9\U0001F600");
  unsigned char bytes[16] = {};
  EXPECT_EQ(detail::wideToNameBytes(name.data(), name.size(), bytes, 2), 1u + 2u + 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 3), std::string("\xE9\xC3\0", 3));
  wchar_t units[4] = {};
  EXPECT_EQ(
      detail::nameBytesToWide(reinterpret_cast<const unsigned char*>("\xE9\xC3\xA9"), 3, units, 1),
      2u);
  EXPECT_EQ(units[0], wchar_t(0xDCE9));
  EXPECT_EQ(units[1], 0);

  // Any bytes come back as they were; mostly bytes of UTF-8 sequences, so that valid, cut and
  // broken ones all occur.
  std::mt19937 random(20240601);
  const unsigned char alphabet[] = {'a',  0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xC3, 0xDF,
                                    0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 20000; ++round) {
    std::string bytes(random() % 12, '\0');
    for (char& b : bytes)
      b = char(alphabet[random() % sizeof alphabet]);
    ASSERT_EQ(toNameBytes(toWideName(bytes)), bytes);
  }
}

TEST(FileName, ScansReachEveryNameAndTheNamesOpen) {
  Scratch scratch;
  writeNative(scratch.path / kResume.native, "first");
  fs::create_directories(scratch.path / kCafe.native);
  writeNative(scratch.path / kCafe.native / "menu.txt", "second");
  const std::wstring root = scratch.root();
  tests::LogCapture log;

  // The files of the top directory come before those of its subdirectories.
  const Lines expected{root + kResume.wide, root + kCafe.wide + L"/menu.txt"};
  const wchar_t* txt[] = {L"txt", nullptr};
  std::list<String> files;
  scanFiles(files, String(root.c_str()), txt, true);
  EXPECT_EQ(texts(files), expected);
  files.clear();
  scanFiles(files, String(root.c_str()), nullptr, true);
  EXPECT_EQ(texts(files), expected);
  EXPECT_EQ(readFile(expected[0]), "first");
  EXPECT_EQ(readFile(expected[1]), "second");

  std::vector<String> directories;
  scanDirectories(String(root.c_str()), directories);
  ASSERT_EQ(directories.size(), 1u);
  EXPECT_EQ(std::wstring(directories[0].getBuffer()), kCafe.wide);
  EXPECT_EQ(log.lines, Lines{});
}

TEST(FileName, FilesTempFilesAndArchivesInADirectoryOfSuchNames) {
  Scratch scratch;
  const std::wstring root = scratch.root();
  tests::LogCapture log;
  const std::wstring relative = kCafe.wide + L"/sous/" + kDeja.wide;
  createDirectory(String(relative.c_str()), String(root.c_str()));
  const fs::path directory = scratch.path / kCafe.native / "sous" / kDeja.native;
  ASSERT_TRUE(fs::is_directory(directory));

  // A file made by name carries the name's bytes; the helpers find it by the same name.
  const std::wstring name = root + relative + L"/" + kResume.wide;
  Unknown::Handle_T<File> file = File::createInstance();
  ASSERT_TRUE(file->open(String(name.c_str()), File::kReadWrite | File::kCreate,
                         File::kReadable | File::kWritable));
  EXPECT_EQ(file->write("abc", 3), 3);
  file->close();
  EXPECT_EQ(readNative(directory / kResume.native), "abc");
  EXPECT_TRUE(isFileExists(name.c_str()));
  EXPECT_EQ(getFileSize(name.c_str()), 3);
  int size = 0;
  Time created, modified;
  EXPECT_TRUE(getFileInfo(name.c_str(), size, created, modified));
  EXPECT_EQ(size, 3);
  MD5Checksum md5;
  ASSERT_TRUE(calcFileMd5(name.c_str(), md5));
  EXPECT_STREQ(md5.convertToString().getBuffer(), L"900150983cd24fb0d6963f7d28e17f72");  // RFC 1321

  // Archives by location: a file, and a memory file loaded from one.
  Unknown::Handle_T<Archive> archive =
      ArchiveFactory::openArchive(String((L"file://" + name + L"?position=1").c_str()));
  ASSERT_TRUE(archive);
  EXPECT_EQ(readAll(*archive), "bc");
  archive = ArchiveFactory::openArchive(String((L"memory://<<file://" + name).c_str()));
  ASSERT_TRUE(archive);
  EXPECT_EQ(archive->getArchiveSize(), 3);
  EXPECT_EQ(readAll(*archive), "abc");
  archive = nullptr;

  // A file replaced whole goes through a new file beside it, which takes its name.
  JsonValue saved(L"x"), loaded;
  ASSERT_TRUE(Json::save(saved, String(name.c_str()), false));
  EXPECT_EQ(readNative(directory / kResume.native), "\"x\"");
  EXPECT_TRUE(Json::load(loaded, String(name.c_str())) && loaded == saved);

  // Temporary files in such a directory: made there, found again by their names, and gone.
  {
    const tests::ScopedTempDirectory redirected(directory);
#if defined(_WIN32)
    const std::wstring prefix = directory.wstring() + L"\\";
#else
    const std::wstring prefix = root + relative + L"/";
#endif
    Unknown::Handle_T<TempFile> temp = TempFile::createTempFile();
    ASSERT_TRUE(temp);
    const std::wstring tempName = temp->getFileName().getBuffer();
    ASSERT_EQ(tempName.compare(0, prefix.size(), prefix), 0) << tempName;
    const fs::path tempPath = directory / tests::toPath(tempName.substr(prefix.size()));
    EXPECT_TRUE(fs::is_regular_file(tempPath));
    EXPECT_EQ(temp->write("xyz", 3), 3);
    EXPECT_EQ(temp->setPosition(1), 1);
    EXPECT_EQ(readAll(*temp), "yz");
    EXPECT_EQ(getFileSize(tempName.c_str()), 3);

    const std::wstring otherName = TempFile::getTempFileName().getBuffer();
    ASSERT_EQ(otherName.compare(0, prefix.size(), prefix), 0) << otherName;
    EXPECT_TRUE(isFileExists(otherName.c_str()));
    EXPECT_TRUE(fs::remove(directory / tests::toPath(otherName.substr(prefix.size()))));
    temp = nullptr;
    EXPECT_FALSE(fs::exists(tempPath));
  }
  EXPECT_EQ(log.lines, Lines{});
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(directory))
    left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{kResume.native});
}

TEST(FileName, CurrentDirectoryLockFilesAndModules) {
  Scratch scratch;
  const fs::path directory = scratch.path / kCafe.native;
  fs::create_directories(directory);
  const std::wstring name = scratch.root() + kCafe.wide;
  tests::LogCapture log;

  // The current directory, set and read back.
  const fs::path before = fs::current_path();
  ASSERT_TRUE(setCurrentDirectory(name.c_str()));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), directory));
#if defined(_WIN32)
  EXPECT_EQ(std::wstring(getCurrentDirectory().getBuffer()), fs::current_path().wstring());
#else
  EXPECT_EQ(std::wstring(getCurrentDirectory().getBuffer()), canonicalRoot(scratch) + kCafe.wide);
#endif
  fs::current_path(before);

  // A lock file of such a name: made there, excluding, and gone once let go.
  const String lockName((name + L"/" + kLock.wide).c_str());
  Unknown::Handle_T<FileMutex> first = FileMutex::createInstance(lockName);
  Unknown::Handle_T<FileMutex> second = FileMutex::createInstance(lockName);
  ASSERT_TRUE(first->lock(0));
  EXPECT_TRUE(fs::exists(directory / kLock.native));
  EXPECT_FALSE(second->lock(0));
  first->unlock();
  EXPECT_FALSE(fs::exists(directory / kLock.native));
  EXPECT_TRUE(second->lock(0));
  second->unlock();
  EXPECT_TRUE(fs::is_empty(directory));

  // A module copied to such a name loads from there and keeps the name.
  const String built = getAppPath() + StringHelper::utf8ToWide(VEMO_TEST_MODULE_NAME);
  fs::copy_file(tests::toPath(built.getBuffer()), directory / kModule.native);
#if defined(_WIN32)
  const String moduleName((directory / kModule.native).wstring().c_str());
#else
  const String moduleName((name + L"/" + kModule.wide).c_str());
#endif
  Unknown::Handle_T<DllModule> module = DllModule::createInstance();
  ASSERT_TRUE(module->load(moduleName));
  EXPECT_EQ(std::wstring(module->getFileName().getBuffer()), moduleName.getBuffer());
  auto answer = reinterpret_cast<int (*)()>(module->getProcAddress(L"testModuleAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  module->unload();
  EXPECT_EQ(log.lines, Lines{});
}

#if !defined(_WIN32)
TEST(FileName, TheProgramsOwnName) {
  Scratch scratch;
  fs::create_directories(scratch.path / kCafe.native);
  const fs::path program = scratch.path / kCafe.native / kProgram.native;
  fs::copy_file("/proc/self/exe", program);
  const fs::path report = scratch.path / "report";
  const std::string variable = std::string(kReportVariable) + "=" + report.string();
  std::vector<char*> environment{const_cast<char*>(variable.c_str())};
  for (char** e = environ; *e; ++e)
    environment.push_back(*e);
  environment.push_back(nullptr);
  std::string path = program.string();
  char* argv[] = {&path[0], nullptr};
  pid_t child = -1;
  ASSERT_EQ(posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environment.data()), 0);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const std::string bytes = readNative(report);
  const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                          bytes.size() / sizeof(wchar_t));
  const std::wstring directory = canonicalRoot(scratch) + kCafe.wide + L"/";
  EXPECT_EQ(text, directory + kProgram.wide + L"\n" + directory);
}
#endif

// Wide text holding the escapes (lone surrogates on any platform) is ordinary text elsewhere:
// the conversions of text give U+FFFD for them, as they do for the bytes the escapes stand for,
// and nothing that formats, logs or writes text stumbles over them.
TEST(FileName, EscapesInOrdinaryText) {
  EXPECT_EQ(std::wstring(StringHelper::utf8ToWide("r\xE9sum\xE9.txt").getBuffer()),
            L"r\uFFFDsum\uFFFD.txt");
  // Python: b"\xed\xb3\xa9".decode("utf-8", "replace"), the UTF-8 of the escape of 0xE9.
  EXPECT_EQ(std::wstring(StringHelper::utf8ToWide("\xED\xB3\xA9").getBuffer()),
            L"\uFFFD\uFFFD\uFFFD");

  const String name(L"r\xDCE9sum\xDCE9.txt");
  const std::string utf8 = "r\xEF\xBF\xBDsum\xEF\xBF\xBD.txt";
  EXPECT_STREQ(StringHelper::wideToUtf8(name.getBuffer()).getBuffer(), utf8.c_str());

  {
    tests::LogCapture log;
    Log::error(L"Open file error! %s File:%s", L"ENOENT", name.getBuffer());
    Log::warning(name.getBuffer());
    EXPECT_EQ(log.lines, (Lines{L"error: Open file error! ENOENT File:r\xDCE9sum\xDCE9.txt",
                                L"r\xDCE9sum\xDCE9.txt"}));
  }

  String text = name;
  text.toUpperCase();
  EXPECT_STREQ(text.getBuffer(), L"R\xDCE9SUM\xDCE9.TXT");
  EXPECT_EQ(name.find(L"\xDCE9"), 1);
  EXPECT_EQ(name.getLength(), 10);
  text.format(L"[%s]", name.getBuffer());
  EXPECT_STREQ(text.getBuffer(), L"[r\xDCE9sum\xDCE9.txt]");
  text = name;
  EXPECT_EQ(text.replace(L"\xDCE9", L"e"), 2);
  EXPECT_STREQ(text.getBuffer(), L"resume.txt");

  JsonValue value(name);
  Unknown::Handle_T<tests::Bytes> out(new tests::Bytes);
  ASSERT_TRUE(Json::write(value, out.get(), false));
  EXPECT_EQ(out->bytes, "\"" + utf8 + "\"");
  EXPECT_STREQ(Json::convertToString(value, false).getBuffer(), L"\"r\xDCE9sum\xDCE9.txt\"");

  out = new tests::Bytes;
  {
    TextWriter writer(out.get(), TextWriter::Utf8);
    EXPECT_TRUE(writer.write(name));
  }
  EXPECT_EQ(out->bytes, utf8);
}
