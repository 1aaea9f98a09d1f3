/// \file
/// MessagePort: a thread-safe, unbounded first-in first-out queue of messages with a dispatcher.
///
/// Any thread may push; a consuming thread calls procMessage with a time budget, and each queued
/// message goes to the handler registered in the port's dispenser for its class id:
///
/// \code
/// vemo::MessagePort port;
/// port.getMessageDispenser().addMessageHandler<Chat>(&onChat);
/// port.pushMessage(chat);          // any thread
/// port.procMessage(10);            // the consumer: dispatches for up to about 10 ms
/// \endcode
///
/// Messages travel as bytes, not as shared objects: pushMessage writes the message in the handle
/// encoding ("O", class id, body; "o" for null) and popMessage makes a new object of the class
/// from them, so producer and consumer never share an instance and changing a message after it
/// was pushed does not change what is dispatched.
///
/// Two byte queues (MemoryStreams, which spill to the temporary file when long): producers
/// append to the push queue under the push lock, one append per message, having serialised it
/// outside any lock; the consumer decodes from the pop queue under the pop lock and, when that is
/// empty, takes over everything pushed so far in one step. The pop lock is always taken before
/// the push lock, and is re-entrant: handlers run under it (a handler may push into the same
/// port, or pop from it). A second consumer waits until a running procMessage returns.
///
/// Each record is queued behind its length, so the consumer reads a record only within its own
/// bytes and always consumes it whole: what one message's body holds is never taken for records
/// of other messages, even when its importFrom fails part-way or reads less than was written.
///
/// A consumer that should not poll binds the port to its system, which then runs with idle wait
/// (System.h) and a task whose nextDue is kDueOnWake:
///
/// \code
/// port.bind(consumer);             // every push now notifies `consumer`
/// port.unbind();                   // or bind(nullptr)
/// \endcode
///
/// A push notifies the bound system after its record is queued; a notify costs an atomic
/// exchange, and a system call only when the consumer is asleep. The binding is shared with the
/// copies of the port and may be changed from any thread. It does not keep the system alive: a
/// system that is destroyed unbinds itself from every port bound to it.
///
/// serveOn does all of this in one call, from the system's init (or its run thread):
///
/// \code
/// bool init() override {
///   if (!System::init()) return false;
///   return _port.serveOn(this, std::chrono::milliseconds(10));
/// }
/// \endcode
///
/// It turns the system's idle wait on, binds the port to it and starts a task that dispatches
/// for up to the budget whenever the system is woken; the system's exit stops the task, which
/// unbinds the port.
///
/// The library's own errors (Exception) are reported (Exception::report) and never thrown: a
/// message that fails to serialise is not queued (pushMessage is false), a record that fails to
/// decode makes popMessage null (the record is dropped whole and the next one is read as usual),
/// and a message without a handler is dropped and ends procMessage. An exception of another type
/// from a handler or an importFrom passes to the caller of procMessage.
///
/// A record may carry an origin beside its message (pushMessage with a MessageOrigin): a link
/// that brought the message from elsewhere uses it to answer the sender or to learn when the
/// message was handled. The origin is never serialised; the port holds a reference to it until
/// the record leaves the queue, then calls its delivered(). While procMessage runs the record's
/// handler, getCurrentOrigin() on that thread gives the origin.
///
/// Copies: a copied (or moved) port shares the queues and the locks of its source and gets a
/// copy of its handlers, so source and copy are two ends of one queue with handler tables of
/// their own, and may be used from different threads like the source itself. A moved-from port
/// keeps the queue and has no handlers.
#pragma once

#include <chrono>
#include <cstdint>

#include "vemo/core/Duration.h"
#include "vemo/core/Export.h"
#include "vemo/core/Message.h"
#include "vemo/core/MessageDispenser.h"
#include "vemo/core/Unknown.h"

