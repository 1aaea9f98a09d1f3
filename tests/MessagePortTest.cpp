// MessagePort, MessagePipe and MessageDispenser: queueing by value, the null record, failures
// that end a call, the time budget, copies, re-entrant handlers, many producers, a system that
// sleeps on its feeder's socket.
// Sockets first: winsock2.h must come before windows.h, which other headers may bring.
#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MessageSupport.h"
#include "TestSupport.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/MessagePort.h"
#include "vemo/core/System.h"
#include "vemo/core/Thread.h"
#include "vemo/core/ThreadMessage.h"
#include "vemo/core/Tick.h"

using namespace vemo;
using namespace std::chrono_literals;
using msgtest::Chat;
using vemo::tests::LogCapture;

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEMO_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VEMO_TEST_TSAN 1
#endif

namespace msgtest {

// A producer's message and its place in that producer's sequence.
class Numbered : public Message {
  VEMO_DECLARE_PROPERTY(Numbered, Message)

 public:
  int producer = 0;
  int sequence = 0;
  void importFrom(InputStream& is) override { is >> producer >> sequence; }
  void exportTo(OutputStream& os) const override { os << producer << sequence; }

 protected:
  Numbered() = default;
};
VEMO_IMPLEMENT_PROPERTY(Numbered, VEMO_PROPERTY(producer, L"Producer"),
                        VEMO_PROPERTY(sequence, L"Sequence"))

// Refuses a nick longer than 16 bytes before it reads the nick, as a careful reader does.
class Login : public Message {
  VEMO_DECLARE_PROPERTY(Login, Message)

 public:
  String_T<char> nick;
  int level = 0;
  void importFrom(InputStream& is) override {
    Varint length;
    is >> length;
    if (length.value < 0 || length.value > 16)
      throw Exception(L"Login", 1, L"Login::importFrom", -1, L"nick too long");
    std::string bytes(static_cast<std::size_t>(length.value), '\0');
    if (length.value > 0 && is.read(&bytes[0], length.value) != length.value)
      throw Exception(L"Login", 2, L"Login::importFrom", -1, L"nick cut short");
    nick = String_T<char>(bytes.data(), length.value);
    is >> level;
  }
  void exportTo(OutputStream& os) const override { os << nick << level; }

 protected:
  Login() = default;
};
VEMO_IMPLEMENT_PROPERTY(Login, VEMO_PROPERTY(level, L"Level"))

// What a peer must never be able to send through somebody else's record.
class Admin : public Message {
  VEMO_DECLARE_PROPERTY(Admin, Message)

 public:
  String command;
  void importFrom(InputStream& is) override { is >> command; }
  void exportTo(OutputStream& os) const override { os << command; }

 protected:
  Admin() = default;
};
VEMO_IMPLEMENT_PROPERTY(Admin, VEMO_PROPERTY(command, L"Command"))

// Reads back only the first of the two numbers it writes.
class Lenient : public Message {
  VEMO_DECLARE_PROPERTY(Lenient, Message)

 public:
  int kept = 0;
  String_T<char> extra;
  void importFrom(InputStream& is) override { is >> kept; }
  void exportTo(OutputStream& os) const override {
    os << kept;
    os.write(extra.getBuffer(), extra.getLength());
  }

 protected:
  Lenient() = default;
};
VEMO_IMPLEMENT_PROPERTY(Lenient, VEMO_PROPERTY(kept, L"Kept"))

// A producer's numbered record, large enough to span the queue's memory blocks, with a body
// that tells whether it arrived whole.
class Bulk : public Message {
  VEMO_DECLARE_PROPERTY(Bulk, Message)

 public:
  int producer = 0;
  int sequence = 0;
  std::vector<int> values;
  void importFrom(InputStream& is) override {
    Varint count;
    is >> producer >> sequence >> count;
    if (count.value < 0 || count.value > is.available() / 4)
      throw Exception(L"Bulk", 1, L"Bulk::importFrom", -1, L"bad count");
    values.resize(static_cast<std::size_t>(count.value));
    const int size = count.value * 4;
    if (size > 0 && is.read(values.data(), size) != size)
      throw Exception(L"Bulk", 2, L"Bulk::importFrom", -1, L"values cut short");
  }
  void exportTo(OutputStream& os) const override {
    os << producer << sequence << Varint(static_cast<int>(values.size()));
    os.write(values.data(), static_cast<int>(values.size() * 4));
  }
  static int expected(int producer, int sequence, std::size_t index) {
    return producer * 1000003 + sequence * 31 + static_cast<int>(index);
  }

 protected:
  Bulk() = default;
};
VEMO_IMPLEMENT_PROPERTY(Bulk, VEMO_PROPERTY(producer, L"Producer"),
                        VEMO_PROPERTY(sequence, L"Sequence"), VEMO_PROPERTY(values, L"Values"))

// A number whose reading fails with a standard exception when it is -1 (not the library's).
class Touchy : public Message {
  VEMO_DECLARE_PROPERTY(Touchy, Message)

 public:
  int value = 0;
  void importFrom(InputStream& is) override {
    is >> value;
    if (value == -1) throw std::runtime_error("cannot read -1");
  }
  void exportTo(OutputStream& os) const override { os << value; }

 protected:
  Touchy() = default;
};
VEMO_IMPLEMENT_PROPERTY(Touchy, VEMO_PROPERTY(value, L"Value"))

// Names the owner of a dispenser in its exception.
struct Owner {};

}  // namespace msgtest

