// Command lines: splitting by the Windows quoting rules, the counting pass against the filled
// block, and named arguments of the form name=value. The executable's path, the current
// directory, directory creation and the scans over a tree with hidden entries, extensions that
// differ in case only and non-ASCII names.
#include <gtest/gtest.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Process.h"
#include "vemo/core/StringHelper.h"

using namespace vemo;
using Args = std::vector<std::wstring>;
using Lines = std::vector<std::wstring>;
namespace fs = std::filesystem;

namespace {

// The arguments of the allocating form, checked against the counting pass.
Args split(const wchar_t* commandLine) {
  int slots = -1, characters = -1;
  parseArguments(commandLine, nullptr, nullptr, &slots, &characters);
  wchar_t** argv = nullptr;
  int argc = -1;
  parseArguments(commandLine, argv, argc);
  Args args;
  if (!argv) return args;
  int expectedCharacters = 0;
  for (int i = 0; i < argc; ++i) {
    args.push_back(argv[i]);
    expectedCharacters += int(args.back().size()) + 1;
  }
  EXPECT_EQ(argv[argc], nullptr);
  EXPECT_EQ(slots, argc + 1) << commandLine;
  EXPECT_EQ(characters, expectedCharacters) << commandLine;
  std::free(argv);
  return args;
}

}  // namespace

