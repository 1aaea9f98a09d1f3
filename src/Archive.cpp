#include "vemo/core/Archive.h"

#include <mutex>

#include "vemo/core/File.h"
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
class MemoryFileSystemFactory : public ArchiveFactory {
 public:
  MemoryFileSystemFactory() : ArchiveFactory(String(L"memory")) {}

  Unknown::Handle_T<Archive> createArchive(const String& location) override {
    Unknown::Handle_T<MemoryFile> file = MemoryFile::createInstance();
    const int split = location.find(L"<<");
    if (split < 0) return file;
    String path, options;
    parseUrl(location.getSubString(0, split), path, options);
    Unknown::Handle_T<Archive> source = openArchive(location.getSubString(split + 2));
    if (!source) return Unknown::Handle_T<Archive>();
    OutputStream output(file.get());
    InputStream input(source.get());
    output << input;
    file->setPosition(options.isEmpty() ? 0 : positionOption(options));
    return file;
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
