#include "vemo/core/CallStack.h"

#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "CallStack.h"
#include "CodeAddress.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

// The symbol reader is made once and never destroyed: the crash handler keeps it, and stacks are
// dumped from exit handlers and other threads while the process ends, after any static
// destructor of this library could have freed it. What it holds the system takes back at exit.
std::atomic<bool> g_helperLock{false};
std::atomic<DebugHelper*> g_helper{nullptr};

// The source files of the call-stack code: a frame whose line lies in one of them is never
// reported. Compared without regard to case, as file systems of some platforms do.
bool isCallStackSource(const std::string& file) {
  static const char* const kNames[] = {"callstack.cpp", "callstack_posix.cpp",
                                       "callstack_win32.cpp"};
  std::string lower(file);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::size_t slash = lower.find_last_of("/\\");
  const std::string leaf = slash == std::string::npos ? lower : lower.substr(slash + 1);
  for (const char* name : kNames)
    if (leaf == name) return true;
  return false;
}

}  // namespace

const DebugHelper& DebugHelper::getDebugHelper() {
  DebugHelper* helper = g_helper.load(std::memory_order_acquire);
  if (helper) return *helper;
  bool expected = false;
  while (!g_helperLock.compare_exchange_weak(expected, true, std::memory_order_acquire)) {
    expected = false;
    std::this_thread::yield();
  }
  helper = g_helper.load(std::memory_order_acquire);
  if (!helper) {
    try {
      helper = new DebugHelper;
    } catch (...) {
      g_helperLock.store(false, std::memory_order_release);
      throw;
    }
    g_helper.store(helper, std::memory_order_release);
  }
  g_helperLock.store(false, std::memory_order_release);
  return *helper;
}

CallStack::CallStack()
    : _refCount(1), _capacity(kChunkSize), _size(0), _current(&_first), _fill(0) {
  _first.next = nullptr;
}

CallStack::~CallStack() {
  Chunk* chunk = _first.next;
  while (chunk) {
    Chunk* next = chunk->next;
    std::free(chunk);
    chunk = next;
  }
}

VEMO_NOINLINE CallStack* CallStack::getCallStack() {
  CallStack* stack = new CallStack;
  stack->getStackTrace();
  const std::uintptr_t caller = VEMO_RETURN_ADDRESS();
  if (!stack->startAt(caller)) stack->pushFront(caller);  // see captureFrom
  return stack;
}

// Both fast walks start at their caller: its address is the return address of the function the
// caller called, whether or not the caller keeps a frame pointer; the walk then goes on from the
// frame record of that function.
VEMO_NOINLINE CallStack* CallStack::getCallStack_fast() {
  CallStack* stack = new CallStack;
  detail::walkFramePointers(*stack, VEMO_RETURN_ADDRESS(), VEMO_FRAME_ADDRESS());
  return stack;
}

VEMO_NOINLINE void CallStack::getStackTrace_fast() {
  detail::walkFramePointers(*this, VEMO_RETURN_ADDRESS(), VEMO_FRAME_ADDRESS());
}

CallStack* CallStack::captureFrom(std::uintptr_t returnAddress) noexcept {
  CallStack* stack = new (std::nothrow) CallStack;
  if (!stack) return nullptr;
  try {
    stack->getStackTrace();
  } catch (...) {  // no memory for the symbol reader
    stack->destroy();
    return nullptr;
  }
  // A walker that loses frames (where code keeps no frame pointers) may not get as far as the
  // caller: the stack begins with it all the same.
  if (!stack->startAt(returnAddress)) stack->pushFront(returnAddress);
  return stack;
}

void CallStack::pushFront(std::uintptr_t address) {
  Chunk* chunk = &_first;
  for (unsigned int i = 0; i < _size; ++i) {
    if (i > 0 && i % kChunkSize == 0) chunk = chunk->next;
    std::swap(address, chunk->addresses[i % kChunkSize]);
  }
  push(address);
}

