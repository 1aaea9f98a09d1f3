/// \file
/// File, TempFile and MemoryFile: archives on operating-system files and in memory.
#pragma once

#include <cstdio>
#include <vector>

#include "vemo/core/Archive.h"
#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {
namespace detail {
class FileReplacement;
struct UnnamedTempFile;
}  // namespace detail

class MD5Checksum;
class Time;

/// An operating-system file behind a buffered stream. Failures are logged and reported as -1 or
/// false; nothing throws. Sizes and positions are limited to 2,147,483,647 bytes.
class VEMO_CORE_API File : public Archive {
 public:
  /// Flag bits of open().
  enum OpenFlags {
    kReadOnly = 0x0000,
    kWriteOnly = 0x0001,
    kReadWrite = 0x0002,
    kAppend = 0x0008,
    kCreate = 0x0100,
    kTruncate = 0x0200,
    kExclusive = 0x0400,
    kText = 0x4000,  ///< ignored: files are always binary
    kBinary = 0x8000,
  };
  /// Permission bits of a file that open() creates.
  enum Permission { kReadable = 1, kWritable = 2 };

  /// A new File with nothing open (isInvalid()).
  static Handle_T<File> createInstance();

  /// Closes any open file, then opens `name`; an empty name returns false without logging.
  bool open(const String& name, int flags, int permission);
  /// Closes the file (a failure is logged); nothing happens when none is open.
  void close();
  /// The name the open file was opened by; empty when none is open.
  const String& getFileName() const { return _fileName; }
  /// True when no file is open.
  bool isInvalid() const { return _stream == nullptr; }
  /// True when a read has met the end of the open file.
  bool eof() const;

  int available() const override;
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;
  /// The file's size; -1 when none is open or the size cannot be found.
  int getArchiveSize() const override;
  /// The position; -1 when none is open or the position cannot be found (logged).
  int getPosition() const override;
  int setPosition(int position) override;
  int write(const void* data, int size) override;

  /// The text of the calling thread's current errno, named by its symbolic meaning, for example
  /// "ENOENT: No such file or directory.", for the numbers of the classic C run-time library (the
  /// platform's own numbers are mapped to them): "" for 0, "UNKNOWN: Unknown error(15)." for the
  /// numbers up to 42 that have no text, "STRUNCATE: String was truncated" for 80 and "UNKNOWN:
  /// Unknown error" for any other.
  static const wchar_t* getLastError();

  File(const File&) = delete;
  File& operator=(const File&) = delete;

 protected:
  File();
  ~File() override;
  /// Takes over a stream opened elsewhere (closing what was open).
  void adopt(std::FILE* stream, const String& name);

 private:
  enum class Direction { kNone, kRead, kWrite };
  // ftell/fseek; with `repeat` a failure is tried again a few times, without it it is logged.
  int tell(bool repeat) const;
  int seek(long offset, int origin, bool repeat) const;
  // The C library needs a positioning call between reading and writing.
  void turnTo(Direction direction) const;

  friend class detail::FileReplacement;  // puts the stream on disk before it commits

  String _fileName;
  std::FILE* _stream;
  mutable Direction _direction = Direction::kNone;
};

/// A File on a fresh unique name in the temporary directory, deleted when destroyed.
class VEMO_CORE_API TempFile : public File {
 public:
  /// Creates an empty file with a unique name and returns its full name ("" after logging the
  /// system's error text).
  static String getTempFileName();
  /// A TempFile opened for reading and writing, or null after logging "Create temp file error!".
  static Handle_T<TempFile> createTempFile();

 protected:
  TempFile() = default;
  ~TempFile() override;

 private:
  friend struct detail::UnnamedTempFile;  // the library's own scratch files
};

/// A file in memory, in 4096-byte blocks, that grows as it is written at its end. Copies share
/// their blocks.
class VEMO_CORE_API MemoryFile : public Archive {
 public:
  /// A new empty memory file.
  static Handle_T<MemoryFile> createInstance();

  int available() const override { return _size - _position; }
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;
  /// The bytes written so far.
  int getArchiveSize() const override { return _size; }
  /// The position, 0 to the size.
  int getPosition() const override { return _position; }
  /// Clamps to 0..size; returns the new position.
  int setPosition(int position) override;
  int write(const void* data, int size) override;

  /// Copies share the blocks (a copy starts without references, like every object).
  ///@{
  MemoryFile(const MemoryFile& other) = default;
  MemoryFile& operator=(const MemoryFile& other) = default;
  ///@}

 protected:
  MemoryFile();
  ~MemoryFile() override;

 public:
  /// One reference-counted block of the file.
  class VEMO_CORE_API Cache : public Unknown {
   public:
    static constexpr int kSize = 4096;  ///< The size of a block.
    unsigned char data[kSize];          ///< The block's bytes.
  };

 private:
  std::vector<Handle_T<Cache>> _blocks;
  int _size;
  int _position;
};

/// The size of a file, or -1 after logging the error text.
VEMO_CORE_API int getFileSize(const wchar_t* path);
/// True when something (a file or a directory) exists at the path; false for null.
VEMO_CORE_API bool isFileExists(const wchar_t* path);
/// Size, creation time (the birth time where the file system keeps one, else the last status
/// change) and last modification time of a file; false (size -1) when it cannot be looked up.
VEMO_CORE_API bool getFileInfo(const wchar_t* path, int& size, Time& created, Time& modified);
/// The MD5 of a file's content; false when it does not open.
VEMO_CORE_API bool calcFileMd5(const wchar_t* path, MD5Checksum& md5);

}  // namespace vemo
