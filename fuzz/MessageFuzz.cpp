// Arbitrary bytes as message packages through MessageReader (analyse and pop) and as message
// records in the body of a record of a MessagePort (decoded by popMessage and procMessage).
// Records may nest (Nest carries a message), as deep as the bytes say. The first byte chooses
// whether the reader has an unknown package handler. Nothing may crash, hang, exhaust the stack
// or allocate beyond what the input announces and contains.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vemo/core/MemoryStream.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/MessageReader.h"
#include "vemo/core/Varint.h"

using namespace vemo;

namespace {

class Note : public Message {
  VEMO_DECLARE_PROPERTY(Note, Message)
 public:
  String text;
  int number = 0;
  static Handle<Message> createMessage_() { return createInstance(); }
  void importFrom(InputStream& is) override { is >> text >> number; }
  void exportTo(OutputStream& os) const override { os << text << number; }

 protected:
  Note() = default;
};
VEMO_IMPLEMENT_PROPERTY(Note, VEMO_PROPERTY(text, L"text"), VEMO_PROPERTY(number, L"number"))

class Series : public Message {
  VEMO_DECLARE_PROPERTY(Series, Message)
 public:
  std::vector<int> values;
  static Handle<Message> createMessage_() { return createInstance(); }
  void importFrom(InputStream& is) override {
    Varint count;
    is >> count;
    if (count.value < 0 || count.value > is.available() / 4)
      throw Exception(L"Series", 1, L"Series::importFrom", -1, L"bad count");
    values.resize(static_cast<std::size_t>(count.value));
    for (int& value : values)
      is >> value;
  }
  void exportTo(OutputStream& os) const override {
    os << Varint(static_cast<int>(values.size()));
    for (int value : values)
      os << value;
  }

 protected:
  Series() = default;
};
VEMO_IMPLEMENT_PROPERTY(Series, VEMO_PROPERTY(values, L"values"))

// Carries another message: records nest within records, five bytes a level.
class Nest : public Message {
  VEMO_DECLARE_PROPERTY(Nest, Message)
 public:
  Handle<Message> inner;
  static Handle<Message> createMessage_() { return createInstance(); }
  void importFrom(InputStream& is) override { is >> inner; }
  void exportTo(OutputStream& os) const override { os << inner; }

 protected:
  Nest() = default;
};
VEMO_IMPLEMENT_PROPERTY(Nest, VEMO_PROPERTY(inner, L"inner"))

// Writes the fuzzer's bytes as its body and reads them back as message records, to the end of
// its own record in a port's queue.
class Raw : public Message {
  VEMO_DECLARE_PROPERTY(Raw, Message)
 public:
  const uint8_t* data = nullptr;
  int size = 0;
  void importFrom(InputStream& is) override {
    Handle<Message> record;
    while (is.available() > 0)
      is >> record;
  }
  void exportTo(OutputStream& os) const override {
    if (size > 0) os.write(data, size);
  }

 protected:
  Raw() = default;
};
VEMO_IMPLEMENT_PROPERTY(Raw, VEMO_PROPERTY(size, L"size"))

int g_handled = 0;
void handle(Message* message) {
  g_handled += message->getClassId() & 1;
}

// Skips a body announced as a Varint length, if all of it is there.
bool skipUnknown(const MessageReader::MessagePackage& package) {
  Varint length;
  *package.stream >> length;
  if (length.value < 0 || length.value > package.stream->available()) return false;
  std::vector<char> body(static_cast<std::size_t>(length.value));
  return body.empty() || package.stream->read(body.data(), length.value) == length.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 20) return 0;
  const bool withUnknownHandler = (data[0] & 1) != 0;
  ++data;
  --size;
  const int length = static_cast<int>(size);

  MessageReader reader;
  reader += MessageParser(Note::getClassId_(), &Note::createMessage_, &handle);
  reader += MessageParser(Series::getClassId_(), &Series::createMessage_, &handle);
  reader += MessageParser(Message::getClassId_(), &Message::createMessage_, &handle);
  reader += MessageParser(Nest::getClassId_(), &Nest::createMessage_, &handle);
  if (withUnknownHandler) reader.setUnknownPackageHandler(&skipUnknown);

  Handle<MemoryStream> stream = MemoryStream::createInstance();
  stream->write(data, length);
  InputStream is(stream.get());
  while (is.available() > 0) {
    try {
      if (!reader.analyse(is)) {
        unsigned char skipped;
        is >> skipped;
      }
    } catch (const Exception&) {
      // Every failing step has consumed bytes: the loop ends.
    }
  }
  stream->write(data, length);
  while (is.available() > 0) {
    try {
      MessageReader::pop(is);
    } catch (const Exception&) {
    }
  }

  MessagePort port;
  port.getMessageDispenser().addMessageHandler<Note>(&handle);
  port.getMessageDispenser().addMessageHandler<Series>(&handle);
  port.getMessageDispenser().addMessageHandler<Raw>(&handle);
  port.getMessageDispenser().addMessageHandler<Nest>(&handle);
  Handle<Raw> raw = Raw::createInstance();
  raw->data = data;
  raw->size = length;
  port.pushMessage(raw);
  port.pushMessage(Note::createInstance());
  // Each call consumes at least one byte while any are queued.
  for (int i = 0; i < length + 32; ++i) {
    if (port.procMessage(1000) == 0 && !port.popMessage()) {
      // Either a record that failed or nothing left; go on until the bytes are used up.
    }
  }
  if (port.popMessage() != nullptr || port.procMessage(1000) != 0) std::abort();
  return 0;
}
