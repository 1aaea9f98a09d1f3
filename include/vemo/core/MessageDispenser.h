/// \file
/// MessageDispenser: routes a message to the handler registered for its class id.
///
/// \code
/// vemo::MessageDispenser<void> dispenser;
/// dispenser.addMessageHandler<Chat>([](Chat& chat) { show(chat.text); });
/// dispenser.dispatchMessage(message);             // the lambda, with the Chat, for a Chat
/// \endcode
///
/// A handler takes the message as its own class (M& or const M&), or as Message* (a function,
/// an object and member function, or any callable: see Callback.h); addMessageHandler(id,
/// handler) registers by class id.
///
/// Only the exact class id counts: a handler for a base class does not receive messages of its
/// subclasses. A message nobody handles makes dispatchMessage throw. The type parameter only
/// names the dispenser's owner in that exception. No lock: one thread at a time.
#pragma once

#include <map>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "vemo/core/Callback.h"
#include "vemo/core/Exception.h"
#include "vemo/core/Export.h"
#include "vemo/core/Message.h"
#include "vemo/core/String.h"

namespace vemo {

namespace detail {
// "<dispenser type> MessageHandler::dispatchMessage( <message type> )", the text of the
// exception for a message without a handler.
VEMO_CORE_API String noMessageHandlerText(const std::type_info& dispenser, const Message& message);
}  // namespace detail

/// The handlers of messages by class id, one per id. T only tells dispensers apart (its name is
/// in the text of the exception for a message without a handler). One thread at a time.
template <class T>
class MessageDispenser {
 public:
  /// Takes a message of the class it was registered for.
  using Handler = CallbackHandler<void, Message*>;

  /// Registers the handler for the class id: false, changing nothing, when the id has one or
  /// the handler is null.
  bool addMessageHandler(unsigned int classId, const Handler& handler) {
    return !handler.isNull() && _handlers.emplace(classId, handler).second;
  }
  /// The same for the message class M.
  template <class M>
  bool addMessageHandler(const Handler& handler) {
    return addMessageHandler(M::getClassId_(), handler);
  }
  /// A handler of the message class M that takes the message as an M (M& or const M&): it is
  /// called only with messages of M's class id, which are M's.
  template <class M, class F,
            class = std::enable_if_t<std::is_base_of<Message, M>::value &&
                                     std::is_invocable<std::decay_t<F>&, M&>::value &&
                                     !std::is_invocable<std::decay_t<F>&, Message*>::value>>
  bool addMessageHandler(F&& handler) {
    return addMessageHandler(M::getClassId_(),
                             Handler([call = std::forward<F>(handler)](Message* message) mutable {
                               call(static_cast<M&>(*message));
                             }));
  }
  /// Removes the handler of the class id, if any.
  void removeMessageHandler(unsigned int classId) { _handlers.erase(classId); }
  /// Whether the class id has a handler.
  bool hasMessageHandler(unsigned int classId) const { return _handlers.count(classId) != 0; }
  /// The number of handlers.
  int getMessageHandlerCount() const { return static_cast<int>(_handlers.size()); }
  /// Removes every handler.
  void clearMessageHandler() { _handlers.clear(); }

  /// Calls the handler of the message's class id with the message. Throws Exception (code -1)
  /// when there is none; a null message is not dispatched.
  void dispatchMessage(Message* msg) const {
    if (!msg) return;
    const auto found = _handlers.find(msg->getClassId());
    if (found == _handlers.end())
      VEMO_THROW_AT(L"MessageDispenser", 56,
                    detail::noMessageHandlerText(typeid(T), *msg).getBuffer());
    // Held for the call: a handler may remove itself.
    const Handler handler = found->second;
    handler(msg);
  }

 private:
  std::map<unsigned int, Handler> _handlers;
};

}  // namespace vemo
