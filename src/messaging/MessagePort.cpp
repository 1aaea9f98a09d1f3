#include "vemo/core/MessagePort.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "Log.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Tick.h"

namespace vemo {

String detail::noMessageHandlerText(const std::type_info& dispenser, const Message& message) {
  String text;
  text.format(L"%s MessageHandler::dispatchMessage( %s )", typeName(dispenser).getBuffer(),
              typeName(typeid(message)).getBuffer());
  return text;
}

// The producers' side and the consumer's side on cache lines of their own: producers contend
// for the push lock while the consumer decodes.
class detail::MessageQueue : public Unknown {
 public:
  MessageQueue()
      : in(MemoryStream::createInstance(33554432)),
        out(MemoryStream::createInstance(33554432)),
        reader(out.get()) {}

  // Guards `in` (the handle and its stream).
  alignas(64) std::mutex pushLock;
  Handle_T<MemoryStream> in;
  // Guards `out`, `reader` and the consumer's side; taken before pushLock.
  alignas(64) std::recursive_mutex popLock;
  Handle_T<MemoryStream> out;
  InputStream reader;
};

namespace {

// Holds one message in the handle encoding while it is written outside the push lock: in its
// own inline room when small (no heap at all), else in a heap block that grows as needed.
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
  int _size = 0;
  int _capacity = kInline;
};

// The next record of the queue, the pop lock being held; null when there is none or it is a
// null handle, or when decoding failed (then `failure` holds the exception, to be reported once
// the lock is released).
Unknown::Handle_T<Message> popRecord(detail::MessageQueue& queue,
                                     std::optional<Exception>& failure) {
  try {
    if (queue.out->available() <= 0) {
      // Everything pushed so far changes sides at once: the empty pop queue becomes the push
      // queue, so producers wait for no copy.
      std::lock_guard<std::mutex> guard(queue.pushLock);
      if (queue.in->available() > 0) {
        std::swap(queue.in, queue.out);
        queue.reader.attach(queue.out.get());
      }
    }
    if (queue.out->available() <= 0) return nullptr;
    Unknown::Handle_T<Message> message;
    queue.reader >> message;
    return message;
  } catch (const Exception& e) {
    failure.emplace(e);
    return nullptr;
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

MessagePort::~MessagePort() = default;

bool MessagePort::pushMessage(const Unknown::Handle_T<Message>& msg) {
  try {
    alignas(RecordWriter) unsigned char storage[sizeof(RecordWriter)];
    const Unknown::Handle_T<RecordWriter> record(new (storage) RecordWriter());
    {
      OutputStream os(record.get());
      os << msg;
    }
    // What the queue logs (a spill to the file) reaches the listeners after the lock is left.
    const detail::LogDeferral deferred;
    std::lock_guard<std::mutex> guard(_queue->pushLock);
    if (_queue->in->write(record->data(), record->size()) != record->size())
      VEMO_THROW_AT(L"..\\src\\Stream", 31,
                    L"OutputStream& operator <<(OutputStream &,InputStream &)");
    return true;
  } catch (const Exception& e) {
    e.report();
    return false;
  }
}

Unknown::Handle_T<Message> MessagePort::popMessage() {
  std::optional<Exception> failure;
  Unknown::Handle_T<Message> message;
  {
    std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
    message = popRecord(*_queue, failure);
  }
  if (failure) failure->report();
  return message;
}

int MessagePort::procMessage(unsigned int budget) {
  std::optional<Exception> failure;
  int count = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(_queue->popLock);
    const unsigned int start = getTimeTick();
    for (;;) {
      Unknown::Handle_T<Message> message = popRecord(*_queue, failure);
      if (!message) break;
      try {
        _dispenser.dispatchMessage(message.get());
      } catch (const Exception& e) {
        failure.emplace(e);
        break;
      }
      ++count;
      message = nullptr;
      if (getTimeTick() - start > budget) break;
    }
  }
  if (failure) failure->report();
  return count;
}

}  // namespace vemo
