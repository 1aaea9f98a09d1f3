#include "vemo/core/MessagePort.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "Log.h"
#include "PortBinding.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/System.h"
#include "vemo/core/Tick.h"

namespace vemo {

String detail::noMessageHandlerText(const std::type_info& dispenser, const Message& message) {
  String text;
  text.format(L"%s MessageHandler::dispatchMessage( %s )", typeName(dispenser).getBuffer(),
              typeName(typeid(message)).getBuffer());
  return text;
}

namespace {

// Each record is queued behind its length, a little-endian 32-bit count of the bytes that
// follow: the consumer reads one record within those bounds and skips whatever the record's
// reader left of it, so that a record that fails to decode (or decodes short) never has the
// rest of its body read as records of their own.
constexpr int kFrameHeader = 4;
// Handed-over messages a queue holds as objects at most.
constexpr int kMaxObjects = 4096;
// Dispatched handed-over messages waiting to go back to their producer, at most, on each side;
// the consumer offers what it has from this many on.
constexpr std::size_t kMaxFinished = 1024;
constexpr std::size_t kGiveBackAt = 256;
// A feed's batch handed straight to its consumer holds at most this many messages.
constexpr int kFeedLane = 1024;

// One queued record, as the consumer's reader sees it: the bytes of the record and nothing
// after them.
class RecordInput final : public Input {
 public:
  // The record of `length` bytes at the head of `source`.
  void begin(MemoryStream* source, int length) {
    _source = source;
    _left = length;
  }
  int available() const override {
    const int waiting = _source->available();
    return waiting < _left ? waiting : _left;
  }
  int peek(void* buffer, int size) const override {
    return _source->peek(buffer, size < _left ? size : _left);
  }
  int read(void* buffer, int size) override {
    const int got = _source->read(buffer, size < _left ? size : _left);
    if (got > 0) _left -= got;
    return got;
  }
  // Drops what the reader left of the record.
  void skipRest() {
    unsigned char dropped[1024];
    while (_left > 0) {
      const int got = _source->read(dropped, _left < 1024 ? _left : 1024);
      if (got <= 0) break;
      _left -= got;
    }
    _left = 0;
  }

 private:
  MemoryStream* _source = nullptr;
  int _left = 0;
};

}  // namespace

// The producers' side and the consumer's side on cache lines of their own: producers contend
// for the push lock while the consumer decodes.
class detail::MessageQueue : public Unknown {
 public:
  MessageQueue()
      : in(MemoryStream::createInstance(33554432)),
        out(MemoryStream::createInstance(33554432)),
        record(new RecordInput()),
        reader(record.get()) {}

  // Guards `in` (the handle and its stream) and the records counted into it.
  alignas(64) std::mutex pushLock;
  Handle_T<MemoryStream> in;
  // Records queued so far, and those that went in incomplete (a write the stream could not
  // take whole): by number, with the bytes of them that did go in.
  std::uint64_t pushed = 0;
  std::map<std::uint64_t, int> incomplete;
  // The system notified of every push; under pushLock. Not owned: the system lists the queue
  // and forgets itself here when it is destroyed.
  System* consumer = nullptr;
  // Asked for more when the consumer finds both queues empty; under pushLock.
  Handle_T<MessageFeeder> feeder;
  // Origins of the records in `in`, by record number, oldest first; under pushLock.
  std::deque<std::pair<std::uint64_t, Handle_T<MessageOrigin>>> inOrigins;
  // Guards `out`, the reader and the consumer's side; taken before pushLock.
  alignas(64) std::recursive_mutex popLock;
  Handle_T<MemoryStream> out;
  // A feed is in progress on the consumer's thread: a pop inside it (a handed-back message's
  // destructor may consume the port) does not ask the feeder again.
  bool feeding = false;
  // What a feed handed over while both queues were empty: the consumer's own, dispatched before
  // anything queued since, neither written nor locked for.
  std::deque<std::pair<Handle_T<Message>, Handle_T<MessageOrigin>>> fed;
  Handle_T<RecordInput> record;
  InputStream reader;
  std::uint64_t popped = 0;
  // Origins of the records in `out`; the consumer's own.
  std::deque<std::pair<std::uint64_t, Handle_T<MessageOrigin>>> outOrigins;
  // Messages handed over as objects, by the number of the placeholder record that keeps their
  // place in the queue: those of `in` (under pushLock) and those of `out` (the consumer's).
  std::deque<std::pair<std::uint64_t, Handle_T<Message>>> inObjects;
  std::deque<std::pair<std::uint64_t, Handle_T<Message>>> outObjects;
  // How many objects both lists hold: beyond kMaxObjects, handed-over messages are written,
  // so that the stream's bounds (memory, then its spill file) hold for them too.
  std::atomic<int> objects{0};
  // Handed-over messages that the consumer dispatched and was the last to hold: they go back to
  // the next caller of handOverMessages, which releases them outside the lock. A receiver that
  // hands over what it decodes made them (and what they own) on its own thread; released there,
  // the allocator reuses their memory at once instead of taking it back from another thread.
  // `finished` is the consumer's (pop lock), `returned` is under pushLock; each holds at most
  // kMaxFinished, beyond which the consumer releases messages itself.
  std::vector<Handle_T<Message>> finished;
  std::vector<Handle_T<Message>> returned;
  // Whether `incomplete` lists anything: read by the consumer for every record, so it lives on
  // the consumer's cache line (producers set it only after a failed write).
  std::atomic<bool> anyIncomplete{false};
};

namespace {

// The queue whose feeder runs on this thread (the consumer's, inside popRecord), or null.
thread_local detail::MessageQueue* t_feeding = nullptr;

// Holds one message in the handle encoding, behind room for its length, while it is written
// outside the push lock: in its own inline room when small (no heap at all), else in a heap
// block that grows as needed.
class RecordWriter final : public Output {
 public:
  RecordWriter() = default;
  ~RecordWriter() override {
    if (_data != _local) std::free(_data);
  }
  // Made in its creator's storage, which the handle that ends its life must not free.
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void*) noexcept {}

