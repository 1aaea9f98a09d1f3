// The platform side of File (File_<os>.cpp).
#pragma once

#include <cstdio>
#include <filesystem>

#include "vemo/core/String.h"

namespace vemo {
namespace detail {

// Opens a file for File::open (flag and permission bits of File), logging a failure.
std::FILE* openFile(const String& name, int flags, int permission);

// A library path as the platform's file system takes it.
std::filesystem::path nativePath(const String& name);

// The classic run-time library number (ENOENT 2, EDEADLK 36, ENAMETOOLONG 38, EILSEQ 42,
// STRUNCATE 80 ...) of a platform errno value, or -1 when it has none.
int classicErrno(int platformErrno);

}  // namespace detail
}  // namespace vemo
