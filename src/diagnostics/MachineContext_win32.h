// The processor registers a stack walk starts from, read from a thread context the same way for
// both word sizes, so that the walkers need no copy per processor.
#pragma once

#include <windows.h>

#include <dbghelp.h>

#include <cstdint>

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