TEST(Arguments, SplitByTheWindowsQuotingRules) {
  // clang-format off
  const struct { const wchar_t* line; Args args; } cases[] = {
      {L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
      {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},            // 2 backslashes: one, and a delimiter
      {L"p a\\\\\\\"b c", {L"p", L"a\\\"b", L"c"}},      // 3 backslashes: one, and a quote
      {L"p \"a\"\"b c", {L"p", L"a\"b", L"c"}},          // "" inside quotes, quoting ends
      {L"p \"\" x", {L"p", L"", L"x"}},                  // an empty quoted argument
      {L"p a\\\\b\\ c\\", {L"p", L"a\\\\b\\", L"c\\"}},  // no quote: backslashes stay
      {L"\"C:\\Program Files\\x.exe\" -v", {L"C:\\Program Files\\x.exe", L"-v"}},
      {L"a\\\"b c\" d", {L"a\\b c", L"d"}},  // the program name: backslashes stay, quotes toggle
      {L"p\t\tx  \t", {L"p", L"x"}}, {L"", {L""}}, {L" x", {L"", L"x"}}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(split(c.line), c.args) << c.line;
}

// The program's own arguments keep every character: on Windows from the wide command line (an
// argv of another count is taken as it is, in the ANSI code page), on POSIX systems as file
// names, the bytes that are no UTF-8 as U+DC80 + byte (what Python's os.fsdecode gives).
TEST(Arguments, ProgramArgumentsKeepEveryCharacter) {
  const auto wide = [](const std::vector<String>& strings) {
    Args args;
    for (const String& s : strings)
      args.emplace_back(s.getBuffer(), static_cast<std::size_t>(s.getLength()));
    return args;
  };
  EXPECT_TRUE(getProgramArguments(0, nullptr).empty());
#if defined(_WIN32)
  // An argv of one more than the command line holds cannot be the program's own.
  std::vector<std::string> made(::testing::internal::GetArgvs().size() + 1);
  std::vector<char*> madeArgv;
  Args expected;
  for (std::size_t i = 0; i < made.size(); ++i) {
    made[i] = "made-" + std::to_string(i);
    madeArgv.push_back(&made[i][0]);
    expected.push_back(L"made-" + std::to_wstring(i));
  }
  EXPECT_EQ(wide(getProgramArguments(static_cast<int>(made.size()), madeArgv.data())), expected);
  // This program's own: as many as main() got, the same as the command line says.
  std::vector<std::string> own = ::testing::internal::GetArgvs();
  std::vector<char*> argv;
  for (std::string& argument : own)
    argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  EXPECT_EQ(wide(getProgramArguments(static_cast<int>(own.size()), argv.data())),
            split(GetCommandLineW()));
#else
  char name[] = "prog", latin1[] = "caf\xE9", emoji[] = "\xF0\x9F\x98\x80", cut[] = "\xF0\x9F\x98";
  char* argv[] = {name, latin1, emoji, cut, nullptr};
  EXPECT_EQ(wide(getProgramArguments(4, argv)),
            (Args{L"prog", L"caf\xDCE9", L"\U0001F600", L"\xDCF0\xDC9F\xDC98"}));
  EXPECT_EQ(getProgramArguments(2, argv).size(), 2u);
#endif
}

TEST(Arguments, NamedValuesAreReadFromTheFirstMatchingArgument) {
  // clang-format off
  const struct { const wchar_t* line; int value; } cases[] = {
      {L"prog port=abc", 0}, {L"prog host=1", 7}, {L"prog portal=1", 7}, {L"prog \"port =8\"", 8},
      {L"prog port=", 7}, {L"prog port=12x port=3", 12}, {L"prog portal=1 port=5", 5},
      {L"port=9 x", 9}, {L"prog port=-3", -3}, {L"prog \"port\t= 4 2\"", 4}, {L"prog port", 7},
      {L"prog port==2", 0}};
  // clang-format on
  for (const auto& c : cases)
    EXPECT_EQ(parseArgumentInt(c.line, L"port", 7), c.value) << c.line;

  EXPECT_EQ(parseArgumentInt64(L"p size=5000000000", L"size", 1), 5000000000LL);
  EXPECT_EQ(parseArgumentInt64(L"p size=-4294967297", L"size", 1), -4294967297LL);
  EXPECT_EQ(parseArgumentInt64(L"p other=1", L"size", 1LL << 40), 1LL << 40);

  EXPECT_STREQ(parseArgumentString(L"p name=a=b", L"name", nullptr).getBuffer(), L"a=b");
  EXPECT_STREQ(parseArgumentString(L"p name=\"x y\" z", L"name", nullptr).getBuffer(), L"x y");
  EXPECT_STREQ(parseArgumentString(L"p other=1", L"name", nullptr).getBuffer(), L"");
  EXPECT_STREQ(parseArgumentString(L"p other=1", L"name", L"def").getBuffer(), L"def");
  EXPECT_STREQ(parseArgumentString(L"p name=", L"name", L"def").getBuffer(), L"");
}

namespace {

using tests::toPath;
using tests::toWide;
using Scratch = tests::ScratchDirectory;

void touch(const Scratch& s, const std::wstring& relative) {
  std::ofstream(s.at(relative)) << "x";
}
// Hidden by name on POSIX systems, by attribute on Windows.
void hide(const Scratch& s, const std::wstring& relative, bool directory) {
  if (directory)
    fs::create_directories(s.at(relative));
  else
    touch(s, relative);
#if defined(_WIN32)
  SetFileAttributesW(s.at(relative).c_str(),
                     FILE_ATTRIBUTE_HIDDEN | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0));
#endif
}

std::wstring strip(const std::wstring& prefix, const std::wstring& path) {
  return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : L"?" + path;
}

// Every reported path, relative to the root; the handler stops on the names in `stopOn`.
struct Recorder {
  bool report(const String& path) {
    seen.push_back(strip(root, path.getBuffer()));
    return std::find(stopOn.begin(), stopOn.end(), seen.back()) == stopOn.end();
  }
  std::wstring root;
  Lines stopOn;
  Lines seen;
};

Lines scan(const Scratch& scratch, const wchar_t** extensions, bool recursive, Lines stopOn = {}) {
  Recorder recorder{scratch.root(), std::move(stopOn), {}};
  scanFiles(CallbackHandler<bool, const String&>(&recorder, &Recorder::report),
            String(scratch.root().c_str()), extensions, recursive);
  return recorder.seen;
}

Lines sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::size_t indexOf(const Lines& lines, const std::wstring& line) {
  return std::size_t(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// The tree of the scan tests: files of several extensions, hidden entries, nested and
// non-ASCII directories.
void makeTree(const Scratch& s) {
  for (const wchar_t* directory : {L"sub/deep", L"other", L"d\u00EDr-\u00E9\u65E5"})
    fs::create_directories(s.at(directory));
  hide(s, L"sub/.hidden-dir", true);
  for (const wchar_t* file :
       {L"a.TXT", L"a.txt.bak", L"README", L"b.txt", L"c.Txt.txt", L"\u00FC-\u65E5\u672C.txt",
        L"sub/s.txt", L"sub/deep/d.txt", L"sub/deep/d.log", L"other/o.txt",
        L"d\u00EDr-\u00E9\u65E5/n.txt", L"sub/.hidden-dir/h.txt"})
    touch(s, file);
  hide(s, L".h.txt", false);
}

}  // namespace

TEST(Scan, ExtensionsHiddenEntriesAndOrder) {
  Scratch scratch;
  makeTree(scratch);
  const wchar_t* txt[] = {L"txt", nullptr};
  const Lines topFiles{L"a.TXT", L"b.txt", L"c.Txt.txt", L"\u00FC-\u65E5\u672C.txt"};
  EXPECT_EQ(sorted(scan(scratch, txt, false)), topFiles);

  const Lines all = scan(scratch, txt, true);
  Lines expected = topFiles;
  for (const wchar_t* file :
       {L"sub/s.txt", L"sub/deep/d.txt", L"other/o.txt", L"d\u00EDr-\u00E9\u65E5/n.txt"})
    expected.push_back(file);
  EXPECT_EQ(sorted(all), sorted(expected));
  // The files of a directory come before its subdirectories, and each subtree is scanned whole
  // before the next subdirectory.
  for (const std::wstring& top : topFiles)
    EXPECT_LT(indexOf(all, top), 4u) << top;
  EXPECT_EQ(indexOf(all, L"sub/deep/d.txt"), indexOf(all, L"sub/s.txt") + 1);

  // No list, an empty list: every file. One extension twice: the file twice.
  const wchar_t* none[] = {nullptr};
  const wchar_t* twice[] = {L"log", L"LOG", nullptr};
  const Lines every{L"README", L"a.TXT",     L"a.txt.bak",
                    L"b.txt",  L"c.Txt.txt", L"\u00FC-\u65E5\u672C.txt"};
  EXPECT_EQ(sorted(scan(scratch, nullptr, false)), every);
  EXPECT_EQ(sorted(scan(scratch, none, false)), every);
  EXPECT_EQ(scan(scratch, twice, true), (Lines{L"sub/deep/d.log", L"sub/deep/d.log"}));

  // The list form appends, and reaches the non-ASCII directory too.
  std::list<String> files{String(L"kept")};
  scanFiles(files, String(scratch.root().c_str()), txt, true);
  ASSERT_EQ(files.size(), expected.size() + 1);
  EXPECT_STREQ(files.front().getBuffer(), L"kept");
  Lines listed;
  for (auto it = std::next(files.begin()); it != files.end(); ++it)
    listed.push_back(strip(scratch.root(), it->getBuffer()));
  EXPECT_EQ(listed, all);

  // Subdirectories: not hidden ones, not "." and "..", appended.
  std::vector<String> names{String(L"kept")};
  scanDirectories(String(scratch.root().c_str()), names);
  Lines directories;
  for (const String& name : names)
    directories.push_back(name.getBuffer());
  EXPECT_EQ(sorted(directories), (Lines{L"d\u00EDr-\u00E9\u65E5", L"kept", L"other", L"sub"}));

  // Missing directories yield nothing.
  std::list<String> none2;
  scanFiles(none2, String((scratch.root() + L"missing/").c_str()), nullptr, true);
  EXPECT_TRUE(none2.empty());
  scanDirectories(String((scratch.root() + L"missing/").c_str()), names);
  EXPECT_EQ(names.size(), 4u);

  // A false from the handler ends only its directory: stopped in sub, neither its other files
  // nor sub/deep, but the next subdirectories.
  Lines seen = scan(scratch, txt, true, {L"sub/s.txt"});
  EXPECT_EQ(std::count(seen.begin(), seen.end(), L"sub/deep/d.txt"), 0);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), L"other/o.txt"), 1);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), L"d\u00EDr-\u00E9\u65E5/n.txt"), 1);

  // Stopped at the top: nothing after it at all.
  seen = scan(scratch, txt, true, {L"b.txt"});
  EXPECT_EQ(seen.back(), L"b.txt");
  EXPECT_LE(seen.size(), 4u);
  seen = scan(scratch, nullptr, false, {L"README"});
  EXPECT_EQ(seen.back(), L"README");
