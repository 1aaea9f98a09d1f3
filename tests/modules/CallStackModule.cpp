// A module that CallStackTest loads after it has started and dumped call stacks: its frames must
// still be named with their files and lines. Built with debugging information.
#include "vemo/core/CallStack.h"

#if defined(_WIN32)
#define CALL_STACK_MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define CALL_STACK_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Not exported: only the module's debugging information knows its name.
__attribute__((noinline)) vemo::CallStack* captureInModule(int& line) {
  // clang-format off
  line = __LINE__; vemo::CallStack* stack = vemo::CallStack::getCallStack();
  // clang-format on
  asm volatile("" ::: "memory");  // keeps the call from becoming a jump
  return stack;
}

}  // namespace

// Captures the calling thread's stack inside this module, dumps it to `out` and returns the line
// of the capture.
CALL_STACK_MODULE_EXPORT int callStackModuleDump(vemo::CallStack::Callback* out) {
  int line = 0;
  vemo::CallStack* stack = captureInModule(line);
  stack->dump(*out);
  stack->destroy();
  return line;
}