  int write(const void* data, int size) override {
    if (size <= 0) return size < 0 ? -1 : 0;
    if (size > _capacity - _size && !grow(size)) return -1;
    std::memcpy(_data + _size, data, static_cast<std::size_t>(size));
    _size += size;
    return size;
  }
  // The length written in front of the record; then the whole frame.
  void seal() {
    const std::uint32_t length = static_cast<std::uint32_t>(_size - kFrameHeader);
    for (int i = 0; i < kFrameHeader; ++i)
      _data[i] = static_cast<unsigned char>(length >> (8 * i));
  }
  const unsigned char* data() const { return _data; }
  int size() const { return _size; }

 private:
  // Room for `more` bytes beyond those held; a record is at most INT_MAX bytes long.
  bool grow(int more) {
    if (more > INT_MAX - _size) return false;
    const int needed = _size + more;
    const int doubled = _capacity > INT_MAX / 2 ? INT_MAX : _capacity * 2;
    const int capacity = needed > doubled ? needed : doubled;
    unsigned char* grown = static_cast<unsigned char*>(
        _data == _local ? std::malloc(static_cast<std::size_t>(capacity))
                        : std::realloc(_data, static_cast<std::size_t>(capacity)));
    if (!grown) return false;
    if (_data == _local) std::memcpy(grown, _local, static_cast<std::size_t>(_size));
    _data = grown;
    _capacity = capacity;
    return true;
  }