namespace {

// Records what a port dispatches: the objects and their texts.
struct Recorder {
  std::vector<std::wstring> texts;
  std::vector<const Message*> objects;
  std::chrono::milliseconds pause{0};
  void onChat(Message* m) {
    texts.push_back(static_cast<Chat*>(m)->text.getBuffer());
    objects.push_back(m);
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  void onMessage(Message*) { texts.push_back(L"Message"); }
  void listen(MessagePort& port) {
    port.getMessageDispenser().addMessageHandler<Chat>(
        MessageDispenser<void>::Handler(this, &Recorder::onChat));
    port.getMessageDispenser().addMessageHandler<Message>(
        MessageDispenser<void>::Handler(this, &Recorder::onMessage));
  }
};

using Texts = std::vector<std::wstring>;

// Counts what producers 0 to 3 sent, and whatever arrives out of its producer's order.
struct Sequences {
  static constexpr int kProducers = 4;
  std::atomic<int> next[kProducers] = {};
  std::atomic<int> dispatched{0}, outOfOrder{0};
  void onNumbered(Message* m) {
    const msgtest::Numbered* n = static_cast<msgtest::Numbered*>(m);
    if (n->producer < 0 || n->producer >= kProducers || n->sequence != next[n->producer].load())
      ++outOfOrder;
    else
      ++next[n->producer];
    ++dispatched;
  }
  void listen(MessagePort& port) {
    port.getMessageDispenser().addMessageHandler<msgtest::Numbered>(
        MessageDispenser<void>::Handler(this, &Sequences::onNumbered));
  }
};

}  // namespace

TEST(MessagePort, QueuesCopiesInOrder) {
  MessagePort port;
  Recorder recorder;
  recorder.listen(port);
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(port.popMessage(), nullptr);
  EXPECT_TRUE(recorder.texts.empty());

  const Handle<Chat> sent = msgtest::chat(L"one", 1, {1, 2});
  EXPECT_TRUE(port.pushMessage(sent));
  sent->text = L"changed";  // after the push: not what arrives
  sent->values.clear();
  EXPECT_TRUE(port.pushMessage(msgtest::chat(L"two", 2)));
  EXPECT_TRUE(port.pushMessage(Message::createInstance()));
  EXPECT_EQ(port.procMessage(1000), 3);
  EXPECT_EQ(recorder.texts, (Texts{L"one", L"two", L"Message"}));
  EXPECT_NE(recorder.objects[0], sent.get());

  // popMessage hands out a new object of the same class and content.
  port.pushMessage(msgtest::chat(L"big", 7, std::vector<int>(5000, 3)));  // over a block
  const Handle<Message> popped = port.popMessage();
  const Chat* chat = dynamic_cast<const Chat*>(popped.get());
  ASSERT_NE(chat, nullptr);
  EXPECT_EQ(chat->values, std::vector<int>(5000, 3));
  EXPECT_EQ(port.popMessage(), nullptr);

  // Destroying a port with queued messages dispatches nothing (and leaks nothing).
  MessagePort dropped;
  recorder.listen(dropped);
  dropped.pushMessage(msgtest::chat(L"never", 0));
}

TEST(MessagePort, NullRecordsAndFailuresEndACall) {
  MessagePort port;
  Recorder recorder;
  recorder.listen(port);
  LogCapture log;
  port.pushMessage(msgtest::chat(L"a", 0));
  EXPECT_TRUE(port.pushMessage(nullptr));
  port.pushMessage(msgtest::chat(L"b", 0));
  port.pushMessage(msgtest::Unhandled::createInstance());
  port.pushMessage(msgtest::chat(L"c", 0));
  port.pushMessage(msgtest::Faulty::createInstance());  // cannot be read back
  port.pushMessage(msgtest::chat(L"d", 0));
  port.pushMessage(Handle<Message>(new msgtest::Stranger));  // a class id nobody registers
  port.pushMessage(msgtest::chat(L"e", 0));
  Handle<msgtest::Faulty> unwritable = msgtest::Faulty::createInstance();
  unwritable->failWriting = true;
  EXPECT_FALSE(port.pushMessage(unwritable));  // reported, nothing queued
  port.pushMessage(msgtest::chat(L"f", 0));
  EXPECT_EQ(log.lines, Texts{L"error: cannot write a Faulty"});

  EXPECT_EQ(port.procMessage(1000), 1);  // stops at the null record
  EXPECT_EQ(port.procMessage(1000), 1);  // b, then the unhandled one is dropped
  EXPECT_EQ(log.lines.back(), L"error: void MessageHandler::dispatchMessage( msgtest::Unhandled )");
  EXPECT_EQ(port.procMessage(1000), 1);  // c, then the Faulty fails to decode
  EXPECT_EQ(log.lines.back(), L"error: cannot read a Faulty");
  EXPECT_EQ(port.procMessage(1000), 1);  // d, then the stranger's id is unknown
  EXPECT_EQ(log.lines.back(), L"error: TyIs& operator >>(TyIs &,vemo::Message::Handle &)");
  // The stranger's body is skipped with its record: the next record is the next message.
  EXPECT_EQ(port.procMessage(1000), 2);
  EXPECT_EQ(recorder.texts, (Texts{L"a", L"b", L"c", L"d", L"e", L"f"}));
  EXPECT_EQ(port.procMessage(1000), 0);
}

TEST(MessageDispenser, RegistrationAndItsException) {
  MessageDispenser<msgtest::Owner> dispenser;
  Recorder recorder;
  const MessageDispenser<msgtest::Owner>::Handler handler(&recorder, &Recorder::onChat);
  EXPECT_TRUE(dispenser.addMessageHandler(Chat::getClassId_(), handler));
  EXPECT_FALSE(dispenser.addMessageHandler<Chat>(
      MessageDispenser<msgtest::Owner>::Handler(&recorder, &Recorder::onMessage)));
  EXPECT_FALSE(dispenser.addMessageHandler(7, {}));
  EXPECT_EQ(dispenser.getMessageHandlerCount(), 1);
  Handle<Chat> chat = msgtest::chat(L"x", 0);
  dispenser.dispatchMessage(chat.get());
  EXPECT_EQ(recorder.texts, Texts{L"x"});  // the first handler stayed
  dispenser.dispatchMessage(nullptr);

  dispenser.removeMessageHandler(Chat::getClassId_());
  dispenser.removeMessageHandler(Chat::getClassId_());
  EXPECT_FALSE(dispenser.hasMessageHandler(Chat::getClassId_()));
  try {
    dispenser.dispatchMessage(chat.get());
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.description(),
                 L"msgtest::Owner MessageHandler::dispatchMessage( msgtest::Chat )");
    EXPECT_STREQ(e.file(), L"MessageDispenser");
    EXPECT_EQ(e.line(), 56);
    EXPECT_EQ(e.code(), -1);
  }

  // A handler that removes itself while it runs.
  struct Once {
    MessageDispenser<void> dispenser;
    int calls = 0;
    void handle(Message*) {
      ++calls;
      dispenser.removeMessageHandler(Chat::getClassId_());
    }
  } once;
  once.dispenser.addMessageHandler<Chat>(MessageDispenser<void>::Handler(&once, &Once::handle));
  once.dispenser.dispatchMessage(chat.get());
  EXPECT_EQ(once.calls, 1);
  EXPECT_EQ(once.dispenser.getMessageHandlerCount(), 0);
}

TEST(MessagePort, TimeBudget) {
  MessagePort port;
  Recorder recorder;
  recorder.listen(port);
  // Handlers of 4 ms and a budget of 10 ms: the third ends past the budget (at 12 ms or later);
  // a slow machine may stop sooner, never later.
  recorder.pause = 4ms;
  for (int i = 0; i < 10; ++i)
    port.pushMessage(msgtest::chat(L"slow", i));
  const int first = port.procMessage(10);
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 3);
  // A budget of 0 still dispatches one message; with handlers that take time, only one.
  recorder.pause = 2ms;
  EXPECT_EQ(port.procMessage(0), 1);
  recorder.pause = 0ms;
  EXPECT_EQ(port.procMessage(100000), 10 - first - 1);

  // The budget is used up only when the time since the call began exceeds it: a budget of 0
  // goes on while the clock has not advanced. A call during which the clock stood still (the
  // clock read the same before and after it) has therefore dispatched everything.
  bool stoodStill = false;
  for (int attempt = 0; attempt < 50 && !stoodStill; ++attempt) {
    recorder.texts.clear();
    for (int i = 0; i < 3; ++i)
      port.pushMessage(msgtest::chat(L"quick", i));
    const unsigned int before = getTimeTick();
    const int dispatched = port.procMessage(0);
    stoodStill = getTimeTick() == before;
    if (stoodStill) {
      EXPECT_EQ(dispatched, 3);
    } else {
      while (port.procMessage(100000) > 0) {
      }
    }
  }
  EXPECT_TRUE(stoodStill);
}

TEST(MessagePort, HandlersMayUseTheirPort) {
  struct Relay {
    MessagePort port;
    Texts seen;
    void onChat(Message* m) {
      const Chat* chat = static_cast<Chat*>(m);
      seen.push_back(chat->text.getBuffer());
      if (chat->number > 0) port.pushMessage(msgtest::chat(L"echo", chat->number - 1));
      if (chat->text == L"take") {
        const Handle<Message> next = port.popMessage();  // the pop lock is re-entrant
        seen.push_back(L"took " + std::wstring(static_cast<Chat*>(next.get())->text.getBuffer()));
      }
    }
  } relay;
  relay.port.getMessageDispenser().addMessageHandler<Chat>(
      MessageDispenser<void>::Handler(&relay, &Relay::onChat));
  vemo::tests::finishWithin(30s, "re-entrant handlers", [&] {
    relay.port.pushMessage(msgtest::chat(L"start", 2));
    EXPECT_EQ(relay.port.procMessage(100000), 3);
    relay.port.pushMessage(msgtest::chat(L"take", 0));
    relay.port.pushMessage(msgtest::chat(L"taken", 0));
    EXPECT_EQ(relay.port.procMessage(100000), 1);
  });
  EXPECT_EQ(relay.seen, (Texts{L"start", L"echo", L"echo", L"take", L"took taken"}));
}

TEST(MessagePort, CopiesShareTheQueueButNotTheHandlersAndPipes) {
  MessagePort port;
  Recorder original, other;
  original.listen(port);
  MessagePort copy(port);
  copy.getMessageDispenser().removeMessageHandler(Message::getClassId_());
  copy.getMessageDispenser().addMessageHandler<Message>(
      MessageDispenser<void>::Handler(&other, &Recorder::onMessage));
  port.pushMessage(msgtest::chat(L"through the copy", 0));
  copy.pushMessage(Message::createInstance());
  EXPECT_EQ(copy.procMessage(1000), 2);
  EXPECT_EQ(original.texts, Texts{L"through the copy"});  // the copied handler
  EXPECT_EQ(other.texts, Texts{L"Message"});
  EXPECT_EQ(port.getMessageDispenser().getMessageHandlerCount(), 2);

  // A moved port takes the handlers; the moved-from one keeps the queue and has none.
  MessagePort moved(std::move(port));
  EXPECT_EQ(port.getMessageDispenser().getMessageHandlerCount(), 0);
  port.pushMessage(msgtest::chat(L"after the move", 0));
  EXPECT_EQ(moved.procMessage(1000), 1);
  LogCapture log;
  port.pushMessage(msgtest::chat(L"nobody", 0));
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(original.texts, (Texts{L"through the copy", L"after the move"}));

  // Copies used from two threads at once: one queue, one consumer at a time.
  MessagePort consumer(moved);
  std::thread producer([&copy] {
    for (int i = 0; i < 2000; ++i)
      copy.pushMessage(Message::createInstance());
  });
  int received = 0;
  vemo::tests::finishWithin(60s, "copies", [&] {
    while (received < 2000)
      received += consumer.procMessage(10);
  });
  producer.join();
  EXPECT_EQ(received, 2000);

  // A pipe: two ports, each with its own queue, copied and moved with them.
  MessagePipe pipe;
  Recorder server, client;
  server.listen(pipe.getServerPort());
  client.listen(pipe.getClientPort());
  pipe.getServerPort().pushMessage(msgtest::chat(L"to the server", 0));
  const MessagePipe& view = pipe;
  MessagePipe pipeCopy(view);
  pipeCopy.getClientPort().pushMessage(msgtest::chat(L"to the client", 0));
  EXPECT_EQ(view.getServerPort().getMessageDispenser().getMessageHandlerCount(), 2);
  EXPECT_EQ(pipe.getClientPort().procMessage(1000), 1);
  EXPECT_EQ(pipeCopy.getServerPort().procMessage(1000), 1);
  EXPECT_EQ(server.texts, Texts{L"to the server"});
  EXPECT_EQ(client.texts, Texts{L"to the client"});
  MessagePipe pipeMoved(std::move(pipeCopy));
  EXPECT_EQ(pipeMoved.getServerPort().procMessage(1000), 0);
}

