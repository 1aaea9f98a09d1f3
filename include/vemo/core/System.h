/// \file
/// System: the cooperative scheduler of the runtime. A system is loaded, started on a thread,
/// ticks its tasks until it is shut down, and is unloaded before it can run again.
///
/// \code
/// class Game : public vemo::System {
///  public:
///   static Handle_T<Game> createInstance() { return Handle_T<Game>(new Game()); }
///   bool init() override {
///     if (!System::init()) return false;          // makes the ES_INITIALISED transition
///     return Yield::createInstance()->start(this) && _frame->start(this);
///   }
/// };
/// Handle_T<Game> game = Game::createInstance();
/// game->load();
/// game->start();   // returns after another thread (or a task) called game->shutdown()
/// \endcode
///
/// Each tick serves one message posted to the calling thread (see ThreadMessage.h) or, when
/// none is waiting, measures the milliseconds since the previous tick and runs one scheduling
/// pass over the tasks. By default the loop never sleeps by itself: a `Yield` task (Tick.h) gives
/// the processor away, or a task calls `sleep`.
///
/// Idle wait: a system told `setIdleWait(true)` sleeps after a pass until the earliest moment one
/// of its tasks is next due, or until it is woken, instead of ticking again at once:
///
/// \code
/// bool init() override {
///   if (!System::init()) return false;
///   setIdleWait(true);
///   _port.bind(this);                 // a push into the port wakes the system
///   return _consumer->start(this);    // its nextDue() is kDueOnWake: it runs when woken
/// }
/// \endcode
///
/// When a task is due: a sleeping task when its sleep time has accumulated; a task with a tick
/// time when that has accumulated (Tick with a tick time); otherwise what its `nextDue` says. The
/// base `nextDue` says "unknown" (kDueUnknown): a task with tick time 0 that does not override it
/// (a Yield with tick time 0 among them) fires on every pass and so keeps the system awake, as
/// without idle wait. A system with no task due at a known time waits until woken.
///
/// What wakes it, from any thread, without a lost wake-up: `notify` (a single atomic exchange,
/// with no system call unless the system is actually asleep), which a MessagePort bound to the
/// system, a line written into an application box's pipe, shutdown, and a task started, stopped
/// or woken call for it; and a message posted to its thread (ThreadMessage.h). On Windows the
/// wait is MsgWaitForMultipleObjectsEx on an event and the thread's message queue, so any
/// message for the thread ends it. A port bound to the system whose feeder has a wait handle
/// (MessageFeeder::getWaitHandle, a receiver's socket) wakes it too: the idle wait includes the
/// handle, after asking the feeder whether more is at hand already.
///
/// Tasks (`System::Task`) live in three lists of the system: started tasks wait in the pending
/// list until the end of the current pass, the pass visits the active list, and stopped tasks
/// keep their status alive in the stopped list until the pass ends. A started task's status owns
/// both the task and the system; `exit` breaks these cycles when the run ends.
///
/// Threads: the state may be read and `load`, `shutdown`, `unload` and `waken` called from any
/// thread. Everything else about tasks belongs to the run thread (or to the time before `run`).
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "vemo/core/Duration.h"

#include "vemo/core/Export.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/Unknown.h"

namespace vemo {

namespace detail {
// What an idle system waits on: the platform's.
class IdleEvent;
// The feeders an idle system waits on beside its own event.
struct IdleWatch;
}  // namespace detail

/// The state of a task.
enum ETaskState {
  TS_STOPPED = 0,  ///< never started, or stopped
  TS_SLEEPING = 1,
  TS_RUNNING = 2,
};

/// A cooperative loop that ticks its tasks on the thread that calls start, until shutdown
/// (see System.h). shutdown, waken and notify may be called from any thread; the rest on the run
/// thread or before the run.
class VEMO_CORE_API System : public virtual Unknown {
 public:
  /// The life of a system: load, start (init, run, exit), unload.
  enum EState {
    ES_UNLOADED = 0,     ///< constructed, or unloaded after a run
    ES_LOADED = 1,       ///< claimed by load
    ES_STARTING = 2,     ///< start entered, init not yet done
    ES_INITIALISED = 3,  ///< init succeeded: tasks may be started
    ES_RUNNING = 4,      ///< inside run
    ES_SHUTDOWN = 5,     ///< shutdown requested, or the run is over
  };
  class Task;

  /// The code given to onException for a C++ exception that escaped a tick (the code Windows
  /// uses for C++ exceptions). The exception has been logged: the library's own through
  /// Exception::report(), others as "Unhandled exception in a tick: " and their what() text,
  /// anything else as "Unhandled exception in a tick".
  static constexpr unsigned long kCppExceptionCode = 0xE06D7363ul;

