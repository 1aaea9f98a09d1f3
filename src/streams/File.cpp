#include "vemo/core/File.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "File.h"
#include "FileName.h"
#include "vemo/core/Log.h"
#include "vemo/core/Memory.h"

namespace vemo {
namespace {

// Texts of the classic run-time library's errno numbers 0 to 42.
const wchar_t* const kErrnoTexts[] = {
    L"",
    L"EPERM: Operation not permitted.",
    L"ENOENT: No such file or directory.",
    L"ESRCH: No such process.",
    L"EINTR: Interrupted function.",
    L"EIO: I/O error.",
    L"ENXIO: No such device or address.",
    L"E2BIG: Argument list too long.",
    L"ENOEXEC: Exec format error.",
    L"EBADF: Bad file number.",
    L"ECHILD: No spawned processes.",
    L"EAGAIN: No more processes or not enough memory or maximum nesting level reached.",
    L"ENOMEM: Not enough memory.",
    L"EACCES: Permission denied.",
    L"EFAULT: Bad address.",
    L"UNKNOWN: Unknown error(15).",
    L"EBUSY: Device or resource busy.",
    L"EEXIST: File exists.",
    L"EXDEV: Cross-device link.",
    L"ENODEV: No such device.",
    L"ENOTDIR: Not a directory.",
    L"EISDIR: Is a directory.",
    L"EINVAL: Invalid argument.",
    L"ENFILE: Too many files open in system.",
    L"EMFILE: Too many open files.",
    L"ENOTTY: Inappropriate I/O control operation.",
    L"UNKNOWN: Unknown error(26).",
    L"EFBIG: File too large.",
    L"ENOSPC: No space left on device.",
    L"ESPIPE: Invalid seek.",
    L"EROFS: Read-only file system.",
    L"EMLINK: Too many links.",
    L"EPIPE: Broken pipe.",
    L"EDOM: Math argument.",
    L"ERANGE: Result too large.",
    L"UNKNOWN: Unknown error(35).",
    L"EDEADLK: Resource deadlock would occur.",
    L"UNKNOWN: Unknown error(37).",
    L"ENAMETOOLONG: Filename too long.",
    L"ENOLCK: No locks available.",
    L"ENOSYS: Function not supported.",
    L"ENOTEMPTY: Directory not empty.",
    L"EILSEQ: Illegal byte sequence.",
};
constexpr int kTruncated = 80;
constexpr int kPositionRetries = 3;

}  // namespace

// ---- File ------------------------------------------------------------------------------

detail::OpenRequest detail::openRequest(int flags, int permission) {
  struct Mode {
    const char* narrow;
    const wchar_t* wide;
  };
  static const Mode kRead{"rb", L"rb"};
  static const Mode kModes[] = {{"wb", L"wb"}, {"w+b", L"w+b"}, {"ab", L"ab"}, {"a+b", L"a+b"}};
  const Mode* mode = &kRead;
  switch (flags & 0x0F) {
    case File::kWriteOnly:
      mode = &kModes[0];
      break;
    case File::kReadWrite:
      mode = &kModes[1];
      break;
    case File::kWriteOnly | File::kAppend:
      mode = &kModes[2];
      break;
    case File::kReadWrite | File::kAppend:
      mode = &kModes[3];
      break;
  }
  OpenRequest request;
  switch (flags & 3) {
    case File::kWriteOnly:
      request.access = OpenRequest::kWrite;
      break;
    case File::kReadWrite:
      request.access = OpenRequest::kReadWrite;
      break;
    default:
      request.access = OpenRequest::kRead;
      break;
  }
  request.append = (flags & File::kAppend) != 0;
  request.create = (flags & File::kCreate) != 0;
  request.truncate = (flags & File::kTruncate) != 0;
  request.exclusive = (flags & File::kExclusive) != 0;
  request.readable = (permission & File::kReadable) != 0;
  request.writable = (permission & File::kWritable) != 0;
  request.streamMode = mode->narrow;
  request.wideStreamMode = mode->wide;
  return request;
}

File::File() : _stream(nullptr) {}

File::~File() {
  close();
}

Unknown::Handle_T<File> File::createInstance() {
  return Handle_T<File>(new File());
}

bool File::open(const String& name, int flags, int permission) {
  close();
  if (name.isEmpty()) return false;
  std::FILE* stream = detail::openFile(name, detail::openRequest(flags, permission));
  if (!stream) return false;
  adopt(stream, name);
  return true;
}

void File::adopt(std::FILE* stream, const String& name) {
  close();
  _stream = stream;
  _fileName = name;
  _direction = Direction::kNone;
}

void File::close() {
  if (!_stream) return;
  if (std::fclose(_stream) != 0)
    Log::error(L"Close file error! %s File:%s", getLastError(), _fileName.getBuffer());
  _stream = nullptr;
  _fileName = String();
}

bool File::eof() const {
  return _stream && std::feof(_stream) != 0;
}

int File::tell(bool repeat) const {
  long position = std::ftell(_stream);
  for (int i = 0; repeat && position < 0 && i < kPositionRetries; ++i)
    position = std::ftell(_stream);
  if (position < 0 || position > INT_MAX) {
    if (!repeat)
      Log::error(L"Get file position error! %s File:%s", getLastError(), _fileName.getBuffer());
    return -1;
  }
  return static_cast<int>(position);
}

int File::seek(long offset, int origin, bool repeat) const {
  int result = std::fseek(_stream, offset, origin);
  for (int i = 0; repeat && result != 0 && i < kPositionRetries; ++i)
    result = std::fseek(_stream, offset, origin);
  if (result != 0) {
    if (!repeat)
      Log::error(L"Set file position(%d,%d) error! %s File:%s", static_cast<int>(offset), origin,
                 getLastError(), _fileName.getBuffer());
    return -1;
  }
  _direction = Direction::kNone;
  return 0;
}

void File::turnTo(Direction direction) const {
  if (_direction != Direction::kNone && _direction != direction) std::fseek(_stream, 0, SEEK_CUR);
  _direction = direction;
}

int File::getArchiveSize() const {
  if (!_stream) return -1;
  const int position = tell(true);
  if (position < 0 || seek(0, SEEK_END, true) < 0) return -1;
  const int size = tell(true);
  seek(position, SEEK_SET, true);
  return size;
}

int File::available() const {
  if (!_stream) return -1;
  const int position = tell(true);
  const int size = getArchiveSize();
  return position < 0 || size < 0 ? -1 : size - position;
}

int File::getPosition() const {
  return _stream ? tell(false) : -1;
}

int File::setPosition(int position) {
  if (!_stream) return -1;
  return seek(position, SEEK_SET, false) < 0 ? -1 : position;
}

int File::read(void* buffer, int size) {
  if (!_stream) return -1;
  if (size < 1) return 0;
  turnTo(Direction::kRead);
  return static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(size), _stream));
}

