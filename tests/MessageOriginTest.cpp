// Origins carried beside a port's records: seen by the handler of their own record only, told
// once when the record leaves the queue (handled, popped, failed to decode, handler threw), and
// released without a word when the port goes with the record still queued.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MessageSupport.h"
#include "TestSupport.h"
#include "vemo/core/MessagePort.h"

using namespace vemo;
using msgtest::Chat;

namespace {

class Tag : public MessageOrigin {
 public:
  explicit Tag(int id) : id(id) {}
  void delivered() override { ++deliveries; }
  int id;
  std::atomic<int> deliveries{0};
};

// Tells where and when it is destroyed.
class Tracked : public Message {
  VEMO_DECLARE_PROPERTY(Tracked, Message)
  VEMO_MESSAGE_FIELDS(number)

 public:
  int number = 0;
  // Made on first use: the class registry destroys an instance while statics are set up.
  struct Record {
    std::mutex lock;
    std::vector<std::pair<int, std::thread::id>> destroyed;
    std::function<void(int)> onDestroy;
  };
  static Record& record() {
    static Record r;
    return r;
  }
  ~Tracked() override {
    Record& r = record();
    {
      std::lock_guard<std::mutex> guard(r.lock);
      r.destroyed.emplace_back(number, std::this_thread::get_id());
    }
    if (r.onDestroy) r.onDestroy(number);
  }
  static Handle_T<Message> make(int number) {
    Handle_T<Tracked> made = createInstance();
    made->number = number;
    return made;
  }
  // The numbers destroyed so far on `thread`, and forgets them all.
  static std::vector<int> takeDestroyed(std::thread::id thread) {
    Record& r = record();
    std::lock_guard<std::mutex> guard(r.lock);
    std::vector<int> numbers;
    for (const auto& entry : r.destroyed)
      if (entry.second == thread) numbers.push_back(entry.first);
    r.destroyed.clear();
    return numbers;
  }

 protected:
  Tracked() = default;
};
VEMO_IMPLEMENT_PROPERTY(Tracked, VEMO_PROPERTY(number, L"Number"))

}  // namespace

TEST(MessageOrigin, EachRecordKeepsItsOwnOriginUntilItLeavesTheQueue) {
  Unknown::Handle_T<Tag> first(new Tag(1));
  Unknown::Handle_T<Tag> second(new Tag(2));
  std::vector<std::pair<int, int>> seen;  // (number, origin id or 0)
  {
    MessagePort port;
    port.getMessageDispenser().addMessageHandler<Chat>(
        CallbackHandler<void, Message*>([&seen](Message* message) {
          const auto* tag = dynamic_cast<Tag*>(MessagePort::getCurrentOrigin());
          const int number = static_cast<Chat*>(message)->number;
          seen.emplace_back(number, tag ? tag->id : 0);
          if (number == 4) throw Exception(L"test", 1, L"handler", -1, L"refused");
        }));
    EXPECT_EQ(MessagePort::getCurrentOrigin(), nullptr);
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"a", 1), first.get()));
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"b", 2)));
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"c", 3), second.get()));
    // Held by the queue, not copied.
    EXPECT_EQ(first->getReferenceCount(), 2u);
    EXPECT_EQ(port.procMessage(1000), 3);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 0}, {3, 2}}));
    EXPECT_EQ(first->deliveries, 1);
    EXPECT_EQ(second->deliveries, 1);
    EXPECT_EQ(first->getReferenceCount(), 1u);
    EXPECT_EQ(MessagePort::getCurrentOrigin(), nullptr);

    // A handler that throws: its record has left the queue all the same.
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"d", 4), first.get()));
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"e", 5), second.get()));
    {
      tests::LogCapture log;
      EXPECT_EQ(port.procMessage(1000), 0);
    }
    EXPECT_EQ(first->deliveries, 2);
    EXPECT_EQ(second->deliveries, 1);
    // popMessage hands the record out: delivered at once.
    EXPECT_EQ(port.popMessage()->getClassId(), Chat::getClassId_());
    EXPECT_EQ(second->deliveries, 2);

    // A record that fails to decode: delivered, and the next record keeps its own origin.
    Unknown::Handle_T<msgtest::Faulty> faulty = msgtest::Faulty::createInstance();
    ASSERT_TRUE(port.pushMessage(Unknown::Handle_T<Message>(faulty), first.get()));
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"f", 6), second.get()));
    {
      tests::LogCapture log;
      EXPECT_EQ(port.procMessage(1000), 0);
    }
    EXPECT_EQ(first->deliveries, 3);
    seen.clear();
    EXPECT_EQ(port.procMessage(1000), 1);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{6, 2}}));
    EXPECT_EQ(second->deliveries, 3);

    // Still queued when the port goes: released, not delivered.
    ASSERT_TRUE(port.pushMessage(msgtest::chat(L"g", 7), first.get()));
    EXPECT_EQ(first->getReferenceCount(), 2u);
  }
  EXPECT_EQ(first->getReferenceCount(), 1u);
  EXPECT_EQ(first->deliveries, 3);
}

