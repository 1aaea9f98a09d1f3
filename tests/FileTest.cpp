// File, TempFile and MemoryFile, and the path helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/File.h"
#include "vemo/core/Json.h"
#include "vemo/core/MD5.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Time.h"

using namespace vemo;
using Lines = std::vector<std::wstring>;
namespace fs = std::filesystem;
using Recorder = tests::LogCapture;
using TempDirectory = tests::ScopedTempDirectory;

namespace {

using Scratch = tests::ScratchDirectory;

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

// Each flag combination with the stream mode it gets: writing only, appending, truncating,
// creating exclusively; combinations without a mode of their own read.
TEST(File, OpenFlags) {
  Scratch scratch;
  Recorder log;
  const std::wstring name = scratch.name("flags.bin");
  Unknown::Handle_T<File> file = File::createInstance();
  char byte = 0;
  ASSERT_TRUE(file->open(name.c_str(), File::kWriteOnly | File::kCreate, 3));
  EXPECT_EQ(file->write("abc", 3), 3);
  EXPECT_EQ(file->setPosition(0) + file->read(&byte, 1), 0);  // nothing to read from "wb"
  ASSERT_TRUE(file->open(name.c_str(), File::kWriteOnly | File::kAppend, 3));
  EXPECT_EQ(file->setPosition(0) + file->write("de", 2), 2);  // at the end all the same
  ASSERT_TRUE(file->open(name.c_str(), File::kReadWrite | File::kAppend, 3));
  EXPECT_EQ(readAll(*file, 2), "ab");
  EXPECT_EQ(file->write("f", 1), 1);
  EXPECT_EQ(file->setPosition(0), 0);
  EXPECT_EQ(readAll(*file), "abcdef");
  ASSERT_TRUE(file->open(name.c_str(), File::kReadWrite | File::kWriteOnly, 3));  // reads
  EXPECT_EQ(file->write("x", 1), 0);
  EXPECT_EQ(readAll(*file), "abcdef");
  file->close();
#if defined(_WIN32)
  // Wine's run-time library keeps the refused byte in the stream's buffer and fails to write it
  // out at close (EBADF, logged as a close error); whether Windows' own does is not known here.
  if (log.lines.size() == 1 && log.lines[0].find(L"Close file error! EBADF") != std::wstring::npos)
    log.lines.clear();
#endif
  EXPECT_EQ(log.lines, Lines{});
  EXPECT_FALSE(file->open(name.c_str(), File::kReadWrite | File::kCreate | File::kExclusive, 3));
  const std::wstring directory = scratch.path.wstring();
  EXPECT_FALSE(file->open(directory.c_str(), File::kReadOnly, 3));  // not a file
  EXPECT_EQ(getFileSize(nullptr), -1);
  EXPECT_EQ(log.lines,
            (Lines{L"error: Open file error! EEXIST: File exists. File:" + name,
                   L"error: Open file error! EACCES: Permission denied. File:" + directory,
                   L"error:   EINVAL: Invalid argument."}));
#if !defined(_WIN32)  // the Windows run-time library does not check the mode against the file
  log.lines.clear();
  EXPECT_FALSE(file->open(name.c_str(), File::kWriteOnly | 4, 3));  // a read stream
  EXPECT_EQ(log.lines, Lines{L"error: Open file error! EINVAL: Invalid argument. File:" + name});
#endif
  ASSERT_TRUE(file->open(name.c_str(), File::kReadWrite | File::kTruncate, 3));
  EXPECT_EQ(file->getArchiveSize(), 0);
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

// Names beyond ASCII, with characters of the Basic Multilingual Plane and one beyond it (a
// surrogate pair in a Windows String), in the directory and in the file's name: every helper
// reaches the file the system lists under exactly that name.
TEST(File, NamesBeyondAscii) {
  Scratch scratch;
  const fs::path directory = scratch.path / fs::u8path("\xc3\x9c-\xe6\x97\xa5\xe6\x9c\xac");
  const fs::path path = directory / fs::u8path(
                                        "Gr\xc3\xbc\xc3\x9f"
                                        "e-\xe6\x97\xa5\xe6\x9c\xac-"
                                        "\xf0\x9f\x98\x80.txt");
  // The library's own wide text of the name (std::filesystem converts through the C locale).
  const std::wstring name = StringHelper::utf8ToWide(path.u8string().c_str()).getBuffer();
  const auto pathOf = [](const String& text) {
    return fs::u8path(StringHelper::wideToUtf8(text.getBuffer()).getBuffer());
  };
  ASSERT_EQ(name.substr(name.rfind(L'-') + 1), L"\U0001F600.txt");  // a surrogate pair on Windows
  fs::create_directories(directory);
  Recorder log;
  Unknown::Handle_T<File> file = File::createInstance();
  ASSERT_TRUE(file->open(name.c_str(), File::kReadWrite | File::kCreate, 3));
  EXPECT_EQ(file->write("abc", 3), 3);
  file->close();
  std::vector<fs::path> listed;
  for (const auto& entry : fs::directory_iterator(directory))
    listed.push_back(entry.path().filename());
  EXPECT_EQ(listed, std::vector<fs::path>{path.filename()});
  EXPECT_TRUE(isFileExists(name.c_str()));
  EXPECT_EQ(getFileSize(name.c_str()), 3);
  int size = 0;
  Time created, modified;
  EXPECT_TRUE(getFileInfo(name.c_str(), size, created, modified));
  EXPECT_EQ(size, 3);
  MD5Checksum md5;
  EXPECT_TRUE(calcFileMd5(name.c_str(), md5));
  EXPECT_STREQ(md5.convertToString().getBuffer(), L"900150983cd24fb0d6963f7d28e17f72");  // RFC 1321
  ASSERT_TRUE(file->open(name.c_str(), File::kReadOnly, 3));
  EXPECT_EQ(readAll(*file), "abc");
  file->close();
  {
    Unknown::Handle_T<Archive> archive =
        ArchiveFactory::openArchive(String(L"file://") + name.c_str() + L"?position=1");
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->getArchiveSize(), 3);
    EXPECT_EQ(readAll(*archive), "bc");
  }
  JsonValue saved(L"\u00fc\u65e5"), loaded;             // the reader takes no four-byte UTF-8
  ASSERT_TRUE(Json::save(saved, name.c_str(), false));  // replaces the file whole
  EXPECT_EQ(getFileSize(name.c_str()), 1 + 2 + 3 + 1);  // in UTF-8 and quotes
  EXPECT_TRUE(Json::load(loaded, name.c_str()) && loaded == saved);

  Unknown::Handle_T<TempFile> temp;
  {
    const TempDirectory redirected(directory);
    temp = TempFile::createTempFile();
    const fs::path other = pathOf(TempFile::getTempFileName());
    EXPECT_EQ(other.parent_path(), directory);
    fs::remove(other);
  }
  ASSERT_TRUE(temp);
  const std::wstring tempName = temp->getFileName().getBuffer();
  EXPECT_EQ(pathOf(temp->getFileName()).parent_path(), directory);
  EXPECT_EQ(temp->write("xyz", 3), 3);
  EXPECT_EQ(temp->setPosition(1), 1);
  EXPECT_EQ(readAll(*temp), "yz");
  EXPECT_EQ(getFileSize(tempName.c_str()), 3);
  temp = nullptr;
  EXPECT_FALSE(isFileExists(tempName.c_str()));
  EXPECT_EQ(log.lines, Lines{});

  EXPECT_TRUE(fs::remove(path));
  EXPECT_FALSE(isFileExists(name.c_str()));
  EXPECT_FALSE(file->open(name.c_str(), File::kReadOnly, 3));
  EXPECT_EQ(log.lines,
            Lines{L"error: Open file error! ENOENT: No such file or directory. File:" + name});
  EXPECT_TRUE(fs::is_empty(directory));
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