int File::peek(void* buffer, int size) const {
  if (!_stream) return -1;
  if (size < 1) return 0;
  const int position = tell(true);
  if (position < 0) return -1;
  turnTo(Direction::kRead);
  const int n = static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(size), _stream));
  std::clearerr(_stream);
  seek(position, SEEK_SET, true);
  return n;
}

int File::write(const void* data, int size) {
  if (!_stream) return -1;
  if (size < 1) return 0;
  turnTo(Direction::kWrite);
  errno = 0;
  const int n = static_cast<int>(std::fwrite(data, 1, static_cast<std::size_t>(size), _stream));
  if (n == 0 && errno == EINVAL)
    Log::error(L"Write file error! errno(%d) %s File:%s", 22, getLastError(),
               _fileName.getBuffer());
  return n;
}

// ---- TempFile --------------------------------------------------------------------------

Unknown::Handle_T<TempFile> TempFile::createTempFile() {
  String name;
  std::FILE* stream = detail::openTempFile(name);
  if (!stream) {
    Log::error(L"Create temp file error!");
    return Handle_T<TempFile>();
  }
  Handle_T<TempFile> file(new TempFile());
  file->adopt(stream, name);
  return file;
}

Unknown::Handle_T<TempFile> detail::UnnamedTempFile::create() {
  std::FILE* stream = openUnnamedTempFile();
  if (!stream) {
    Log::error(L"Create temp file error!");
    return Unknown::Handle_T<TempFile>();
  }
  Unknown::Handle_T<TempFile> file(new TempFile());
  file->adopt(stream, String());
  return file;
}

TempFile::~TempFile() {
  if (isInvalid()) return;
  const String name = getFileName();
  close();
  if (name.isEmpty()) return;  // an unnamed file is gone with its last descriptor
  std::error_code ignored;
  std::filesystem::remove(detail::nativePath(name), ignored);
}

// ---- FileReplacement -------------------------------------------------------------------