TEST(MessageOrigin, ABatchKeepsItsOrderAndOriginsAndAnUnwritableMessageItsPlace) {
  Unknown::Handle_T<Tag> first(new Tag(1));
  Unknown::Handle_T<Tag> second(new Tag(2));
  std::vector<std::pair<int, int>> seen;
  MessagePort port;
  port.getMessageDispenser().addMessageHandler<Chat>(
      CallbackHandler<void, Message*>([&seen](Message* message) {
        const auto* tag = dynamic_cast<Tag*>(MessagePort::getCurrentOrigin());
        seen.emplace_back(static_cast<Chat*>(message)->number, tag ? tag->id : 0);
      }));
  EXPECT_EQ(port.pushMessages(nullptr, nullptr, 3), 0);
  Unknown::Handle_T<msgtest::Faulty> unwritable = msgtest::Faulty::createInstance();
  unwritable->failWriting = true;
  const Unknown::Handle_T<Message> batch[] = {msgtest::chat(L"a", 1), msgtest::chat(L"b", 2),
                                              Unknown::Handle_T<Message>(unwritable),
                                              msgtest::chat(L"c", 3), msgtest::chat(L"d", 4)};
  MessageOrigin* const origins[] = {first.get(), nullptr, second.get(), second.get(), first.get()};
  {
    tests::LogCapture log;
    EXPECT_EQ(port.pushMessages(batch, origins, 5), 4);
    EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"error: cannot write a Faulty"}));
  }
  EXPECT_EQ(first->getReferenceCount(), 3u);
  EXPECT_EQ(second->getReferenceCount(), 3u);
  // The unwritable message stands as a null record: the call ends there, its origin told.
  EXPECT_EQ(port.procMessage(1000), 2);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 0}}));
  EXPECT_EQ(first->deliveries, 1);
  EXPECT_EQ(second->deliveries, 1);
  EXPECT_EQ(port.procMessage(1000), 2);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 1}, {2, 0}, {3, 2}, {4, 1}}));
  EXPECT_EQ(first->deliveries, 2);
  EXPECT_EQ(second->deliveries, 2);
  EXPECT_EQ(first->getReferenceCount(), 1u);
  EXPECT_EQ(second->getReferenceCount(), 1u);

  // Without origins, after single pushes: one queue, in order.
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"e", 5), first.get()));
  EXPECT_EQ(port.pushMessages(batch + 3, nullptr, 2), 2);
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"f", 6)));
  seen.clear();
  EXPECT_EQ(port.procMessage(1000), 4);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{5, 1}, {3, 0}, {4, 0}, {6, 0}}));
  EXPECT_EQ(first->deliveries, 3);
}

