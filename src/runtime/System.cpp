#include "vemo/core/System.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <utility>

#include "IdleWait.h"
#include "PortBinding.h"
#include "ThreadMessageQueue.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Log.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Thread.h"
#include "vemo/core/Tick.h"
#include "vemo/core/Uuid.h"

namespace vemo {
namespace {

// Seeds the runtime library's random numbers from a fresh UUID: the bytes, in memory order,
// summed with shifts of 0, 5 and 10 bits in turn.
void seedRandom() {
  Uuid id;
  uuid_create(id);
  unsigned char bytes[sizeof id];
  std::memcpy(bytes, &id, sizeof bytes);
  unsigned int sum = 0;
  for (unsigned int j = 0; j < sizeof bytes; ++j)
    sum += static_cast<unsigned int>(bytes[j]) << ((j % 3) * 5);
  unsigned int seed = sum & 0xFFFFu;
  if (sum == 0) {
    seed = 65535;
  } else if (seed == 0) {
    seed = static_cast<unsigned int>(static_cast<unsigned long long>(std::time(nullptr)) +
                                     2037590656ull);
  }
  std::srand(seed);
}

// The hand-shake between notify (any thread) and idle (the run thread) on one atomic word: the
// run thread goes to sleep only by turning kAwake into kSleeping, and a notifier signals the
// event only when it turned kSleeping into kNotified. A notify before that exchange leaves
// kNotified, which keeps the run thread awake for one more pass; one after it finds kSleeping
// and signals. Either way no wake-up is lost, and an awake system costs a notifier no system call.
constexpr int kAwake = 0;
constexpr int kNotified = 1;
constexpr int kSleeping = 2;

constexpr unsigned int kWaitWithoutEnd = 0xFFFFFFFFu;

}  // namespace

// The run thread's: the feeders it told that it waits on their handles, and room reused by every
// idle wait, which runs once per wake-up.
struct detail::IdleWatch {
  std::vector<Unknown::Handle_T<MessageFeeder>> watched;
  std::vector<Unknown::Handle_T<Unknown>> queues;
  std::vector<Unknown::Handle_T<MessageFeeder>> current;
  std::vector<std::intptr_t> handles;
};

// ---- System ----------------------------------------------------------------------------

System::System()
    : _state(ES_UNLOADED),
      _firstTick(false),
      _lastTime(0),
      _semaphore(Semaphore::createInstance()),
      _runThreadId(0),
      _idleWait(false),
      _tasksJoined(false),
      _wake(kAwake),
      _idleEvent(detail::createIdleEvent()),
      _watch(new detail::IdleWatch()) {
  seedRandom();
}

System::System(const System& other)
    : Unknown(other),
      _state(other._state.load(std::memory_order_acquire)),
      _firstTick(other._firstTick),
      _lastTime(other._lastTime),
      _pendingList(other._pendingList),
      _activeList(other._activeList),
      _stoppedList(other._stoppedList),
      _semaphore(other._semaphore),
      _runThreadId(other._runThreadId.load(std::memory_order_acquire)),
      _idleWait(other._idleWait.load(std::memory_order_relaxed)),
      _tasksJoined(false),
      _wake(kAwake),
      _idleEvent(other._idleEvent),
      _watch(new detail::IdleWatch()) {}

System& System::operator=(const System& other) {
  if (this == &other) return *this;
  Unknown::operator=(other);
  _state.store(other._state.load(std::memory_order_acquire), std::memory_order_release);
  _firstTick = other._firstTick;
  _lastTime = other._lastTime;
  _pendingList = other._pendingList;
  _activeList = other._activeList;
  _stoppedList = other._stoppedList;
  _semaphore = other._semaphore;
  _runThreadId.store(other._runThreadId.load(std::memory_order_acquire), std::memory_order_release);
  _idleWait.store(other._idleWait.load(std::memory_order_relaxed), std::memory_order_relaxed);
  _idleEvent = other._idleEvent;
  return *this;
}

System::~System() {
  unwatchFeeders();
  // Ports bound to the system do not keep it alive: they forget it here, each after a push that
  // is notifying it has finished.
  std::vector<Handle_T<Unknown>> queues;
  {
    std::lock_guard<std::mutex> guard(_portLock);
    queues.swap(_boundQueues);
  }
  for (const Handle_T<Unknown>& queue : queues)
    detail::forgetConsumer(queue.get(), this);
}

void System::rememberQueue(Unknown* queue) {
  std::lock_guard<std::mutex> guard(_portLock);
  for (const Handle_T<Unknown>& bound : _boundQueues)
    if (bound.get() == queue) return;
  _boundQueues.emplace_back(queue);
}

void System::forgetQueue(Unknown* queue) {
  Handle_T<Unknown> released;  // let go of outside the lock
  std::lock_guard<std::mutex> guard(_portLock);
  for (auto bound = _boundQueues.begin(); bound != _boundQueues.end(); ++bound) {
    if (bound->get() != queue) continue;
    released = std::move(*bound);
    _boundQueues.erase(bound);
    return;
  }
}

bool System::swapState(EState from, EState to) {
  int expected = from;
  return _state.compare_exchange_strong(expected, to, std::memory_order_acq_rel,
                                        std::memory_order_acquire);
}

bool System::load() {
  if (!swapState(ES_UNLOADED, ES_LOADED)) return false;
  _loads.fetch_add(1, std::memory_order_acq_rel);
  return true;
}

void System::start() {
  // Posts to the run thread are taken from here on.
  detail::createQueue();
  _runThreadId.store(Thread::getCurrentThreadId(), std::memory_order_release);
  if (!swapState(ES_LOADED, ES_STARTING)) return;
  if (init() && swapState(ES_INITIALISED, ES_RUNNING)) run();
  swapState(ES_RUNNING, ES_SHUTDOWN);
  swapState(ES_INITIALISED, ES_SHUTDOWN);
  exit();
  // Its feeders' receivers watch their handles themselves again.
  unwatchFeeders();
}

bool System::init() {
  if (!swapState(ES_STARTING, ES_INITIALISED)) return false;
  _firstTick = true;
  return true;
}

void System::exit() {
  // Stopping a task may release the last references to other objects, whose destructors may
  // touch the lists again: each list is taken out before it is walked and emptied.
  std::list<Handle_T<Task::TaskStatus>> active;
  active.swap(_activeList);
  for (const Handle_T<Task::TaskStatus>& status : active) {
    if (status->_state != TS_STOPPED) status->_task->stop();
  }
  active.clear();
  std::list<Handle_T<Task::TaskStatus>> pending;
  pending.swap(_pendingList);
  for (const Handle_T<Task::TaskStatus>& status : pending) {
    if (status->_state != TS_STOPPED) status->_task->stop();
  }
  pending.clear();
  std::list<Handle_T<Task::TaskStatus>> stopped;
  stopped.swap(_stoppedList);
  stopped.clear();
}

void System::run() {
  while (_state.load(std::memory_order_acquire) == ES_RUNNING) {
    try {
      tick();
    } catch (const Exception& exception) {
      exception.report();
      onException(kCppExceptionCode);
    } catch (const std::exception& exception) {
      const String text = convertToString(exception.what());
      Log::error(L"Unhandled exception in a tick: %s", text.getBuffer());
      onException(kCppExceptionCode);
    } catch (...) {
      Log::error(L"Unhandled exception in a tick");
      onException(kCppExceptionCode);
    }
    // Between ticks, not inside one: what a derived tick does after the base pass is done
    // before the system sleeps.
    if (_idleWait.load(std::memory_order_relaxed)) {
      idle();
    } else if (!_watch->watched.empty()) {
      unwatchFeeders();
    }
  }
}

bool System::shutdown() {
  swapState(ES_LOADED, ES_SHUTDOWN);
  swapState(ES_STARTING, ES_SHUTDOWN);
  swapState(ES_INITIALISED, ES_SHUTDOWN);
  swapState(ES_RUNNING, ES_SHUTDOWN);
  waken();
  notify();
  return true;
}

void System::tick() {
  if (detail::serveThreadMessage()) return;
  // Whatever was notified so far is seen by this pass (the exchange pairs with the notifier's).
  if (_idleWait.load(std::memory_order_relaxed)) _wake.exchange(kAwake, std::memory_order_acq_rel);
  const unsigned int now = getTimeTick();
  if (_firstTick) {
    _lastTime = now;
    _firstTick = false;
    onTick(0);
  } else {
    const unsigned int elapsed = now - _lastTime;
    _lastTime = now;
    onTick(elapsed);
  }
}

void System::notify() {
  if (_wake.exchange(kNotified, std::memory_order_acq_rel) == kSleeping) _idleEvent->signal();
}

unsigned int System::nextDue() const {
  for (const Handle_T<Task::TaskStatus>& status : _pendingList) {
    // Started during the pass: it fires in the next one.
    if (status->_state != TS_STOPPED) return 0;
  }
  unsigned int earliest = Task::kDueOnWake;
  for (const Handle_T<Task::TaskStatus>& entry : _activeList) {
    const Task::TaskStatus* status = entry.get();
    if (status->_state == TS_STOPPED) continue;
    const Task* task = status->_task.get();
    if (task->_status != status) continue;
    unsigned int due;
    if (status->_state == TS_SLEEPING) {
      due = status->_sleepTime > status->_elapsed ? status->_sleepTime - status->_elapsed : 0;
    } else {
      const unsigned int tick =
          task->_tickTime > status->_elapsed ? task->_tickTime - status->_elapsed : 0;
      const unsigned int own = task->nextDue();
      if (own == Task::kDueUnknown) {
        // The pass does not call it before its tick time; after that, nobody knows.
        due = tick;
      } else {
        due = own > tick ? own : tick;
      }
    }
    if (due < earliest) earliest = due;
    if (earliest == 0) break;
  }
  return earliest;
}

void System::idle() {
  if (_state.load(std::memory_order_acquire) != ES_RUNNING) return;
  // A task that joined in this pass is ticked in the next one, without waiting.
  if (_tasksJoined) {
    _tasksJoined = false;
    return;
  }
  unsigned int due = nextDue();
  if (due == 0) return;
  if (due != Task::kDueOnWake) {
    // The tasks counted their time up to the start of the pass.
    const unsigned int spent = getTimeTick() - _lastTime;
    if (spent >= due) return;
    due -= spent;
  }
  // A feeder with more at hand: the next pass feeds (its handle may not signal that again).
  if (!watchFeeders()) return;
  int expected = kAwake;
  // Notified since the pass began: there may be work the pass did not see.
  if (!_wake.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) return;
  const std::vector<std::intptr_t>& handles = _watch->handles;
  _idleEvent->wait(due == Task::kDueOnWake ? kWaitWithoutEnd : due, handles.data(),
                   static_cast<int>(handles.size()));
  _wake.exchange(kAwake, std::memory_order_acq_rel);
}

bool System::watchFeeders() {
  detail::IdleWatch& watch = *_watch;
  // The queues are copied out first: a port's bind takes its push lock, then this lock.
  {
    std::lock_guard<std::mutex> guard(_portLock);
    watch.queues.assign(_boundQueues.begin(), _boundQueues.end());
  }
  for (const Handle_T<Unknown>& queue : watch.queues) {
    Handle_T<MessageFeeder> feeder = detail::queueFeeder(queue.get());
    if (feeder && feeder->getWaitHandle() != -1) watch.current.push_back(std::move(feeder));
  }
  watch.queues.clear();
  // The watch follows the bindings: a feeder removed or a port unbound since the last wait is
  // left to its receiver again.
  for (std::size_t i = 0; i < watch.watched.size();) {
    if (std::find(watch.current.begin(), watch.current.end(), watch.watched[i]) !=
        watch.current.end()) {
      ++i;
      continue;
    }
    Handle_T<MessageFeeder> gone = std::move(watch.watched[i]);
    watch.watched.erase(watch.watched.begin() + static_cast<std::ptrdiff_t>(i));
    gone->setWatched(false);
  }
  for (const Handle_T<MessageFeeder>& feeder : watch.current) {
    if (std::find(watch.watched.begin(), watch.watched.end(), feeder) != watch.watched.end())
      continue;
    // Watched before it is looked at: what comes after the look is the system's to take.
    feeder->setWatched(true);
    watch.watched.push_back(feeder);
  }
  watch.handles.clear();
  bool sleep = true;
  for (const Handle_T<MessageFeeder>& feeder : watch.current) {
    watch.handles.push_back(feeder->getWaitHandle());
    if (sleep && feeder->isReady()) sleep = false;
  }
  watch.current.clear();
  return sleep;
}

void System::unwatchFeeders() {
  if (!_watch) return;
  std::vector<Handle_T<MessageFeeder>> watched;
  watched.swap(_watch->watched);
  for (const Handle_T<MessageFeeder>& feeder : watched)
    feeder->setWatched(false);
}

void System::onTick(unsigned int elapsed) {
  for (auto entry = _activeList.begin(); entry != _activeList.end();) {
    const auto next = std::next(entry);
    Task::TaskStatus* status = entry->get();
    if (status->_state == TS_STOPPED) {
      // Taken out of the list before it is released: its destruction may reach the lists.
      Handle_T<Task::TaskStatus> released = std::move(*entry);
      _activeList.erase(entry);
      entry = next;
      continue;
    }
    Task* task = status->_task.get();
    if (task->_status == status) {
      status->_elapsed += elapsed;
      bool fire = false;
      if (status->_state == TS_SLEEPING) {
        if (status->_elapsed >= status->_sleepTime) {
          status->_state = TS_RUNNING;
          fire = true;
        }
      } else if (status->_elapsed >= task->_tickTime) {
        fire = true;
      }
      if (fire) {
        const unsigned int accumulated = status->_elapsed;
        status->_elapsed = 0;
        task->onTick(accumulated);
      }
    }
    entry = next;
  }
  for (auto entry = _pendingList.begin(); entry != _pendingList.end();) {
    const auto next = std::next(entry);
    if ((*entry)->_state != TS_STOPPED) {
      _activeList.splice(_activeList.end(), _pendingList, entry);
      _tasksJoined = true;
    }
    entry = next;
  }
  std::list<Handle_T<Task::TaskStatus>> released;
  released.swap(_pendingList);
  released.splice(released.end(), _stoppedList);
}

void System::onException(unsigned long) {}

void System::unload() {
  swapState(ES_SHUTDOWN, ES_UNLOADED);
}

void System::sleep(unsigned int ms) {
  // A message posted to this thread ends the sleep, also one posted just before it began.
  detail::setSleepingSemaphore(_semaphore);
  if (detail::hasThreadMessage()) _semaphore->signal();
  _semaphore->wait(ms, true);
  detail::setSleepingSemaphore(nullptr);
}

void System::waken() {
  _semaphore->signal();
}

// ---- System::Task ----------------------------------------------------------------------

System::Task::~Task() {
  stop();
}

bool System::Task::start(System* system) {
  if (!system || _status) return false;
  const EState state = system->getState();
  if (state != ES_INITIALISED && state != ES_RUNNING) return false;
  Handle_T<TaskStatus> status(new TaskStatus(system, this));
  _status = status.get();
  system->_pendingList.push_back(std::move(status));
  system->notify();
  if (init()) return true;
  stop();
  return false;
}

void System::Task::stop() {
  exit();
  TaskStatus* status = _status;
  if (!status) return;
  status->_system->_stoppedList.push_back(Handle_T<TaskStatus>(status));
  status->_state = TS_STOPPED;
  _status = nullptr;
  status->_system->notify();
}

bool System::Task::sleep(unsigned int ms) {
  if (!_status) return false;
  _status->_sleepTime = ms;
  _status->_state = TS_SLEEPING;
  return true;
}

bool System::Task::waken() {
  if (!_status) return false;
  _status->_state = TS_RUNNING;
  _status->_system->notify();
  return true;
}

bool System::Task::init() {
  return true;
}

void System::Task::exit() {}

void System::Task::onTick(unsigned int) {}

unsigned int System::Task::nextDue() const {
  return kDueUnknown;
}

ETaskState System::Task::getTaskState() const {
  return _status ? _status->_state : TS_STOPPED;
}

System* System::Task::getSystem() const {
  return _status ? _status->_system.get() : nullptr;
}

}  // namespace vemo
