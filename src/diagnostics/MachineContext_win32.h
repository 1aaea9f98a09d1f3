// The processor registers a stack walk starts from, read from a thread context the same way for
// both word sizes, so that the walkers need no copy per processor.
#pragma once

#include <windows.h>

#include <dbghelp.h>

#include <cstdint>
#include <cstring>

namespace vemo {
namespace detail {

#if defined(_WIN64)
constexpr DWORD kStackWalkMachine = IMAGE_FILE_MACHINE_AMD64;
inline std::uintptr_t instructionPointer(const CONTEXT& context) {
  return context.Rip;
}
inline std::uintptr_t stackPointer(const CONTEXT& context) {
  return context.Rsp;
}
inline std::uintptr_t framePointer(const CONTEXT& context) {
  return context.Rbp;
}
#else
constexpr DWORD kStackWalkMachine = IMAGE_FILE_MACHINE_I386;
inline std::uintptr_t instructionPointer(const CONTEXT& context) {
  return context.Eip;
}
inline std::uintptr_t stackPointer(const CONTEXT& context) {
  return context.Esp;
}
inline std::uintptr_t framePointer(const CONTEXT& context) {
  return context.Ebp;
}
#endif

// Points a stack walk's first frame (STACKFRAME or STACKFRAME64) at `context`, in flat mode.
template <class Frame>
void startFrame(const CONTEXT& context, Frame& frame) {
  frame.AddrPC.Offset = instructionPointer(context);
  frame.AddrFrame.Offset = framePointer(context);
  frame.AddrStack.Offset = stackPointer(context);
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Mode = AddrModeFlat;
}

}  // namespace detail
}  // namespace vemo

// Fills the CONTEXT `context` for a walk of the calling thread and sets the int `ownFrames` to
// the number of frames at its top that belong to the function using it (0 or 1). A macro,
// because it must read that function's own frame. The 32-bit RtlCaptureContext reads its
// caller's frame through ebp, which optimised code does not keep: there the walk starts at the
// function's return address and frame instead.
#if defined(__GNUC__) && !defined(_WIN64)
#define VEMO_CAPTURE_CALLING_THREAD(context, ownFrames)                   \
  do {                                                                    \
    std::memset(&(context), 0, sizeof(context));                          \
    (context).ContextFlags = CONTEXT_CONTROL;                             \
    (context).Eip = reinterpret_cast<DWORD>(__builtin_return_address(0)); \
    (context).Ebp = reinterpret_cast<DWORD>(__builtin_frame_address(0));  \
    (context).Esp = (context).Ebp;                                        \
    (ownFrames) = 0;                                                      \
  } while (false)
#else
#define VEMO_CAPTURE_CALLING_THREAD(context, ownFrames) \
  do {                                                  \
    std::memset(&(context), 0, sizeof(context));        \
    RtlCaptureContext(&(context));                      \
    (ownFrames) = 1;                                    \
  } while (false)
#endif
