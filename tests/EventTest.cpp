// Callbacks, events and the event dispenser: identities and their order, delivery by exact
// class, and handlers that change the dispenser while it delivers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vemo/core/Event.h"

using namespace vemo;

namespace evtest {

class Resized : public Event {
  VEMO_DECLARE_CLASS(Resized)

 protected:
  Resized() = default;
};

// Derived from a registered event class: delivered only to its own handlers.
class Maximised : public Resized {
  VEMO_DECLARE_CLASS(Maximised)

 protected:
  Maximised() = default;
};

VEMO_IMPLEMENT_CLASS(Resized)
VEMO_IMPLEMENT_CLASS(Maximised)

}  // namespace evtest

namespace {

using evtest::Maximised;
using evtest::Resized;
using Log = std::vector<std::string>;

Log g_log;

String formatted(const wchar_t* format, const void* pointer) {
  String text;
  text.format(format, pointer);
  return text;
}

void first(const Event* e) {
  g_log.push_back("first " + std::to_string(e->getClassId() == Resized::getClassId_()));
}
void second(const Event*) {
  g_log.push_back("second");
}

// Handlers that act on the dispenser delivering to them.
struct Actor {
  EventDispenser* events = nullptr;
  std::string name;
  std::vector<EventHandler> toAdd, toRemove;
  bool clear = false;
  bool raise = false;
  void act(const Event*) {
    g_log.push_back(name);
    for (const EventHandler& h : toAdd)
      *events += h;
    for (const EventHandler& h : toRemove)
      *events -= h;
    toAdd.clear();
    toRemove.clear();
    if (clear) events->clear();
    if (raise) throw std::runtime_error("handler failed");
  }
  EventHandler handler(unsigned int id = Resized::getClassId_()) {
    return EventHandler(id, EventCallback(this, &Actor::act));
  }
};

}  // namespace

TEST(Callback, IdentitiesAndOrderOfCallbacksAndHandlers) {
  const EventCallback a(&first), a2(&first), b(&second), none, none2;
  EXPECT_EQ(a, a2);  // separate callables of one function
  EXPECT_NE(a, b);
  EXPECT_EQ(a.getIdentity(), formatted(L"%p", reinterpret_cast<void*>(&first)));
  EXPECT_EQ(a.getIdentity().find(L'@'), -1);
  Actor x, y;
  const EventCallback member(&x, &Actor::act), member2(&x, &Actor::act), other(&y, &Actor::act);
  EXPECT_EQ(member, member2);
  EXPECT_NE(member, other);  // another object
  const String identity = member.getIdentity();
  const String object = formatted(L"%p@", static_cast<void*>(&x));
  EXPECT_EQ(identity.getSubString(0, object.getLength()), object) << identity.getBuffer();
  EXPECT_NE(member, a);

  // Null: the empty text, equal to null, less than anything else.
  EXPECT_EQ(none.getIdentity(), L"");
  EXPECT_EQ(none, none2);
  EXPECT_TRUE(none < a && none <= a && a > none && a >= none && !(a < none));
  EXPECT_TRUE(none <= none2 && none >= none2 && !(none < none2));
  // A strict order over all of them, by text.
  const EventCallback all[] = {a, b, member, other, none};
  for (const EventCallback& p : all)
    for (const EventCallback& q : all) {
      EXPECT_EQ(p < q, p.getIdentity().compare(q.getIdentity()) < 0);
      EXPECT_EQ((p < q) + (q < p) + (p == q), 1);
    }
  // Copies share the callable; setNull drops it.
  EventCallback copy = a;
  EXPECT_EQ(copy.get(), a.get());
  copy.setNull();
  EXPECT_TRUE(copy.isNull());
  EXPECT_FALSE(a.isNull());

  // Handlers: ordered by class id (unsigned), then by callback.
  const EventHandler empty;
  EXPECT_TRUE(empty.isNull());
  EXPECT_EQ(empty.getClassId(), 0u);
  EventHandler h(5, &first), same(5, &first), later(6, &first), otherFunction(5, &second);
  EXPECT_EQ(h, same);
  EXPECT_NE(h, later);
  EXPECT_TRUE(h < later && later > h && h <= same && h >= same);
  EXPECT_EQ(h < otherFunction, h.getCallbackHandler() < otherFunction.getCallbackHandler());
  EXPECT_TRUE(EventHandler(5, {}) < h);
  EXPECT_TRUE(EventHandler(0xFFFFFFFFu, {}) > h);  // ids compare unsigned
  g_log.clear();
  const Handle<Resized> e = Resized::createInstance();
  h(e.get());
  EXPECT_EQ(g_log, Log{"first 1"});
  h.setNull();
  EXPECT_TRUE(h.isNull());
}