TEST(MessagePort, ManyProducersOneConsumer) {
#if defined(VEMO_TEST_TSAN)
  constexpr int kPerProducer = 5000;
#else
  constexpr int kPerProducer = 250000;
#endif
  constexpr int kProducers = Sequences::kProducers;
  Sequences checker;
  MessagePort port;
  checker.listen(port);
  std::atomic<int> failedPushes{0};
  vemo::tests::finishWithin(300s, "many producers", [&] {
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&port, &failedPushes, p] {
        Handle<msgtest::Numbered> message = msgtest::Numbered::createInstance();
        message->producer = p;
        for (int i = 0; i < kPerProducer; ++i) {
          message->sequence = i;  // the same object, changed after each push
          if (!port.pushMessage(message)) ++failedPushes;
        }
      });
    while (checker.dispatched < kProducers * kPerProducer && checker.outOfOrder == 0)
      port.procMessage(5);
    for (std::thread& producer : producers)
      producer.join();
  });
  EXPECT_EQ(failedPushes.load(), 0);
  EXPECT_EQ(checker.outOfOrder.load(), 0);
  EXPECT_EQ(checker.dispatched.load(), kProducers * kPerProducer);
  for (int p = 0; p < kProducers; ++p)
    EXPECT_EQ(checker.next[p].load(), kPerProducer);
  EXPECT_EQ(port.procMessage(1000), 0);
}

namespace {

// A system whose one task serves a port on every pass, the way an application's consumer does.
class PortSystem : public System {
 public:
  static Handle<PortSystem> createInstance(MessagePort& port) {
    return Handle<PortSystem>(new PortSystem(port));
  }
  bool init() override {
    if (!System::init()) return false;
    Handle<Server> server(new Server(_port));
    return server->start(this) && Yield::createInstance(0)->start(this);
  }

 private:
  struct Server : System::Task {
    explicit Server(MessagePort& port) : port(port) {}
    void onTick(unsigned int) override { port.procMessage(2); }
    MessagePort& port;
  };
  explicit PortSystem(MessagePort& port) : _port(port) {}
  MessagePort& _port;
};

}  // namespace

TEST(MessagePort, ShutdownUnderLoadLosesNothingAccepted) {
#if defined(VEMO_TEST_TSAN)
  constexpr int kBacklog = 2000;
#else
  constexpr int kBacklog = 100000;
#endif
  constexpr int kProducers = 3;
  Sequences counter;
  MessagePort port;
  counter.listen(port);

  // The port is full before the consumer starts, and producers keep pushing through the
  // shutdown.
  std::atomic<int> accepted[kProducers] = {};
  auto push = [&](int producer) {
    Handle<msgtest::Numbered> message = msgtest::Numbered::createInstance();
    message->producer = producer;
    message->sequence = accepted[producer].load();
    if (port.pushMessage(message)) ++accepted[producer];
  };
  for (int i = 0; i < kBacklog; ++i)
    push(i % kProducers);
  std::atomic<bool> producing{true};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      while (producing.load())
        push(p);
    });

  Handle<Thread> thread = Thread::createInstance();
  Handle<PortSystem> system = PortSystem::createInstance(port);
  ASSERT_TRUE(thread->start(system));
  std::this_thread::sleep_for(50ms);
  vemo::tests::finishWithin(std::chrono::seconds(10), "shutdown of a busy system",
                            [&] { EXPECT_TRUE(thread->shutdown()); });
  EXPECT_EQ(system->getState(), System::ES_UNLOADED);
  EXPECT_TRUE(thread->getSystem().isNull());
  producing = false;
  for (std::thread& producer : producers)
    producer.join();

  // Whatever was accepted and not dispatched is still queued, in order.
  int drained = 0;
  for (int served; (served = port.procMessage(1000)) > 0;)
    drained += served;
  EXPECT_GT(drained, 0);
  EXPECT_EQ(counter.outOfOrder.load(), 0);
  for (int p = 0; p < kProducers; ++p)
    EXPECT_EQ(counter.next[p].load(), accepted[p].load()) << "producer " << p;
}

// A record that fails to decode is skipped whole: what its body holds is never read as records
// of their own, and the next record is dispatched as usual. A record read back short is also
// skipped to its end, and one that reads past its end fails instead of reading the next.
TEST(MessagePort, RecordsAreFramedAndAFailedOneIsSkippedWhole) {
  MessagePort port;
  Recorder recorder;
  recorder.listen(port);
  std::vector<std::wstring> commands;
  struct Guard {
    std::vector<std::wstring>* commands;
    void onAdmin(Message* m) {
      commands->push_back(static_cast<msgtest::Admin*>(m)->command.getBuffer());
    }
    void onLogin(Message* m) {
      commands->push_back(L"login " + std::to_wstring(static_cast<msgtest::Login*>(m)->level));
    }
    void onLenient(Message* m) {
      commands->push_back(L"lenient " + std::to_wstring(static_cast<msgtest::Lenient*>(m)->kept));
    }
  } guard{&commands};
  port.getMessageDispenser().addMessageHandler<msgtest::Admin>(
      MessageDispenser<void>::Handler(&guard, &Guard::onAdmin));
  port.getMessageDispenser().addMessageHandler<msgtest::Login>(
      MessageDispenser<void>::Handler(&guard, &Guard::onLogin));
  port.getMessageDispenser().addMessageHandler<msgtest::Lenient>(
      MessageDispenser<void>::Handler(&guard, &Guard::onLenient));

  // The record of an Admin message, as bytes that fit in a nick.
  Handle<msgtest::Admin> admin = msgtest::Admin::createInstance();
  admin->command = L"grant everything";
  Handle<MemoryStream> bytes = MemoryStream::createInstance();
  {
    OutputStream os(bytes.get());
    os << Handle<Message>(admin);
  }
  std::string record(static_cast<std::size_t>(bytes->available()), '\0');
  ASSERT_EQ(bytes->read(&record[0], static_cast<int>(record.size())),
            static_cast<int>(record.size()));
  ASSERT_GT(record.size(), 16u);

  LogCapture log;
  Handle<msgtest::Login> login = msgtest::Login::createInstance();
  login->nick = String_T<char>(record.data(), static_cast<int>(record.size()));
  login->level = 3;
  ASSERT_TRUE(port.pushMessage(login));
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"after the login", 1)));
  Handle<msgtest::Lenient> lenient = msgtest::Lenient::createInstance();
  lenient->kept = 9;
  lenient->extra = String_T<char>(record.data(), static_cast<int>(record.size()));
  ASSERT_TRUE(port.pushMessage(lenient));
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"after the lenient one", 2)));
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"last", 3)));

  EXPECT_EQ(port.procMessage(1000), 0);  // the login fails to decode
  EXPECT_EQ(log.lines, Texts{L"error: nick too long"});
  for (int calls = 0; calls < 10 && port.procMessage(1000) > 0; ++calls) {
  }
  EXPECT_EQ(recorder.texts, (Texts{L"after the login", L"after the lenient one", L"last"}));
  EXPECT_EQ(commands, Texts{L"lenient 9"});  // never the admin message
  EXPECT_EQ(port.popMessage(), nullptr);

  // A body that reads past its own record fails there, and the next record is still whole.
  struct Greedy : msgtest::Chat {
    Greedy() = default;
    void exportTo(OutputStream& os) const override { os << text << number << Varint(2); }
  };
  Handle<Greedy> greedy(new Greedy);
  greedy->text = L"greedy";
  ASSERT_TRUE(port.pushMessage(greedy));
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"whole", 5, {7, 8})));
  recorder.texts.clear();
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(log.lines.back(), L"error: InputStream& operator>>(InputStream&, container)");
  EXPECT_EQ(port.procMessage(1000), 1);
  EXPECT_EQ(recorder.texts, Texts{L"whole"});
}

