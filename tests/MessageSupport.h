// Message classes shared by the messaging tests (include from one source file per program).
#pragma once

#include <vector>

#include "vemo/core/Message.h"
#include "vemo/core/Varint.h"

namespace msgtest {

using vemo::Exception;
using vemo::InputStream;
using vemo::OutputStream;

// A message with a body of every shape: a text, a number and a list of numbers.
class Chat : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Chat, vemo::Message)
  // A text, a number, and a list of numbers as a Varint count and 4 bytes each: a damaged count
  // cannot make the list huge.
  VEMO_MESSAGE_FIELDS(text, number, values)

 public:
  vemo::String text;
  int number = 0;
  std::vector<int> values;

  // Its own creator for message parsers (the inherited one makes a bare Message).
  static vemo::Unknown::Handle_T<vemo::Message> createMessage_() { return createInstance(); }

 protected:
  Chat() = default;
};

// A message that the tests register no handler for.
class Unhandled : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Unhandled, vemo::Message)

 public:
  int tag = 0;

 protected:
  Unhandled() = default;
};

// Reading it always fails; writing it fails when asked to.
class Faulty : public vemo::Message {
  VEMO_DECLARE_PROPERTY(Faulty, vemo::Message)

 public:
  bool failWriting = false;
  void importFrom(InputStream&) override {
    throw Exception(L"Faulty", 2, L"Faulty::importFrom", -1, L"cannot read a Faulty");
  }
  // No body: what follows a Faulty record is the next record.
  void exportTo(OutputStream&) const override {
    if (failWriting)
      throw Exception(L"Faulty", 3, L"Faulty::exportTo", -1, L"cannot write a Faulty");
  }

 protected:
  Faulty() = default;
};

VEMO_IMPLEMENT_PROPERTY(Chat, VEMO_PROPERTY(text, L"Text"), VEMO_PROPERTY(number, L"Number"),
                        VEMO_PROPERTY(values, L"Values"))
VEMO_IMPLEMENT_PROPERTY(Unhandled, VEMO_PROPERTY(tag, L"Tag"))
VEMO_IMPLEMENT_PROPERTY(Faulty, VEMO_PROPERTY(failWriting, L"Whether writing fails"))

// A message of a class id that nothing registers.
class Stranger : public Chat {
 public:
  Stranger() = default;
  unsigned int getClassId() const override { return 0x5EEDF00Du; }
};

inline vemo::Unknown::Handle_T<Chat> chat(const wchar_t* text, int number,
                                          std::vector<int> values = {}) {
  vemo::Unknown::Handle_T<Chat> made = Chat::createInstance();
  made->text = text;
  made->number = number;
  made->values = std::move(values);
  return made;
}

}  // namespace msgtest
