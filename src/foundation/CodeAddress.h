// Where the calling code is: the compilers' intrinsics for a function's return address and frame,
// behind macros, so that portable code can start a call stack at its caller.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
// The address the current function returns to, as an integer.
#define VEMO_RETURN_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_return_address(0))
// The current function's frame record (the caller's saved frame pointer followed by the return
// address), as an integer. Asking for it makes the function keep a frame pointer.
#define VEMO_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
// A function whose return address must be its own, not that of a function it was inlined into.
#define VEMO_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define VEMO_RETURN_ADDRESS() reinterpret_cast<std::uintptr_t>(_ReturnAddress())
// MSVC keeps no chain of frame pointers to follow: a frame-pointer walk gives only the caller.
#define VEMO_FRAME_ADDRESS() std::uintptr_t(0)
#define VEMO_NOINLINE __declspec(noinline)
#else
#error "VEMO_RETURN_ADDRESS is not defined for this compiler"
#endif