  ~System() override;

  /// ES_UNLOADED to ES_LOADED; true only if the state was ES_UNLOADED.
  bool load();
  /// Runs the whole life of a loaded system on the calling thread: init, the tick loop until
  /// shutdown, exit. Returns at once, doing nothing, when the system was not ES_LOADED. The
  /// system is left ES_SHUTDOWN; `unload` makes it loadable again.
  void start();
  /// ES_STARTING to ES_INITIALISED; false in any other state. An override must call it: start
  /// runs only a system that made this transition.
  virtual bool init();
  /// Stops every listed task and empties the lists.
  virtual void exit();
  /// Calls tick() while the state is ES_RUNNING, and between two ticks waits idle when idle wait
  /// is on. A C++ exception escaping a tick is logged and given to onException
  /// (kCppExceptionCode); the loop goes on.
  virtual void run();
  /// Requests the end of the run (from any thread): any of ES_LOADED to ES_RUNNING becomes
  /// ES_SHUTDOWN, and a thread sleeping in `sleep` is woken. The loop ends after the tick in
  /// progress. Always true.
  virtual bool shutdown();
  /// One iteration of the loop: serves one posted message of the calling thread, or runs the
  /// scheduling pass with the milliseconds since the previous pass (0 for the first).
  virtual void tick();
  /// The scheduling pass over the tasks.
  virtual void onTick(unsigned int elapsed);
  /// Called with the code of an exception that a tick raised; the base does nothing.
  virtual void onException(unsigned long code);

  /// ES_SHUTDOWN to ES_UNLOADED; no effect in any other state.
  void unload();
  ///@{
  /// Blocks the calling thread until `waken` (or a message posted to this thread) or until `ms`
  /// milliseconds pass. One wake-up releases it and clears every other pending one.
  void sleep(unsigned int ms);
  template <class Rep, class Period>
  void sleep(std::chrono::duration<Rep, Period> duration) {
    sleep(detail::toMilliseconds(duration));
  }
  ///@}
  /// Releases a current or the next `sleep`.
  void waken();

  /// Whether the system sleeps after a pass until a task is next due or it is woken (see above);
  /// off after construction. Set before the run or on the run thread.
  ///@{
  void setIdleWait(bool on) { _idleWait.store(on, std::memory_order_relaxed); }
  bool getIdleWait() const { return _idleWait.load(std::memory_order_relaxed); }
  ///@}
  /// There is work for the system (any thread): an idle wait in progress ends, and a system that
  /// is awake makes one more pass before it next waits. Costs no system call unless the system
  /// is asleep.
  void notify();

  /// The current state (any thread).
  EState getState() const { return static_cast<EState>(_state.load(std::memory_order_acquire)); }
  /// The id (Thread::getCurrentThreadId) of the thread that last called start; 0 before.
  unsigned long getRunThreadId() const { return _runThreadId.load(std::memory_order_acquire); }
  /// How many times `load` has claimed the system: each run has its own number.
  unsigned int getLoadCount() const { return _loads.load(std::memory_order_acquire); }

 protected:
  System();
  ///@{
  /// Member by member: the copy shares the semaphore and the tasks' statuses.
  System(const System& other);
  System& operator=(const System& other);
  ///@}

 public:
  /// A unit of work ticked by a system. Derived classes override init, exit and onTick.
  class VEMO_CORE_API Task : public virtual Unknown {
   public:
    class TaskStatus;

    /// What nextDue returns for a task that cannot tell when it is next due: it keeps an
    /// idle-waiting system awake.
    static constexpr unsigned int kDueUnknown = 0xFFFFFFFFu;
    /// What nextDue returns for a task that has nothing to do until its system is woken.
    static constexpr unsigned int kDueOnWake = 0xFFFFFFFEu;

    /// Stops the task (only the base exit runs at this point).
    ~Task() override;

