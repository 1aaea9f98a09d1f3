// Message and MessageReader: the wire forms of messages and packages, parsers and their table,
// unknown packages.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MessageSupport.h"
#include "TestSupport.h"
#include "vemo/core/Event.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/MessageReader.h"
#include "vemo/core/PropertyHelper.h"

using namespace vemo;
using msgtest::Chat;
using vemo::tests::Bytes;
using vemo::tests::LogCapture;

namespace msgtest {

// A reflectable holder of messages: how messages travel inside property JSON.
class Envelope : public Property {
  VEMO_DECLARE_PROPERTY(Envelope, Property)

 public:
  Handle<Message> letter;
  std::vector<Handle<Message>> bundle;
  std::list<Handle<Message>> pile;

 protected:
  Envelope() = default;
};

VEMO_IMPLEMENT_PROPERTY(Envelope, VEMO_PROPERTY(letter, L"One message"),
                        VEMO_PROPERTY(bundle, L"Messages"), VEMO_PROPERTY(pile, L"More messages"))

// A message that carries another one: records nest, five bytes a level.
class Wrapper : public Message {
  VEMO_DECLARE_PROPERTY(Wrapper, Message)

 public:
  Handle<Message> inner;
  static Handle<Message> createMessage_() { return createInstance(); }
  void importFrom(InputStream& is) override { is >> inner; }
  void exportTo(OutputStream& os) const override { os << inner; }

 protected:
  Wrapper() = default;
};
VEMO_IMPLEMENT_PROPERTY(Wrapper, VEMO_PROPERTY(inner, L"The wrapped message"))

// Messages of sizes on both sides of the blocks threads keep for reuse, and one over-aligned.
class Little : public Message {
  VEMO_DECLARE_PROPERTY(Little, Message)

 public:
  int tag = 0;
  unsigned char bytes[8] = {};

 protected:
  Little() = default;
};
VEMO_IMPLEMENT_PROPERTY(Little, VEMO_PROPERTY(tag, L"Tag"))

class Middling : public Message {
  VEMO_DECLARE_PROPERTY(Middling, Message)

 public:
  int tag = 0;
  unsigned char bytes[150] = {};

 protected:
  Middling() = default;
};
VEMO_IMPLEMENT_PROPERTY(Middling, VEMO_PROPERTY(tag, L"Tag"))

class Bulky : public Message {
  VEMO_DECLARE_PROPERTY(Bulky, Message)

 public:
  int tag = 0;
  unsigned char bytes[400] = {};

 protected:
  Bulky() = default;
};
VEMO_IMPLEMENT_PROPERTY(Bulky, VEMO_PROPERTY(tag, L"Tag"))

class alignas(64) Aligned : public Message {
  VEMO_DECLARE_PROPERTY(Aligned, Message)

 public:
  int tag = 0;
  unsigned char bytes[24] = {};

 protected:
  Aligned() = default;
};
VEMO_IMPLEMENT_PROPERTY(Aligned, VEMO_PROPERTY(tag, L"Tag"))

}  // namespace msgtest

namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

// A stream over bytes, both ways.
struct Wire {
  Handle<Bytes> bytes = new Bytes;
  OutputStream os{bytes.get()};
  InputStream is{bytes.get()};
};

// A package: the class id and the body, without a marker.
void writePackage(OutputStream& os, const Message& message) {
  os << message.getClassId();
  message.exportTo(os);
}

// The description of the Exception that `work` throws ("" when none).
template <class Work>
std::wstring thrown(Work work) {
  try {
    work();
  } catch (const Exception& e) {
    return e.description();
  }
  return L"";
}

// What handlers received, in order.
std::vector<std::wstring> g_received;

void record(Message* message) {
  const Chat* chat = dynamic_cast<const Chat*>(message);
  g_received.push_back(chat ? std::wstring(L"chat ") + chat->text.getBuffer()
                            : std::wstring(message->getClassName().getBuffer()));
}
void recordAgain(Message* message) {
  g_received.push_back(L"again");
  record(message);
}

}  // namespace