// Copies of one callable compared on several threads at once, as handlers copied between
// threads are: by operator ==, <, and by adding and removing them in dispensers of each thread.
// Each round starts from a callable that has never told its identity.
TEST(Callback, CopiesOfOneCallableComparedOnSeveralThreads) {
  constexpr int kThreads = 4, kRounds = 300;
  Actor x;
  const String functionText = formatted(L"%p", reinterpret_cast<void*>(&first));
  std::atomic<int> wrong{0};
  for (int round = 0; round < kRounds; ++round) {
    const EventCallback function(&first), member(&x, &Actor::act);
    const String memberText = EventCallback(&x, &Actor::act).getIdentity();
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        const EventCallback ownFunction = function, ownMember = member;  // copies: one callable
        ++ready;
        while (ready.load() < kThreads) {
        }
        bool right = true;
        switch (t % 4) {
          case 0:
            right = ownFunction == EventCallback(&first) && ownMember != EventCallback(&second);
            break;
          case 1:
            right = (ownMember < EventCallback(&first)) == (memberText.compare(functionText) < 0);
            break;
          case 2: {
            EventDispenser events;
            events += EventHandler(1, ownMember);
            events += EventHandler(1, EventCallback(&x, &Actor::act));  // equal: not added
            right = events.getEventHandlerCount(1) == 1;
            events -= EventHandler(1, EventCallback(&x, &Actor::act));
            right = right && events.getEventClassCount() == 0;
            break;
          }
          default:
            right =
                ownFunction.getIdentity() == functionText && ownMember.getIdentity() == memberText;
        }
        if (!right) ++wrong;
      });
    for (std::thread& thread : threads)
      thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

TEST(EventDispenser, DeliversByExactClass) {
  EXPECT_EQ(Event::getClassId_(), 0x0778A305u);
  EXPECT_EQ(Unknown::ClassType::computeId(L"Event"), 0x0778A305u);
  const Handle<Unknown> made = Unknown::RtFactory::createClassInstance(L"Event");
  ASSERT_NE(dynamic_cast<Event*>(made.get()), nullptr);
  EXPECT_EQ(made->getClassName(), L"Event");
  EventDispenser events;
  const Handle<Resized> resized = Resized::createInstance();
  const Handle<Maximised> maximised = Maximised::createInstance();
  EXPECT_TRUE(events.addEventHandler(EventHandler(Resized::getClassId_(), &first)));
  EXPECT_TRUE(events.addEventHandler(EventHandler(Resized::getClassId_(), &first)));  // once
  events += EventHandler(Resized::getClassId_(), &second);
  events += EventHandler(Maximised::getClassId_(), &first);
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 2);
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, (Log{"first 1", "second"}));
  g_log.clear();
  events.sendEvent(maximised.get());  // not to the handlers of its base class
  EXPECT_EQ(g_log, Log{"first 0"});
  events.sendEvent(nullptr);

  // Removing: the first equal callback; the last one takes its id along.
  events -= EventHandler(Resized::getClassId_(), &first);
  events -= EventHandler(Resized::getClassId_(), &first);  // no longer there
  events -= EventHandler(12345, &first);
  EXPECT_EQ(events.getEventClassCount(), 2);
  events -= EventHandler(Resized::getClassId_(), &second);
  EXPECT_EQ(events.getEventClassCount(), 1);
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_TRUE(g_log.empty());

  // Copies share the lists of the ids they both have; moving swaps.
  EventDispenser copy = events;
  copy += EventHandler(Maximised::getClassId_(), &second);
  EXPECT_EQ(events.getEventHandlerCount(Maximised::getClassId_()), 2);
  copy += EventHandler(Resized::getClassId_(), &second);  // a new id: the copy's own
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 0);
  EventDispenser moved(std::move(copy));
  EXPECT_EQ(copy.getEventClassCount(), 0);
  EXPECT_EQ(moved.getEventClassCount(), 2);
  copy = std::move(moved);
  EXPECT_EQ(copy.getEventClassCount(), 2);
  events.clear();
  EXPECT_EQ(events.getEventClassCount(), 0);
  EXPECT_EQ(copy.getEventHandlerCount(Maximised::getClassId_()), 2);  // its list lives on
}