  static constexpr int kInline = 240;
  unsigned char _local[kInline];
  unsigned char* _data = _local;
  int _size = kFrameHeader;
  int _capacity = kInline;
};

// The next record of the queue, the pop lock being held; null when there is none or it is a
// null handle, or when decoding failed (then `failure` holds the exception, to be reported once
// the lock is released). The record is consumed whole in every case.
// The origin of the record `number` (null when it has none), taken out of the consumer's list.
// The entry of record `number` from a list of the pop queue's records (origins or handed-over
// objects), dropping older ones (their records went in incomplete).
template <class T>
Unknown::Handle_T<T> takeEntry(std::deque<std::pair<std::uint64_t, Unknown::Handle_T<T>>>& entries,
                               std::uint64_t number) {
  Unknown::Handle_T<T> entry;
  while (!entries.empty() && entries.front().first < number)
    entries.pop_front();
  if (!entries.empty() && entries.front().first == number) {
    entry = std::move(entries.front().second);
    entries.pop_front();
  }
  return entry;
}

// Offers the consumer's finished messages to the producers, pushLock being held: only when they
// took the last offer, so that nothing is released (no destructor runs) under the lock.
void giveBackLocked(detail::MessageQueue& queue) {
  if (!queue.finished.empty() && queue.returned.empty()) queue.returned.swap(queue.finished);
}

// `origin` receives the origin of the record taken, if it has one; `handedOver` whether the
// message is the object that was handed over.
Unknown::Handle_T<Message> popRecord(detail::MessageQueue& queue, std::optional<Exception>& failure,
                                     Unknown::Handle_T<MessageOrigin>& origin, bool& handedOver) {
  handedOver = false;
  bool fed = false;
  for (;;) {
    if (!queue.fed.empty()) {
      // Older than whatever is queued: they were handed over when both queues were empty.
      Unknown::Handle_T<Message> message = std::move(queue.fed.front().first);
      origin = std::move(queue.fed.front().second);
      queue.fed.pop_front();
      return message;
    }
    if (queue.out->available() <= 0) {
      Unknown::Handle_T<MessageFeeder> feeder;
      {
        // Everything pushed so far changes sides at once: the empty pop queue becomes the push
        // queue, so producers wait for no copy.
        std::lock_guard<std::mutex> guard(queue.pushLock);
        giveBackLocked(queue);
        if (queue.in->available() > 0) {
          std::swap(queue.in, queue.out);
          queue.outOrigins.clear();
          std::swap(queue.inOrigins, queue.outOrigins);
          queue.objects.fetch_sub(static_cast<int>(queue.outObjects.size()),
                                  std::memory_order_relaxed);
          queue.outObjects.clear();
          std::swap(queue.inObjects, queue.outObjects);
        } else if (!fed && !queue.feeding) {
          feeder = queue.feeder;
        }
      }
      // Nothing queued: the feeder (a receiver) pushes what it has at hand, outside the push
      // lock, which its push takes. Once per call, so that a feeder that queues nothing usable
      // cannot keep the consumer here.
      if (feeder) {
        fed = true;
        struct Feeding {
          explicit Feeding(detail::MessageQueue& queue) : queue(queue), outer(t_feeding) {
            queue.feeding = true;
            t_feeding = &queue;
          }
          ~Feeding() {
            queue.feeding = false;
            t_feeding = outer;
          }
          detail::MessageQueue& queue;
          detail::MessageQueue* const outer;
        } feeding(queue);
        if (feeder->feed()) continue;
      }
    }
    if (queue.out->available() <= 0) return nullptr;
    const std::uint64_t number = queue.popped++;
    if (!queue.outOrigins.empty()) origin = takeEntry(queue.outOrigins, number);
    if (queue.anyIncomplete.load(std::memory_order_acquire)) {
      // Rare: a record that went in incomplete is dropped with what it holds (its producer has
      // reported the failure).
      std::lock_guard<std::mutex> guard(queue.pushLock);
      const auto found = queue.incomplete.find(number);
      if (found != queue.incomplete.end()) {
        queue.record->begin(queue.out.get(), found->second);
        queue.record->skipRest();
        queue.incomplete.erase(found);
        if (queue.incomplete.empty()) queue.anyIncomplete.store(false, std::memory_order_relaxed);
        continue;
      }
    }
    unsigned char header[kFrameHeader];
    if (queue.out->read(header, kFrameHeader) != kFrameHeader) return nullptr;
    const int length = static_cast<int>(
        static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
        static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24);
    queue.record->begin(queue.out.get(), length);
    if (!queue.outObjects.empty()) {
      Unknown::Handle_T<Message> object = takeEntry(queue.outObjects, number);
      if (object) {
        queue.objects.fetch_sub(1, std::memory_order_relaxed);
        queue.record->skipRest();  // the placeholder
        handedOver = true;
        return object;
      }
    }
    Unknown::Handle_T<Message> message;
    try {
      queue.reader >> message;
    } catch (const Exception& e) {
      failure.emplace(e);
      message = nullptr;
    } catch (...) {
      queue.record->skipRest();  // the queue stays in step for whoever catches it
      throw;
    }
    queue.record->skipRest();
    return message;
  }
}

}  // namespace

MessagePort::MessagePort() : _queue(new detail::MessageQueue()) {}

MessagePort::MessagePort(const MessagePort& other)
    : _dispenser(other._dispenser), _queue(other._queue) {}

MessagePort::MessagePort(MessagePort&& other) noexcept
    : _dispenser(std::move(other._dispenser)), _queue(other._queue) {
  other._dispenser.clearMessageHandler();
}