TEST(Message, ClassIdentityAndConverters) {
  EXPECT_EQ(Unknown::ClassType::computeId(L"Message"), 0xD44B5952u);
  EXPECT_EQ(Message::createInstance()->getClassId(), 0xD44B5952u);
  EXPECT_EQ(Message::createInstance()->getPropertyType(), L"Message");
  EXPECT_NE(dynamic_cast<Message*>(Unknown::RtFactory::createClassInstance(L"Message").get()),
            nullptr);
  for (const wchar_t* type : {L"Message", L"MessageArray", L"MessageList"}) {
    IPropertyConverter* converter = PropertyFactory::getPropertyConverter(type);
    ASSERT_NE(converter, nullptr) << type;
    EXPECT_EQ(converter->getPropertyType(), type);
  }
  EXPECT_FALSE(PropertyFactory::getPropertyConverter(L"Message")->isUnitProperty());
}

TEST(Message, HandleEncodingAndBrokenRecords) {
  Wire wire;
  const Handle<Bytes>& bytes = wire.bytes;
  OutputStream& os = wire.os;
  InputStream& is = wire.is;
  os << Handle<Message>();
  EXPECT_EQ(bytes->bytes, "o");
  os << Message::createInstance();
  EXPECT_EQ(hex(bytes->bytes), "6F 4F 52 59 4B D4");

  Handle<Message> read = Message::createInstance();
  is >> read;
  EXPECT_EQ(read, nullptr);
  const Handle<Message> original = Message::createInstance();
  is >> read;
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(typeid(*read), typeid(Message));
  EXPECT_NE(read, original);
  EXPECT_EQ(bytes->bytes, "");

  // A subclass goes by its own id and body, and comes back as itself.
  os << Handle<Message>(msgtest::chat(L"hi", -2, {7, 8}));
  is >> read;
  const Chat* chat = dynamic_cast<const Chat*>(read.get());
  ASSERT_NE(chat, nullptr);
  EXPECT_EQ(chat->text, L"hi");
  EXPECT_EQ(chat->number, -2);
  EXPECT_EQ(chat->values, (std::vector<int>{7, 8}));
  EXPECT_EQ(bytes->bytes, "");

  // Records of other classes and broken records throw.
  const auto readFrom = [&](const std::string& data) {
    Handle<Bytes> source = new Bytes(data);
    InputStream in(source.get());
    return thrown([&] { in >> read; });
  };
  std::string event("O");
  const unsigned int eventId = Event::getClassId_();
  event.append(reinterpret_cast<const char*>(&eventId), 4);
  EXPECT_EQ(readFrom(event), L"TyIs& operator >>(TyIs &,vemo::Message::Handle &)");
  EXPECT_EQ(read, nullptr);
  EXPECT_EQ(readFrom(std::string("O\x01\x02\x03\x04", 5)),
            L"TyIs& operator >>(TyIs &,vemo::Message::Handle &)");
  EXPECT_EQ(readFrom("X"), L"TyIs& operator >>(TyIs &,vemo::Message::Handle &) Error!");
  EXPECT_EQ(readFrom("O\x52\x59"),
            L"vemo::InputStream& operator>>(vemo::InputStream &is,uint32_t &i)");
  EXPECT_EQ(readFrom(""), L"vemo::InputStream& operator>>(vemo::InputStream &is,uint8_t &i)");

  // A short write of the marker or the id throws the writing errors.
  bytes->room = 0;
  EXPECT_EQ(thrown([&] { os << Message::createInstance(); }),
            L"vemo::OutputStream& operator<<(vemo::OutputStream &os, const char &i)");
}

// `levels` Wrapper records inside one another around a null handle, with or without the outer
// marker.
std::string nested(int levels, bool marked = true) {
  const unsigned int id = msgtest::Wrapper::getClassId_();
  std::string level("O");
  level.append(reinterpret_cast<const char*>(&id), 4);
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(levels) * 5 + 1);
  for (int i = 0; i < levels; ++i)
    bytes += level;
  bytes += 'o';
  return marked ? bytes : bytes.substr(1);
}

// How deep a decoded chain of wrappers goes.
int depthOf(const Handle<Message>& message) {
  int depth = 0;
  for (const Message* m = message.get(); m; ++depth) {
    const auto* wrapper = dynamic_cast<const msgtest::Wrapper*>(m);
    m = wrapper ? wrapper->inner.get() : nullptr;
  }
  return depth;
}