    /// Registers the task with a system that is ES_INITIALISED or ES_RUNNING and calls init; a
    /// task whose init fails is stopped at once. False when the system is null or in another
    /// state, when the task is already started, or when init failed. The task first fires in the
    /// pass after the current one.
    virtual bool start(System* system);
    /// Calls exit, then withdraws the task from its system (it is not called again).
    virtual void stop();
    ///@{
    /// Lets the task skip its passes until `ms` milliseconds have accumulated; it then fires with
    /// the whole accumulated time. False when the task is not started.
    virtual bool sleep(unsigned int ms);
    template <class Rep, class Period>
    bool sleep(std::chrono::duration<Rep, Period> duration) {
      return sleep(detail::toMilliseconds(duration));
    }
    ///@}
    /// Ends a sleep: the task fires again by its tick time. False when the task is not started.
    virtual bool waken();
    /// Called by start; the base returns true.
    virtual bool init();
    /// Called by stop; the base does nothing.
    virtual void exit();
    /// Called by the scheduling pass with the milliseconds accumulated since the task last fired.
    virtual void onTick(unsigned int elapsed);
    /// Milliseconds from now until the task wants its next pass, beyond what its tick time
    /// already asks (0: the next pass); kDueOnWake when only a wake-up brings it work;
    /// kDueUnknown (the base) when it cannot tell. Asked by an idle-waiting system after each
    /// pass, on the run thread.
    virtual unsigned int nextDue() const;

    ///@{
    /// The least time between two onTick calls; 0 (every pass) after construction.
    void setTickTime(unsigned int ms) { _tickTime = ms; }
    template <class Rep, class Period>
    void setTickTime(std::chrono::duration<Rep, Period> duration) {
      _tickTime = detail::toMilliseconds(duration);
    }
    ///@}
    /// The least time between two onTick calls, in milliseconds.
    unsigned int getTickTime() const { return _tickTime; }
    /// TS_STOPPED while not started.
    ETaskState getTaskState() const;
    /// The system the task is started on (no reference is handed out); null while not started.
    System* getSystem() const;

   protected:
    Task() : _status(nullptr), _tickTime(0) {}
    ///@{
    /// The copy shares the status pointer: when either of two copies of a started task is stopped
    /// (or destroyed), the other is left pointing to a released status and must not be used again.
    Task(const Task&) = default;
    Task& operator=(const Task&) = default;
    ///@}

   private:
    friend class System;

    TaskStatus* _status;
    unsigned int _tickTime;
  };

 private:
  friend class Task;
  friend class MessagePort;

  // The queues of the ports bound to this system (MessagePort::bind), under _portLock; the
  // destructor unbinds them.
  void rememberQueue(Unknown* queue);
  void forgetQueue(Unknown* queue);

  bool swapState(EState from, EState to);
  // Milliseconds until the earliest task is due (Task::kDueOnWake: none); 0 to stay awake.
  unsigned int nextDue() const;
  // Between ticks: sleeps until the next task is due or the system is woken.
  void idle();

  std::atomic<int> _state;
  bool _firstTick;
  unsigned int _lastTime;
  std::list<Handle_T<Task::TaskStatus>> _pendingList;
  std::list<Handle_T<Task::TaskStatus>> _activeList;
  std::list<Handle_T<Task::TaskStatus>> _stoppedList;
  Handle_T<Semaphore> _semaphore;
  std::atomic<unsigned long> _runThreadId;
  std::atomic<unsigned int> _loads{0};
  std::atomic<bool> _idleWait;
  bool _tasksJoined;  // set by a pass that moved started tasks to the active list
  // kAwake, kNotified or kSleeping (System.cpp): the hand-shake of notify and idle.
  std::atomic<int> _wake;
  Handle_T<detail::IdleEvent> _idleEvent;
  std::mutex _portLock;
  std::vector<Handle_T<Unknown>> _boundQueues;
  // The feeders whose wait handles the idle wait includes (System.cpp); the run thread's.
  std::unique_ptr<detail::IdleWatch> _watch;
  // Collects the wait handles of the bound ports' feeders; false when one has more at hand, so
  // the system must not sleep.
  bool watchFeeders();
  void unwatchFeeders();
};

/// The record tying one started task to one system: it owns both, and the system's lists own it.
class VEMO_CORE_API System::Task::TaskStatus : public virtual Unknown {
 public:
  /// The system.
  System* getSystem() const { return _system.get(); }
  /// The task.
  Task* getTask() const { return _task.get(); }
  /// The task's state on the system.
  ETaskState getState() const { return _state; }
  /// Milliseconds accumulated since the task last fired.
  unsigned int getElapsed() const { return _elapsed; }
  /// The milliseconds of the task's last Task::sleep (0 before any); it counts while the state
  /// is TS_SLEEPING.
  unsigned int getSleepTime() const { return _sleepTime; }

 private:
  friend class System;
  friend class System::Task;

  TaskStatus(System* system, Task* task)
      : _system(system), _task(task), _state(TS_RUNNING), _elapsed(0), _sleepTime(0) {}

  Handle_T<System> _system;
  Handle_T<Task> _task;
  ETaskState _state;
  unsigned int _elapsed;
  unsigned int _sleepTime;
};

}  // namespace vemo
