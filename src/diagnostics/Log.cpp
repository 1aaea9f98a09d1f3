#include "vemo/core/Log.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Format.h"
#include "Log.h"
#include "vemo/core/CallStack.h"

namespace vemo {
namespace {

struct LogState {
  std::recursive_mutex lock;
  std::vector<LogListener*> listeners;
  bool dispatching = false;    // set while listeners are called: nested messages are dropped
  std::size_t calling = 0;     // while dispatching: the index of the listener being called
  bool listenerAdded = false;  // ever
  // Listeners registered by ScopedLogListener, with the number of scopes that hold each.
  std::vector<std::pair<LogListener*, int>> scoped;
  std::vector<std::wstring> heldErrors;  // for the first listener (errorForFirstListener)
};

// Texts held for the first listener at most.
constexpr std::size_t kHeldErrors = 64;

std::atomic<LogState*> g_state{nullptr};
std::mutex g_creation;

// Frees the log when the library is unloaded. Being constant-initialised, it is destroyed after
// every dynamically initialised object of the library, so their destructors may still log.
struct LogTeardown {
  constexpr LogTeardown() = default;
  ~LogTeardown() { delete g_state.exchange(nullptr); }
} g_teardown;

// Short messages are formatted on the stack, longer ones in one heap block: a thread with a small
// stack (128 KiB is common) must be able to log.
constexpr std::size_t kInlineChars = 512;

using ListenerOperation = void (LogListener::*)(const wchar_t*);

// Marks the log as dispatching for the lifetime of one message.
class DispatchScope {
 public:
  explicit DispatchScope(LogState& state) : _state(state) { _state.dispatching = true; }
  ~DispatchScope() { _state.dispatching = false; }
  DispatchScope(const DispatchScope&) = delete;
  DispatchScope& operator=(const DispatchScope&) = delete;

 private:
  LogState& _state;
};

template <class Call>
void callListeners(LogState& state, Call call) {
  // By index, kept in the state: a listener may add or remove listeners (itself too) while it
  // is being called, and removeListener moves the index back over a listener removed before it,
  // so that every listener after it still hears the message.
  for (state.calling = 0; state.calling < state.listeners.size(); ++state.calling) {
    try {
      call(state.listeners[state.calling]);
    } catch (...) {
      // A failing listener must not keep the message from the others.
    }
  }
}

// Messages of this thread held back by LogDeferral, in order. Only trivially destructible
// thread-local variables: the list exists only while a deferral holds messages. (A thread-local
// object with a destructor may be destroyed after its storage is freed when a thread ends, as
// with MinGW's emulated thread-local storage.)
using DeferredMessages = std::vector<std::pair<ListenerOperation, std::wstring>>;
thread_local int t_deferralDepth = 0;
thread_local DeferredMessages* t_deferred = nullptr;

void deliver(LogState& state, ListenerOperation operation, const wchar_t* text) {
  std::lock_guard<std::recursive_mutex> guard(state.lock);
  if (state.dispatching || state.listeners.empty()) return;
  DispatchScope scope(state);
  callListeners(state, [&](LogListener* listener) { (listener->*operation)(text); });
}

// Formats `format` with `args` (a va_list or a FormatArgs list) and calls the listeners.
template <class Args>
void dispatch(ListenerOperation operation, const wchar_t* format, Args&& args) {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state) return;
  if (t_deferralDepth > 0) {
    try {
      detail::FormatBuffer<wchar_t, kInlineChars> text;
      if (text.format(format, args)) {
        if (!t_deferred) t_deferred = new DeferredMessages;
        t_deferred->emplace_back(operation, std::wstring(text.text(), text.length()));
      }
    } catch (...) {  // no memory: dropped, as any message that cannot be formatted
    }
    return;
  }
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  if (state->dispatching || state->listeners.empty()) return;
  DispatchScope scope(*state);
  detail::FormatBuffer<wchar_t, kInlineChars> text;
  try {
    if (!text.format(format, args)) return;  // too long for memory: dropped
  } catch (...) {
    return;
  }
  callListeners(*state, [&](LogListener* listener) { (listener->*operation)(text.text()); });
}

}  // namespace

detail::LogDeferral::LogDeferral() noexcept {
  ++t_deferralDepth;
}

detail::LogDeferral::~LogDeferral() {
  if (--t_deferralDepth > 0 || !t_deferred) return;
  const std::unique_ptr<DeferredMessages> messages(t_deferred);
  t_deferred = nullptr;
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state) return;
  for (const auto& message : *messages)
    deliver(*state, message.first, message.second.c_str());
}

void detail::logCallStack() {
  CallStack* stack;
  try {
    stack = CallStack::getCallStack();
  } catch (...) {  // no memory for the capture: the error stands alone
    return;
  }
  DumpCallStack_Log log;
  stack->dump(log);
  stack->destroy();
}

namespace {

LogState& makeState() {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state) {
    std::lock_guard<std::mutex> creation(g_creation);
    state = g_state.load(std::memory_order_acquire);
    if (!state) {
      state = new LogState;
      g_state.store(state, std::memory_order_release);
    }
  }
  return *state;
}

}  // namespace

