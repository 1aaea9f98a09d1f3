// Archives opened by location: the "file" and "memory" schemes with their options, factories
// registered at run time, and MD5 checksums of whole archives and files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/File.h"
#include "vemo/core/MD5.h"

using namespace vemo;
namespace fs = std::filesystem;
using ArchiveHandle = Unknown::Handle_T<Archive>;

namespace {

// A scratch directory, made the current one, holding "data" (40000 bytes, byte i is i % 251)
// and ":/f" (the 5 bytes "colon").
struct Scratch {
  Scratch() {
    fs::create_directories(dir / ":");
    std::ofstream(dir / ":" / "f") << "colon";
    std::ofstream out(dir / "data", std::ios::binary);
    for (int i = 0; i < 40000; ++i)
      out.put(char(i % 251));
    fs::current_path(dir);
  }
  ~Scratch() {
    fs::current_path(before);
    fs::remove_all(dir);
  }
  String at(const char* prefix, const char* leaf = "data", const char* suffix = "") const {
    const std::string location = prefix + (dir / leaf).string() + suffix;  // ASCII
    return String(std::wstring(location.begin(), location.end()).c_str());
  }
  const fs::path before = fs::current_path();
  const fs::path dir = fs::temp_directory_path() / ("vemo-archivetest-" + std::to_string(getpid()));
};

}  // namespace

TEST(ArchiveFactory, OpensFileAndMemoryLocations) {
  Scratch s;
  // size -1: no archive; byte: the one at the position (-1: none there).
  // clang-format off
  const struct { String location; int size, position = 0, byte = -1; bool writable = false; }
  cases[] = {
      {s.at(""), 40000, 0, 0, false}, {s.at("file://"), 40000, 0, 0, false},
      {s.at("file://", "data", "?position=10"), 40000, 10, 10, false},
      {s.at("file://", "data", "?x=1 position=39999"), 40000, 39999, 39999 % 251, false},
      {L"://f", 5, 0, 'c', false},  // "://" at the start belongs to the path ":/f"
      {s.at("file://", "missing"), -1}, {s.at("nosuch://"), -1}, {s.at("FILE://"), -1},
      {L"memory://", 0, 0, -1, true},
      {s.at("memory://?position=4<<file://"), 40000, 4, 4, true},
      {s.at("memory://name<<"), 40000, 0, 0, true},
      {String(L"memory://?position=2<<memory://<<") + s.at("file://", "data", "?position=7"),
       39993, 2, 9, true},  // a copy of a copy that starts at byte 7
      {String(L"memory://?position=1<<memory://?position=3<<memory://<<") +
       s.at("file://", "data", "?position=7"), 39990, 1, 11, true},  // each level from its own
      {s.at("memory://?position=4<<file://", "missing"), -1}};
  // clang-format on
  for (const auto& c : cases) {
    const std::wstring location = c.location.getBuffer();
    ArchiveHandle archive = ArchiveFactory::openArchive(c.location);
    ASSERT_EQ(archive.get() != nullptr, c.size >= 0) << location;
    if (!archive) continue;
    EXPECT_EQ(archive->getArchiveSize(), c.size) << location;
    EXPECT_EQ(archive->getPosition(), c.position) << location;
    unsigned char byte = 0;
    EXPECT_EQ(archive->read(&byte, 1) == 1 ? byte : -1, c.byte) << location;
    EXPECT_EQ(archive->write("x", 1) == 1, c.writable) << location;
  }
}

TEST(ArchiveFactory, MemoryLocationsNestSixteenLevelsDeep) {
  Scratch s;
  tests::LogCapture log;
  const auto nested = [&](int levels) {
    std::wstring location;
    for (int i = 0; i < levels; ++i)
      location += L"memory://<<";
    return ArchiveFactory::openArchive(location.c_str() + s.at("file://"));
  };
  const ArchiveHandle deepest = nested(16);
  ASSERT_TRUE(deepest);
  EXPECT_EQ(deepest->getArchiveSize(), 40000);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_FALSE(nested(17));
  EXPECT_FALSE(nested(200000));  // 2.2 MB of location: no deep recursion, no copy per level
  const std::wstring refused = L"error: Archive location nests more than 16 memory levels";
  EXPECT_EQ(log.lines, (std::vector<std::wstring>{refused, refused}));
}