namespace vemo {

class System;

namespace detail {
// The queues and locks that a port shares with its copies.
class MessageQueue;
// The task that serves a port on its system (serveOn).
class PortServer;
}  // namespace detail

/// Travels beside a queued record (see above).
class VEMO_CORE_API MessageOrigin : public virtual Unknown {
 public:
  /// Once the record has left the queue: after its handler returned or threw (procMessage),
  /// when popMessage hands it out, or when it failed to decode. On the consuming thread, with
  /// the port's pop lock held (as handlers are). Not called for records dropped with the port.
  virtual void delivered() {}
};

/// Where a port's consumer takes more messages from when it finds the queue empty (setFeeder):
/// a receiver that would otherwise push what it receives from another thread lets an awake
/// consumer take it itself, which saves a hand-over between threads per batch.
class VEMO_CORE_API MessageFeeder : public virtual Unknown {
 public:
  /// Pushes into the port what is at hand without waiting for more; true when it queued any.
  /// Called on the consuming thread (popMessage, procMessage) with the pop lock held and no
  /// other lock of the port, each time the queue is found empty.
  virtual bool feed() = 0;

  /// What a system serving the port may sleep on beside its own wake-up, so that a receiver's
  /// message wakes the consumer without a thread in between: a descriptor that becomes readable
  /// when more may be fed (POSIX: a file descriptor; Windows: a SOCKET), or -1 (the default:
  /// none). The same for as long as the feeder is set.
  virtual std::intptr_t getWaitHandle() { return -1; }
  /// A system starts (true) or stops (false) waiting on the handle whenever it is idle; each
  /// start is followed by one stop. While any system waits on it, the feeder may leave the
  /// handle to it: that system feeds whenever the handle wakes it and before it sleeps again.
  virtual void setWatched(bool watched) { (void)watched; }
  /// Whether more is at hand now, looked at by a system just before it sleeps on the handle (a
  /// descriptor that signals only changes may not signal what came meanwhile). On the system's
  /// thread, without any lock of the port.
  virtual bool isReady() { return false; }
};

/// A queue of messages between threads with the handlers that dispatch them (see MessagePort.h).
/// Pushing, popping and dispatching may be called from any thread.
class VEMO_CORE_API MessagePort {
 public:
  /// An empty port with a queue of its own and no handlers.
  MessagePort();
  /// Shares the other's queue and copies its handlers.
  MessagePort(const MessagePort& other);
  /// Shares the other's queue and takes its handlers (the other keeps the queue, without
  /// handlers).
  MessagePort(MessagePort&& other) noexcept;
  MessagePort& operator=(const MessagePort&) = delete;
  MessagePort& operator=(MessagePort&&) = delete;
  /// Queued messages are dropped without being dispatched (once no copy shares the queue).
  ~MessagePort();

  /// Queues the message (a null handle queues one "o" record). False, after reporting, when the
  /// message could not be written; nothing is queued then.
  bool pushMessage(const Unknown::Handle_T<Message>& msg);
  /// The same, with an origin that the record carries (null: none).
  bool pushMessage(const Unknown::Handle_T<Message>& msg, MessageOrigin* origin);
  /// Queues `count` messages in one step, in their order, each with its origin (`origins` may be
  /// null, and so may each origin): one lock and one notification of the bound system for all of
  /// them, as a receiver that takes many messages at a time wants. A message that fails to write
  /// is reported and queued as a null record with its origin, so that the origins of a batch hear
  /// delivered() in order. Returns the count of messages queued as themselves.
  int pushMessages(const Unknown::Handle_T<Message>* messages, MessageOrigin* const* origins,
                   int count);
  /// As pushMessages, for messages the caller gives up: the port takes each handle (all are
  /// empty afterwards). A message that no other handle holds is queued as the object itself,
  /// neither written nor read back, and its handler gets that very object; one held elsewhere
  /// too is written as pushMessages writes it, so that its other holders may go on using it. A
  /// receiver that has just decoded the messages it queues saves a copy of each this way.
  /// Handed-over messages whose handlers were the last to hold them come back to the next call
  /// (of any thread), which releases them once it has left the port's locks: a receiver frees
  /// what it made on its own thread. The port keeps a bounded number of them for that (the
  /// consumer releases the rest itself), and releases those it still keeps when it goes.
  int handOverMessages(Unknown::Handle_T<Message>* messages, MessageOrigin* const* origins,
                       int count);
  /// The oldest queued message as a new object, or null when the queue is empty, the record is a
  /// null handle or the record could not be decoded (reported, and dropped whole).
  Unknown::Handle_T<Message> popMessage();
  ///@{
  /// Pops and dispatches messages until the queue is empty, a record gives null or the time
  /// since the call began (getTimeTick) exceeds the budget in milliseconds; at least one message
  /// is dispatched when any is queued. A message without a handler is reported, dropped and ends
  /// the call. Returns the count of messages dispatched. A handler may destroy the port (its last
  /// copy or not): the call then ends after that handler. Exceptions other than the library's
  /// (from a handler or an importFrom) pass to the caller.
  int procMessage(unsigned int budget);
  template <class Rep, class Period>
  int procMessage(std::chrono::duration<Rep, Period> budget) {
    return procMessage(detail::toMilliseconds(budget));
  }
  ///@}