// The task of serveOn: dispatches on every wake-up of its system. It reaches its port under the
// queue's pop lock, which the port's destructor takes to tell it the port is gone.
class detail::PortServer : public System::Task {
 public:
  PortServer(MessagePort* port, unsigned int budget)
      : _queue(port->_queue), _port(port), _budget(budget) {}

  void onTick(unsigned int) override {
    std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
    if (_port) _port->procMessage(_budget);
  }
  unsigned int nextDue() const override { return kDueOnWake; }
  void exit() override {
    System* system = getSystem();
    std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
    if (_port && system) _port->unbindFrom(system);
  }
  // The port is being destroyed (its pop lock is held).
  void forgetPort() { _port = nullptr; }

 private:
  const Unknown::Handle_T<MessageQueue> _queue;
  MessagePort* _port;  // under the queue's pop lock
  const unsigned int _budget;
};

MessagePort::~MessagePort() {
  // A procMessage of this port in progress (its handler let go of the port) stops.
  if (_gone) *_gone = true;
  if (_server) {
    std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
    _server->forgetPort();
  }
}

bool MessagePort::serveOn(System* system, unsigned int budget) {
  if (!system) return false;
  if (_server && _server->getTaskState() != TS_STOPPED) return false;
  const Unknown::Handle_T<detail::PortServer> server(new detail::PortServer(this, budget));
  const System::EState state = system->getState();
  if (state != System::ES_INITIALISED && state != System::ES_RUNNING) return false;
  system->setIdleWait(true);
  bind(system);
  if (!server->start(system)) {
    unbindFrom(system);
    return false;
  }
  std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
  _server = server;
  return true;
}

void MessagePort::unbindFrom(System* system) {
  detail::MessageQueue& queue = *_queue;
  std::lock_guard<std::mutex> guard(queue.pushLock);
  if (queue.consumer != system) return;
  queue.consumer = nullptr;
  system->forgetQueue(&queue);
}

namespace {
thread_local MessageOrigin* t_currentOrigin = nullptr;

// The origin of the handler running on this thread, for the scope's life. `current` is this
// thread's t_currentOrigin, whose address a dispatching loop looks up once: in a shared library
// every look-up of a thread's variable is a call.
class CurrentOrigin {
 public:
  CurrentOrigin(MessageOrigin*& current, MessageOrigin* origin)
      : _current(current), _previous(current) {
    current = origin;
  }
  ~CurrentOrigin() { _current = _previous; }
  CurrentOrigin(const CurrentOrigin&) = delete;
  CurrentOrigin& operator=(const CurrentOrigin&) = delete;

 private:
  MessageOrigin*& _current;
  MessageOrigin* _previous;
};
}  // namespace

MessageOrigin* MessagePort::getCurrentOrigin() {
  return t_currentOrigin;
}

bool MessagePort::pushMessage(const Unknown::Handle_T<Message>& msg) {
  return pushMessage(msg, nullptr);
}

bool MessagePort::pushMessage(const Unknown::Handle_T<Message>& msg, MessageOrigin* origin) {
  try {
    alignas(RecordWriter) unsigned char storage[sizeof(RecordWriter)];
    const Unknown::Handle_T<RecordWriter> record(new (storage) RecordWriter());
    {
      OutputStream os(record.get());
      os << msg;
    }
    record->seal();
    // What the queue logs (a spill to the file) reaches the listeners after the lock is left.
    const detail::LogDeferral deferred;
    std::lock_guard<std::mutex> guard(_queue->pushLock);
    detail::MessageQueue& queue = *_queue;
    const int size = record->size();
    // A stream holds at most INT_MAX bytes: a record that does not fit is refused whole.
    const int written =
        queue.in->available() > INT_MAX - size ? 0 : queue.in->write(record->data(), size);
    if (written != size) {
      if (written > 0) {
        // The part that went in stays queued: its number tells the consumer to drop it.
        queue.incomplete.emplace(queue.pushed++, written);
        queue.anyIncomplete.store(true, std::memory_order_release);
      }
      VEMO_THROW_AT(L"..\\src\\Stream", 31,
                    L"OutputStream& operator <<(OutputStream &,InputStream &)");
    }
    if (origin) queue.inOrigins.emplace_back(queue.pushed, origin);
    ++queue.pushed;
    // Under the lock, so that an unbinding thread may release the system once it has the lock;
    // notify itself calls nothing outside the library.
    if (System* consumer = queue.consumer) consumer->notify();
    return true;
  } catch (const Exception& e) {
    e.report();
    return false;
  }
}

