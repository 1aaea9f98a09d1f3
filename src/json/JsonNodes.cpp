// The slabs that the nodes and strings of parsed JSON values come from (see
// detail::allocateJsonNode).
//
// A slab is one block of the allocator: a count of its live blocks, then the blocks one after
// the other, each an 8-byte header pointing to its slab followed by the block itself. A thread
// fills its current slab from front to back, so a document's members, containers and strings
// lie in the order the text had them, and counts the slab's blocks as live in advance (as many
// as could fit). When it leaves the slab (full, or at the thread's end) it takes back the count
// of those it did not make. Freeing a block takes one off its slab's count; whoever takes it to
// zero frees the slab. Making a block touches no shared state; freeing the blocks of a document
// one after the other takes one atomic operation per slab (see JsonFreeBatch).
//
// A block that lives on keeps its slab (8 KiB) allocated: a program that keeps one string of
// every few hundred it parses keeps that much more memory than it uses. The documents the
// library reads are made and dropped whole.
#include "JsonNodes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "vemo/core/Json.h"

// Under AddressSanitizer every block is an allocation of its own, so that a block used after it
// was freed is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define VEMO_BLOCK_PER_SLAB 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEMO_BLOCK_PER_SLAB 1
#endif
#endif
#if defined(VEMO_BLOCK_PER_SLAB)
constexpr bool kBlockPerSlab = true;
#else
constexpr bool kBlockPerSlab = false;
#endif

