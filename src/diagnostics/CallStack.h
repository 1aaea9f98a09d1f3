// The platform side of CallStack (CallStack_<os>.cpp): the symbol reader and frame look-up.
#pragma once

#include <cstdint>
#include <string>

namespace vemo {

class CallStack;

// The process's symbol reader, made on first use and never destroyed: it serves dumps and the
// crash handler until the process has ended.
class DebugHelper {
 public:
  // The single instance; safe on any thread.
  static const DebugHelper& getDebugHelper();

  // What the platform keeps: the loaded debugging-help functions, or the symbol reader's state.
  struct State;
  const State& state() const { return *_state; }

  DebugHelper();
  ~DebugHelper() = delete;
  DebugHelper(const DebugHelper&) = delete;
  DebugHelper& operator=(const DebugHelper&) = delete;

 private:
  State* _state;
};

namespace detail {

// What is known of one return address.
struct FrameInfo {
  bool hasLine = false;
  std::string file;
  int line = 0;
  std::string function;  // empty when no symbol was found
  // The frame belongs to the capturing code (the library's, the C library's or a
  // sanitizer's capture functions) even where no source line tells so.
  bool captureCode = false;
};

// Appends `returnAddress`, then the return addresses of the frame records that follow from the
// record at `frame` (0: none), for as long as each lies above the last within the memory region
// of the stack that `frame` is in.
void walkFramePointers(CallStack& stack, std::uintptr_t returnAddress, std::uintptr_t frame);

// Looks `address` up; false when nothing can be looked up at all. Safe on any thread.
bool describeFrame(const DebugHelper& helper, std::uintptr_t address, FrameInfo& info);

// What the symbol reader knows of one code address, found without allocating: the texts point
// into the reader's own tables and stay valid for the life of the process; null where unknown.
// Uses the reader as it is (it learns no modules loaded since), and only once it has read its
// tables: reading them needs the loader's lock. POSIX only, where it serves the crash handler
// inside a signal handler.
struct RawFrameInfo {
  const char* file = nullptr;
  int line = 0;
  const char* function = nullptr;  // as the symbol tables spell it (mangled)
};
void describeCodeAddress(const DebugHelper& helper, std::uintptr_t address, RawFrameInfo& info);

// Reads the symbol tables on a thread of their own at the lowest priority, so that a crash
// finds them read without their taking a tenth of a second or more from the program's start
// (a crash before names functions from the dynamic symbol tables of the mapped images).
// POSIX only: the crash handler calls it when it is installed.
void readSymbolTablesInBackground(const DebugHelper& helper);

// Writes a text to the debugger's channel.
void debugOutput(const char* text);

}  // namespace detail
}  // namespace vemo