int MessagePort::pushMessages(const Unknown::Handle_T<Message>* messages,
                              MessageOrigin* const* origins, int count) {
  return queueRecords(messages, origins, count, false);
}

int MessagePort::handOverMessages(Unknown::Handle_T<Message>* messages,
                                  MessageOrigin* const* origins, int count) {
  if (messages && count > 0 && count <= kFeedLane && t_feeding == _queue.get()) {
    // The consumer's own feed (it holds the pop lock): when nothing is queued and the messages
    // are the caller's alone, they go straight to the consumer's side, before anything pushed
    // after this look. What another thread queued first keeps its place: then they are queued.
    bool alone = true;
    for (int i = 0; i < count && alone; ++i)
      alone = messages[i] && messages[i]->getReferenceCount() == 1;
    detail::MessageQueue& queue = *_queue;
    bool empty = false;
    if (alone && queue.out->available() <= 0) {
      std::lock_guard<std::mutex> guard(queue.pushLock);
      empty = queue.in->available() <= 0;
    }
    if (empty) {
      for (int i = 0; i < count; ++i)
        queue.fed.emplace_back(std::move(messages[i]), origins ? origins[i] : nullptr);
      return count;
    }
  }
  const int queued = queueRecords(messages, origins, count, true);
  for (int i = 0; messages && i < count; ++i)
    messages[i] = nullptr;  // those not taken as objects were written, or failed to be
  return queued;
}

int MessagePort::queueRecords(const Unknown::Handle_T<Message>* messages,
                              MessageOrigin* const* origins, int count, bool handOver) {
  if (!messages || count <= 0) return 0;
  // Handed over, a message that only the caller's handle holds goes in as itself, behind a
  // placeholder record; the consumer finds it by the record's number. The choice is made once,
  // before the lock, and kept by the writing under it.
  std::vector<bool> asObjects;
  if (handOver) {
    int room = kMaxObjects - _queue->objects.load(std::memory_order_relaxed);
    asObjects.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count && room > 0; ++i)
      if (messages[i] && messages[i]->getReferenceCount() == 1) {
        asObjects[static_cast<std::size_t>(i)] = true;
        --room;
      }
  }
  const auto asObject = [&asObjects](int i) {
    return !asObjects.empty() && asObjects[static_cast<std::size_t>(i)];
  };
  std::vector<unsigned char> block;
  std::vector<std::optional<Exception>> failures;
  block.reserve(static_cast<std::size_t>(count) * 64);
  for (int i = 0; i < count; ++i) {
    if (asObject(i)) {
      const unsigned char placeholder[kFrameHeader + 1] = {1, 0, 0, 0, 'o'};
      block.insert(block.end(), placeholder, placeholder + sizeof placeholder);
      continue;
    }
    alignas(RecordWriter) unsigned char storage[sizeof(RecordWriter)];
    const Unknown::Handle_T<RecordWriter> record(new (storage) RecordWriter());
    try {
      OutputStream os(record.get());
      os << messages[i];
    } catch (const Exception& e) {
      if (failures.empty()) failures.resize(static_cast<std::size_t>(count));
      failures[static_cast<std::size_t>(i)].emplace(e);
    }
    const unsigned char nullRecord[kFrameHeader + 1] = {1, 0, 0, 0, 'o'};
    const unsigned char* data = nullRecord;
    int size = kFrameHeader + 1;
    if (failures.empty() || !failures[static_cast<std::size_t>(i)]) {
      record->seal();
      data = record->data();
      size = record->size();
    }
    block.insert(block.end(), data, data + size);
  }
  int written = 0;
  std::optional<Exception> full;
  // What the consumer gives back is released here, once the lock is left.
  std::vector<Unknown::Handle_T<Message>> released;
  {
    const detail::LogDeferral deferred;
    std::lock_guard<std::mutex> guard(_queue->pushLock);
    detail::MessageQueue& queue = *_queue;
    if (handOver) released.swap(queue.returned);
    // Most often the whole block goes in with one write; when the stream takes only part of it,
    // the record it stopped in went in incomplete and the records after it are tried one by one,
    // as if each had been written alone.
    std::size_t inStream = 0;
    if (block.size() <= static_cast<std::size_t>(INT_MAX) &&
        queue.in->available() <= INT_MAX - static_cast<int>(block.size())) {
      const int put = queue.in->write(block.data(), static_cast<int>(block.size()));
      if (put > 0) inStream = static_cast<std::size_t>(put);
    }
    int objects = 0;
    std::size_t at = 0;
    for (int i = 0; i < count; ++i) {
      const unsigned char* head = block.data() + at;
      const int size = kFrameHeader + static_cast<int>(static_cast<std::uint32_t>(head[0]) |
                                                       static_cast<std::uint32_t>(head[1]) << 8 |
                                                       static_cast<std::uint32_t>(head[2]) << 16 |
                                                       static_cast<std::uint32_t>(head[3]) << 24);
      int put;
      if (at + static_cast<std::size_t>(size) <= inStream)
        put = size;
      else if (at < inStream)
        put = static_cast<int>(inStream - at);
      else
        put = queue.in->available() > INT_MAX - size ? 0 : queue.in->write(head, size);
      at += static_cast<std::size_t>(size);
      if (put != size) {
        // As pushMessage: the part that went in is dropped by the consumer; the message is not
        // queued, and its origin is let go.
        if (put > 0) {
          queue.incomplete.emplace(queue.pushed++, put);
          queue.anyIncomplete.store(true, std::memory_order_release);
        }
        if (!full) {
          try {
            VEMO_THROW_AT(L"..\\src\\Stream", 31,
                          L"OutputStream& operator <<(OutputStream &,InputStream &)");
          } catch (const Exception& e) {
            full.emplace(e);
          }
        }
        continue;
      }
      if (origins && origins[i]) queue.inOrigins.emplace_back(queue.pushed, origins[i]);
      // A second handle for the moment: the caller's is emptied once this returns.
      if (asObject(i)) {
        queue.inObjects.emplace_back(queue.pushed, messages[i]);
        ++objects;
      }
      ++queue.pushed;
      if (failures.empty() || !failures[static_cast<std::size_t>(i)]) ++written;
    }
    if (objects) queue.objects.fetch_add(objects, std::memory_order_relaxed);
    if (System* consumer = queue.consumer) consumer->notify();
  }
  released.clear();
  for (const std::optional<Exception>& failure : failures)
    if (failure) failure->report();
  if (full) full->report();
  return written;
}