#if !defined(_WIN32)
  // Only regular files and real directories count: links to directories are not followed.
  const fs::path p = scratch.path;
  fs::create_symlink(p / "b.txt", p / "link.txt");
  fs::create_symlink(p / "sub", p / "loop");       // not followed: no cycle, no second visit
  fs::create_symlink(p / "gone", p / "dead.txt");  // a link to nothing is no file
  ASSERT_EQ(mkfifo((p / "fifo.txt").c_str(), 0600), 0);
  seen = scan(scratch, txt, true);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), L"link.txt"), 1);
  for (const wchar_t* absent : {L"dead.txt", L"fifo.txt", L"loop/s.txt"})
    EXPECT_EQ(std::count(seen.begin(), seen.end(), absent), 0) << absent;
  names.clear();
  scanDirectories(String(scratch.root().c_str()), names);
  EXPECT_EQ(names.size(), 3u);
#endif
}

#if defined(_WIN32)
TEST(Scan, FilesWithoutTheArchiveAttributeAreLeftOut) {
  Scratch scratch;
  touch(scratch, L"plain.txt");
  touch(scratch, L"archived.txt");
  ASSERT_TRUE(SetFileAttributesW((scratch.path / "plain.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(SetFileAttributesW((scratch.path / "archived.txt").c_str(), FILE_ATTRIBUTE_ARCHIVE));
  const DWORD plain = GetFileAttributesW((scratch.path / "plain.txt").c_str());
  if (plain & FILE_ATTRIBUTE_ARCHIVE) GTEST_SKIP() << "the file system keeps no archive attribute";
  const wchar_t* txt[] = {L"txt", nullptr};
  EXPECT_EQ(scan(scratch, txt, false), Lines{L"archived.txt"});
}
#endif

TEST(Directories, CreationAppPathAndCurrentDirectory) {
  // Every level is created; an empty path or a missing base creates nothing.
  Scratch scratch;
  const String base(scratch.root().c_str());
  createDirectory(String(L"a/b/c"), base);
  EXPECT_TRUE(fs::is_directory(scratch.path / "a/b/c"));
  createDirectory(String(L"a/b/c"), base);  // existing levels are no failure
  createDirectory(String(L"a/x\u00E9/y/"), base);
  EXPECT_TRUE(fs::is_directory(scratch.path / toPath(L"a/x\u00E9/y")));
  createDirectory(String(L"z"), base);
  EXPECT_TRUE(fs::is_directory(scratch.path / "z"));

  const auto count = [&] {
    return std::distance(fs::recursive_directory_iterator(scratch.path),
                         fs::recursive_directory_iterator());
  };
  const auto before = count();
  createDirectory(String(), base);
  createDirectory(String(L"q"), String((scratch.root() + L"missing/").c_str()));  // no parent
  EXPECT_EQ(count(), before);

  const String name = getAppName();
  const String path = getAppPath();
  ASSERT_FALSE(path.isEmpty());
  EXPECT_EQ(path[path.getLength() - 1], L'/');
  const std::wstring full = name.getBuffer();
  EXPECT_EQ(full.compare(0, size_t(path.getLength()), path.getBuffer()), 0);
  EXPECT_EQ(full.find(L'\\'), std::wstring::npos);
  EXPECT_NE(full.find(L"ProcessTest", size_t(path.getLength())), std::wstring::npos);
  EXPECT_TRUE(fs::is_regular_file(toPath(full)));

  fs::create_directories(scratch.at(L"\u00E9t\u00E9"));
  tests::LogCapture log;
  const fs::path target = scratch.path / toPath(L"\u00E9t\u00E9");
  ASSERT_TRUE(setCurrentDirectory(toWide(target).c_str()));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), target));
  EXPECT_TRUE(fs::equivalent(toPath(getCurrentDirectory().getBuffer()), target));
  EXPECT_EQ(std::wstring(getCurrentDirectory().getBuffer()), toWide(fs::current_path()));
  EXPECT_EQ(log.lines, Lines{});

  EXPECT_FALSE(setCurrentDirectory((scratch.root() + L"missing").c_str()));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), target));
  ASSERT_EQ(log.lines.size(), 1u);
#if defined(_WIN32)
  const std::wstring prefix = L"error: SetCurrentDirectory : ";
  EXPECT_TRUE(log.lines[0] == prefix + getErrorString(ERROR_FILE_NOT_FOUND).getBuffer() ||
              log.lines[0] == prefix + getErrorString(ERROR_PATH_NOT_FOUND).getBuffer())
      << log.lines[0];
#else
  EXPECT_EQ(log.lines[0], L"error: SetCurrentDirectory : " +
                              std::wstring(StringHelper::utf8ToWide(strerror(ENOENT)).getBuffer()));
  // A current directory that was deleted has no name any more.
  fs::create_directories(scratch.at(L"gone"));
  ASSERT_TRUE(setCurrentDirectory((scratch.root() + L"gone").c_str()));
  fs::remove(scratch.path / "gone");
  EXPECT_STREQ(getCurrentDirectory().getBuffer(), L"");
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[1], L"error: GetCurrentDirectory : " +
                              std::wstring(StringHelper::utf8ToWide(strerror(ENOENT)).getBuffer()));
#endif
}
