#include "vemo/core/Message.h"

namespace vemo {

VEMO_IMPLEMENT_CLASS(Message)

detail::PropertyTable Message::g_propertyTable_;
const String Message::g_propertyType_(L"Message");

// The base message has no members of its own.
bool Message::registerProperty_() {
  return true;
}

const bool Message::g_registerProperty_ = Message::registerProperty_();

// "Message", "MessageArray" and "MessageList", torn down again when the library unloads.
VEMO_REGISTER_PROPERTY_CONVERTERS_(Message)

Message::~Message() = default;

Unknown::Handle_T<Message> Message::createMessage_() {
  return Handle_T<Message>(new Message());
}

Unknown::Handle_T<Message> Message::clone() const {
  return Handle_T<Message>::dynamicCast(Unknown::clone());
}

void Message::importFrom(InputStream&) {}
void Message::exportTo(OutputStream&) const {}

}  // namespace vemo
