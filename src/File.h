// The platform side of File (File_<os>.cpp).
#pragma once

#include <cstdio>
#include <filesystem>

#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// Opens a file for File::open (flag and permission bits of File), logging a failure.
std::FILE* openFile(const String& name, int flags, int permission);

// Creates a new file with a unique name in the temporary directory, only for this process's
// user, and opens it for reading and writing on the very descriptor that created it, so that
// nothing planted under the name can receive its data. Sets `name`; logs the system's error
// text and gives null on failure.
std::FILE* openTempFile(String& name);

// A library path as the platform's file system takes it.
std::filesystem::path nativePath(const String& name);

// The classic run-time library number (ENOENT 2, EDEADLK 36, ENAMETOOLONG 38, EILSEQ 42,
// STRUNCATE 80 ...) of a platform errno value, or -1 when it has none.
int classicErrno(int platformErrno);

}  // namespace detail
}  // namespace vemo
