// The platform side of Uuid (Uuid_<os>.cpp).
#pragma once

#include "vemo/core/MD5.h"

namespace vemo {
namespace detail {

// Adds a record of the machine's current state (names, clocks, memory, process) to a digest,
// so that nodes of different machines and processes differ.
void addMachineState(MD5Context* context);

}  // namespace detail
}  // namespace vemo