bool CallStack::startAt(std::uintptr_t address) {
  // Where the address is.
  const Chunk* from = &_first;
  unsigned int index = 0;
  for (; index < _size; ++index) {
    if (index > 0 && index % kChunkSize == 0) from = from->next;
    if (from->addresses[index % kChunkSize] == address) break;
  }
  if (index == _size) return false;  // not there: all is kept
  if (index == 0) return true;
  // Moved to the front, chunk by chunk.
  const unsigned int kept = _size - index;
  Chunk* to = &_first;
  for (unsigned int i = 0; i < kept; ++i, ++index) {
    if (i > 0 && i % kChunkSize == 0) to = to->next;
    if (i > 0 && index % kChunkSize == 0) from = from->next;
    to->addresses[i % kChunkSize] = from->addresses[index % kChunkSize];
  }
  _size = kept;
  _current = to;
  _fill = (kept - 1) % kChunkSize + 1;
  return true;
}

void CallStack::addRef() {
  _refCount.fetch_add(1, std::memory_order_relaxed);
}

void CallStack::destroy() {
  if (_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void CallStack::push(std::uintptr_t address) {
  if (_fill == kChunkSize) {
    // Chunks once allocated stay linked after clear(): reuse the next one before growing.
    if (!_current->next) {
      Chunk* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk)));
      if (!chunk) return;  // out of memory: the stack stays as long as it is
      chunk->next = nullptr;
      _current->next = chunk;
      _capacity += kChunkSize;
    }
    _current = _current->next;
    _fill = 0;
  }
  _current->addresses[_fill++] = address;
  ++_size;
}

void CallStack::clear() {
  _size = 0;
  _current = &_first;
  _fill = 0;
}

std::uintptr_t CallStack::operator[](unsigned int index) const {
  if (index >= _size) return 0;
  const Chunk* chunk = &_first;
  for (unsigned int n = index / kChunkSize; n > 0; --n)
    chunk = chunk->next;
  return chunk->addresses[index % kChunkSize];
}

bool CallStack::operator==(const CallStack& other) const {
  if (_size != other._size) return false;
  const Chunk* mine = &_first;
  const Chunk* theirs = &other._first;
  for (unsigned int i = 0; i < _size; ++i) {
    if (i > 0 && i % kChunkSize == 0) {
      mine = mine->next;
      theirs = theirs->next;
    }
    if (mine->addresses[i % kChunkSize] != theirs->addresses[i % kChunkSize]) return false;
  }
  return true;
}

void CallStack::dump(Callback& callback) {
  callback.report("Call Stack:");
  if (_size == 0) return;
  const DebugHelper& helper = DebugHelper::getDebugHelper();
  std::string text;
  const Chunk* chunk = &_first;
  for (unsigned int i = 0; i < _size; ++i) {
    if (i > 0 && i % kChunkSize == 0) chunk = chunk->next;
    const std::uintptr_t address = chunk->addresses[i % kChunkSize];
    detail::FrameInfo info;
    detail::describeFrame(helper, address, info);
    if (info.captureCode || (info.hasLine && isCallStackSource(info.file))) continue;
    const char* function =
        info.function.empty() ? "(Function name unavailable)" : info.function.c_str();
    char head[64];
    if (info.hasLine) {
      text = "    " + info.file;
      std::snprintf(head, sizeof head, " (%d): ", info.line);
      text += head;
    } else {
      // The address with the width of a pointer on this platform.
      std::snprintf(head, sizeof head,
                    "    0x%.*" PRIXPTR " (File and line number not available): ",
                    static_cast<int>(2 * sizeof(std::uintptr_t)), address);
      text = head;
    }
    text += function;
    callback.report(text.c_str());
  }
}

void DumpCallStack_VS::report(const char* line) {
  detail::debugOutput("\n");
  detail::debugOutput(line);
}

void DumpCallStack_Console::report(const char* line) {
  std::printf("\n%s", line);
  std::fflush(stdout);
}

void DumpCallStack_Log::report(const char* line) {
  const String text = StringHelper::ansiToWide(reinterpret_cast<const unsigned char*>(line));
  Log::debug(L"%s", text.getBuffer());
}

}  // namespace vemo