// Objects nest within objects only so deep on one stream: a hostile chain of 300,000 levels
// fails with the library's exception instead of exhausting the reader's stack, through the
// stream operator, the message reader and a message port alike, and the stream reads on.
TEST(Message, HandlesNestOnlySoDeep) {
  const std::wstring tooDeep =
      L"TyIs& operator >>(TyIs &,vemo::Message::Handle &) nests deeper than 256 levels";
  Handle<Message> read;
  const auto readFrom = [&](InputStream& in, const std::string& data) {
    static_cast<Bytes*>(in.getInput())->bytes = data;
    return thrown([&] { in >> read; });
  };
  Handle<Bytes> source = new Bytes;
  InputStream in(source.get());
  EXPECT_EQ(readFrom(in, nested(256)), L"");
  EXPECT_EQ(depthOf(read), 256);
  EXPECT_EQ(readFrom(in, nested(257)), tooDeep);
  try {
    static_cast<Bytes*>(in.getInput())->bytes = nested(300000);
    in >> read;
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.description(), tooDeep);
    EXPECT_EQ(e.code(), -1);
    EXPECT_NE(std::wstring(e.file()).find(L"vemo/core/Unknown"), std::wstring::npos);
  }
  // The levels of a failed read are given back: the same stream reads the deepest chain again.
  EXPECT_EQ(readFrom(in, nested(256)), L"");
  EXPECT_EQ(depthOf(read), 256);

  // A package of the message reader: the class id, then the body.
  MessageReader reader;
  g_received.clear();
  reader +=
      MessageParser(msgtest::Wrapper::getClassId_(), &msgtest::Wrapper::createMessage_, &record);
  Handle<Bytes> packages = new Bytes(nested(300000, false));
  InputStream packageStream(packages.get());
  EXPECT_EQ(thrown([&] { reader.analyse(packageStream); }), tooDeep);
  packages->bytes = nested(300000, false);
  EXPECT_EQ(thrown([&] { MessageReader::pop(packageStream); }), tooDeep);
  packages->bytes = nested(200, false);
  EXPECT_TRUE(reader.analyse(packageStream));
  EXPECT_EQ(g_received, std::vector<std::wstring>{L"Wrapper"});

  // A port: a message nested too deep is reported and dropped, the next one arrives.
  Handle<msgtest::Wrapper> deep = msgtest::Wrapper::createInstance();
  {
    // Built from the inside out: a chain deeper than any reader takes.
    Handle<Message> inner;
    for (int i = 0; i < 300; ++i) {
      Handle<msgtest::Wrapper> outer = msgtest::Wrapper::createInstance();
      outer->inner = inner;
      inner = outer;
    }
    deep->inner = inner;
  }
  MessagePort port;
  int arrived = 0;
  struct Count {
    int* arrived;
    void on(Message*) { ++*arrived; }
  } count{&arrived};
  port.getMessageDispenser().addMessageHandler<msgtest::Wrapper>(
      MessageDispenser<void>::Handler(&count, &Count::on));
  LogCapture log;
  EXPECT_TRUE(port.pushMessage(deep));
  EXPECT_TRUE(port.pushMessage(msgtest::Wrapper::createInstance()));
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"error: " + tooDeep});
  EXPECT_EQ(port.procMessage(1000), 1);
  EXPECT_EQ(arrived, 1);
}

TEST(Message, CloneAndPropertyForms) {
  const Handle<Chat> chat = msgtest::chat(L"deep", 3, {1, 2, 3});
  const Handle<Message> copy = chat->clone();
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy.get(), static_cast<Message*>(chat.get()));
  const Chat* same = dynamic_cast<const Chat*>(copy.get());
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(same->text, L"deep");
  EXPECT_EQ(same->values, chat->values);
  chat->values.push_back(4);
  EXPECT_EQ(same->values.size(), 3u);
  EXPECT_NE(Message::createInstance()->clone(), nullptr);
  // A class that does not make objects of its own type has no clone.
  LogCapture log;
  EXPECT_EQ(msgtest::Stranger().clone(), nullptr);
  EXPECT_EQ(log.lines.size(), 1u);

  // Messages inside property JSON: by their class names.
  Handle<msgtest::Envelope> envelope = msgtest::Envelope::createInstance();
  envelope->letter = msgtest::chat(L"a", 1);
  envelope->bundle = {Message::createInstance(), nullptr, msgtest::chat(L"b", 2)};
  envelope->pile = {msgtest::chat(L"c", 3)};
  JsonValue json;
  envelope->exportProperty(json);
  const String text = Json::convertToString(json, false);
  EXPECT_NE(text.find(L"\"letter\":{\"__class__\":\"Chat\""), -1) << text.getBuffer();
  EXPECT_NE(text.find(L"{\"__class__\":\"Message\"},null,"), -1) << text.getBuffer();
  Handle<msgtest::Envelope> back = msgtest::Envelope::createInstance();
  back->importProperty(json);
  ASSERT_NE(dynamic_cast<Chat*>(back->letter.get()), nullptr);
  EXPECT_EQ(dynamic_cast<Chat*>(back->letter.get())->text, L"a");
  ASSERT_EQ(back->bundle.size(), 3u);
  EXPECT_EQ(typeid(*back->bundle[0]), typeid(Message));
  EXPECT_EQ(back->bundle[1], nullptr);
  EXPECT_EQ(dynamic_cast<Chat*>(back->bundle[2].get())->number, 2);
  ASSERT_EQ(back->pile.size(), 1u);
  EXPECT_EQ(dynamic_cast<Chat*>(back->pile.front().get())->text, L"c");
}

