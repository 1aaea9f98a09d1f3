// File, TempFile and MemoryFile, and the path helpers.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
#include <stdlib.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/File.h"
#include "vemo/core/Log.h"

using namespace vemo;
using Lines = std::vector<std::wstring>;
namespace fs = std::filesystem;

namespace {

#if defined(_WIN32)
int processId() {
  return _getpid();
}
// GetTempPathW takes the directory from TMP first.
const char* const kTempVariable = "TMP";
void setVariable(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());
}
void unsetVariable(const char* name) {
  _putenv_s(name, "");
}
#else
int processId() {
  return getpid();
}
const char* const kTempVariable = "TMPDIR";
void setVariable(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}
void unsetVariable(const char* name) {
  unsetenv(name);
}
#endif

// Points the temporary directory elsewhere while it lives.
struct TempDirectory {
  explicit TempDirectory(const fs::path& path) {
    const char* old = std::getenv(kTempVariable);
    had = old != nullptr;
    if (old) saved = old;
    setVariable(kTempVariable, path.string());
  }
  ~TempDirectory() { had ? setVariable(kTempVariable, saved) : unsetVariable(kTempVariable); }
  bool had;
  std::string saved;
};

struct Recorder final : LogListener {
  Recorder() { Log::addListener(this); }
  ~Recorder() { Log::removeListener(this); }
  const wchar_t* getName() override { return L"recorder"; }
  bool setparam(const wchar_t*) override { return false; }
  void error(const wchar_t* text) override { lines.push_back(L"error: " + std::wstring(text)); }
  void warning(const wchar_t* text) override { lines.push_back(L"warning: " + std::wstring(text)); }
  void message(const wchar_t*) override {}
  void debug(const wchar_t*) override {}
  void whistle(bool) override {}
  Lines lines;
};

// A fresh directory of this program's own, removed with its content at the end.
struct Scratch {
  Scratch() { fs::create_directories(path); }
  ~Scratch() { fs::remove_all(path); }
  std::wstring name(const char* leaf) const { return (path / leaf).wstring(); }
  const fs::path path =
      fs::temp_directory_path() / ("vemo-filetest-" + std::to_string(processId()));
};

std::string readAll(Archive& archive, int size = 64) {
  std::string bytes(size_t(size), '\0');
  bytes.resize(size_t(std::max(archive.read(&bytes[0], size), 0)));
  return bytes;
}

TEST(File, OpenFailuresAndClosedFiles) {
  Scratch scratch;
  Recorder log;
  Unknown::Handle_T<File> file = File::createInstance();
  EXPECT_FALSE(file->open(L"", 0, 3));
  EXPECT_EQ(log.lines, Lines{});
  const std::wstring missing = scratch.name("missing");
  EXPECT_FALSE(file->open(missing.c_str(), 0, 3));
  EXPECT_EQ(log.lines,
            Lines{L"error: Open file error! ENOENT: No such file or directory. File:" + missing});
  EXPECT_TRUE(file->isInvalid());
  char byte = 0;
  for (int result :
       {file->available(), file->peek(&byte, 1), file->read(&byte, 1), file->write("x", 1),
        file->getArchiveSize(), file->getPosition(), file->setPosition(0)})
    EXPECT_EQ(result, -1);

  log.lines.clear();
  EXPECT_EQ(getFileSize(missing.c_str()), -1);
  EXPECT_FALSE(isFileExists(missing.c_str()));
  EXPECT_EQ(log.lines, Lines{L"error:   ENOENT: No such file or directory."});
}

TEST(File, CreateWriteAndReadBack) {
  Scratch scratch;
  Recorder log;
  const std::wstring name = scratch.name("data.bin");
  Unknown::Handle_T<File> file = File::createInstance();
  ASSERT_TRUE(file->open(name.c_str(), 0x102, 3));
  EXPECT_EQ(file->getFileName().getBuffer(), name);
  EXPECT_EQ(file->write("hello world", 11), 11);
  EXPECT_EQ(file->getArchiveSize(), 11);
  EXPECT_EQ(file->getPosition(), 11);  // the size query does not move
  EXPECT_EQ(file->setPosition(6), 6);
  char peeked[8] = {};
  EXPECT_EQ(file->available() + file->peek(peeked, 8), 10);
  EXPECT_STREQ(peeked, "world");
  EXPECT_EQ(file->getPosition(), 6);  // peeking restores the position
  EXPECT_EQ(file->setPosition(0), 0);
  EXPECT_EQ(readAll(*file, 5), "hello");
  EXPECT_EQ(file->write("!!", 2), 2);  // a write right after a read lands at the position
  EXPECT_EQ(file->setPosition(0), 0);
  EXPECT_EQ(readAll(*file), "hello!!orld");
  EXPECT_TRUE(file->eof());
  file->close();
  EXPECT_TRUE(file->isInvalid());
  EXPECT_EQ(getFileSize(name.c_str()), 11);
  EXPECT_TRUE(isFileExists(name.c_str()));
  const std::wstring directory = fs::path(name).parent_path().wstring();
  EXPECT_TRUE(isFileExists(directory.c_str()));
  EXPECT_GE(getFileSize(directory.c_str()), 0);  // a directory has the size stat reports
  ASSERT_TRUE(file->open(name.c_str(), 0, 3));   // read only; the content stays
  EXPECT_EQ(readAll(*file), "hello!!orld");
  EXPECT_EQ(log.lines, Lines{});
}

