#include "vemo/core/Message.h"

#include <cstdlib>

namespace vemo {

VEMO_IMPLEMENT_CLASS(Message)

detail::PropertyTable Message::g_propertyTable_;
const String Message::g_propertyType_(L"Message");

// The base message has no members of its own.
bool Message::registerProperty_() {
  return true;
}

const bool Message::g_registerProperty_ = Message::registerProperty_();

// "Message", "MessageArray" and "MessageList", torn down again when the library unloads.
VEMO_REGISTER_PROPERTY_CONVERTERS_(Message)

Message::~Message() = default;

Unknown::Handle_T<Message> Message::createMessage_() {
  return Handle_T<Message>(new Message());
}

Unknown::Handle_T<Message> Message::clone() const {
  return Handle_T<Message>::dynamicCast(Unknown::clone());
}

namespace {

// The blocks a thread keeps for messages, by size in steps of kGrain bytes. Plain data, so that
// it stays usable while the thread's other thread-local objects are destroyed (a message may go
// with them); the closer below empties it first and marks it closed.
constexpr std::size_t kGrain = 16;
constexpr std::size_t kClasses = 16;  // up to 256 bytes
constexpr unsigned int kKept = 256;   // per size and thread

struct FreeBlock {
  FreeBlock* next;
};

struct BlockCache {
  FreeBlock* heads[kClasses];
  unsigned int counts[kClasses];
  bool opened;
  bool closed;
};
thread_local BlockCache t_blocks{};

struct BlockCacheCloser {
  ~BlockCacheCloser() {
    t_blocks.closed = true;
    for (std::size_t c = 0; c < kClasses; ++c)
      while (FreeBlock* block = t_blocks.heads[c]) {
        t_blocks.heads[c] = block->next;
        std::free(block);
      }
  }
};
thread_local BlockCacheCloser t_blocksCloser;

// The size class of a message of `size` bytes; kClasses when it has none.
std::size_t sizeClass(std::size_t size) {
  return size == 0 ? 0 : (size - 1) / kGrain < kClasses ? (size - 1) / kGrain : kClasses;
}

}  // namespace

void* Message::operator new(std::size_t size) {
  const std::size_t c = sizeClass(size);
  if (c == kClasses) return ::operator new(size);
  BlockCache& cache = t_blocks;
  if (FreeBlock* block = cache.heads[c]) {
    cache.heads[c] = block->next;
    --cache.counts[c];
    return block;
  }
  // Every block of a class has the class's full size, so that any of them serves any message
  // of the class.
  if (void* block = std::malloc((c + 1) * kGrain)) return block;
  throw std::bad_alloc();
}

void* Message::operator new(std::size_t size, std::align_val_t alignment) {
  return ::operator new(size, alignment);
}

void Message::operator delete(void* block, std::size_t size) noexcept {
  if (!block) return;
  const std::size_t c = sizeClass(size);
  if (c == kClasses) {
    ::operator delete(block);
    return;
  }
  BlockCache& cache = t_blocks;
  if (!cache.opened && !cache.closed) {
    // The first block kept by this thread: its closer is made now, to release them at its end.
    cache.opened = true;
    static_cast<void>(&t_blocksCloser);
  }
  if (cache.closed || cache.counts[c] >= kKept) {
    std::free(block);
    return;
  }
  FreeBlock* freed = static_cast<FreeBlock*>(block);
  freed->next = cache.heads[c];
  cache.heads[c] = freed;
  ++cache.counts[c];
}

void Message::operator delete(void* block, std::size_t, std::align_val_t alignment) noexcept {
  ::operator delete(block, alignment);
}

void Message::importFrom(InputStream&) {}
void Message::exportTo(OutputStream&) const {}

}  // namespace vemo
