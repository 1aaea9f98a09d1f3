/// \file
/// Time for the runtime: the library's millisecond clock, and two ready-made tasks of a System:
/// `Tick`, which hands each of its passes to a list of functions and callbacks, and `Yield`,
/// which gives the processor away on every pass and so throttles a system's busy tick loop.
///
/// \code
/// void animate(unsigned int elapsed);
/// Handle_T<Tick> frames = Tick::createInstance();
/// frames->setTickTime(16);            // at most once per 16 accumulated milliseconds
/// frames->addTickHandler(&animate);
/// frames->start(system);              // from the system's init or one of its tasks
/// Yield::createInstance()->start(system);   // about one pass per millisecond
/// \endcode
#pragma once

#include <chrono>
#include <list>
#include <type_traits>
#include <utility>

#include "vemo/core/Callback.h"
#include "vemo/core/Export.h"
#include "vemo/core/System.h"

// <windows.h> defines Yield() as an empty macro (a leftover of 16-bit Windows).
#pragma push_macro("Yield")
#undef Yield

namespace vemo {

/// Milliseconds on a monotonic clock (the system's time since start-up), wrapping to 0 after
/// 2^32 ms (about 49.7 days). Elapsed times are unsigned differences of two values, which stay
/// right across the wrap: `getTimeTick() - start`.
VEMO_CORE_API unsigned int VEMO_STDCALL getTimeTick();

/// A task that calls its handlers, in the order they were added, with the elapsed milliseconds
/// of each of its passes. Handlers are kept without duplicates: two handlers are the same when
/// their identities (Callback.h) are. The list belongs to the system's run thread, and a handler
/// must not add or remove handlers of the Tick that is calling it.
class VEMO_CORE_API Tick : public System::Task {
 public:
  /// Takes the elapsed milliseconds of a pass.
  using Handler = CallbackHandler<void, unsigned int>;

  /// A Tick without handlers that fires on every pass.
  static Handle_T<Tick> createInstance();
  /// A Tick that fires at most once per `period` (its tick time, rounded up to milliseconds).
  template <class Rep, class Period>
  static Handle_T<Tick> createInstance(std::chrono::duration<Rep, Period> period) {
    Handle_T<Tick> tick = createInstance();
    tick->setTickTime(period);
    return tick;
  }

  ///@{
  /// Adds the function (or handler) unless an equal one is listed; true either way. A null
  /// function or handler is refused (false).
  bool addTickHandler(void (*function)(unsigned int));
  bool addTickHandler(const Handler& handler);
  ///@}
  /// Any other callable (a lambda, a std::function) as a handler of its own identity: keep a
  /// Handler made from it to remove it again.
  template <class F, class = std::enable_if_t<!std::is_pointer<std::decay_t<F>>::value &&
                                              !std::is_same<std::decay_t<F>, Handler>::value &&
                                              std::is_constructible<Handler, F&&>::value>>
  bool addTickHandler(F&& callable) {
    return addTickHandler(Handler(std::forward<F>(callable)));
  }
  ///@{
  /// Removes the first equal handler, if any.
  void removeTickHandler(void (*function)(unsigned int));
  void removeTickHandler(const Handler& handler);
  ///@}
  /// Removes every handler.
  void clearAllTickHandler();

  void onTick(unsigned int elapsed) override;

 protected:
  Tick() = default;

 private:
  std::list<Handler> _handlers;
};

/// A task that blocks its system's thread for the yield time on every pass; a time of 0 gives up
/// the rest of the processor's time slice without waiting.
class VEMO_CORE_API Yield : public System::Task {
 public:
  /// With a yield time of 1 millisecond.
  static Handle_T<Yield> createInstance();
  ///@{
  /// With a yield time of `ms` milliseconds (a duration is rounded up to whole milliseconds,
  /// as Duration.h describes).
  static Handle_T<Yield> createInstance(unsigned int ms);
  template <class Rep, class Period>
  static Handle_T<Yield> createInstance(std::chrono::duration<Rep, Period> duration) {
    return createInstance(detail::toMilliseconds(duration));
  }
  ///@}

  /// The milliseconds each pass waits.
  unsigned int getYieldTime() const { return _yieldTime; }
  /// Sleeps the yield time; the elapsed time is not used.
  void onTick(unsigned int elapsed) override;

 protected:
  /// See createInstance.
  Yield() : _yieldTime(1) {}
  /// See createInstance.
  explicit Yield(unsigned int ms) : _yieldTime(ms) {}

 private:
  unsigned int _yieldTime;
};

}  // namespace vemo

#pragma pop_macro("Yield")
