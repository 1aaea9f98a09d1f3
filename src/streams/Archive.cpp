#include "vemo/core/Archive.h"

#include <cwchar>
#include <mutex>

#include "vemo/core/File.h"
#include "vemo/core/Log.h"
#include "vemo/core/MD5.h"
#include "vemo/core/Process.h"

namespace vemo {
namespace {

// The registry: a list through the factories' own links, under one lock.
std::mutex g_factoryLock;
ArchiveFactory* g_factories = nullptr;

int positionOption(const String& options) {
  return parseArgumentInt(options.getBuffer(), L"position", 0);
}

// "file": an operating-system file, opened read-only.
class OsFileSystemFactory : public ArchiveFactory {
 public:
  OsFileSystemFactory() : ArchiveFactory(String(L"file")) {}

  Unknown::Handle_T<Archive> createArchive(const String& location) override {
    String path, options;
    parseUrl(location, path, options);
    Unknown::Handle_T<File> file = File::createInstance();
    if (!file->open(path, File::kReadOnly, File::kReadable | File::kWritable))
      return Unknown::Handle_T<Archive>();
    if (!options.isEmpty()) file->setPosition(positionOption(options));
    return file;
  }
};

// "memory": an in-memory file, empty or loaded from another location after "<<".
//
// A source that is itself a "memory" location of this factory is read in place, level after
// level, by position: a long chain neither recurses nor copies the rest of the location at each
// level. Deeper chains than kMaxLevels give null.
class MemoryFileSystemFactory : public ArchiveFactory {
 public:
  static constexpr int kMaxLevels = 16;

  MemoryFileSystemFactory() : ArchiveFactory(String(L"memory")) {}

  Unknown::Handle_T<Archive> createArchive(const String& location) override {
    static const wchar_t kScheme[] = L"memory://";
    constexpr int kSchemeLength = sizeof kScheme / sizeof kScheme[0] - 1;
    int positions[kMaxLevels];  // the position option of each level, outermost first
    int levels = 0, at = 0;
    Unknown::Handle_T<Archive> source;
    for (;;) {
      const int split = location.find(L"<<", at);
      if (split < 0) {  // the innermost level is an empty memory file
        source = MemoryFile::createInstance();
        break;
      }
      if (levels == kMaxLevels) {
        Log::error(L"Archive location nests more than %d memory levels", kMaxLevels);
        return nullptr;
      }
      positions[levels++] = positionOf(location, at, split);
      at = split + 2;
      if (std::wcsncmp(location.getBuffer() + at, kScheme, kSchemeLength) != 0 ||
          getArchiveFactory(String(L"memory")) != this) {
        source = openArchive(location.getSubString(at));
        break;
      }
      at += kSchemeLength;
    }
    if (!source) return nullptr;
    while (levels > 0) {
      Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
      OutputStream output(file.get());
      InputStream input(source.get());
      output << input;
      file->setPosition(positions[--levels]);
      source = file;
    }
    return source;
  }

 private:
  // The "position" option of the level whose path and options lie in [begin, end); 0 without
  // options.
  static int positionOf(const String& location, int begin, int end) {
    const int question = location.find(L'?', begin);
    if (question < 0 || question + 1 >= end) return 0;
    const String options = location.getSubString(question + 1, end - question - 1);
    return positionOption(options);
  }
};

// The two built-in factories, registered while the library is loaded.
struct BuiltInFactories {
  OsFileSystemFactory file;
  MemoryFileSystemFactory memory;
  BuiltInFactories() {
    ArchiveFactory::setUpArchiveFactory(&file);
    ArchiveFactory::setUpArchiveFactory(&memory);
  }
  ~BuiltInFactories() {
    ArchiveFactory::tearDownArchiveFactory(&memory);
    ArchiveFactory::tearDownArchiveFactory(&file);
  }
} g_builtInFactories;

}  // namespace

bool ArchiveFactory::setUpArchiveFactory(ArchiveFactory* factory) {
  if (!factory) return false;
  std::lock_guard<std::mutex> guard(g_factoryLock);
  // A factory registered again moves to the head: linking it in a second time would close the
  // list into a ring and cut off every factory behind it.
  for (ArchiveFactory** link = &g_factories; *link; link = &(*link)->_next) {
    if (*link == factory) {
      *link = factory->_next;
      break;
    }
  }
  factory->_next = g_factories;
  g_factories = factory;
  return true;
}

bool ArchiveFactory::tearDownArchiveFactory(ArchiveFactory* factory) {
  std::lock_guard<std::mutex> guard(g_factoryLock);
  for (ArchiveFactory** link = &g_factories; *link; link = &(*link)->_next) {
    if (*link == factory) {
      *link = factory->_next;
      factory->_next = nullptr;
      break;
    }
  }
  return true;
}

ArchiveFactory* ArchiveFactory::getArchiveFactory(const String& archiveType) {
  std::lock_guard<std::mutex> guard(g_factoryLock);
  for (ArchiveFactory* factory = g_factories; factory; factory = factory->_next)
    if (factory->_archiveType == archiveType) return factory;
  return nullptr;
}

Unknown::Handle_T<Archive> ArchiveFactory::openArchive(const String& location) {
  const int separator = location.find(L"://");
  const bool hasScheme = separator > 0;
  ArchiveFactory* factory =
      getArchiveFactory(hasScheme ? location.getSubString(0, separator) : String(L"file"));
  if (!factory) return Unknown::Handle_T<Archive>();
  return factory->createArchive(hasScheme ? location.getSubString(separator + 3) : location);
}

void ArchiveFactory::parseUrl(const String& url, String& path, String& options) {
  const int question = url.isEmpty() ? -1 : url.find(L'?');
  if (question < 0) {
    path = url;
    options = String();
    return;
  }
  path = url.getSubString(0, question);
  options = url.getSubString(question + 1);
}

bool calcArchiveMd5(Archive* archive, MD5Checksum& md5) {
  if (!archive) return false;
  const int position = archive->getPosition();
  if (position < 0 || archive->setPosition(0) < 0) return false;
  const int size = archive->getArchiveSize();
  if (size < 0) return false;
  MD5Context context;
  MD5Init(&context);
  unsigned char chunk[32768];
  for (int hashed = 0; hashed < size;) {
    const int wanted = size - hashed < static_cast<int>(sizeof chunk)
                           ? size - hashed
                           : static_cast<int>(sizeof chunk);
    const int n = archive->read(chunk, wanted);
    if (n < 0) {
      archive->setPosition(position);
      return false;
    }
    if (n == 0) break;  // the archive ended early: the digest covers what was there
    MD5Update(&context, chunk, static_cast<unsigned int>(n));
    hashed += n;
  }
  MD5Final(&md5, &context);
  archive->setPosition(position);
  return true;
}

}  // namespace vemo