namespace vemo {
namespace detail {

namespace {

struct Slab {
  std::atomic<std::uint32_t> live;
};

// A block's header: its slab, padded to 8 bytes so that blocks keep an alignment of 8 on 32-bit
// systems too.
union BlockHeader {
  Slab* slab;
  std::uint64_t padding;
};
constexpr std::size_t kHeader = sizeof(BlockHeader);
static_assert(kHeader == 8, "a block's header is 8 bytes");

// The allocator's own header takes two words of an 8 KiB chunk.
constexpr std::size_t kSlabBytes = 8192 - 2 * sizeof(void*);
constexpr std::size_t kFirstBlock = (sizeof(Slab) + 7) / 8 * 8;
// Every block takes at least 16 bytes with its header: no slab holds more.
constexpr std::uint32_t kMostBlocks = static_cast<std::uint32_t>(kSlabBytes / 16);
static_assert(kJsonSlabLimit + kHeader <= kSlabBytes - kFirstBlock, "a slab holds a block");

constexpr std::size_t roundUp(std::size_t size) {
  return (size + 7) / 8 * 8;
}

// The slab a thread is filling.
struct Filling {
  Slab* slab = nullptr;
  unsigned char* next = nullptr;
  unsigned char* end = nullptr;
  std::uint32_t made = 0;
};

std::atomic<int> g_slabCount{0};

Slab* newSlab(std::size_t bytes, std::uint32_t live) {
  void* block = std::malloc(bytes);
  if (!block) throw std::bad_alloc();
  g_slabCount.fetch_add(1, std::memory_order_relaxed);
  return new (block) Slab{{live}};
}

void release(Slab* slab, std::uint32_t count) noexcept {
  if (slab->live.fetch_sub(count, std::memory_order_acq_rel) != count) return;
  std::free(slab);
  g_slabCount.fetch_sub(1, std::memory_order_relaxed);
}

// Stops filling the slab: the blocks not made are no longer counted as live.
void leave(Filling& filling) noexcept {
  if (filling.slab) release(filling.slab, kMostBlocks - filling.made);
  filling = Filling();
}

// The slab a thread fills, given back when the thread ends. The state lives in the object whose
// destructor gives it back: where thread-local storage is emulated (MinGW), the storage of
// another thread-local object may already be gone when this destructor runs (a separate closer
// found fresh storage there and left the slab behind). A block made after the end (by a
// destructor that runs later) is meant to get a slab of its own; see the design notes for what
// is not yet safe there.
struct ThreadSlabs {
  Filling filling;
  bool ended = false;
  ~ThreadSlabs() {
    leave(filling);
    ended = true;
  }
};
thread_local ThreadSlabs t_slabs;

// The blocks freed in the current batch (see JsonFreeBatch), all of one slab, not yet taken
// off its count.
struct FreeBatch {
  bool active = false;
  Slab* slab = nullptr;
  std::uint32_t count = 0;
};
thread_local FreeBatch t_batch;  // trivially destructible: never used once the thread ends

void flush(FreeBatch& batch) noexcept {
  if (batch.slab) release(batch.slab, batch.count);
  batch.slab = nullptr;
  batch.count = 0;
}

void* headed(void* at, Slab* slab) {
  static_cast<BlockHeader*>(at)->slab = slab;
  return static_cast<unsigned char*>(at) + kHeader;
}

// A block with a slab of its own.
void* alone(std::size_t size) {
  Slab* slab = newSlab(kFirstBlock + kHeader + size, 1);
  return headed(reinterpret_cast<unsigned char*>(slab) + kFirstBlock, slab);
}

void start(Filling& filling) {
  filling.slab = newSlab(kSlabBytes, kMostBlocks);
  filling.next = reinterpret_cast<unsigned char*>(filling.slab) + kFirstBlock;
  filling.end = reinterpret_cast<unsigned char*>(filling.slab) + kSlabBytes;
  filling.made = 0;
}

}  // namespace

int getJsonSlabCount() {
  return g_slabCount.load(std::memory_order_relaxed);
}

namespace {

// Makes a block of `need` bytes with its header in a new slab, leaving the one the thread filled.
// Out of the common path, so that the thread's storage is looked up once per block.
void* fromNewSlab(ThreadSlabs& slabs, std::size_t size, std::size_t need) {
  if (slabs.ended) return alone(size);
  Filling& filling = slabs.filling;
  leave(filling);
  start(filling);
  unsigned char* const at = filling.next;
  filling.next += need;
  filling.made = 1;
  return headed(at, filling.slab);
}

}  // namespace

void* allocateJsonNode(std::size_t size) {
  if (kBlockPerSlab || size > kJsonSlabLimit) return alone(size);
  const std::size_t need = kHeader + roundUp(size);
  ThreadSlabs& slabs = t_slabs;
  Filling& filling = slabs.filling;
  unsigned char* const at = filling.next;
  if (static_cast<std::size_t>(filling.end - at) < need) return fromNewSlab(slabs, size, need);
  filling.next = at + need;
  ++filling.made;
  return headed(at, filling.slab);
}

void shrinkJsonNode(void* block, std::size_t size, std::size_t smaller) noexcept {
  if (kBlockPerSlab) return;
  Filling& filling = t_slabs.filling;
  if (static_cast<unsigned char*>(block) + roundUp(size) == filling.next)
    filling.next = static_cast<unsigned char*>(block) + roundUp(smaller);
}

namespace {

// Frees a block of a slab other than the current batch's: the batch gives its count to its slab
// and goes on with this one; without a batch the count is taken off at once. Out of the common
// path, so that the thread's storage is looked up once per block.
void freeOutsideBatch(FreeBatch& batch, Slab* slab) noexcept {
  if (!batch.active) {
    release(slab, 1);
    return;
  }
  flush(batch);
  batch.slab = slab;
  batch.count = 1;
}

}  // namespace

void freeJsonNode(void* block) noexcept {
  if (!block) return;
  Slab* const slab =
      reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(block) - kHeader)->slab;
  FreeBatch& batch = t_batch;
  if (batch.active && slab == batch.slab) {
    ++batch.count;
    return;
  }
  freeOutsideBatch(batch, slab);
}

JsonFreeBatch::JsonFreeBatch() noexcept : _outermost(!t_batch.active) {
  if (_outermost) t_batch.active = true;
}

JsonFreeBatch::~JsonFreeBatch() {
  if (!_outermost) return;
  FreeBatch& batch = t_batch;
  flush(batch);
  batch.active = false;
}

}  // namespace detail
}  // namespace vemo
