/// \file
/// Bulk copy and fill through two replaceable, self-resolving function pointers.
///
/// Every bulk copy of the library goes through __memcpy__ and __memset__. Both start at a
/// resolver that picks a routine for the processor on its first call (cpuid leaf 1: SSE, else
/// MMX, else the standard library), stores it in the pointer and performs the call. Callers may
/// call through them too, or assign a routine of their own, which the library then uses.
/// Ranges must not overlap.
///
/// On x86-64, where the standard routines are already vectorised and tuned to the processor,
/// the SSE choice is the standard routines: measured, the streaming SSE routines only win beyond
/// the caches and lose more than that on small blocks.
#pragma once

#include <cstddef>

#include "vemo/core/Export.h"

namespace vemo {

/// A routine with the arguments and result of memcpy.
using MemcpyFunction = void* (*)(void* destination, const void* source, std::size_t count);
/// A routine with the arguments and result of memset.
using MemsetFunction = void* (*)(void* destination, int value, std::size_t count);

/// The library's bulk copy: the resolver at first, then the routine it chose (or one assigned).
extern VEMO_CORE_API MemcpyFunction __memcpy__;
/// The library's bulk fill: the resolver at first, then the routine it chose (or one assigned).
extern VEMO_CORE_API MemsetFunction __memset__;

///@{
/// The routines the resolver chooses between, with the results of memcpy and memset.
/// The SSE routines give runs under 128 bytes to the standard library and write the rest with
/// non-temporal stores; the MMX ones move 64 (copy) or 128 (fill) bytes per step.
VEMO_CORE_API void* memcpySse(void* destination, const void* source, std::size_t count);
VEMO_CORE_API void* memcpyMmx(void* destination, const void* source, std::size_t count);
VEMO_CORE_API void* memsetSse(void* destination, int value, std::size_t count);
VEMO_CORE_API void* memsetMmx(void* destination, int value, std::size_t count);
///@}

///@{
/// The routines the resolver picks for the feature bits that cpuid leaf 1 reports in EDX.
VEMO_CORE_API MemcpyFunction selectMemcpy(unsigned int cpuidEdx);
VEMO_CORE_API MemsetFunction selectMemset(unsigned int cpuidEdx);
///@}

}  // namespace vemo