// Handed over, a message nothing else holds is queued as itself: its handler (or popMessage)
// gets the very object. One the caller still shares elsewhere is written, so that changes to it
// after the call do not reach the queue. Both kinds keep their place among other records.
TEST(MessageOrigin, HandedOverMessagesAreQueuedAsThemselvesUnlessHeldElsewhere) {
  Unknown::Handle_T<Tag> first(new Tag(1));
  struct Seen {
    const Message* object;
    int number;
    std::wstring text;
    int origin;
  };
  std::vector<Seen> seen;
  MessagePort port;
  port.getMessageDispenser().addMessageHandler<Chat>(
      CallbackHandler<void, Message*>([&seen](Message* message) {
        const auto* tag = dynamic_cast<Tag*>(MessagePort::getCurrentOrigin());
        const auto* chat = static_cast<Chat*>(message);
        seen.push_back({message, chat->number, chat->text.getBuffer(), tag ? tag->id : 0});
      }));
  EXPECT_EQ(port.handOverMessages(nullptr, nullptr, 2), 0);

  Unknown::Handle_T<Chat> shared = msgtest::chat(L"shared", 3);
  Unknown::Handle_T<Message> batch[] = {
      msgtest::chat(L"own", 2), Unknown::Handle_T<Message>(shared), msgtest::chat(L"last", 4)};
  const Message* const own = batch[0].get();
  const Message* const last = batch[2].get();
  MessageOrigin* const origins[] = {first.get(), nullptr, first.get()};
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"before", 1)));
  EXPECT_EQ(port.handOverMessages(batch, origins, 3), 3);
  for (const auto& handle : batch)
    EXPECT_TRUE(handle.isNull());
  EXPECT_EQ(shared->getReferenceCount(), 1u);  // written, not held
  shared->text = L"changed later";
  ASSERT_TRUE(port.pushMessage(msgtest::chat(L"after", 5)));

  // The first record is taken, so that the next hand-over lands behind records being read.
  EXPECT_EQ(Unknown::Handle_T<Chat>::dynamicCast(port.popMessage())->number, 1);
  Unknown::Handle_T<Message> more[] = {msgtest::chat(L"later", 6)};
  const Message* const later = more[0].get();
  EXPECT_EQ(port.handOverMessages(more, nullptr, 1), 1);
  EXPECT_EQ(port.procMessage(1000), 5);
  ASSERT_EQ(seen.size(), 5u);
  std::vector<int> numbers;
  for (const Seen& s : seen)
    numbers.push_back(s.number);
  EXPECT_EQ(numbers, (std::vector<int>{2, 3, 4, 5, 6}));
  EXPECT_EQ(seen[0].object, own);
  EXPECT_EQ(seen[0].origin, 1);
  EXPECT_NE(seen[1].object, shared.get());
  EXPECT_EQ(seen[1].text, L"shared");
  EXPECT_EQ(seen[1].origin, 0);
  EXPECT_EQ(seen[2].object, last);
  EXPECT_EQ(seen[2].origin, 1);
  EXPECT_EQ(seen[4].object, later);
  EXPECT_EQ(first->deliveries, 2);
  EXPECT_EQ(first->getReferenceCount(), 1u);
  // popMessage gives the object itself too.
  Unknown::Handle_T<Message> single[] = {msgtest::chat(L"popped", 7)};
  const Message* const popped = single[0].get();
  EXPECT_EQ(port.handOverMessages(single, nullptr, 1), 1);
  EXPECT_EQ(port.popMessage().get(), popped);
  EXPECT_TRUE(port.popMessage().isNull());
  // A queue holds a bounded count of objects (4096): beyond it a message is written. One that
  // cannot be written shows which way it went: written, it fails; as itself, it is queued.
  std::vector<Unknown::Handle_T<Message>> many;
  for (int i = 0; i < 4096; ++i)
    many.push_back(msgtest::chat(L"many", 100 + i));
  MessagePort bounded;
  int handled = 0;
  bounded.getMessageDispenser().addMessageHandler<Chat>(
      CallbackHandler<void, Message*>([&handled](Message*) { ++handled; }));
  EXPECT_EQ(bounded.handOverMessages(many.data(), nullptr, 4096), 4096);
  const auto unwritable = [] {
    Unknown::Handle_T<msgtest::Faulty> faulty = msgtest::Faulty::createInstance();
    faulty->failWriting = true;
    return Unknown::Handle_T<Message>(faulty);
  };
  Unknown::Handle_T<Message> beyond[] = {unwritable()};
  {
    tests::LogCapture log;
    EXPECT_EQ(bounded.handOverMessages(beyond, nullptr, 1), 0);
    EXPECT_EQ(log.lines, (std::vector<std::wstring>{L"error: cannot write a Faulty"}));
  }
  EXPECT_EQ(bounded.procMessage(100000), 4096);  // then the null record of the refused one
  EXPECT_EQ(handled, 4096);
  EXPECT_TRUE(bounded.popMessage().isNull());
  // Taken, they make room again: the same kind of message now goes in as itself.
  Unknown::Handle_T<Message> again[] = {unwritable()};
  const Message* const againObject = again[0].get();
  EXPECT_EQ(bounded.handOverMessages(again, nullptr, 1), 1);
  EXPECT_EQ(bounded.popMessage().get(), againObject);

  // Still queued when the port goes: released with it (LeakSanitizer would see it kept).
  Unknown::Handle_T<Message> left[] = {msgtest::chat(L"left", 8)};
  EXPECT_EQ(port.handOverMessages(left, nullptr, 1), 1);
}