// The consumer takes the pushed bytes over whenever its own side runs empty, which it does after
// every record here, while producers append large records: a take-over that does not exclude
// the producers' appends loses, duplicates or tears records.
TEST(MessagePort, TakingOverPushedBytesExcludesTheProducers) {
#if defined(VEMO_TEST_TSAN)
  constexpr int kPerProducer = 2000;
#else
  constexpr int kPerProducer = 30000;
#endif
  constexpr int kProducers = 3, kValues = 700;
  MessagePort port;
  std::atomic<int> failedPushes{0};
  int received = 0, torn = 0, outOfOrder = 0;
  int next[kProducers] = {};
  LogCapture log;
  vemo::tests::finishWithin(300s, "taking over pushed bytes", [&] {
    std::atomic<int> finished{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&, p] {
        Handle<msgtest::Bulk> message = msgtest::Bulk::createInstance();
        message->producer = p;
        message->values.resize(kValues);
        for (int i = 0; i < kPerProducer; ++i) {
          message->sequence = i;
          for (std::size_t v = 0; v < message->values.size(); ++v)
            message->values[v] = msgtest::Bulk::expected(p, i, v);
          if (!port.pushMessage(message)) ++failedPushes;
        }
        ++finished;
      });
    // Until every producer is done and the queue is empty.
    for (;;) {
      const bool done = finished.load() == kProducers;  // all they pushed is queued by now
      const Handle<Message> message = port.popMessage();
      if (!message) {
        if (done) break;
        continue;
      }
      const msgtest::Bulk* bulk = dynamic_cast<const msgtest::Bulk*>(message.get());
      ++received;
      if (!bulk || bulk->producer < 0 || bulk->producer >= kProducers ||
          bulk->values.size() != static_cast<std::size_t>(kValues)) {
        ++torn;
        continue;
      }
      for (std::size_t v = 0; v < bulk->values.size(); ++v)
        if (bulk->values[v] != msgtest::Bulk::expected(bulk->producer, bulk->sequence, v)) {
          ++torn;
          break;
        }
      if (bulk->sequence != next[bulk->producer]) ++outOfOrder;
      next[bulk->producer] = bulk->sequence + 1;
    }
    for (std::thread& producer : producers)
      producer.join();
  });
  EXPECT_EQ(failedPushes.load(), 0);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(received, kProducers * kPerProducer);
  for (int p = 0; p < kProducers; ++p)
    EXPECT_EQ(next[p], kPerProducer);
  int errors = 0;
  for (const std::wstring& line : log.lines)
    errors += line.compare(0, 7, L"error: ") == 0;
  EXPECT_EQ(errors, 0);
}

namespace {

// A consumer that does not poll: it waits when idle, and its one task serves the port when the
// system is woken, which a push into the bound port does.
class WaitingConsumer : public System {
 public:
  static Handle<WaitingConsumer> createInstance(MessagePort& port) {
    return Handle<WaitingConsumer>(new WaitingConsumer(port));
  }
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    _port.bind(this);
    return Handle<Server>(new Server(*this))->start(this);
  }
  void exit() override {
    _port.unbind();
    System::exit();
  }
  void onTick(unsigned int elapsed) override {
    ++passes;
    System::onTick(elapsed);
  }
  std::atomic<int> passes{0};

 private:
  struct Server : System::Task {
    explicit Server(WaitingConsumer& owner) : owner(owner) {}
    void onTick(unsigned int) override { owner._port.procMessage(std::chrono::milliseconds(2)); }
    unsigned int nextDue() const override { return kDueOnWake; }
    WaitingConsumer& owner;
  };
  explicit WaitingConsumer(MessagePort& port) : _port(port) {}
  MessagePort& _port;
};

}  // namespace

// A push into a bound port wakes its sleeping consumer at once; a push racing with the consumer
// going to sleep is never lost (one message at a time, each waited for, so every push meets the
// consumer somewhere between its last dispatch and its sleep); a port unbound wakes nobody, and
// binding it again wakes the consumer for what was pushed meanwhile.
TEST(MessagePort, BoundPortWakesItsWaitingConsumerAndNoPushIsLost) {
#if defined(VEMO_TEST_TSAN)
  constexpr int kRounds = 500;
  constexpr int kBurst = 500;
#else
  constexpr int kRounds = 5000;
  constexpr int kBurst = 5000;
#endif
  vemo::tests::finishWithin(std::chrono::seconds(120), "waiting consumer", [&] {
    Sequences counter;
    MessagePort port;
    counter.listen(port);
    Handle<Thread> thread = Thread::createInstance();
    Handle<WaitingConsumer> system = WaitingConsumer::createInstance(port);
    ASSERT_TRUE(thread->start(system));
    ASSERT_TRUE(vemo::tests::eventually([&] { return port.getBoundSystem() == system.get(); }));
    std::this_thread::sleep_for(30ms);
    const int atRest = system->passes.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(system->passes.load(), atRest);

    auto push = [&](int producer, int sequence) {
      Handle<msgtest::Numbered> message = msgtest::Numbered::createInstance();
      message->producer = producer;
      message->sequence = sequence;
      return port.pushMessage(message);
    };
    int lost = 0;
    long long slowest = 0;
    for (int i = 0; i < kRounds && lost == 0; ++i) {
      const auto begin = std::chrono::steady_clock::now();
      ASSERT_TRUE(push(0, i));
      while (counter.dispatched.load() != i + 1) {
        if (vemo::tests::millisecondsSince(begin) > 5000) {
          ++lost;
          break;
        }
        std::this_thread::yield();
      }
      const long long took = vemo::tests::millisecondsSince(begin);
      if (took > slowest) slowest = took;
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(counter.outOfOrder.load(), 0);
    // A wake-up, not a poll: far below the 5 s that a lost one would take.
    EXPECT_LT(slowest, 1000);

    // Several producers at once, without waiting.
    std::vector<std::thread> producers;
    for (int p = 1; p < Sequences::kProducers; ++p)
      producers.emplace_back([&, p] {
        for (int i = 0; i < kBurst; ++i)
          push(p, i);
      });
    for (std::thread& producer : producers)
      producer.join();
    const int expected = kRounds + (Sequences::kProducers - 1) * kBurst;
    EXPECT_TRUE(vemo::tests::eventually([&] { return counter.dispatched.load() == expected; }));
    EXPECT_EQ(counter.outOfOrder.load(), 0);

    // Unbound: the push stays queued while the consumer sleeps; bound again, it is served.
    port.unbind();
    EXPECT_EQ(port.getBoundSystem(), nullptr);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(push(0, kRounds));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(counter.dispatched.load(), expected);
    port.bind(system);
    EXPECT_TRUE(vemo::tests::eventually([&] { return counter.dispatched.load() == expected + 1; }));

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread->shutdown());
    EXPECT_LT(vemo::tests::millisecondsSince(begin), 100);
    EXPECT_EQ(port.getBoundSystem(), nullptr);
  });
}

namespace {

// A consumer that waits until woken and then serves its port once per pass, with the budget it
// is given: whatever a call leaves must come back to it through a wake-up.
class OncePerWake : public System {
 public:
  static Handle<OncePerWake> createInstance(MessagePort& port) {
    return Handle<OncePerWake>(new OncePerWake(port));
  }
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    return Handle<Server>(new Server(*this))->start(this);
  }
  std::atomic<unsigned int> budget{1000};

 private:
  struct Server : System::Task {
    explicit Server(OncePerWake& owner) : owner(owner) {}
    void onTick(unsigned int) override { owner._port.procMessage(owner.budget.load()); }
    unsigned int nextDue() const override { return kDueOnWake; }
    OncePerWake& owner;
  };
  explicit OncePerWake(MessagePort& port) : _port(port) {}
  MessagePort& _port;
};

// What a Touchy consumer saw; a value of -2 makes its handler throw a standard exception, one
// of 100 or more makes it take 3 ms.
struct TouchyRecorder {
  std::mutex lock;
  std::vector<int> values;
  void onTouchy(msgtest::Touchy& m) {
    if (m.value == -2) throw std::runtime_error("cannot handle -2");
    if (m.value >= 100) std::this_thread::sleep_for(3ms);
    std::lock_guard<std::mutex> guard(lock);
    values.push_back(m.value);
  }
  std::vector<int> seen() {
    std::lock_guard<std::mutex> guard(lock);
    return values;
  }
};

}  // namespace

