/// \file
/// CallStack: the return addresses of a thread, captured cheaply and made readable later.
///
/// getCallStack() asks the platform's unwinder for every frame; getCallStack_fast() follows the
/// saved frame pointers and stops at the first frame that has none, or whose record lies outside
/// the stack it started on (which may be any stack: a fiber's as well as a thread's). Both start
/// at their caller. Either returns a new object with one reference: addRef() adds one, destroy()
/// drops one and the last frees it.
///
/// dump() turns the addresses into lines ("Call Stack:" first, then one line per frame,
/// "    file (line): function" or "    0xADDRESS (File and line number not available):
/// function") and hands each to a Callback. Frames of the call-stack code itself are never
/// reported. Modules loaded since the last dump are named as well. Several threads may dump at
/// once.
#pragma once

#include <atomic>
#include <cstdint>

#include "vemo/core/Export.h"

namespace vemo {

/// The return addresses of a thread, captured cheaply and made readable later (see
/// CallStack.h). Reference-counted by hand: addRef() and destroy().
class VEMO_CORE_API CallStack {
 public:
  /// Receives the lines of a dump, one call per line, without a line break.
  class VEMO_CORE_API Callback {
   public:
    /// One line of the dump, without a line break.
    virtual void report(const char* line) = 0;

   protected:
    ~Callback() = default;
  };

  /// A new call stack of the calling thread, starting at the caller of this function.
  static CallStack* getCallStack();
  /// The same by the frame-pointer walk: fast, but ends at the first frame without a frame
  /// pointer.
  static CallStack* getCallStack_fast();

  /// Adds a reference.
  void addRef();
  /// Drops a reference; the last one frees the object.
  void destroy();

  /// Hands the readable lines of the stack to `callback` (see CallStack.h for their form).
  void dump(Callback& callback);

  /// The stored addresses.
  void push(std::uintptr_t address);
  /// Forgets every address.
  void clear();
  /// The number of addresses.
  unsigned int size() const { return _size; }
  /// The address at `index` (below size()).
  std::uintptr_t operator[](unsigned int index) const;
  ///@{
  /// Same size and same addresses.
  bool operator==(const CallStack& other) const;
  bool operator!=(const CallStack& other) const { return !(*this == other); }
  ///@}

  ///@{
  /// Append the calling thread's frames (the two walks).
  void getStackTrace();
  void getStackTrace_fast();
  ///@}

  CallStack(const CallStack&) = delete;
  CallStack& operator=(const CallStack&) = delete;

 private:
  friend class Exception;

  static constexpr unsigned int kChunkSize = 32;
  struct Chunk {
    Chunk* next;
    std::uintptr_t addresses[kChunkSize];
  };

  CallStack();
  ~CallStack();

  // A new call stack of the calling thread that starts at `returnAddress` (all of it when that
  // is not on the stack): where a constructor was called from, for an Exception. Null when
  // there is no memory for it.
  static CallStack* captureFrom(std::uintptr_t returnAddress) noexcept;
  // Drops the addresses before the first one equal to `address`; false (and none dropped) when
  // it is not there.
  bool startAt(std::uintptr_t address);
  // Inserts `address` before the first.
  void pushFront(std::uintptr_t address);

  std::atomic<std::uint32_t> _refCount;
  std::uint32_t _capacity;
  std::uint32_t _size;
  Chunk _first;
  Chunk* _current;
  std::uint32_t _fill;
};

/// Writes each line to the debugger's output (the standard error stream where the system has no
/// debugger channel), after a line break.
class VEMO_CORE_API DumpCallStack_VS : public CallStack::Callback {
 public:
  void report(const char* line) override;
};

/// Prints "\n" and the line on the standard output.
class VEMO_CORE_API DumpCallStack_Console : public CallStack::Callback {
 public:
  void report(const char* line) override;
};

/// Logs each line (read in the process code page) through Log::debug.
class VEMO_CORE_API DumpCallStack_Log : public CallStack::Callback {
 public:
  void report(const char* line) override;
};

}  // namespace vemo