TEST(MessageOrigin, ProducersOnManyThreadsKeepTheirOrigins) {
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<Unknown::Handle_T<Tag>> tags;
  for (int i = 0; i < kThreads; ++i)
    tags.emplace_back(new Tag(i + 1));
  MessagePort port;
  std::vector<int> next(kThreads, 0);
  int wrong = 0;
  port.getMessageDispenser().addMessageHandler<Chat>(
      CallbackHandler<void, Message*>([&](Message* message) {
        const auto* tag = dynamic_cast<Tag*>(MessagePort::getCurrentOrigin());
        const auto* chat = static_cast<Chat*>(message);
        // Each message names its producer in its text: the origin must be that producer's.
        if (!tag || tag->id != chat->values.at(0) || chat->number != next[tag->id - 1]++) ++wrong;
      }));
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        port.pushMessage(msgtest::chat(L"x", i, {t + 1}), tags[t].get());
    });
  int handled = 0;
  // The consumer swaps the queues while producers push: origins change sides with them.
  while (handled < kThreads * kEach)
    handled += port.procMessage(5);
  for (auto& producer : producers)
    producer.join();
  EXPECT_EQ(wrong, 0);
  for (const auto& tag : tags)
    EXPECT_EQ(tag->deliveries, kEach);
}

// Handed-over messages that their handler was the last to hold go back to the producer: the
// next hand-over (of any thread) releases them, after the port's locks, so that a receiver frees
// what it made on its own thread. A message its handler keeps stays whole; a destructor may hand
// over into the same port; the consumer keeps a bounded number, and the port releases the rest
// when it goes.
TEST(MessageOrigin, HandledObjectsGoBackToTheNextHandOver) {
  Tracked::takeDestroyed(std::thread::id());  // forgets those of the class registry's set-up
  std::vector<int> handled;
  Unknown::Handle_T<Message> kept;
  {
    MessagePort port;
    port.getMessageDispenser().addMessageHandler<Tracked>(
        CallbackHandler<void, Message*>([&](Message* message) {
          const int number = static_cast<Tracked*>(message)->number;
          handled.push_back(number);
          if (number == 2) kept = Unknown::Handle_T<Message>(message);
        }));
    const auto handOver = [&port](std::vector<int> numbers) {
      std::vector<Unknown::Handle_T<Message>> batch;
      for (int number : numbers)
        batch.push_back(Tracked::make(number));
      return port.handOverMessages(batch.data(), nullptr, static_cast<int>(batch.size()));
    };
    std::thread::id producer;
    std::thread first([&] {
      producer = std::this_thread::get_id();
      EXPECT_EQ(handOver({1, 2, 3, 4}), 4);
    });
    first.join();
    EXPECT_EQ(port.procMessage(1000), 4);
    EXPECT_EQ(handled, (std::vector<int>{1, 2, 3, 4}));
    // Handled, and held by nothing: not released by the consumer.
    EXPECT_EQ(Tracked::takeDestroyed(std::this_thread::get_id()), std::vector<int>{});
    std::thread second([&] {
      producer = std::this_thread::get_id();
      EXPECT_EQ(handOver({5}), 1);
    });
    second.join();
    EXPECT_EQ(Tracked::takeDestroyed(producer), (std::vector<int>{1, 3, 4}));
    ASSERT_FALSE(kept.isNull());
    EXPECT_EQ(static_cast<Tracked*>(kept.get())->number, 2);
    kept = nullptr;
    EXPECT_EQ(Tracked::takeDestroyed(std::this_thread::get_id()), std::vector<int>{2});

    // A destructor that hands over into the port, run by the hand-over that releases it.
    Tracked::record().onDestroy = [&](int number) {
      if (number == 5) handOver({50});
    };
    EXPECT_EQ(port.procMessage(1000), 1);
    EXPECT_EQ(handOver({6}), 1);
    Tracked::record().onDestroy = nullptr;
    EXPECT_EQ(Tracked::takeDestroyed(std::this_thread::get_id()), std::vector<int>{5});
    handled.clear();
    EXPECT_EQ(port.procMessage(1000), 2);
    EXPECT_EQ(handled, (std::vector<int>{6, 50}));

    // Without a hand-over to take them, the consumer holds only so many: the rest of a long run
    // it releases itself.
    std::vector<int> many;
    for (int i = 0; i < 3000; ++i)
      many.push_back(100 + i);
    EXPECT_EQ(handOver(many), 3000);
    handled.clear();
    EXPECT_EQ(port.procMessage(100000), 3000);
    EXPECT_EQ(handled.size(), 3000u);
    EXPECT_GE(Tracked::takeDestroyed(std::this_thread::get_id()).size(), 3000u - 2048u);
  }
  // The port took what it still held with it.
  EXPECT_GE(Tracked::takeDestroyed(std::this_thread::get_id()).size(), 2u);
}
