// The platform side of File (File_<os>.cpp).
#pragma once

namespace vemo {
namespace detail {

// The classic run-time library number (ENOENT 2, EDEADLK 36, ENAMETOOLONG 38, EILSEQ 42,
// STRUNCATE 80 ...) of a platform errno value, or -1 when it has none.
int classicErrno(int platformErrno);

}  // namespace detail
}  // namespace vemo