TEST(MessageReader, AnalyseDispatchesInStreamOrder) {
  g_received.clear();
  MessageReader reader;
  reader += MessageParser(Chat::getClassId_(), &Chat::createMessage_, &record);
  EXPECT_TRUE(reader.installMessageParser(
      MessageParser(Message::getClassId_(), &Message::createMessage_, &record)));
  EXPECT_EQ(reader.getMessageParserCount(), 2);

  Handle<MemoryStream> stream = MemoryStream::createInstance();
  InputStream is(stream.get());
  OutputStream os(stream.get());
  EXPECT_TRUE(reader.analyse(is));  // empty
  EXPECT_TRUE(g_received.empty());

  writePackage(os, *msgtest::chat(L"one", 1, {5}));
  writePackage(os, *Message::createInstance());
  writePackage(os, *msgtest::chat(L"two", 2));
  EXPECT_TRUE(reader.analyse(is));
  EXPECT_EQ(g_received, (std::vector<std::wstring>{L"chat one", L"Message", L"chat two"}));
  EXPECT_EQ(stream->available(), 0);

  // One package whose id is already read.
  g_received.clear();
  writePackage(os, *msgtest::chat(L"three", 3));
  unsigned int id;
  is >> id;
  EXPECT_TRUE(reader.analyse(MessageReader::MessagePackage{id, &is}));
  EXPECT_EQ(g_received, std::vector<std::wstring>{L"chat three"});

  // Failures inside a body pass through, as do short class ids.
  os << Chat::getClassId_() << String() << 0 << Varint(1000);  // a list of 1000 that is not there
  EXPECT_EQ(thrown([&] { reader.analyse(is); }),
            L"InputStream& operator>>(InputStream&, container)");
  stream->write("\x27\x10\x00", 3);
  EXPECT_EQ(thrown([&] { reader.analyse(is); }),
            L"vemo::InputStream& operator>>(vemo::InputStream &is,uint32_t &i)");
}