TEST(ArchiveFactory, TheFactoryRegisteredLastServesItsSchemeUntilTornDown) {
  struct Marker final : ArchiveFactory {
    Marker() : ArchiveFactory(String(L"file")) {}
    ArchiveHandle createArchive(const String& location) override {
      seen = location.getBuffer();
      return MemoryFile::createInstance();
    }
    std::wstring seen;
  } marker;
  Scratch s;
  EXPECT_TRUE(ArchiveFactory::setUpArchiveFactory(&marker));
  EXPECT_TRUE(ArchiveFactory::openArchive(L"file://x?position=3"));
  EXPECT_EQ(marker.seen, L"x?position=3");
  EXPECT_TRUE(ArchiveFactory::openArchive(L"plain"));  // no scheme is "file" too
  EXPECT_EQ(marker.seen, L"plain");
  EXPECT_TRUE(ArchiveFactory::tearDownArchiveFactory(&marker));
  ArchiveHandle real = ArchiveFactory::openArchive(s.at("file://"));
  EXPECT_TRUE(real && real->getArchiveSize() == 40000);

  // A factory registered again moves to the head once: the others stay reachable, the last
  // registration wins, and one tear-down takes it away.
  ArchiveFactory* const builtIn = ArchiveFactory::getArchiveFactory(L"file");
  ASSERT_NE(builtIn, nullptr);
  ASSERT_NE(builtIn, &marker);
  Marker second;
  EXPECT_TRUE(ArchiveFactory::setUpArchiveFactory(&marker));
  EXPECT_TRUE(ArchiveFactory::setUpArchiveFactory(&second));
  EXPECT_TRUE(ArchiveFactory::setUpArchiveFactory(&marker));
  EXPECT_EQ(ArchiveFactory::getArchiveFactory(L"file"), &marker);
  EXPECT_TRUE(ArchiveFactory::tearDownArchiveFactory(&marker));
  EXPECT_EQ(ArchiveFactory::getArchiveFactory(L"file"), &second);
  EXPECT_NE(ArchiveFactory::getArchiveFactory(L"memory"), nullptr);
  EXPECT_TRUE(ArchiveFactory::tearDownArchiveFactory(&second));
  EXPECT_EQ(ArchiveFactory::getArchiveFactory(L"file"), builtIn);
  EXPECT_NE(ArchiveFactory::getArchiveFactory(L"memory"), nullptr);
  real = ArchiveFactory::openArchive(s.at("file://"));
  EXPECT_TRUE(real && real->getArchiveSize() == 40000);
}

TEST(ArchiveFactory, ParseUrlSplitsAtTheFirstQuestionMark) {
  // clang-format off
  const struct { const wchar_t *url, *path, *options; } cases[] = {
      {L"a/b?c=1?d=2", L"a/b", L"c=1?d=2"}, {L"a/b", L"a/b", L""}, {L"", L"", L""},
      {L"?x", L"", L"x"}, {L"a?", L"a", L""}};
  // clang-format on
  for (const auto& c : cases) {
    String path(L"old"), options(L"old");
    ArchiveFactory::parseUrl(c.url, path, options);
    EXPECT_STREQ(path.getBuffer(), c.path) << c.url;
    EXPECT_STREQ(options.getBuffer(), c.options) << c.url;
  }
}

TEST(ArchiveMd5, DigestsWholeArchivesAndKeepsThePosition) {
  MD5Checksum md5;
  EXPECT_TRUE(calcArchiveMd5(MemoryFile::createInstance().get(), md5));
  EXPECT_STREQ(md5.convertToString().getBuffer(), L"d41d8cd98f00b204e9800998ecf8427e");
  Scratch s;  // md5sum of the 40000 bytes (more than one 32768-byte read)
  EXPECT_TRUE(calcFileMd5(s.at("").getBuffer(), md5));
  EXPECT_STREQ(md5.convertToString().getBuffer(), L"f8538691d5889b475519b3120a8a1281");
  ArchiveHandle file = ArchiveFactory::openArchive(s.at("file://", "data", "?position=33000"));
  md5.setBufferSize(0);
  EXPECT_TRUE(calcArchiveMd5(file.get(), md5));
  EXPECT_STREQ(md5.convertToString().getBuffer(), L"f8538691d5889b475519b3120a8a1281");
  EXPECT_EQ(file->getPosition(), 33000);
  EXPECT_FALSE(calcFileMd5(s.at("", "missing").getBuffer(), md5));
}
