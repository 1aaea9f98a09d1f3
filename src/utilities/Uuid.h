// The platform side of Uuid (Uuid_<os>.cpp).
#pragma once

#include <cstddef>

#include "vemo/core/MD5.h"

namespace vemo {
namespace detail {

// Adds a record of the machine's current state (names, clocks, memory, process) to a digest,
// so that nodes of different machines and processes differ.
void addMachineState(MD5Context* context);

// Fills `size` bytes from the system's cryptographic random source; false when it fails.
bool systemRandom(void* out, std::size_t size);

}  // namespace detail
}  // namespace vemo