namespace detail {

FileReplacement::FileReplacement(const String& target) : _target(nativePath(target)) {
  if (target.isEmpty()) return;
  std::error_code error;
  // A link at the name is followed, one link at a time, and only where the system itself would
  // follow it: another user's link in a shared sticky directory (/tmp) is refused as the kernel
  // refuses it, and the save fails rather than replace the file that link names.
  for (int links = 0; std::filesystem::is_symlink(_target, error); ++links) {
    if (links == 40 || !mayFollowLink(_target)) {
      Log::error(L"Cannot replace %s: a link that is not followed is in its place",
                 pathToWide(_target.c_str()).getBuffer());
      return;
    }
    const std::filesystem::path next = std::filesystem::read_symlink(_target, error);
    if (error) return;
    _target = next.is_absolute() ? next : _target.parent_path() / next;
  }
  static std::atomic<unsigned> g_serial{0};
  const unsigned salt = static_cast<unsigned>(std::random_device{}());
  Unknown::Handle_T<File> file = File::createInstance();
  for (int attempt = 0; attempt < 16; ++attempt) {
    String name;
    name.format(L"%s.%08x.tmp", pathToWide(_target.c_str()).getBuffer(),
                salt ^ (g_serial++ * 0x9E3779B9u));
    if (file->open(name, File::kWriteOnly | File::kCreate | File::kExclusive,
                   File::kReadable | File::kWritable)) {
      _temporary = name;
      _file = file;
      break;
    }
    if (errno != EEXIST) break;
  }
  if (!_file) return;
  const auto permissions = std::filesystem::status(_target, error).permissions();
  if (!error && permissions != std::filesystem::perms::unknown)
    std::filesystem::permissions(nativePath(_temporary), permissions, error);
}

FileReplacement::~FileReplacement() {
  if (!_file) return;
  _file->close();
  std::error_code ignored;
  std::filesystem::remove(nativePath(_temporary), ignored);
}

bool FileReplacement::commit() {
  if (!_file) return false;
  const bool written = syncToDisk(_file->_stream);
  _file->close();
  _file = nullptr;
  std::error_code error;
  if (written) std::filesystem::rename(nativePath(_temporary), _target, error);
  if (!written || error) {
    std::filesystem::remove(nativePath(_temporary), error);
    return false;
  }
  return true;
}

}  // namespace detail

// ---- MemoryFile ------------------------------------------------------------------------

MemoryFile::MemoryFile() : _size(0), _position(0) {}
MemoryFile::~MemoryFile() = default;
Unknown::Handle_T<MemoryFile> MemoryFile::createInstance() {
  return Handle_T<MemoryFile>(new MemoryFile());
}

int MemoryFile::setPosition(int position) {
  _position = position > 0 ? (position < _size ? position : _size) : 0;
  return _position;
}

int MemoryFile::peek(void* buffer, int size) const {
  if (size < 1) return 0;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  int copied = 0;
  for (int at = _position; copied < size && at < _size;) {
    const int offset = at % Cache::kSize;
    int n = size - copied;
    if (n > _size - at) n = _size - at;
    if (n > Cache::kSize - offset) n = Cache::kSize - offset;
    __memcpy__(out + copied, _blocks[static_cast<std::size_t>(at / Cache::kSize)]->data + offset,
               static_cast<std::size_t>(n));
    copied += n;
    at += n;
  }
  return copied;
}

int MemoryFile::read(void* buffer, int size) {
  const int n = peek(buffer, size);
  if (n > 0) _position += n;
  return n;
}

int MemoryFile::write(const void* data, int size) {
  if (size < 1) return 0;
  const unsigned char* in = static_cast<const unsigned char*>(data);
  int written = 0;
  while (written < size) {
    const std::size_t index = static_cast<std::size_t>(_position / Cache::kSize);
    const int offset = _position % Cache::kSize;
    if (_position == _size && index == _blocks.size()) {
      if (_position > INT_MAX - Cache::kSize) break;  // the file is limited to 2 GiB
      Cache* block = new (std::nothrow) Cache();
      if (!block) {
        Log::error(L"Alloc memory error!");
        break;
      }
      _blocks.emplace_back(block);
    }
    int n = size - written;
    if (n > Cache::kSize - offset) n = Cache::kSize - offset;
    __memcpy__(_blocks[index]->data + offset, in + written, static_cast<std::size_t>(n));
    written += n;
    _position += n;
    if (_position > _size) _size = _position;
  }
  return written > 0 ? written : -1;
}

// ---- free helpers ----------------------------------------------------------------------

bool calcFileMd5(const wchar_t* path, MD5Checksum& md5) {
  Unknown::Handle_T<File> file = File::createInstance();
  if (!file->open(String(path), File::kReadOnly, File::kReadable | File::kWritable)) return false;
  return calcArchiveMd5(file.get(), md5);
}

bool isFileExists(const wchar_t* path) {
  std::error_code error;
  return path && std::filesystem::exists(detail::nativePath(String(path)), error);
}

const wchar_t* File::getLastError() {
  const int number = detail::classicErrno(errno);
  if (number >= 0 && number < static_cast<int>(sizeof kErrnoTexts / sizeof kErrnoTexts[0]))
    return kErrnoTexts[number];
  if (number == kTruncated) return L"STRUNCATE: String was truncated";
  return L"UNKNOWN: Unknown error";
}

}  // namespace vemo