TEST(MessageReader, UnknownPackagesAndPop) {
  g_received.clear();
  MessageReader reader;
  reader += MessageParser(Chat::getClassId_(), &Chat::createMessage_, &record);
  Wire wire;
  const Handle<Bytes>& bytes = wire.bytes;
  OutputStream& os = wire.os;
  InputStream& is = wire.is;
  writePackage(os, *msgtest::chat(L"before", 1));
  const std::size_t unknownAt = bytes->bytes.size();
  os << 4000000000u << 12345;  // an unknown id and a body of four bytes
  writePackage(os, *msgtest::chat(L"after", 2));
  const std::size_t unread = bytes->bytes.size() - unknownAt - 4;
  {
    LogCapture log;
    EXPECT_FALSE(reader.analyse(is));
    EXPECT_EQ(log.lines, std::vector<std::wstring>{L"error: Unknown message(4000000000)."});
  }
  EXPECT_EQ(g_received, std::vector<std::wstring>{L"chat before"});
  EXPECT_EQ(bytes->bytes.size(), unread);  // the unknown body and what follows are unread
  EXPECT_FALSE(reader.analyse(MessageReader::MessagePackage{4000000000u, &is}));

  // A handler that knows the body reads it and lets the reader go on.
  struct Skipper {
    bool consume = true;
    std::vector<unsigned int> ids;
    bool skip(const MessageReader::MessagePackage& package) {
      ids.push_back(package.classId);
      if (!consume) return false;
      int body;
      *package.stream >> body;
      return body == 12345;
    }
  } skipper;
  reader.setUnknownPackageHandler(MessageReader::UnknownPackageHandler(&skipper, &Skipper::skip));
  EXPECT_FALSE(reader.getUnknownPackageHandler().isNull());
  EXPECT_TRUE(reader.analyse(MessageReader::MessagePackage{4000000000u, &is}));
  os << 4000000001u << 12345;  // another one, then the next chat
  writePackage(os, *msgtest::chat(L"last", 3));
  EXPECT_TRUE(reader.analyse(is));
  EXPECT_EQ(skipper.ids, (std::vector<unsigned int>{4000000000u, 4000000001u}));
  EXPECT_EQ(g_received, (std::vector<std::wstring>{L"chat before", L"chat after", L"chat last"}));
  skipper.consume = false;
  os << 7u;
  LogCapture log;
  EXPECT_FALSE(reader.analyse(is));
  EXPECT_EQ(log.lines, std::vector<std::wstring>{L"error: Unknown message(7)."});

  reader.clearMessageParser();
  EXPECT_EQ(reader.getMessageParserCount(), 0);
  EXPECT_TRUE(reader.getUnknownPackageHandler().isNull());

  // pop makes the next package's message with the class's own creator, or logs its id.
  writePackage(os, *msgtest::chat(L"popped", 9, {1}));
  writePackage(os, *Message::createInstance());
  const Handle<Message> popped = MessageReader::pop(is);
  ASSERT_NE(dynamic_cast<Chat*>(popped.get()), nullptr);
  EXPECT_EQ(dynamic_cast<Chat*>(popped.get())->values, std::vector<int>{1});
  EXPECT_EQ(typeid(*MessageReader::pop(is)), typeid(Message));

  log.lines.clear();
  os << Event::getClassId_() << 1;  // registered, but not a message
  os << 0xFFFFFFFFu;
  EXPECT_EQ(MessageReader::pop(is), nullptr);
  EXPECT_EQ(bytes->bytes.size(), 8u);  // the body stays
  int body;
  is >> body;
  EXPECT_EQ(MessageReader::pop(is), nullptr);
  EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"error: Error ClassId! 125346565",
                                                  L"error: Error ClassId! 4294967295"}));
  EXPECT_EQ(thrown([&] { MessageReader::pop(is); }),
            L"vemo::InputStream& operator>>(vemo::InputStream &is,uint32_t &i)");
}

TEST(MessageReader, ParserTableAndHandlersThatChangeIt) {
  MessageReader reader;
  const MessageParser first(Chat::getClassId_(), &Chat::createMessage_, &record);
  const MessageParser second(Chat::getClassId_(), &Chat::createMessage_, &recordAgain);
  reader += first;
  reader += second;
  EXPECT_EQ(reader.getMessageParserCount(), 1);
  EXPECT_EQ(reader.getMessageParser(Chat::getClassId_()), second);
  EXPECT_NE(reader.getMessageParser(Chat::getClassId_()), first);
  const MessageParser& none = reader.getMessageParser(42);
  EXPECT_EQ(none.creator, nullptr);
  EXPECT_TRUE(none.handler.isNull());

  // Equality: id, creator and the handler's identity (a separate callable of the same function
  // is equal; null handlers are equal).
  EXPECT_EQ(first, MessageParser(Chat::getClassId_(), &Chat::createMessage_, &record));
  EXPECT_NE(first, MessageParser(Chat::getClassId_(), &Message::createMessage_, &record));
  EXPECT_NE(first, MessageParser(1, &Chat::createMessage_, &record));
  EXPECT_EQ(MessageParser(1, nullptr, {}), MessageParser(1, nullptr, {}));
  EXPECT_NE(MessageParser(1, nullptr, {}), MessageParser(1, nullptr, &record));

  // Uninstalling goes by class id only; absent ids change nothing.
  reader -= MessageParser(Chat::getClassId_(), nullptr, {});
  EXPECT_EQ(reader.getMessageParserCount(), 0);
  reader.uninstallMessageParser(99);
  reader += first;
  MessageReader copy = reader;
  copy.uninstallMessageParser(Chat::getClassId_());
  EXPECT_EQ(reader.getMessageParserCount(), 1);
  MessageReader moved = std::move(reader);
  EXPECT_EQ(moved.getMessageParser(Chat::getClassId_()), first);
  reader = moved;
  EXPECT_EQ(moved.getMessageParserCount(), 1);

  // Handlers may change the reader while it reads: this one uninstalls its own parser (the only
  // holder of its callable) and installs another: the next package goes to the new one.
  struct Switcher {
    MessageReader reader;
    std::vector<std::wstring> seen;
    void first(Message* m) {
      seen.push_back(L"first " + std::wstring(static_cast<Chat*>(m)->text.getBuffer()));
      reader.uninstallMessageParser(Chat::getClassId_());
      reader += MessageParser(Chat::getClassId_(), &Chat::createMessage_,
                              MessageParser::Handler(this, &Switcher::second));
    }
    void second(Message* m) {
      seen.push_back(L"second " + std::wstring(static_cast<Chat*>(m)->text.getBuffer()));
    }
  } switcher;
  switcher.reader += MessageParser(Chat::getClassId_(), &Chat::createMessage_,
                                   MessageParser::Handler(&switcher, &Switcher::first));
  Wire wire;
  OutputStream& os = wire.os;
  InputStream& is = wire.is;
  writePackage(os, *msgtest::chat(L"a", 1));
  writePackage(os, *msgtest::chat(L"b", 2));
  EXPECT_TRUE(switcher.reader.analyse(is));
  EXPECT_EQ(switcher.seen, (std::vector<std::wstring>{L"first a", L"second b"}));

  // A parser without handler reads and drops.
  MessageReader dropping;
  dropping += MessageParser(Chat::getClassId_(), &Chat::createMessage_, {});
  writePackage(os, *msgtest::chat(L"dropped", 1));
  EXPECT_TRUE(dropping.analyse(is));
  EXPECT_EQ(wire.bytes->bytes, "");
}