// Records left behind by a procMessage come back to a bound consumer that waits for wake-ups,
// whatever ended the call: a null record, a handler or an importFrom throwing a standard
// exception, the budget. Each round is queued unbound and then bound, which wakes the consumer
// exactly once: all that follows comes from what the port tells it.
TEST(MessagePort, ABoundConsumerIsToldOfWhatACallLeft) {
  vemo::tests::finishWithin(std::chrono::seconds(200), "left-over records", [&] {
    MessagePort port;
    TouchyRecorder recorder;
    port.getMessageDispenser().addMessageHandler<msgtest::Touchy>(MessageDispenser<void>::Handler(
        [&](Message* m) { recorder.onTouchy(*static_cast<msgtest::Touchy*>(m)); }));
    LogCapture log;
    Handle<Thread> thread = Thread::createInstance();
    Handle<OncePerWake> consumer = OncePerWake::createInstance(port);
    ASSERT_TRUE(thread->start(consumer));
    const auto round = [&](std::vector<int> values) {
      port.unbind();
      for (int value : values) {
        if (value == 0) {
          ASSERT_TRUE(port.pushMessage(nullptr));
          continue;
        }
        Handle<msgtest::Touchy> m = msgtest::Touchy::createInstance();
        m->value = value;
        ASSERT_TRUE(port.pushMessage(m));
      }
      port.bind(consumer);
    };
    const auto seen = [&](std::vector<int> expected) {
      return vemo::tests::eventually([&] { return recorder.seen() == expected; });
    };
    round({1, 0, 2, 3});
    EXPECT_TRUE(seen({1, 2, 3})) << "after a null record";
    round({-1, 4, 5});
    EXPECT_TRUE(seen({1, 2, 3, 4, 5})) << "after a failing importFrom";
    round({-2, 6, 7});
    EXPECT_TRUE(seen({1, 2, 3, 4, 5, 6, 7})) << "after a failing handler";
    // A budget of 0 with handlers of 3 ms: one message a call.
    consumer->budget = 0;
    round({100, 101, 102, 103});
    EXPECT_TRUE(seen({1, 2, 3, 4, 5, 6, 7, 100, 101, 102, 103})) << "after the budget";
    EXPECT_TRUE(thread->shutdown());
    EXPECT_EQ(log.lines, (Texts{L"error: Unhandled exception in a tick: cannot read -1",
                                L"error: Unhandled exception in a tick: cannot handle -2"}));
  });
}

// A handler may let go of the last copy of its port: the call ends after it, with the queue's
// lock released on a queue that still exists, and nothing queued is dispatched.
TEST(MessagePort, AHandlerMayDestroyItsPort) {
  auto port = std::make_unique<MessagePort>();
  int calls = 0;
  port->getMessageDispenser().addMessageHandler<Chat>(
      MessageDispenser<void>::Handler([&](Message*) {
        ++calls;
        port.reset();
      }));
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(port->pushMessage(msgtest::chat(L"x", i)));
  MessagePort* raw = port.get();
  EXPECT_EQ(raw->procMessage(1000), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(port, nullptr);

  // The same inside a nested call of the same port, through a copy that outlives it.
  auto outer = std::make_unique<MessagePort>();
  MessagePort survivor(*outer);
  int nested = 0;
  outer->getMessageDispenser().addMessageHandler<Chat>(
      MessageDispenser<void>::Handler([&](Message* m) {
        ++nested;
        if (static_cast<Chat*>(m)->number == 0) {
          outer->procMessage(1000);  // the next one: it destroys the port
        } else {
          outer.reset();
        }
      }));
  for (int i = 0; i < 4; ++i)
    ASSERT_TRUE(outer->pushMessage(msgtest::chat(L"y", i)));
  EXPECT_EQ(outer->procMessage(1000), 1);
  EXPECT_EQ(nested, 2);
  EXPECT_EQ(outer, nullptr);
  // The other two are still queued, for the copy.
  EXPECT_EQ(survivor.popMessage()->getClassId(), Chat::getClassId_());
  EXPECT_EQ(survivor.popMessage()->getClassId(), Chat::getClassId_());
  EXPECT_EQ(survivor.popMessage(), nullptr);
}

namespace {

// Binds its own port in init and never unbinds it, as a program would; counts its destructions.
class SelfBound : public System {
 public:
  static Handle<SelfBound> createInstance() { return Handle<SelfBound>(new SelfBound()); }
  ~SelfBound() override { ++g_destroyed; }
  bool init() override {
    if (!System::init()) return false;
    setIdleWait(true);
    port.bind(this);
    return true;
  }
  MessagePort port;
  static std::atomic<int> g_destroyed;

 private:
  SelfBound() = default;
};
std::atomic<int> SelfBound::g_destroyed{0};

}  // namespace

// A binding does not keep its system alive: a system that binds its own port and never unbinds
// it is destroyed with its last handle, after a run or without one, and copies of the port that
// outlive it are bound to nothing (pushes into them notify nobody).
TEST(MessagePort, ABindingDoesNotKeepItsSystemAlive) {
  SelfBound::g_destroyed = 0;
  std::unique_ptr<MessagePort> survivor;
  {
    Handle<SelfBound> system = SelfBound::createInstance();
    Handle<Thread> thread = Thread::createInstance();
    ASSERT_TRUE(thread->start(system));
    ASSERT_TRUE(vemo::tests::eventually([&] { return system->port.getBoundSystem() != nullptr; }));
    survivor = std::make_unique<MessagePort>(system->port);
    EXPECT_EQ(survivor->getBoundSystem(), system.get());
    EXPECT_TRUE(survivor->pushMessage(msgtest::chat(L"while it runs", 1)));
    EXPECT_TRUE(thread->shutdown());
    EXPECT_EQ(system->getReferenceCount(), 1u);
  }
  EXPECT_EQ(SelfBound::g_destroyed.load(), 1);
  EXPECT_EQ(survivor->getBoundSystem(), nullptr);
  EXPECT_TRUE(survivor->pushMessage(msgtest::chat(L"after", 2)));
  EXPECT_EQ(survivor->popMessage()->getClassId(), Chat::getClassId_());

  // Bound to another system, then to this one: only the last binding counts, and neither keeps
  // its system.
  {
    Handle<SelfBound> first = SelfBound::createInstance();
    Handle<SelfBound> second = SelfBound::createInstance();
    survivor->bind(first);
    survivor->bind(second);
    EXPECT_EQ(survivor->getBoundSystem(), second.get());
    first = nullptr;
    EXPECT_EQ(SelfBound::g_destroyed.load(), 2);
    EXPECT_EQ(survivor->getBoundSystem(), second.get());
    second = nullptr;
    EXPECT_EQ(SelfBound::g_destroyed.load(), 3);
    EXPECT_EQ(survivor->getBoundSystem(), nullptr);
  }

  // Pushes racing with the destruction of the bound system: each either notifies it whole or
  // finds it gone.
  for (int round = 0; round < 50; ++round) {
    Handle<SelfBound> system = SelfBound::createInstance();
    MessagePort port;
    port.bind(system);
    std::atomic<bool> go{false};
    std::thread pusher([&] {
      while (!go.load()) {
      }
      for (int i = 0; i < 200; ++i)
        port.pushMessage(nullptr);
    });
    go = true;
    system = nullptr;
    pusher.join();
    EXPECT_EQ(port.getBoundSystem(), nullptr);
  }
}

namespace {

// A worker that serves its port in one call: no task of its own, no unbind in exit.
class Served : public System {
 public:
  static Handle<Served> createInstance(std::function<bool(Served*)> serve) {
    return Handle<Served>(new Served(std::move(serve)));
  }
  ~Served() override { ++g_destroyed; }
  bool init() override { return System::init() && _serve(this); }
  void onTick(unsigned int elapsed) override {
    ++passes;
    System::onTick(elapsed);
  }
  std::atomic<int> passes{0};
  static std::atomic<int> g_destroyed;

 private:
  explicit Served(std::function<bool(Served*)> serve) : _serve(std::move(serve)) {}
  std::function<bool(Served*)> _serve;
};
std::atomic<int> Served::g_destroyed{0};

}  // namespace

// Handlers that take the message as its own class, by reference or const reference, beside the
// Message* kind; and a port served by one call: the system waits idle, wakes for each push,
// serves what a call left, and at its exit unbinds the port without being kept alive by it.
TEST(MessagePort, TypedHandlersAndAServedPort) {
  MessagePort port;
  std::vector<std::wstring> seen;
  std::mutex lock;
  const auto note = [&](std::wstring text) {
    std::lock_guard<std::mutex> guard(lock);
    seen.push_back(std::move(text));
  };
  EXPECT_TRUE(port.getMessageDispenser().addMessageHandler<Chat>(
      [&](Chat& chat) { note(L"chat " + std::wstring(chat.text.getBuffer())); }));
  EXPECT_TRUE(port.getMessageDispenser().addMessageHandler<msgtest::Touchy>(
      [&](const msgtest::Touchy& m) { note(L"touchy " + std::to_wstring(m.value)); }));
  EXPECT_TRUE(port.getMessageDispenser().addMessageHandler<Message>(
      [&](Message* m) { note(m->getClassId() == Message::getClassId_() ? L"bare" : L"?"); }));
  // One handler per class id, whatever its kind.
  EXPECT_FALSE(port.getMessageDispenser().addMessageHandler<Chat>([](const Chat&) {}));

  Served::g_destroyed = 0;
  {
    Handle<Served> system = Served::createInstance(
        [&](Served* s) { return port.serveOn(s, std::chrono::milliseconds(0)); });
    Handle<Thread> thread = Thread::createInstance();
    EXPECT_FALSE(port.serveOn(system, 5));  // not initialised
    ASSERT_TRUE(thread->start(system));
    ASSERT_TRUE(vemo::tests::eventually([&] { return port.getBoundSystem() == system.get(); }));
    EXPECT_TRUE(system->getIdleWait());
    vemo::tests::pause(30);
    const int atRest = system->passes.load();
    vemo::tests::pause(100);
    EXPECT_EQ(system->passes.load(), atRest);  // it waits

    Handle<msgtest::Touchy> touchy = msgtest::Touchy::createInstance();
    touchy->value = 7;
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"one", 1)));
    ASSERT_TRUE(port.pushMessage(touchy));
    ASSERT_TRUE(port.pushMessage(Message::createInstance()));
    // A budget of 0 may leave messages after each call: they are served all the same.
    for (int i = 0; i < 50; ++i)
      ASSERT_TRUE(port.pushMessage(msgtest::chat(L"more", i)));
    EXPECT_TRUE(vemo::tests::eventually([&] {
      std::lock_guard<std::mutex> guard(lock);
      return seen.size() == 53;
    }));
    EXPECT_EQ(std::vector<std::wstring>(seen.begin(), seen.begin() + 3),
              (Texts{L"chat one", L"touchy 7", L"bare"}));
    EXPECT_TRUE(thread->shutdown());
    EXPECT_EQ(port.getBoundSystem(), nullptr);  // unbound by the exit
    // Once exited it may be served again, on another run.
    ASSERT_TRUE(thread->start(system));
    ASSERT_TRUE(vemo::tests::eventually([&] { return port.getBoundSystem() == system.get(); }));
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"again", 2)));
    EXPECT_TRUE(vemo::tests::eventually([&] {
      std::lock_guard<std::mutex> guard(lock);
      return seen.back() == L"chat again";
    }));
    EXPECT_TRUE(thread->shutdown());
  }
  EXPECT_EQ(Served::g_destroyed.load(), 1);

  // A port destroyed on the run thread while served is no longer served: the task stays, idle.
  auto doomed = std::make_unique<MessagePort>();
  int handled = 0;
  doomed->getMessageDispenser().addMessageHandler<Chat>([&](Chat&) { ++handled; });
  MessagePort other(*doomed);
  Handle<Served> system = Served::createInstance([&](Served* s) { return doomed->serveOn(s, 10); });
  Handle<Thread> thread = Thread::createInstance();
  ASSERT_TRUE(thread->start(system));
  ASSERT_TRUE(vemo::tests::eventually([&] { return other.getBoundSystem() == system.get(); }));
  std::atomic<bool> gone{false};
  ASSERT_TRUE(vemo::postThreadCall(system->getRunThreadId(), [&] {
    doomed.reset();
    gone = true;
  }));
  ASSERT_TRUE(vemo::tests::eventually([&] { return gone.load(); }));
  ASSERT_TRUE(other.pushMessage(msgtest::chat(L"late", 1)));
  vemo::tests::pause(50);
  EXPECT_EQ(handled, 0);
  EXPECT_TRUE(thread->shutdown());
  EXPECT_NE(other.popMessage(), nullptr);
}