void MessagePort::bind(System* consumer) {
  detail::MessageQueue& queue = *_queue;
  {
    std::lock_guard<std::mutex> guard(queue.pushLock);
    System* const old = queue.consumer;
    if (old != consumer) {
      queue.consumer = consumer;
      if (old) {
        old->forgetQueue(&queue);
        // It may be asleep on the port's feeder's wait handle: woken, it lets go of it.
        old->notify();
      }
      if (consumer) consumer->rememberQueue(&queue);
    }
  }
  // A message pushed before the binding is not missed by a consumer that sleeps already.
  if (consumer) consumer->notify();
}

void MessagePort::setFeeder(MessageFeeder* feeder) {
  Unknown::Handle_T<MessageFeeder> old(feeder);
  {
    std::lock_guard<std::mutex> guard(_queue->pushLock);
    std::swap(old, _queue->feeder);
    // A bound system asleep learns of the feeder's wait handle (and forgets the old one's).
    if (System* consumer = _queue->consumer) consumer->notify();
  }
  // The one replaced is let go outside the lock: its destructor is not the port's.
}

void MessagePort::removeFeeder(MessageFeeder* feeder) {
  Unknown::Handle_T<MessageFeeder> old;
  {
    std::lock_guard<std::mutex> guard(_queue->pushLock);
    if (!feeder || _queue->feeder.get() != feeder) return;
    std::swap(old, _queue->feeder);
  }
}

bool MessagePort::notifyConsumer() {
  // Under the lock, as a push notifies: an unbinding thread may release the system once it has
  // had the lock.
  std::lock_guard<std::mutex> guard(_queue->pushLock);
  System* const consumer = _queue->consumer;
  if (consumer) consumer->notify();
  return consumer != nullptr;
}

Unknown::Handle_T<MessageFeeder> detail::queueFeeder(Unknown* queue) {
  MessageQueue* const bound = static_cast<MessageQueue*>(queue);
  std::lock_guard<std::mutex> guard(bound->pushLock);
  return bound->feeder;
}