// A creator of any kind: a lambda that carries data of its own makes the messages, another
// handles them. Copies of such a parser are equal, a parser with another lambda is not, and an
// empty std::function gives a parser without creator.
TEST(MessageReader, CallableCreators) {
  int made = 0;
  std::vector<std::wstring> texts;
  const MessageParser parser(
      Chat::getClassId_(),
      [&made] {
        ++made;
        return Chat::createInstance();
      },
      [&texts](Message* message) {
        texts.push_back(static_cast<Chat*>(message)->text.getBuffer());
      });
  EXPECT_EQ(parser.creator, nullptr);
  EXPECT_FALSE(parser.factory.isNull());
  MessageReader reader;
  reader += parser;
  EXPECT_EQ(reader.getMessageParser(Chat::getClassId_()), parser);
  EXPECT_NE(parser,
            MessageParser(
                Chat::getClassId_(), [&made] { return Chat::createInstance(); }, parser.handler));

  Wire wire;
  writePackage(wire.os, *msgtest::chat(L"one", 1));
  writePackage(wire.os, *msgtest::chat(L"two", 2, {3, 4}));
  EXPECT_TRUE(reader.analyse(wire.is));
  EXPECT_EQ(made, 2);
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"one", L"two"}));

  // A std::function, and one that is empty.
  std::function<Handle<Message>()> function = &Message::createMessage_;
  const MessageParser fromFunction(Message::getClassId_(), function, &record);
  EXPECT_FALSE(fromFunction.factory.isNull());
  g_received.clear();
  reader += fromFunction;
  writePackage(wire.os, *Message::createInstance());
  EXPECT_TRUE(reader.analyse(wire.is));
  EXPECT_EQ(g_received, std::vector<std::wstring>{L"Message"});
  const MessageParser empty(Message::getClassId_(), std::function<Handle<Message>()>(), &record);
  EXPECT_TRUE(empty.factory.isNull());
  EXPECT_EQ(empty, MessageParser(Message::getClassId_(), nullptr, &record));

  // A parser that cannot make its message (no creator, or a factory that gives null) still
  // reads the body past, so that the next package is read from its start; its handler is not
  // called. A class that not even the registry knows stops the reading, logged.
  MessageReader blind;
  blind += MessageParser(Chat::getClassId_(), nullptr, &record);
  blind += MessageParser(
      Message::getClassId_(), [] { return Handle<Message>(); }, &record);
  blind += MessageParser(4000000000u, nullptr, &record);
  g_received.clear();
  writePackage(wire.os, *msgtest::chat(L"unread", 1, {5, 6, 7}));
  writePackage(wire.os, *Message::createInstance());
  wire.os << 4000000000u << 12345;
  {
    LogCapture log;
    EXPECT_FALSE(blind.analyse(wire.is));
    EXPECT_EQ(log.lines, std::vector<std::wstring>{L"error: Unknown message(4000000000)."});
  }
  EXPECT_EQ(g_received, std::vector<std::wstring>{});
  EXPECT_EQ(wire.bytes->bytes.size(), 4u);  // the unknown body stays
  int body = 0;
  wire.is >> body;
  EXPECT_EQ(body, 12345);
  // The same through parser() and a package whose id is read.
  writePackage(wire.os, *msgtest::chat(L"unread", 2));
  unsigned int id = 0;
  wire.is >> id;
  EXPECT_TRUE(blind.analyse(MessageReader::MessagePackage{id, &wire.is}));
  writePackage(wire.os, *msgtest::chat(L"unread", 3));
  wire.is >> id;
  blind.getMessageParser(id).parser(wire.is);
  writePackage(wire.os, *msgtest::chat(L"read", 4));
  EXPECT_TRUE(reader.analyse(wire.is));
  EXPECT_EQ(texts, (std::vector<std::wstring>{L"one", L"two", L"read"}));
  EXPECT_EQ(wire.bytes->bytes, "");
}