void Log::addListener(LogListener* listener) {
  LogState& state = makeState();
  if (!listener) return;
  std::vector<std::wstring> held;
  {
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    for (LogListener* registered : state.listeners)
      if (registered == listener) return;
    state.listeners.push_back(listener);
    if (!state.listenerAdded) held.swap(state.heldErrors);
    state.listenerAdded = true;
  }
  for (const std::wstring& text : held)
    deliver(state, &LogListener::error, text.c_str());
}

void detail::errorForFirstListener(const String& text) {
  LogState& state = makeState();
  {
    std::lock_guard<std::recursive_mutex> guard(state.lock);
    if (!state.listenerAdded) {
      if (state.heldErrors.size() < kHeldErrors) state.heldErrors.emplace_back(text.getBuffer());
      return;
    }
  }
  Log::error(L"%s", text.getBuffer());
}

void Log::removeListener(LogListener* listener) {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state || !listener) return;
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  for (auto it = state->listeners.begin(); it != state->listeners.end(); ++it) {
    if (*it == listener) {
      const std::size_t at = static_cast<std::size_t>(it - state->listeners.begin());
      state->listeners.erase(it);
      // The one being called, or one before it: the next is now at the current index. (From 0
      // the index wraps round and the loop's increment brings it back to 0.)
      if (state->dispatching && at <= state->calling) --state->calling;
      return;
    }
  }
}

LogListener* Log::getLogListener(const wchar_t* name) {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state || !name) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  for (LogListener* listener : state->listeners) {
    const wchar_t* own = listener->getName();
    if (own && std::wcscmp(own, name) == 0) return listener;
  }
  return nullptr;
}

bool Log::setparam(const wchar_t* param) {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state || !param) return false;
  const wchar_t* at = std::wcschr(param, L'@');
  if (!at) return false;
  const std::size_t nameLength = static_cast<std::size_t>(at - param);
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  for (LogListener* listener : state->listeners) {
    const wchar_t* own = listener->getName();
    if (own && std::wcslen(own) == nameLength && std::wcsncmp(own, param, nameLength) == 0)
      return listener->setparam(at + 1);
  }
  return false;
}

namespace {

ListenerOperation operationOf(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return &LogListener::error;
    case LogLevel::kWarning:
      return &LogListener::warning;
    case LogLevel::kDebug:
      return &LogListener::debug;
    default:
      return &LogListener::message;
  }
}

}  // namespace

void Log::vlog(LogLevel level, const wchar_t* format, const FormatArgs& args) {
  dispatch(operationOf(level), format, args);
}

void Log::vlogList(LogLevel level, const wchar_t* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  dispatch(operationOf(level), format, copy);
  va_end(copy);
}

void Log::whistle(bool ok) {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state) return;
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  if (state->dispatching) return;
  DispatchScope scope(*state);
  callListeners(*state, [ok](LogListener* listener) { listener->whistle(ok); });
}

ScopedLogListener::ScopedLogListener(LogListener& listener)
    : ScopedLogListener(&listener, nullptr) {}

namespace {

// Scoped registrations are counted: the listener stays registered until the last scope that
// holds it goes.
void addScoped(LogListener* listener) {
  LogState& state = makeState();
  if (!listener) return;
  std::lock_guard<std::recursive_mutex> guard(state.lock);
  for (auto& entry : state.scoped) {
    if (entry.first == listener) {
      ++entry.second;
      Log::addListener(listener);  // again, had it been removed by hand meanwhile
      return;
    }
  }
  state.scoped.reserve(state.scoped.size() + 1);
  Log::addListener(listener);
  state.scoped.emplace_back(listener, 1);
}

void removeScoped(LogListener* listener) {
  LogState* state = g_state.load(std::memory_order_acquire);
  if (!state || !listener) return;
  std::lock_guard<std::recursive_mutex> guard(state->lock);
  for (auto it = state->scoped.begin(); it != state->scoped.end(); ++it) {
    if (it->first == listener) {
      if (--it->second > 0) return;  // another scope still holds it
      state->scoped.erase(it);
      break;
    }
  }
  Log::removeListener(listener);
}

}  // namespace

ScopedLogListener::ScopedLogListener(LogListener* listener, Destroy destroy)
    : _listener(listener), _destroy(destroy) {
  try {
    addScoped(listener);
  } catch (...) {  // no memory for the list: the listener made for it goes too
    if (_destroy) _destroy(listener);
    throw;
  }
}

ScopedLogListener::ScopedLogListener(ScopedLogListener&& other) noexcept
    : _listener(std::exchange(other._listener, nullptr)),
      _destroy(std::exchange(other._destroy, nullptr)) {}

ScopedLogListener& ScopedLogListener::operator=(ScopedLogListener&& other) noexcept {
  if (this != &other) {
    reset();
    _listener = std::exchange(other._listener, nullptr);
    _destroy = std::exchange(other._destroy, nullptr);
  }
  return *this;
}

ScopedLogListener::~ScopedLogListener() {
  reset();
}

void ScopedLogListener::reset() noexcept {
  if (!_listener) return;
  // Removed under the log's lock: once this returns no thread is calling the listener (unless
  // another scope still holds it).
  removeScoped(_listener);
  if (_destroy) _destroy(_listener);
  _listener = nullptr;
  _destroy = nullptr;
}

}  // namespace vemo
