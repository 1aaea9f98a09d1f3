/// \file
/// Thread: runs one System on an operating-system thread of its own.
///
/// \code
/// Handle_T<Thread> thread = Thread::createInstance();
/// if (thread->start(game)) {   // true once the new thread runs; game's init comes after
///   ...
///   thread->shutdown();        // asks game to stop and waits for the thread to end
/// }
/// \endcode
///
/// `start` claims the system (System::load), creates the thread and waits until it has begun.
/// The thread runs the system's whole life (System::start), then unloads it and forgets it: the
/// Thread is idle again and may start another system, or the same one again. A running thread
/// keeps its Thread alive until it ends.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/Semaphore.h"
#include "vemo/core/System.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// An operating-system thread that runs one System at a time (see Thread.h).
class VEMO_CORE_API Thread : public virtual Unknown {
 public:
  /// A new idle thread object; no thread runs until start.
  static Handle_T<Thread> createInstance();
  ~Thread() override;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  /// Claims `system` and runs it on a new thread; true once that thread has begun. False, and
  /// the Thread stays idle, for a null system, a system that was not ES_UNLOADED, a Thread that
  /// is already running one, a thread that could not be made or that gave no sign of life within
  /// 60 seconds. A system claimed by a failed start stays ES_LOADED.
  virtual bool start(System* system);
  /// Asks the running system to shut down and waits until its thread has ended; true at once
  /// when idle. Called on the system's own thread it does not wait (it would wait for itself).
  virtual bool shutdown();
  /// The system being run; null when idle.
  Handle_T<System> getSystem();

  /// The name the next started thread carries (in debuggers, `/proc/<pid>/task/<tid>/comm`, crash
  /// reports); empty, the default, names it after its system's most-derived class (its C++ name
  /// without namespaces, whether or not the class is registered). The platform keeps
  /// at most 15 bytes of UTF-8 on Linux (cut at a character's boundary); on Windows the name is
  /// set where the system has SetThreadDescription.
  ///@{
  void setName(const String& name);
  String getName();
  ///@}

  /// The calling thread's id, as the platform numbers threads (the same numbers that
  /// System::getRunThreadId and postThreadMessage use).
  static unsigned long getCurrentThreadId();

 protected:
  Thread();

 private:
  static unsigned int VEMO_STDCALL main(void* param);

  Mutex _lock;
  String _name;
  Handle_T<System> _system;
  Handle_T<Semaphore> _startSemaphore;
  // The platform's handle of the running thread; null when idle.
  void* _threadHandle;
};

}  // namespace vemo
