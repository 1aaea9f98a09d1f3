// A tour of what vemo_core does so far: class ids and the registry, one text in the three
// string encodings, a formatted log line reaching a console listener, a reflectable class
// saved to a JSON file and loaded back as a new object of the same class, and an application
// box on a thread of its own driven by text commands, and messages passed from one thread to
// another through a message port.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <thread>

#include "vemo/core/Core.h"
#include "vemo/core/Tick.h"

using namespace vemo;

namespace {

// A registrable class of the program itself.
class Greeting : public virtual Unknown {
  VEMO_DECLARE_CLASS(Greeting)
 public:
  const String& text() const { return _text; }

 protected:
  Greeting() : _text(L"hello") {}
  explicit Greeting(const wchar_t* text) : _text(text) {}

 private:
  String _text;
};
VEMO_IMPLEMENT_CLASS(Greeting)

// A reflectable class: one macro in the body, one line per member in the source.
class Player : public Property {
  VEMO_DECLARE_PROPERTY(Player, Property)

 public:
  String name;
  int score = 0;
  std::vector<int> rounds;
  Point_T<int> position;
  Handle<Player> partner;

 protected:
  Player() = default;
};

}  // namespace

VEMO_IMPLEMENT_PROPERTY(Player, VEMO_PROPERTY(name, L"Display name"),
                        VEMO_PROPERTY(score, L"Points scored"),
                        VEMO_PROPERTY(rounds, L"Points per round"),
                        VEMO_PROPERTY(position, L"Where the player stands"),
                        VEMO_PROPERTY(partner, L"Team mate, if any"))

namespace {

void showProperties() {
  Handle<Player> ann = Player::createInstance();
  ann->name = L"Ann Zoë";
  ann->score = 42;
  ann->rounds = {10, 12, 20};
  ann->position = Point_T<int>(3, -4);
  ann->partner = Player::createInstance();
  ann->partner->name = L"Bo";

  const String file = TempFile::getTempFileName();
  PropertyHelper::save(ann.get(), file, true);
  JsonValue text;
  Json::load(text, file);
  Console::output(L"  saved to %s:\n%s\n", file, Json::convertToString(text, true));

  Handle<Player> back = Handle<Player>::dynamicCast(PropertyHelper::load(file));
  Console::output(L"  loaded: a %s named %s, score %d, %d rounds, partner %s\n",
                  back->getClassName(), back->name, back->score,
                  static_cast<int>(back->rounds.size()), back->partner->name);
  Console::output(L"  same export: %s\n", PropertyHelper::convertToString(back.get(), false) ==
                                                  PropertyHelper::convertToString(ann.get(), false)
                                              ? L"yes"
                                              : L"no");
  std::remove(StringHelper::wideToUtf8(file).getBuffer());
}

// An application box that adds numbers: "$COMMAND add 2 3" answers with the sum as a "$TEXT"
// line between "$BEGIN add" and "$END OK"; anything else fails.
class Adder : public AppBox {
 public:
  static Handle<AppBox> create(const wchar_t* name, const wchar_t* parameters) {
    return Handle<AppBox>(new Adder(name, parameters));
  }

 protected:
  // A box waits for its commands by itself (idle wait): it needs no yielding task.
  using AppBox::AppBox;
  bool docmd(AppPipe* pipe, wchar_t** words, int count) override {
    if (std::wcscmp(words[0], L"add") != 0 || count < 2) return false;
    long long sum = 0;
    for (int i = 1; i < count; ++i)
      sum += std::wcstoll(words[i], nullptr, 10);
    String text;
    text.format(L"$TEXT = %I64d", sum);
    pipe->write(text);
    return true;
  }
};

// Sends one line and prints the replies up to the end of the command (or one reply for a line
// that is no command).
void send(App* app, const wchar_t* line) {
  Console::output(L"  > %s\n", line);
  app->getPipe()->write(String(line));
  String reply;
  for (int waited = 0; waited < 5000;) {
    if (!app->getPipe()->read(reply)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ++waited;
      continue;
    }
    Console::output(L"  < %s\n", reply);
    if (reply == L"$NOTHING" || reply == L"$END OK" || reply == L"$BYE") return;
  }
}

void showAppBox() {
  setUpApp(L"Adder", &Adder::create);
  Handle<App> app = startApp(L"Adder", L"adder-1", L"");
  send(app, L"$COMMAND add 2 3 37");
  send(app, L"$COMMAND multiply 6 7");
  send(app, L"just text");
  Console::output(L"  listed as adder-1: %s\n", getApp(L"adder-1") ? L"yes" : L"no");
  exitApp(app);
  String reply;
  while (app->getPipe()->read(reply))
    Console::output(L"  < %s\n", reply);
  Console::output(L"  listed after exitApp: %s\n", getApp(L"adder-1") ? L"yes" : L"no");
  tearDownApp(L"Adder");
}

// A message of the program: what it carries travels as bytes, so the receiving thread gets an
// object of its own.
class Order : public Message {
  VEMO_DECLARE_PROPERTY(Order, Message)

 public:
  VEMO_MESSAGE_FIELDS(item, quantity)
  String item;
  int quantity = 0;

