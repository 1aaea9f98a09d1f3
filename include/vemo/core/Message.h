// Message: the base of every message that travels through the messaging layer.
//
// A message is a reflectable object (Property) with a registered class name and id. On a stream
// it travels as a Handle_T<Message>: "O", the class id of its dynamic class and its body (what
// exportTo writes), or "o" for a null handle; the receiving side recreates it from the class id
// through the class registry. The base class has no members and an empty body, so a bare
// Message takes five bytes.
//
// Applications derive their messages and give them a body:
//
//   class Chat : public vemo::Message {
//     VEMO_DECLARE_PROPERTY(Chat, vemo::Message)
//    public:
//     vemo::String text;
//     void importFrom(vemo::InputStream& is) override { is >> text; }
//     void exportTo(vemo::OutputStream& os) const override { os << text; }
//    protected:
//     Chat() = default;
//   };
//   VEMO_IMPLEMENT_PROPERTY(Chat, VEMO_PROPERTY(text, L"What was said"))
//
// There is no length before a body: a reader that does not know the class cannot skip it, so
// importFrom must consume exactly what exportTo produced.
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/Property.h"
#include "vemo/core/Stream.h"

namespace vemo {

class VEMO_CORE_API Message : public Property {
  VEMO_DECLARE_PROPERTY(Message, Property)

 public:
  // A new empty message: the creator that message parsers take. Subclasses read by a
  // MessageReader declare their own (this one, inherited, makes a bare Message).
  static Handle_T<Message> createMessage_();

  // The generic copy through the stored form (Unknown::clone) as a message; null when the copy
  // is not a Message.
  Handle_T<Message> clone() const;

  // The base class reads and writes nothing.
  void importFrom(InputStream& input) override;
  void exportTo(OutputStream& output) const override;

  Message(const Message&) = default;
  Message(Message&&) = default;
  Message& operator=(const Message&) = default;
  Message& operator=(Message&&) = default;
  ~Message() override;

 protected:
  Message() = default;
};

}  // namespace vemo
