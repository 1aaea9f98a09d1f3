// The library's own module, recorded by its entry point when it is loaded.
#pragma once

namespace vemo {
namespace detail {

// The module handle of this library: the address at which it is loaded.
void* libraryModule();

}  // namespace detail
}  // namespace vemo