namespace {

// Fills a message's bytes with a pattern of its own.
template <class M>
Unknown::Handle_T<Message> stamped(int tag) {
  Unknown::Handle_T<M> made = M::createInstance();
  made->tag = tag;
  std::memset(made->bytes, tag & 0xFF, sizeof made->bytes);
  return made;
}

// Whether a message still holds the pattern it was made with (and its alignment).
bool intact(Message* message) {
  const auto check = [](auto* m) {
    for (unsigned char byte : m->bytes)
      if (byte != static_cast<unsigned char>(m->tag & 0xFF)) return false;
    return reinterpret_cast<std::uintptr_t>(m) % alignof(decltype(*m)) == 0;
  };
  if (auto* m = dynamic_cast<msgtest::Little*>(message)) return check(m);
  if (auto* m = dynamic_cast<msgtest::Middling*>(message)) return check(m);
  if (auto* m = dynamic_cast<msgtest::Bulky*>(message)) return check(m);
  if (auto* m = dynamic_cast<msgtest::Aligned*>(message)) return check(m);
  return false;
}

}  // namespace

// Messages are made in blocks that each thread keeps for reuse once it destroys them: whatever
// its size, every live message keeps its own bytes (a block is never handed out twice, nor one
// too small), over-aligned messages keep their alignment, messages made on one thread may end on
// another, and a thread's kept blocks go with it (LeakSanitizer would see them otherwise).
TEST(Message, BlocksAreReusedAndNeverShared) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::mutex lock;
  std::vector<Unknown::Handle_T<Message>> passed;  // made on one thread, ended on another
  std::atomic<int> broken{0};
  const auto work = [&](int thread) {
    std::vector<Unknown::Handle_T<Message>> live;
    for (int round = 0; round < kRounds; ++round) {
      for (int i = 0; i < 8; ++i) {
        const int tag = thread * 64 + i * 4 + round;
        live.push_back(stamped<msgtest::Little>(tag));
        live.push_back(stamped<msgtest::Middling>(tag + 1));
        live.push_back(stamped<msgtest::Bulky>(tag + 2));
        live.push_back(stamped<msgtest::Aligned>(tag + 3));
      }
      for (const auto& message : live)
        if (!intact(message.get())) ++broken;
      // Every other one goes: half of them here, half handed to whichever thread comes next.
      std::vector<Unknown::Handle_T<Message>> kept;
      std::vector<Unknown::Handle_T<Message>> given;
      for (std::size_t i = 0; i < live.size(); ++i)
        (i % 2 ? kept : given).push_back(std::move(live[i]));
      live = std::move(kept);
      std::vector<Unknown::Handle_T<Message>> taken;
      {
        std::lock_guard<std::mutex> guard(lock);
        taken.swap(passed);
        for (std::size_t i = 0; i < given.size(); i += 2)
          passed.push_back(std::move(given[i]));
      }
      for (const auto& message : taken)
        if (!intact(message.get())) ++broken;
      taken.clear();
      given.clear();
      if (live.size() > 256) live.erase(live.begin(), live.begin() + 128);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(work, t);
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(broken.load(), 0);
  for (const auto& message : passed)
    EXPECT_TRUE(intact(message.get()));
  passed.clear();
}