  /// The origin of the message whose handler procMessage runs on this thread; null outside a
  /// handler or for a record pushed without one.
  static MessageOrigin* getCurrentOrigin();

  /// The system to notify of every push (null: none), and of a procMessage that returned or
  /// threw with messages left, whatever ended it (its budget, a null record, a failure); any
  /// thread.
  void bind(System* consumer);
  /// bind(nullptr).
  void unbind() { bind(nullptr); }
  /// The bound system, or null; no reference is handed out.
  System* getBoundSystem() const;

  /// Wakes the bound system without queueing anything (a feeder has messages for it); false when
  /// no system is bound. Any thread.
  bool notifyConsumer();

  /// The feeder asked for more whenever a consumer finds the queue empty (null: none); shared
  /// with the copies of the port, any thread. The port holds a reference to it until it is
  /// replaced; a call in progress may still run after that.
  void setFeeder(MessageFeeder* feeder);
  /// Removes `feeder` if it is the one set (another set since stays); any thread.
  void removeFeeder(MessageFeeder* feeder);

  ///@{
  /// Makes `system` the port's consumer: idle wait on, the port bound to it, and a task of the
  /// system that calls procMessage(budget) on every wake-up (and again while messages are left).
  /// Called where tasks are started: in the system's init or on its run thread. When the system
  /// exits (or the task is stopped) the port is unbound from it. The port must outlive the
  /// system's run, or be destroyed on its run thread (a destroyed port is no longer served).
  /// False when the task cannot start (the system is null or not initialised) or the port is
  /// already served by a running task.
  bool serveOn(System* system, unsigned int budget);
  template <class Rep, class Period>
  bool serveOn(System* system, std::chrono::duration<Rep, Period> budget) {
    return serveOn(system, detail::toMilliseconds(budget));
  }
  ///@}

  ///@{
  /// The handlers procMessage dispatches to.
  MessageDispenser<void>& getMessageDispenser() { return _dispenser; }
  const MessageDispenser<void>& getMessageDispenser() const { return _dispenser; }
  ///@}

 private:
  MessageDispenser<void> _dispenser;
  int queueRecords(const Unknown::Handle_T<Message>* messages, MessageOrigin* const* origins,
                   int count, bool handOver);

  Unknown::Handle_T<detail::MessageQueue> _queue;
  // Set while procMessage runs: where the destructor tells it that the port is gone.
  bool* _gone = nullptr;
  // The task serving this port (serveOn), or null; not shared with copies.
  Unknown::Handle_T<detail::PortServer> _server;

  friend class detail::PortServer;
  // Unbinds the port when `system` is its bound system.
  void unbindFrom(System* system);
};

/// A server port and a client port, one for each direction of a conversation.
class VEMO_CORE_API MessagePipe {
 public:
  /// Two new ports.
  MessagePipe() = default;
  ///@{
  /// Copies (or moves) both ports: the queues are shared.
  MessagePipe(const MessagePipe&) = default;
  MessagePipe(MessagePipe&&) = default;
  ///@}
  MessagePipe& operator=(const MessagePipe&) = delete;
  MessagePipe& operator=(MessagePipe&&) = delete;
  ~MessagePipe() = default;

  ///@{
  /// The server's port.
  MessagePort& getServerPort() { return _server; }
  const MessagePort& getServerPort() const { return _server; }
  ///@}
  ///@{
  /// The client's port.
  MessagePort& getClientPort() { return _client; }
  const MessagePort& getClientPort() const { return _client; }
  ///@}

 private:
  // Members are destroyed in reverse order: the client port first.
  MessagePort _server;
  MessagePort _client;
};

}  // namespace vemo