TEST(File, TempFilesComeFromTmpdirAndVanish) {
  Scratch scratch;
  Unknown::Handle_T<TempFile> temp;
  {
    const TempDirectory redirected(scratch.path);
    temp = TempFile::createTempFile();
  }
  ASSERT_TRUE(temp);
  const std::wstring name = temp->getFileName().getBuffer();
  EXPECT_EQ(fs::path(name).parent_path(), scratch.path);
  EXPECT_EQ(temp->write("abc", 3), 3);
  EXPECT_EQ(temp->setPosition(0), 0);
  EXPECT_EQ(readAll(*temp), "abc");
  EXPECT_TRUE(isFileExists(name.c_str()));
  temp = nullptr;
  EXPECT_TRUE(fs::is_empty(scratch.path));
}

// Another user of a shared temporary directory swaps every new name for a link to a file of
// its choice: the temporary file's data still goes only to the file that was created.
TEST(File, TempFilesCannotBeRedirected) {
#if defined(_WIN32)
  // Making symbolic links needs a privilege on Windows, and a file open here cannot be removed
  // and replaced meanwhile (it is not opened for sharing deletion); the exclusive creation that
  // this guards is checked by TempFilesAreCreatedExclusively.
  GTEST_SKIP() << "no symbolic links for unprivileged users on Windows";
#endif
  Scratch scratch;
  const fs::path shared = scratch.path / "shared", planted = scratch.path / "planted";
  fs::create_directories(shared);
  std::ofstream{planted};
  std::atomic<bool> done{false};
  std::thread attacker([&] {
    std::error_code error;
    while (!done)
      for (fs::directory_iterator it(shared, error), end; !error && it != end; it.increment(error))
        if (!it->is_symlink(error) && fs::remove(it->path(), error))
          fs::create_symlink(planted, it->path(), error);
  });
  {
    const TempDirectory redirected(shared);
    for (int i = 0; i < 2000; ++i)
      if (Unknown::Handle_T<TempFile> temp = TempFile::createTempFile()) temp->write("secret", 6);
  }
  done = true;
  attacker.join();
  EXPECT_EQ(fs::file_size(planted), 0u);
}

// Names already taken are never opened: every temporary file is a new one, and what was there
// before keeps its content.
TEST(File, TempFilesAreCreatedExclusively) {
  Scratch scratch;
  const TempDirectory redirected(scratch.path);
  std::vector<Unknown::Handle_T<TempFile>> files;
  for (int i = 0; i < 200; ++i) {
    files.push_back(TempFile::createTempFile());
    ASSERT_TRUE(files.back());
    ASSERT_EQ(files.back()->getArchiveSize(), 0) << i;  // new, not someone else's file
    files.back()->write("mine", 4);
  }
  for (const auto& file : files) {
    file->setPosition(0);
    EXPECT_EQ(readAll(*file), "mine");
  }
  files.clear();
  EXPECT_TRUE(fs::is_empty(scratch.path));
}

TEST(MemoryFile, GrowsAtItsEndAndClampsPositions) {
  Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
  std::string bytes;
  for (int i = 0; i < 5000; ++i)
    bytes += char(i * 13 + i / 256);
  EXPECT_EQ(file->write(bytes.data(), 5000), 5000);
  EXPECT_EQ(file->write("", 0), 0);
  EXPECT_EQ(file->getArchiveSize(), 5000);
  EXPECT_EQ(file->setPosition(10000), 5000);
  EXPECT_EQ(file->setPosition(-3), 0);
  file->setPosition(4000);
  EXPECT_EQ(file->write(std::string(300, 'Z').data(), 300), 300);  // across the block boundary
  bytes.replace(4000, 300, 300, 'Z');
  EXPECT_EQ(file->getArchiveSize(), 5000);
  EXPECT_EQ(file->available(), 700);
  std::string peeked(6000, '\0');
  EXPECT_EQ(file->setPosition(0), 0);
  EXPECT_EQ(file->peek(&peeked[0], 6000), 5000);
  EXPECT_EQ(file->getPosition(), 0);
  EXPECT_EQ(peeked.substr(0, 5000), bytes);
  EXPECT_EQ(readAll(*file, 6000), bytes);
  EXPECT_EQ(readAll(*file), "");
  EXPECT_EQ(file->write("!", 1), 1);  // growing again
  EXPECT_EQ(file->getArchiveSize(), 5001);
}

}  // namespace