namespace {

// Hands the port prepared batches, one per call, and notes where the consumer stood each time:
// the messages dispatched so far and whether a record was still queued (it must not be).
class BatchFeeder final : public MessageFeeder {
 public:
  BatchFeeder(MessagePort& port, std::vector<std::vector<std::wstring>> batches,
              std::vector<std::wstring>& seen)
      : _port(port), _batches(std::move(batches)), _seen(seen) {}
  ~BatchFeeder() override { ++g_destroyed; }
  bool feed() override {
    calls.push_back(_seen.size());
    if (inner) inner();
    if (_next >= _batches.size()) return lie;
    for (const std::wstring& text : _batches[_next])
      _port.pushMessage(msgtest::chat(text.c_str(), 0));
    ++_next;
    return true;
  }
  std::vector<std::size_t> calls;  // how many were dispatched at each call
  bool lie = false;                // true: says it queued when it did not
  std::function<void()> inner;     // runs inside each call
  static int g_destroyed;

 private:
  MessagePort _port;
  std::vector<std::vector<std::wstring>> _batches;
  std::size_t _next = 0;
  std::vector<std::wstring>& _seen;
};
int BatchFeeder::g_destroyed = 0;

}  // namespace

// A port with a feeder asks it for more only when both queues are empty, dispatches what it
// queued in the same call and in its order behind what was pushed before, asks once per empty
// finding (a feeder that claims to have queued and did not cannot hold the consumer), is asked by
// popMessage and by the copies of the port, never from inside its own feed, and lets go of the
// feeder when it is replaced.
TEST(MessagePort, AFeederIsAskedWhenTheQueueRunsDry) {
  MessagePort port;
  std::vector<std::wstring> seen;
  port.getMessageDispenser().addMessageHandler<Chat>(
      [&](Chat& chat) { seen.push_back(chat.text.getBuffer()); });
  BatchFeeder::g_destroyed = 0;
  Handle<BatchFeeder> feeder(
      new BatchFeeder(port, {{L"c", L"d"}, {L"e"}, {L"f"}, {L"g", L"h"}}, seen));
  port.setFeeder(feeder);
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"a", 0)));
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"b", 0)));

  // a and b, then each batch as the queue runs dry again, until the feeder has none.
  EXPECT_EQ(port.procMessage(1000), 8);
  EXPECT_EQ(seen, (Texts{L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"h"}));
  EXPECT_EQ(feeder->calls, (std::vector<std::size_t>{2, 4, 5, 6, 8}));

  // Nothing queued, a feeder with nothing: one question per call.
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(port.popMessage(), nullptr);
  EXPECT_EQ(feeder->calls.size(), 7u);
  // A feeder that claims to have queued: asked once, and the call ends.
  feeder->lie = true;
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(feeder->calls.size(), 8u);
  feeder->lie = false;

  // Asked through a copy too, and by popMessage, which takes what it queued; a pop inside the
  // feed (as a released message's destructor may do) does not ask again.
  MessagePort copy(port);
  Handle<BatchFeeder> second(new BatchFeeder(port, {{L"i", L"j"}, {L"k"}}, seen));
  std::vector<Handle<Message>> innerPops;
  second->inner = [&] { innerPops.push_back(copy.popMessage()); };
  copy.setFeeder(second);
  EXPECT_EQ(BatchFeeder::g_destroyed, 0);  // the old one is still held here
  feeder = nullptr;
  EXPECT_EQ(BatchFeeder::g_destroyed, 1);  // ... and only here
  Handle<Message> popped = copy.popMessage();
  ASSERT_TRUE(popped);
  EXPECT_EQ(std::wstring(static_cast<Chat*>(popped.get())->text.getBuffer()), L"i");
  ASSERT_EQ(innerPops.size(), 1u);
  EXPECT_FALSE(innerPops[0]);
  EXPECT_EQ(second->calls.size(), 1u);
  // j is queued: no question; then k comes from the feeder.
  EXPECT_EQ(port.procMessage(1000), 2);
  EXPECT_EQ(seen.back(), L"k");
  EXPECT_EQ(second->calls.size(), 3u);  // after j, after k

  // Removed only by itself: removing another leaves it asked.
  Handle<BatchFeeder> stranger(new BatchFeeder(port, {}, seen));
  port.removeFeeder(stranger);
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(second->calls.size(), 4u);
  EXPECT_TRUE(stranger->calls.empty());
  stranger = nullptr;
  EXPECT_EQ(BatchFeeder::g_destroyed, 2);
  // Removed: not asked again, and released.
  port.removeFeeder(second);
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"l", 0)));
  EXPECT_EQ(port.procMessage(1000), 1);
  EXPECT_EQ(second->calls.size(), 4u);
  second = nullptr;
  EXPECT_EQ(BatchFeeder::g_destroyed, 3);
  // setFeeder(nullptr) removes whichever is set.
  Handle<BatchFeeder> last(new BatchFeeder(port, {}, seen));
  port.setFeeder(last);
  port.setFeeder(nullptr);
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_TRUE(last->calls.empty());
}

