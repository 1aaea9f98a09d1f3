// The platform side of File (File_<os>.cpp).
#pragma once

#include <cstdio>
#include <filesystem>

#include "vemo/core/File.h"
#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// What File::open's flag and permission bits ask of the platform's open call, decoded once
// for every platform: how the file is accessed, what happens to it on opening, what a file
// that gets created may be used for, and the mode of the buffered stream put on it (chosen
// from the low four bits alone, so a combination without a mode of its own reads).
struct OpenRequest {
  enum Access { kRead, kWrite, kReadWrite };
  Access access;  // the low two bits; 3, which means nothing, reads
  bool append, create, truncate, exclusive;
  bool readable, writable;  // permission of a created file
  const char* streamMode;   // "rb", "wb", "w+b", "ab" or "a+b"
  const wchar_t* wideStreamMode;
};
OpenRequest openRequest(int flags, int permission);

// Opens a file for File::open, logging a failure.
std::FILE* openFile(const String& name, const OpenRequest& request);

// Creates a new file with a unique name in the temporary directory, only for this process's
// user, and opens it for reading and writing on the very descriptor that created it, so that
// nothing planted under the name can receive its data. Sets `name`; logs the system's error
// text and gives null on failure.
std::FILE* openTempFile(String& name);

// Opens a new temporary file that has no name at all (or loses it at once), so that nothing is
// left behind whatever ends the process and no other process can open it. Null after logging.
std::FILE* openUnnamedTempFile();

// The library's scratch files: a TempFile on openUnnamedTempFile, with an empty name.
struct UnnamedTempFile {
  static Unknown::Handle_T<TempFile> create();
};

// Writes what the stream holds to the file and the file's data to the disk (not only to the
// system's cache); false on failure, such as a full disk.
bool syncToDisk(std::FILE* stream);

// Replaces a file whole: the data goes to a new file next to the target, which takes the
// target's place (and its permissions) only once it is complete and on disk, so that a crash or
// a full disk in the middle leaves the old file as it was. Without commit, the new file is removed.
class FileReplacement {
 public:
  explicit FileReplacement(const String& target);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // The new file, open for writing; null when it could not be made (the error is logged).
  File* file() const { return _file.get(); }
  // Puts the new file in the target's place; false (the target unchanged) on failure.
  bool commit();

 private:
  std::filesystem::path _target;
  String _temporary;
  Unknown::Handle_T<File> _file;
};

// Whether the system follows the symbolic link `link` when a file is opened through it. On
// Linux (fs.protected_symlinks) a link in a sticky directory that others may write is followed
// only when it belongs to the follower or to the directory's owner; the library applies the same
// rule wherever it resolves a link itself.
bool mayFollowLink(const std::filesystem::path& link);

// A library path as the platform's file system takes it.
std::filesystem::path nativePath(const String& name);

// The classic run-time library number (ENOENT 2, EDEADLK 36, ENAMETOOLONG 38, EILSEQ 42,
// STRUNCATE 80 ...) of a platform errno value, or -1 when it has none.
int classicErrno(int platformErrno);

}  // namespace detail
}  // namespace vemo
