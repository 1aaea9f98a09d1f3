#include "vemo/core/Thread.h"

#include <mutex>
#include <typeinfo>
#include <unordered_map>
#include <utility>

#include "LazyGlobal.h"
#include "ThreadHandle.h"
#include "vemo/core/ThreadMessage.h"

namespace vemo {
namespace {

constexpr unsigned int kStartWait = 60000;
constexpr unsigned int kStarterGaveUp = 0xFFFFFFFFu;

// Threads being started, each held by a strong reference until either the new thread or its
// starter (after giving up) takes the entry: whoever takes it decides whether the thread runs.
struct StartRegistry {
  std::mutex lock;
  std::unordered_map<Thread*, Unknown::Handle_T<Thread>> entries;
};
detail::LazyGlobal<StartRegistry> g_startRegistry;

// Takes the entry of `thread` out of the registry; null when there is none.
Unknown::Handle_T<Thread> takeEntry(StartRegistry& registry, Thread* thread) {
  std::lock_guard<std::mutex> guard(registry.lock);
  const auto found = registry.entries.find(thread);
  if (found == registry.entries.end()) return nullptr;
  Unknown::Handle_T<Thread> entry = std::move(found->second);
  registry.entries.erase(found);
  return entry;
}

// The name of the system's most-derived class: its C++ name without the namespaces and classes
// around it ("Kitchen" for "(anonymous namespace)::Kitchen"). A registered class has this name
// too; one that is not would otherwise give the name it inherits ("Unknown").
String classNameOf(const System& system) {
  const String type = detail::typeName(typeid(system));
  const wchar_t* const text = type.getBuffer();
  if (!text) return type;
  int depth = 0;
  const wchar_t* start = text;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c == L'<' || *c == L'(') {
      ++depth;
    } else if (*c == L'>' || *c == L')') {
      --depth;
    } else if (depth == 0 && c[0] == L':' && c[1] == L':') {
      start = c + 2;
    }
  }
  return String(start);
}

}  // namespace

Thread::Thread() : _threadHandle(nullptr) {}

Thread::~Thread() {
  if (_threadHandle) detail::closeThreadHandle(_threadHandle);
}

Unknown::Handle_T<Thread> Thread::createInstance() {
  return Handle_T<Thread>(new Thread());
}

bool Thread::start(System* system) {
  if (!system || !system->load()) return false;
  StartRegistry* registry = g_startRegistry.make();
  bool result = false;
  Handle_T<Semaphore> semaphore;
  // What a failed start takes back, let go of after the locks.
  Handle_T<System> withdrawnSystem;
  Handle_T<Semaphore> withdrawnSemaphore;
  Handle_T<Thread> withdrawnEntry;
  {
    MutexLock guard(_lock);
    if (!_threadHandle) semaphore = Semaphore::createInstance();
    if (semaphore) {
      std::lock_guard<std::mutex> registryGuard(registry->lock);
      registry->entries[this] = Handle_T<Thread>(this);
      _system = system;
      _startSemaphore = semaphore;
      _threadHandle = detail::beginThread(&Thread::main, this);
      if (_threadHandle) {
        result = true;
      } else {
        withdrawnSystem = std::move(_system);
        withdrawnSemaphore = std::move(_startSemaphore);
        const auto found = registry->entries.find(this);
        withdrawnEntry = std::move(found->second);
        registry->entries.erase(found);
      }
    }
  }
  if (result) {
    if (semaphore->wait(kStartWait, false)) return true;
    // No sign of life: the thread runs only if it has taken its entry meanwhile.
    withdrawnEntry = takeEntry(*registry, this);
    if (withdrawnEntry.isNull()) return true;
    result = false;
    void* handle = nullptr;
    {
      MutexLock guard(_lock);
      handle = _threadHandle;
      _threadHandle = nullptr;
      withdrawnSystem = std::move(_system);
      withdrawnSemaphore = std::move(_startSemaphore);
    }
    detail::closeThreadHandle(handle);
  }
  system->unload();
  return false;
}

bool Thread::shutdown() {
  Handle_T<System> system;
  void* handle = nullptr;
  {
    MutexLock guard(_lock);
    system = _system;
    if (system && _threadHandle) handle = detail::duplicateThreadHandle(_threadHandle);
  }
  if (!system) return true;
  system->shutdown();
  if (handle) {
    detail::waitForThread(handle);
    detail::closeThreadHandle(handle);
  }
  return true;
}

Unknown::Handle_T<System> Thread::getSystem() {
  MutexLock guard(_lock);
  return _system;
}

void Thread::setName(const String& name) {
  MutexLock guard(_lock);
  _name = name;
}

String Thread::getName() {
  MutexLock guard(_lock);
  return _name;
}

unsigned int VEMO_STDCALL Thread::main(void* param) {
  Thread* const thread = static_cast<Thread*>(param);
  Handle_T<Thread> self;
  if (StartRegistry* registry = g_startRegistry.get()) self = takeEntry(*registry, thread);
  if (self.isNull()) return kStarterGaveUp;
  // The starter stored these before it let go of the registry.
  Handle_T<System> system = thread->_system;
  Handle_T<Semaphore> semaphore = thread->_startSemaphore;
  // Posts to the system's thread are taken from the moment its starter goes on.
  createThreadMessageQueue();
  String name = thread->getName();
  if (name.isEmpty()) name = classNameOf(*system);
  detail::setCurrentThreadName(name);
  semaphore->signal();
  system->start();
  system->unload();
  void* handle = nullptr;
  Handle_T<System> ownSystem;
  Handle_T<Semaphore> ownSemaphore;
  {
    MutexLock guard(thread->_lock);
    handle = thread->_threadHandle;
    thread->_threadHandle = nullptr;
    ownSystem = std::move(thread->_system);
    ownSemaphore = std::move(thread->_startSemaphore);
  }
  detail::closeThreadHandle(handle);
  ownSemaphore = nullptr;
  ownSystem = nullptr;
  semaphore = nullptr;
  system = nullptr;
  self = nullptr;  // may destroy the Thread: nothing of it is touched after this
  return 0;
}

}  // namespace vemo
