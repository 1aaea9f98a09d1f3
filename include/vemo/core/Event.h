/// \file
/// Events: objects delivered synchronously to the handlers registered for their exact class.
///
/// \code
/// class Resized : public vemo::Event { VEMO_DECLARE_CLASS(Resized) ... };
/// void onResized(const vemo::Event* event);
///
/// vemo::EventDispenser events;
/// events += vemo::EventHandler(Resized::getClassId_(), &onResized);
/// events.sendEvent(resized);      // onResized(resized), on this thread
/// \endcode
///
/// Handlers run in order of registration. Only the event's own class id counts: handlers of a
/// base class are not called for a derived event. During a delivery handlers may add and remove
/// handlers (themselves included) and clear the dispenser: a handler appended to the list being
/// delivered is reached in the same delivery, a removed one that has not run yet is not, and
/// clearing lets the delivery finish the list it walks. An exception thrown by a handler ends the
/// delivery and reaches the caller of sendEvent. No lock: one thread at a time.
#pragma once

#include <list>
#include <map>

#include "vemo/core/Callback.h"
#include "vemo/core/Export.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// The base of every event; it has no members of its own.
class VEMO_CORE_API Event : public virtual Unknown {
  VEMO_DECLARE_CLASS(Event)

 public:
  ~Event() override;

 protected:
  Event() = default;
  ///@{
  /// Events copy as plain values.
  Event(const Event&) = default;
  Event& operator=(const Event&) = default;
  ///@}
};

/// The callback of an event handler: a function or member function taking the event.
using EventCallback = CallbackHandler<void, const Event*>;

/// A callback for the events of one class id. Default-constructed: class id 0, null callback.
class VEMO_CORE_API EventHandler {
 public:
  EventHandler() : _classId(0) {}
  /// The callback for the events of `classId` (an event class's getClassId_()).
  EventHandler(unsigned int classId, const EventCallback& callback)
      : _classId(classId), _callback(callback) {}

  /// The class id of the events it takes.
  const unsigned int& getClassId() const { return _classId; }
  /// The callback.
  const EventCallback& getCallbackHandler() const { return _callback; }

  /// Calls the callback with the event; the callback must not be null.
  void operator()(const Event* event) const { _callback(event); }
  /// Drops the callback (the class id stays).
  void setNull() { _callback.setNull(); }
  /// True without a callback.
  bool isNull() const { return _callback.isNull(); }

  /// By class id, then by the callbacks' identity texts.
  friend bool operator==(const EventHandler& a, const EventHandler& b) {
    return a._classId == b._classId && a._callback == b._callback;
  }
  friend bool operator!=(const EventHandler& a, const EventHandler& b) { return !(a == b); }
  friend bool operator<(const EventHandler& a, const EventHandler& b) {
    return a._classId != b._classId ? a._classId < b._classId : a._callback < b._callback;
  }
  friend bool operator>(const EventHandler& a, const EventHandler& b) { return b < a; }
  friend bool operator<=(const EventHandler& a, const EventHandler& b) { return !(b < a); }
  friend bool operator>=(const EventHandler& a, const EventHandler& b) { return !(a < b); }

 private:
  unsigned int _classId;
  EventCallback _callback;
};

/// The handlers of each event class id. Copies share the handler lists of the source (a handler
/// added through one copy to an id both have is seen by both); moving swaps the tables.
class VEMO_CORE_API EventDispenser {
 public:
  /// No handlers.
  EventDispenser() = default;
  ///@{
  /// Shares the other's handler lists (see the class).
  EventDispenser(const EventDispenser&) = default;
  EventDispenser& operator=(const EventDispenser&) = default;
  ///@}
  ///@{
  /// Swaps the tables of the two dispensers.
  EventDispenser(EventDispenser&& other) noexcept { _handlers.swap(other._handlers); }
  EventDispenser& operator=(EventDispenser&& other) noexcept {
    _handlers.swap(other._handlers);
    return *this;
  }
  ///@}
  ~EventDispenser();

  /// Registers the callback under its class id, once: true, also when an equal callback is
  /// registered there already.
  bool addEventHandler(const EventHandler& handler);
  /// addEventHandler; returns this dispenser.
  EventDispenser& operator+=(const EventHandler& handler) {
    addEventHandler(handler);
    return *this;
  }
  /// Removes the first equal callback of the class id; an id left without handlers is dropped.
  void removeEventHandler(const EventHandler& handler);
  /// removeEventHandler; returns this dispenser.
  EventDispenser& operator-=(const EventHandler& handler) {
    removeEventHandler(handler);
    return *this;
  }
  /// Calls the handlers of the event's own class id (its getClassId()) with it.
  void sendEvent(const Event* event);
  /// Removes every handler (a delivery under way finishes the list it walks).
  void clear() { _handlers.clear(); }

  ///@{
  /// Class ids with handlers, and the count of handlers of one.
  int getEventClassCount() const { return static_cast<int>(_handlers.size()); }
  int getEventHandlerCount(unsigned int classId) const;
  ///@}

  /// One registered callback. An entry being called is only marked when it is removed, and
  /// erased when its call returns, so that a delivery can always go on from it.
  struct Entry {
    /// An entry of that callback.
    explicit Entry(const EventCallback& handler) : callback(handler) {}
    EventCallback callback;  ///< the handler
    int calls = 0;           ///< deliveries calling it now
    bool removed = false;    ///< removed while being called
  };
  /// The handlers of one class id, in order of registration.
  using HandlerList = std::list<Entry>;

 private:
  std::map<unsigned int, SharedPtr<HandlerList>> _handlers;
};

}  // namespace vemo