 protected:
  Order() = default;
};

}  // namespace

VEMO_IMPLEMENT_PROPERTY(Order, VEMO_PROPERTY(item, L"What is ordered"),
                        VEMO_PROPERTY(quantity, L"How many"))

namespace {

// A system whose one task serves a message port on every pass: the consumer of the port.
class Kitchen : public System {
 public:
  static Handle<Kitchen> createInstance(MessagePort& port) {
    return Handle<Kitchen>(new Kitchen(port));
  }
  std::atomic<int> served{0};

 private:
  struct Serve : System::Task {
    explicit Serve(MessagePort& port) : port(port) {}
    void onTick(unsigned int) override { port.procMessage(std::chrono::milliseconds(5)); }
    // Nothing to do until an order arrives: the bound port wakes the kitchen.
    unsigned int nextDue() const override { return kDueOnWake; }
    MessagePort& port;
  };

  explicit Kitchen(MessagePort& port) : _port(port) {
    _port.getMessageDispenser().addMessageHandler<Order>([this](Message* message) {
      const Order* order = static_cast<const Order*>(message);
      Console::output(L"  kitchen (thread %lu): %d x %s\n", Thread::getCurrentThreadId(),
                      order->quantity, order->item);
      ++served;
    });
  }
  bool init() override {
    if (!System::init()) return false;
    // The kitchen sleeps between orders instead of polling the port.
    setIdleWait(true);
    _port.bind(this);
    return Handle<Serve>(new Serve(_port))->start(this);
  }
  void exit() override {
    _port.unbind();
    System::exit();
  }
  MessagePort& _port;
};

void showMessagePort() {
  MessagePort port;
  Handle<Kitchen> kitchen = Kitchen::createInstance(port);
  Handle<Thread> thread = Thread::createInstance();
  thread->start(kitchen);
  Console::output(L"  counter (thread %lu) pushes three orders\n", Thread::getCurrentThreadId());
  Handle<Order> order = Order::createInstance();
  const struct {
    const wchar_t* item;
    int quantity;
  } orders[] = {{L"soup", 2}, {L"bread", 1}, {L"tea", 3}};
  for (const auto& entry : orders) {
    order->item = entry.item;  // the port took a copy: the object may change at once
    order->quantity = entry.quantity;
    port.pushMessage(order);
  }
  for (int waited = 0; kitchen->served < 3 && waited < 5000; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread->shutdown();
  Console::output(L"  served %d orders; the kitchen's system is %s\n", kitchen->served.load(),
                  kitchen->getState() == System::ES_UNLOADED ? L"unloaded" : L"still running");
}

}  // namespace

int main() {
  // The log on the standard error, errors in red and warnings in yellow on a terminal.
  auto console = ScopedLogListener::make<ConsoleLogListener>();
  Log::setparam(L"console@time=off");

  Console::output(L"== Classes and their ids\n");
  for (const wchar_t* name : {L"A", L"abc", L"Unknown", L"Event", L"Message", L"Greeting"})
    Console::output(L"  %-10s 0x%08X\n", name, Unknown::ClassType(String(name)).getClassId());
  std::vector<String> names;
  Unknown::RtFactory::getRtClassNames(names);
  Console::output(L"  registered:");
  for (const String& name : names)
    Console::output(L" %s", name);
  Console::output(L"\n");
  Handle<Unknown> made = Unknown::RtFactory::createClassInstance(String(L"Greeting"));
  Console::output(L"  created by name: %s (class id 0x%08X), time stamp %s\n", made->getClassName(),
                  made->getClassId(), made->getClassTimestamp());

  Console::output(L"\n== One text in three encodings\n");
  const String wide = L"Grüße, €100 — 東京";
  const String_T<char> utf8 = StringHelper::wideToUtf8(wide);
  setCodePage("windows-1252");
  const String_T<unsigned char> ansi = StringHelper::wideToAnsi(wide);
  Console::output(L"  wide    : %s (%d characters)\n", wide, wide.getLength());
  Console::output(L"  UTF-8   : %d bytes:", utf8.getBufferLength() - 1);
  for (const char* p = utf8.getBuffer(); *p; ++p)
    Console::output(L" %02X", static_cast<unsigned char>(*p));
  Console::output(L"\n  cp 1252 : %d bytes:", ansi.getBufferLength() - 1);
  for (const unsigned char* p = ansi.getBuffer(); *p; ++p)
    Console::output(L" %02X", *p);
  Console::output(L"\n  back    : %s\n", StringHelper::ansiToWide(ansi));
  setCodePage(0);

  Console::output(L"\n== Properties: a Player through a JSON file\n");
  showProperties();

  Console::output(L"\n== An application box driven by commands\n");
  showAppBox();

  Console::output(L"\n== Messages between two threads through a port\n");
  showMessagePort();

  Console::output(L"\n== Logging\n");
  Log::message(L"%d objects, %.3f ms, 64-bit %I64d, narrow text %S", 3, 1.25, -(1LL << 40), "ok");
  Log::error(L"errors come in red; one third is %s", convertToString(1.0 / 3));
  return 0;
}
