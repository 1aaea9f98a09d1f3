// The platform side of the process helpers (Process_<os>.cpp): the few calls that ask the
// system, while the walking rules of the scans stay in Process.cpp.
#pragma once

#include "vemo/core/Process.h"
#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// What a directory entry is, as far as the scans care.
enum DirectoryEntryKind : unsigned {
  kEntryHidden = 1,     // hidden, system or temporary (POSIX: the name starts with '.')
  kEntryDirectory = 2,  // a directory (POSIX: not through a symbolic link)
  kEntryFile = 4,       // a file that counts (Windows: archive attribute; POSIX: regular file)
};

// Receives the entries of one directory; returning false ends the enumeration.
class DirectoryVisitor {
 public:
  virtual bool visit(const wchar_t* name, unsigned kinds) = 0;

 protected:
  ~DirectoryVisitor() = default;
};

// Lists `directory` (the entries of `directory` + "*" on Windows) in the system's order, "."
// and ".." included where the system lists them. A directory that cannot be opened has none.
void enumerateDirectory(const String& directory, DirectoryVisitor& visitor);

// Creates one directory; failures, an existing directory among them, are not reported.
void makeDirectory(const String& path);

}  // namespace detail
}  // namespace vemo