TEST(EventDispenser, HandlersChangingTheDelivery) {
  const Handle<Resized> resized = Resized::createInstance();
  EventDispenser events;
  Actor a, b, c, late, later;
  for (Actor* actor : {&a, &b, &c, &late, &later})
    actor->events = &events;
  a.name = "a", b.name = "b", c.name = "c", late.name = "late", later.name = "later";

  // The last handler appends one: reached in the same delivery, as is one appended by that.
  events += a.handler();
  events += b.handler();
  b.toAdd = {late.handler()};
  late.toAdd = {later.handler()};
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, (Log{"a", "b", "late", "later"}));

  // The last handler removes itself (the only holder of its callable) and appends another.
  events.clear();
  events += a.handler();
  {
    Actor* self = new Actor;  // freed below, after the delivery
    self->events = &events;
    self->name = "self";
    events += self->handler();
    self->toRemove = {self->handler()};
    self->toAdd = {c.handler()};
    g_log.clear();
    events.sendEvent(resized.get());
    delete self;
  }
  EXPECT_EQ(g_log, (Log{"a", "self", "c"}));
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 2);

  // A handler removes the one after it, which is then not called.
  a.toRemove = {c.handler()};
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, Log{"a"});

  // Clearing during a delivery lets it finish its list; later deliveries find nothing.
  events += b.handler();
  events += c.handler();
  b.clear = true;
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, (Log{"a", "b", "c"}));
  EXPECT_EQ(events.getEventClassCount(), 0);
  b.clear = false;
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_TRUE(g_log.empty());

  // A handler that throws ends the delivery; the dispenser works on.
  events += a.handler();
  events += b.handler();
  events += c.handler();
  b.raise = true;
  g_log.clear();
  EXPECT_THROW(events.sendEvent(resized.get()), std::runtime_error);
  EXPECT_EQ(g_log, (Log{"a", "b"}));
  b.raise = false;
  events -= b.handler();
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, (Log{"a", "c"}));

  // A handler that delivers again (nested) and removes itself on the inner delivery.
  struct Nested {
    EventDispenser* events;
    int depth = 0;
    void act(const Event* e) {
      g_log.push_back("nested " + std::to_string(depth));
      if (depth++ == 0)
        events->sendEvent(e);
      else
        *events -= EventHandler(Resized::getClassId_(), EventCallback(this, &Nested::act));
    }
  } nested{&events};
  events.clear();
  events += EventHandler(Resized::getClassId_(), EventCallback(&nested, &Nested::act));
  events += c.handler();
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, (Log{"nested 0", "nested 1", "c", "c"}));
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 1);
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, Log{"c"});

  // A null callback is kept (and removable) but never called.
  events += EventHandler(Resized::getClassId_(), {});
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 2);
  g_log.clear();
  events.sendEvent(resized.get());
  EXPECT_EQ(g_log, Log{"c"});
  events -= EventHandler(Resized::getClassId_(), {});
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 1);
}

// Callbacks from any callable: lambdas with captures, std::function and function objects, each
// with an identity drawn when it is made ("#" and a number), shared by its copies only.
TEST(Callback, AnyCallableWithAnIdentityOfItsOwn) {
  g_log.clear();
  int seen = 0;
  const auto count = [&seen](const Event*) { ++seen; };
  const EventCallback a(count), a2(count), copy = a;
  EXPECT_EQ(a, copy);  // copies share the callable and its identity
  EXPECT_NE(a, a2);    // a second callable made from the same lambda is another one
  EXPECT_EQ(a.getIdentity().getBuffer()[0], L'#');
  EXPECT_NE(a.getIdentity(), a2.getIdentity());
  // Never equal to a function's or a member's identity, nor to null.
  EXPECT_NE(a, EventCallback(&first));
  EXPECT_NE(a, EventCallback());
  EXPECT_TRUE(EventCallback() < a);

  // Identities stay unique across threads drawing them at once.
  std::vector<std::vector<std::wstring>> drawn(4);
  std::vector<std::thread> threads;
  for (auto& texts : drawn)
    threads.emplace_back([&texts] {
      for (int i = 0; i < 500; ++i)
        texts.push_back(EventCallback([](const Event*) {}).getIdentity().getBuffer());
    });
  for (std::thread& thread : threads)
    thread.join();
  std::vector<std::wstring> all;
  for (const auto& texts : drawn)
    all.insert(all.end(), texts.begin(), texts.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());

  // In a dispenser: added once, removed by the kept handler (or a copy of it).
  EventDispenser events;
  events += EventHandler(Resized::getClassId_(), a);
  events += EventHandler(Resized::getClassId_(), copy);  // equal: not added again
  events += EventHandler(Resized::getClassId_(), [](const Event*) { g_log.push_back("lambda"); });
  std::function<void(const Event*)> function = [](const Event*) { g_log.push_back("function"); };
  events += EventHandler(Resized::getClassId_(), function);
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 3);
  const Handle<Resized> e = Resized::createInstance();
  events.sendEvent(e.get());
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(g_log, (Log{"lambda", "function"}));
  events -= EventHandler(Resized::getClassId_(), a2);  // not the registered one: nothing removed
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 3);
  events -= EventHandler(Resized::getClassId_(), copy);
  EXPECT_EQ(events.getEventHandlerCount(Resized::getClassId_()), 2);

  // An empty std::function is null; a function object keeps its state between calls; results
  // and reference arguments pass through.
  EXPECT_TRUE(EventCallback(std::function<void(const Event*)>()).isNull());
  struct Counter {
    int calls = 0;
    bool operator()(const String& text) { return ++calls > 1 && text == L"x"; }
  };
  CallbackHandler<bool, const String&> counter{Counter()};
  EXPECT_FALSE(counter(String(L"x")));
  EXPECT_TRUE(counter(String(L"x")));
  EXPECT_FALSE(counter(String(L"y")));
  // A callable that can only be moved.
  auto owned = std::make_unique<int>(41);
  CallbackHandler<int, int> moveOnly([p = std::move(owned)](int n) { return *p + n; });
  EXPECT_EQ(moveOnly(1), 42);
}