// notifyConsumer wakes the bound system without queueing anything, and says whether there was
// one to wake.
TEST(MessagePort, NotifyConsumerWakesTheBoundSystem) {
  vemo::tests::finishWithin(std::chrono::seconds(60), "notifyConsumer", [&] {
    MessagePort port;
    EXPECT_FALSE(port.notifyConsumer());
    std::vector<std::wstring> seen;
    port.getMessageDispenser().addMessageHandler<Chat>(
        [&](Chat& chat) { seen.push_back(chat.text.getBuffer()); });
    // A feeder whose messages reach a sleeping consumer only through its wake-up.
    std::atomic<int> asked{0};
    std::atomic<bool> ready{false};
    struct Source final : MessageFeeder {
      Source(MessagePort& port, std::atomic<int>& asked, std::atomic<bool>& ready)
          : port(port), asked(asked), ready(ready) {}
      bool feed() override {
        ++asked;
        if (!ready.exchange(false)) return false;
        return port.pushMessage(msgtest::chat(L"fed", asked.load()));
      }
      MessagePort port;
      std::atomic<int>& asked;
      std::atomic<bool>& ready;
    };
    port.setFeeder(Handle<MessageFeeder>(new Source(port, asked, ready)));
    Handle<Thread> thread = Thread::createInstance();
    Handle<OncePerWake> consumer = OncePerWake::createInstance(port);
    ASSERT_TRUE(thread->start(consumer));
    port.bind(consumer);
    ASSERT_TRUE(vemo::tests::eventually([&] { return asked.load() >= 1; }));  // the first pass
    for (int round = 0; round < 20; ++round) {
      const int before = asked.load();
      ready = true;
      EXPECT_TRUE(port.notifyConsumer());
      ASSERT_TRUE(vemo::tests::eventually([&] { return asked.load() > before && !ready; }))
          << "round " << round;
    }
    EXPECT_TRUE(thread->shutdown());
    port.unbind();
    EXPECT_FALSE(port.notifyConsumer());
    port.setFeeder(nullptr);
    EXPECT_EQ(seen.size(), 20u);
  });
}

namespace {

// Hands over what the test gives it, optionally after pushing one message of its own the usual
// way (as another thread may push while the consumer feeds).
class HandingFeeder final : public MessageFeeder {
 public:
  explicit HandingFeeder(MessagePort& port) : _port(port) {}
  bool feed() override {
    if (batch.empty()) return false;
    if (first) _port.pushMessage(first);
    first = nullptr;
    std::vector<MessageOrigin*> pointers;
    for (const Handle<MessageOrigin>& origin : origins)
      pointers.push_back(origin.get());
    const int queued = _port.handOverMessages(
        batch.data(), pointers.empty() ? nullptr : pointers.data(), static_cast<int>(batch.size()));
    for (const Handle<Message>& message : batch)
      emptied = emptied && !message;
    batch.clear();
    origins.clear();
    return queued > 0;
  }
  std::vector<Handle<Message>> batch;
  std::vector<Handle<MessageOrigin>> origins;
  Handle<Message> first;
  bool emptied = true;

 private:
  MessagePort _port;
};

struct CountedOrigin final : MessageOrigin {
  void delivered() override { ++count; }
  int count = 0;
};

}  // namespace

// What a feed hands over reaches the handlers as the very objects, in order, with their origins
// told; a message that the feed's caller still holds elsewhere is copied as always; and what
// another thread queued before the feed's hand-over is dispatched before it.
TEST(MessagePort, WhatAFeedHandsOverKeepsItsPlace) {
  MessagePort port;
  std::vector<std::wstring> seen;
  std::vector<const Message*> objects;
  port.getMessageDispenser().addMessageHandler<Chat>([&](Chat& chat) {
    seen.push_back(chat.text.getBuffer());
    objects.push_back(&chat);
  });
  Handle<HandingFeeder> feeder(new HandingFeeder(port));
  port.setFeeder(feeder);
  Handle<Message> a = msgtest::chat(L"a", 0), b = msgtest::chat(L"b", 0);
  const Message* const aObject = a.get();
  const Message* const bObject = b.get();
  Handle<CountedOrigin> origin(new CountedOrigin());
  feeder->batch = {a, b};
  feeder->origins = {nullptr, origin};
  a = nullptr;
  b = nullptr;
  EXPECT_EQ(port.procMessage(1000), 2);
  EXPECT_TRUE(feeder->emptied);
  EXPECT_EQ(seen, (Texts{L"a", L"b"}));
  EXPECT_EQ(objects, (std::vector<const Message*>{aObject, bObject}));
  EXPECT_EQ(origin->count, 1);

  // Held elsewhere too: copied.
  Handle<Message> kept = msgtest::chat(L"kept", 0);
  feeder->batch = {kept};
  EXPECT_EQ(port.procMessage(1000), 1);
  EXPECT_EQ(seen.back(), L"kept");
  EXPECT_NE(objects.back(), kept.get());

  // Queued by someone else first: dispatched first.
  feeder->first = msgtest::chat(L"earlier", 0);
  feeder->batch = {msgtest::chat(L"c", 0), msgtest::chat(L"d", 0)};
  EXPECT_EQ(port.procMessage(1000), 3);
  EXPECT_EQ(std::vector<std::wstring>(seen.end() - 3, seen.end()), (Texts{L"earlier", L"c", L"d"}));

  // A budget that ends the call leaves the rest for the next one.
  feeder->batch = {msgtest::chat(L"e", 0), msgtest::chat(L"f", 0)};
  port.getMessageDispenser().clearMessageHandler();
  port.getMessageDispenser().addMessageHandler<Chat>([&](Chat& chat) {
    seen.push_back(chat.text.getBuffer());
    vemo::tests::pause(5);
  });
  EXPECT_EQ(port.procMessage(0), 1);
  EXPECT_EQ(seen.back(), L"e");
  EXPECT_EQ(port.popMessage() != nullptr, true);  // f, still there
  EXPECT_EQ(port.popMessage(), nullptr);
  port.setFeeder(nullptr);
}

namespace {

// Hands over one prepared batch per feed, with an origin per message, as a receiving link does.
class BatchHandingFeeder final : public MessageFeeder {
 public:
  explicit BatchHandingFeeder(MessagePort& port) : _port(port) {}
  bool feed() override {
    ++feeds;
    if (_next >= batches.size()) return false;
    std::vector<Handle<Message>>& batch = batches[_next];
    std::vector<MessageOrigin*> pointers;
    for (const Handle<MessageOrigin>& origin : origins[_next])
      pointers.push_back(origin.get());
    ++_next;
    return _port.handOverMessages(batch.data(), pointers.data(), static_cast<int>(batch.size())) >
           0;
  }
  std::vector<std::vector<Handle<Message>>> batches;
  std::vector<std::vector<Handle<MessageOrigin>>> origins;
  int feeds = 0;

 private:
  MessagePort _port;
  std::size_t _next = 0;
};

// Knows its name and counts its deliveries.
struct NamedOrigin final : MessageOrigin {
  explicit NamedOrigin(std::wstring name) : name(std::move(name)) {}
  void delivered() override { ++count; }
  std::wstring name;
  int count = 0;
};

}  // namespace

