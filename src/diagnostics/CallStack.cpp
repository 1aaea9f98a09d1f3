#include "vemo/core/CallStack.h"

#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "CallStack.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

std::atomic<bool> g_helperLock{false};
std::atomic<DebugHelper*> g_helper{nullptr};

// The symbol reader is never freed: a crash report or a dump may still need it from an exit
// handler or another module's static destructor, after this library's were run.

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

CallStack* CallStack::getCallStack() {
  CallStack* stack = new CallStack;
  stack->getStackTrace();
  return stack;
}

CallStack* CallStack::getCallStack_fast() {
  CallStack* stack = new CallStack;
  stack->getStackTrace_fast();
  return stack;
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