System* MessagePort::getBoundSystem() const {
  std::lock_guard<std::mutex> guard(_queue->pushLock);
  return _queue->consumer;
}

void detail::forgetConsumer(Unknown* queue, System* system) {
  MessageQueue* const bound = static_cast<MessageQueue*>(queue);
  std::lock_guard<std::mutex> guard(bound->pushLock);
  if (bound->consumer == system) bound->consumer = nullptr;
}

Unknown::Handle_T<Message> MessagePort::popMessage() {
  std::optional<Exception> failure;
  Unknown::Handle_T<Message> message;
  Unknown::Handle_T<MessageOrigin> origin;
  {
    std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
    bool handedOver;
    message = popRecord(*_queue, failure, origin, handedOver);
    if (origin) origin->delivered();
  }
  if (failure) failure->report();
  return message;
}

namespace {

// Ends every procMessage, also one left by an exception: when records are still queued, the bound
// consumer is told, so that one waiting for its next wake-up does not leave them there.
class RestTeller {
 public:
  explicit RestTeller(detail::MessageQueue& queue) : _queue(queue) {}
  ~RestTeller() {
    // The pop lock is still held: the pop queue is read by its owner.
    const bool left = _queue.out->available() > 0 || !_queue.fed.empty();
    std::lock_guard<std::mutex> guard(_queue.pushLock);
    giveBackLocked(_queue);
    if (System* consumer = _queue.consumer)
      if (left || _queue.in->available() > 0) consumer->notify();
  }
  RestTeller(const RestTeller&) = delete;
  RestTeller& operator=(const RestTeller&) = delete;

 private:
  detail::MessageQueue& _queue;
};

}  // namespace

int MessagePort::procMessage(unsigned int budget) {
  // A handler may let go of the last copy of this port: the queue (and its lock) outlive the
  // call, and the port is not touched again once it is gone.
  const Unknown::Handle_T<detail::MessageQueue> queue = _queue;
  bool gone = false;
  bool* const outerGone = _gone;
  _gone = &gone;
  const auto leave = [&] {
    if (!gone)
      _gone = outerGone;
    else if (outerGone)
      *outerGone = true;  // a procMessage of this port further out stops too
  };
  std::optional<Exception> failure;
  int count = 0;
  try {
    std::lock_guard<std::recursive_mutex> guard(queue->popLock);
    const RestTeller teller(*queue);
    MessageOrigin*& currentOrigin = t_currentOrigin;
    const unsigned int start = getTimeTick();
    for (;;) {
      Unknown::Handle_T<MessageOrigin> origin;
      bool handedOver = false;
      Unknown::Handle_T<Message> message;
      if (!queue->fed.empty()) {
        // What the consumer's own feed handed over goes first (as popRecord takes it), straight
        // from its list: none of popRecord's looks at the queues for each of a feed's batch.
        auto& head = queue->fed.front();
        message = std::move(head.first);
        origin = std::move(head.second);
        queue->fed.pop_front();
      } else {
        message = popRecord(*queue, failure, origin, handedOver);
      }
      if (!message) {
        if (origin) origin->delivered();
        break;
      }
      try {
        const CurrentOrigin current(currentOrigin, origin.get());
        _dispenser.dispatchMessage(message.get());
      } catch (const Exception& e) {
        failure.emplace(e);
        if (origin) origin->delivered();
        break;
      } catch (...) {
        if (origin) origin->delivered();
        throw;
      }
      if (origin) origin->delivered();
      ++count;
      // A handed-over message that nothing else holds now goes back to its producer.
      if (handedOver && message->getReferenceCount() == 1 &&
          queue->finished.size() < kMaxFinished) {
        // The buffer that went to the producers left an empty one behind: room for a batch.
        if (queue->finished.capacity() == 0) queue->finished.reserve(kGiveBackAt);
        queue->finished.push_back(std::move(message));
        if (queue->finished.size() % kGiveBackAt == 0) {
          std::lock_guard<std::mutex> pushGuard(queue->pushLock);
          giveBackLocked(*queue);
        }
      }
      message = nullptr;
      if (gone || getTimeTick() - start > budget) break;
    }
  } catch (...) {
    leave();
    throw;
  }
  leave();
  if (failure) failure->report();
  return count;
}

}  // namespace vemo