// What the consumer's feeds hand over is dispatched in order across batches: before a message a
// handler pushes meanwhile, through a procMessage nested in a handler, and a few at a time when
// the budget ends the calls, while each handler sees its own message's origin (also after a
// nested call returns) and every origin is told once.
TEST(MessagePort, FedBatchesKeepTheirOrderAcrossCallsAndNestedDispatch) {
  MessagePort port;
  Handle<BatchHandingFeeder> feeder(new BatchHandingFeeder(port));
  std::vector<Handle<NamedOrigin>> named;
  const auto batch = [&](std::initializer_list<const wchar_t*> texts) {
    std::vector<Handle<Message>> messages;
    std::vector<Handle<MessageOrigin>> origins;
    for (const wchar_t* text : texts) {
      messages.push_back(msgtest::chat(text, 0));
      // Every other message has an origin; the others have none.
      Handle<NamedOrigin> origin;
      if (named.size() % 2 == 0) origin = new NamedOrigin(text);
      named.push_back(origin);
      origins.push_back(origin);
    }
    feeder->batches.push_back(std::move(messages));
    feeder->origins.push_back(std::move(origins));
  };
  batch({L"1", L"2", L"3"});
  batch({L"4", L"5"});
  batch({L"6", L"7", L"8"});
  std::vector<std::wstring> seen;
  std::vector<std::wstring> origins;  // the current origin's name in each handler, "-" for none
  std::vector<std::wstring> afterNested;
  const auto originName = [] {
    const NamedOrigin* origin = dynamic_cast<const NamedOrigin*>(MessagePort::getCurrentOrigin());
    return origin ? origin->name : std::wstring(L"-");
  };
  int nested = -1;
  port.getMessageDispenser().addMessageHandler<Chat>([&](Chat& chat) {
    const std::wstring text = chat.text.getBuffer();
    seen.push_back(text);
    origins.push_back(originName());
    if (text == L"2") {
      ASSERT_TRUE(port.pushMessage(msgtest::chat(L"pushed", 0)));
    }
    if (text == L"5") {
      nested = port.procMessage(1000);
      afterNested.push_back(originName());
    }
  });
  port.setFeeder(feeder);

  // 1 to 3 were handed over before "pushed" was queued; 6 to 8 are dispatched inside 5's handler.
  EXPECT_EQ(port.procMessage(1000), 6);
  EXPECT_EQ(nested, 3);
  EXPECT_EQ(seen, (Texts{L"1", L"2", L"3", L"pushed", L"4", L"5", L"6", L"7", L"8"}));
  EXPECT_EQ(origins, (Texts{L"1", L"-", L"3", L"-", L"-", L"5", L"-", L"7", L"-"}));
  EXPECT_EQ(afterNested, (Texts{L"5"}));
  EXPECT_EQ(MessagePort::getCurrentOrigin(), nullptr);
  for (const Handle<NamedOrigin>& origin : named) {
    if (origin) {
      EXPECT_EQ(origin->count, 1);
    }
  }

  // A budget that ends each call after one message: the rest of a fed batch waits in order, and
  // what is pushed meanwhile comes after it; the next batch is asked for only once it is done.
  port.getMessageDispenser().clearMessageHandler();
  port.getMessageDispenser().addMessageHandler<Chat>([&](Chat& chat) {
    seen.push_back(chat.text.getBuffer());
    origins.push_back(originName());
    vemo::tests::pause(2);
  });
  seen.clear();
  origins.clear();
  named.clear();
  batch({L"a", L"b", L"c"});
  batch({L"d", L"e"});
  const int feedsBefore = feeder->feeds;
  EXPECT_EQ(port.procMessage(0), 1);
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"late", 0)));
  EXPECT_EQ(port.procMessage(0), 1);
  EXPECT_EQ(port.procMessage(0), 1);
  EXPECT_EQ(feeder->feeds, feedsBefore + 1);
  EXPECT_EQ(port.procMessage(0), 1);  // late
  EXPECT_EQ(port.procMessage(0), 1);  // d, from the next feed
  EXPECT_EQ(feeder->feeds, feedsBefore + 2);
  EXPECT_EQ(port.procMessage(1000), 1);
  EXPECT_EQ(port.procMessage(1000), 0);
  EXPECT_EQ(seen, (Texts{L"a", L"b", L"c", L"late", L"d", L"e"}));
  EXPECT_EQ(origins, (Texts{L"a", L"-", L"c", L"-", L"-", L"e"}));
  for (const Handle<NamedOrigin>& origin : named) {
    if (origin) {
      EXPECT_EQ(origin->count, 1);
    }
  }
  port.setFeeder(nullptr);
}

namespace {

#ifdef _WIN32
using SocketHandle = SOCKET;
using SocketLength = int;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
void closeSocket(SocketHandle s) {
  closesocket(s);
}
bool makeNonBlocking(SocketHandle s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}
#else
using SocketHandle = int;
using SocketLength = socklen_t;
constexpr SocketHandle kNoSocket = -1;
void closeSocket(SocketHandle s) {
  close(s);
}
bool makeNonBlocking(SocketHandle s) {
  return fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) == 0;
}
#endif

// Two loopback UDP sockets: what `send` sends makes `in` readable, with no thread of this
// process in between.
struct Datagrams {
  Datagrams() {
    in = socket(AF_INET, SOCK_DGRAM, 0);
    out = socket(AF_INET, SOCK_DGRAM, 0);
    if (in == kNoSocket || out == kNoSocket || !makeNonBlocking(in)) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(in, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    SocketLength size = sizeof to;
    ok = getsockname(in, reinterpret_cast<sockaddr*>(&to), &size) == 0;
  }
  ~Datagrams() {
    if (in != kNoSocket) closeSocket(in);
    if (out != kNoSocket) closeSocket(out);
  }
  bool send(int number) {
    return sendto(out, reinterpret_cast<const char*>(&number), sizeof number, 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to) == sizeof number;
  }
  SocketHandle in = kNoSocket;
  SocketHandle out = kNoSocket;
  sockaddr_in to{};
  bool ok = false;
};

// Feeds the port what arrived on the socket, one message per datagram, and offers the socket as
// its wait handle; counts the systems that say they wait on it.
class SocketFeeder final : public MessageFeeder {
 public:
  SocketFeeder(MessagePort& port, SocketHandle socket) : _port(port), _socket(socket) {}
  bool feed() override {
    bool queued = false;
    int number = 0;
    while (recv(_socket, reinterpret_cast<char*>(&number), sizeof number, 0) == sizeof number)
      queued = _port.pushMessage(msgtest::chat(L"datagram", number)) || queued;
    return queued;
  }
  std::intptr_t getWaitHandle() override { return static_cast<std::intptr_t>(_socket); }
  void setWatched(bool watched) override { watchers += watched ? 1 : -1; }
  bool isReady() override {
    int number = 0;
    return recv(_socket, reinterpret_cast<char*>(&number), sizeof number, MSG_PEEK) > 0;
  }
  std::atomic<int> watchers{0};

 private:
  MessagePort _port;
  const SocketHandle _socket;
};

}  // namespace

// A system that serves a port sleeps on its feeder's wait handle beside its own wake-ups: a
// datagram alone wakes it (nobody notifies), and so do a push and a posted call while it sleeps
// there; datagrams sent one at a time, each while the system goes back to sleep, all arrive in
// order; it says when it starts and stops waiting on the handle, and stops once the port is
// unbound and when it shuts down.
TEST(MessagePort, AServingSystemSleepsOnItsFeedersHandleToo) {
  vemo::tests::finishWithin(std::chrono::seconds(120), "feeder's handle", [&] {
    Datagrams datagrams;
    ASSERT_TRUE(datagrams.ok);
    MessagePort port;
    std::mutex lock;
    std::vector<int> numbers;
    port.getMessageDispenser().addMessageHandler<Chat>([&](Chat& chat) {
      std::lock_guard<std::mutex> guard(lock);
      numbers.push_back(chat.number);
    });
    const auto count = [&] {
      std::lock_guard<std::mutex> guard(lock);
      return numbers.size();
    };
    Handle<SocketFeeder> feeder(new SocketFeeder(port, datagrams.in));
    port.setFeeder(feeder);
    Handle<Served> system = Served::createInstance([&](Served* s) { return port.serveOn(s, 10); });
    Handle<Thread> thread = Thread::createInstance();
    ASSERT_TRUE(thread->start(system));
    ASSERT_TRUE(vemo::tests::eventually([&] { return feeder->watchers.load() == 1; }));

    ASSERT_TRUE(datagrams.send(1));
    ASSERT_TRUE(vemo::tests::eventually([&] { return count() == 1; }))
        << "a datagram did not wake the system";
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"pushed", 2)));
    ASSERT_TRUE(vemo::tests::eventually([&] { return count() == 2; }));
    std::atomic<bool> called{false};
    ASSERT_TRUE(vemo::postThreadCall(system->getRunThreadId(), [&] { called = true; }));
    ASSERT_TRUE(vemo::tests::eventually([&] { return called.load(); }));
    for (int i = 3; i <= 500; ++i) {
      ASSERT_TRUE(datagrams.send(i));
      ASSERT_TRUE(vemo::tests::eventually([&] { return count() == static_cast<std::size_t>(i); }))
          << "datagram " << i;
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      for (int i = 1; i <= 500; ++i)
        ASSERT_EQ(numbers[static_cast<std::size_t>(i - 1)], i);
    }
    EXPECT_EQ(feeder->watchers.load(), 1);  // one start for all those waits

    // Unbound, it lets go of the handle (the unbinding wakes it), and a datagram no longer
    // wakes it; bound again, it waits on the handle again and takes what waited.
    port.unbind();
    ASSERT_TRUE(vemo::tests::eventually([&] { return feeder->watchers.load() == 0; }));
    const int passes = system->passes.load();
    ASSERT_TRUE(datagrams.send(501));
    port.bind(system);
    ASSERT_TRUE(vemo::tests::eventually([&] { return count() == 501; }));
    EXPECT_GT(system->passes.load(), passes);
    ASSERT_TRUE(vemo::tests::eventually([&] { return feeder->watchers.load() == 1; }));
    EXPECT_TRUE(thread->shutdown());
    EXPECT_EQ(feeder->watchers.load(), 0);
    port.setFeeder(nullptr);
  });
}
