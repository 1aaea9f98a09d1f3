// Function names from the dynamic symbol table of an ELF image as it lies in memory: what a crash
// handler can still name in a module that its symbol reader never prepared (one loaded later),
// without allocating and without reading a byte it has not checked is mapped. POSIX only.
#pragma once

#include <cstdint>

#include "MemoryMap.h"

namespace vemo {
namespace detail {

// The exported or dynamic function whose code holds `address`, as the table spells it
// (mangled); null when none does. `map` tells where images begin and what is readable.
const char* findDynamicSymbol(const MemoryMap& map, std::uintptr_t address);

}  // namespace detail
}  // namespace vemo
