#include "vemo/core/MemoryStream.h"

#include <algorithm>
#include <climits>
#include <mutex>
#include <new>

#include "File.h"
#include "Log.h"
#include "Poison.h"
#include "vemo/core/Buffer.h"
#include "vemo/core/Log.h"
#include "vemo/core/Memory.h"

namespace vemo {

VEMO_IMPLEMENT_CLASS(MemoryStream)

namespace {

constexpr const wchar_t* kMemoryStreamFile = L"include/vemo/core/MemoryStream";
using FileCacheHandle = Unknown::Handle_T<MemoryStream::FileCache>;

// The process-wide pool of spilled blocks: one temporary file shared by every stream, handed
// out in 4096-byte windows; windows that were read empty are reused first-in first-out.
struct FileCachePool {
  SharedPtr<Mutex> lock{new Mutex};
  // Without a name: nothing is left behind however the process ends.
  Unknown::Handle_T<TempFile> file = detail::UnnamedTempFile::create();
  int used = 0;
  int blockCount = 0;
  std::list<FileCacheHandle> freeList;
};

std::mutex g_poolCreation;
FileCachePool* g_pool = nullptr;

struct PoolTeardown {
  ~PoolTeardown() {
    std::lock_guard<std::mutex> guard(g_poolCreation);
    delete g_pool;
    g_pool = nullptr;
  }
} g_poolTeardown;

// A file window holding a copy of one full memory block, or null.
FileCacheHandle handOutFileCache(const unsigned char* block) {
  const detail::LogDeferral deferred;  // what fails is logged after the lock is released
  std::lock_guard<std::mutex> guard(g_poolCreation);
  if (!g_pool) g_pool = new FileCachePool;
  FileCachePool& pool = *g_pool;
  if (!pool.file) return FileCacheHandle();
  if (!pool.freeList.empty()) {
    FileCacheHandle reused = pool.freeList.front();
    reused->rewind();
    if (reused->write(block, MemoryStream::kBlockSize) != MemoryStream::kBlockSize) {
      Log::error(L"Write file cache error!");
      return FileCacheHandle();
    }
    pool.freeList.pop_front();
    return reused;
  }
  if (pool.used > INT_MAX - MemoryStream::kBlockSize) return FileCacheHandle();
  FileCacheHandle made(new MemoryStream::FileCache(pool.lock, pool.file, pool.used));
  if (made->write(block, MemoryStream::kBlockSize) != MemoryStream::kBlockSize) {
    Log::error(L"Write file cache error!");
    return FileCacheHandle();
  }
  ++pool.blockCount;
  pool.used += MemoryStream::kBlockSize;
  return made;
}

// Takes the reference the reading stream has just removed from its chain. A window that a copy
// of the stream still holds is not given back, and its part of the file is not reused: whichever
// stream got it next would write its bytes where the copy reads.
void giveBackFileCache(const Unknown::Handle_T<MemoryStream::Cache>& cache) {
  if (cache->getReferenceCount() != 1) return;
  std::lock_guard<std::mutex> guard(g_poolCreation);
  if (g_pool) g_pool->freeList.push_back(static_cast<MemoryStream::FileCache*>(cache.get()));
}

// Freed memory blocks, kept as a stack of pointers beside the blocks (so that the blocks
// themselves can be marked unusable under AddressSanitizer while the pointers stay visible to
// its leak check). Constant-initialised, so it exists before any stream; after the teardown at
// exit, freed blocks go straight back to the allocator.
struct BlockPool {
  std::mutex lock;
  void* blocks[MemoryStream::kPooledBlockLimit] = {};
  int count = 0;
  bool closed = false;
};
BlockPool g_blocks;

struct BlockPoolTeardown {
  ~BlockPoolTeardown() {
    std::lock_guard<std::mutex> guard(g_blocks.lock);
    g_blocks.closed = true;
    while (g_blocks.count > 0) {
      void* block = g_blocks.blocks[--g_blocks.count];
      detail::unpoisonMemory(block, sizeof(MemoryStream::MemoryCache));
      ::operator delete(block);
    }
  }
} g_blockPoolTeardown;

void* takePooledBlock(std::size_t size) {
  if (size != sizeof(MemoryStream::MemoryCache)) return nullptr;
  std::lock_guard<std::mutex> guard(g_blocks.lock);
  if (g_blocks.count == 0) return nullptr;
  void* block = g_blocks.blocks[--g_blocks.count];
  detail::unpoisonMemory(block, size);
  return block;
}

bool givePooledBlock(void* block, std::size_t size) {
  if (size != sizeof(MemoryStream::MemoryCache)) return false;
  std::lock_guard<std::mutex> guard(g_blocks.lock);
  if (g_blocks.closed || g_blocks.count >= MemoryStream::kPooledBlockLimit) return false;
  detail::poisonMemory(block, size);
  g_blocks.blocks[g_blocks.count++] = block;
  return true;
}

// The smaller of a request and what is there, never negative.
int clampCount(int wanted, int there) {
  return std::max(0, std::min(wanted, there));
}

}  // namespace

// ---- MemoryCache -------------------------------------------------------------------------

int MemoryStream::MemoryCache::peek(void* buffer, int size) const {
  const int n = clampCount(size, available());
  if (n > 0) __memcpy__(buffer, _data + _readPos, static_cast<std::size_t>(n));
  return n;
}

int MemoryStream::MemoryCache::read(void* buffer, int size) {
  const int n = peek(buffer, size);
  if (n > 0) _readPos += n;
  return n;
}

int MemoryStream::MemoryCache::write(const void* data, int size) {
  const int n = clampCount(size, getFreeSize());
  if (n == 0) return size > getFreeSize() ? -1 : 0;
  __memcpy__(_data + _length, data, static_cast<std::size_t>(n));
  _length += n;
  return n;
}

void MemoryStream::MemoryCache::setLength(int length) {
  _length = std::max(0, std::min(length, kBlockSize));
  _readPos = std::min(_readPos, _length);
}

void* MemoryStream::MemoryCache::operator new(std::size_t size) {
  void* block = takePooledBlock(size);
  return block ? block : ::operator new(size);
}

void* MemoryStream::MemoryCache::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  void* block = takePooledBlock(size);
  return block ? block : ::operator new(size, std::nothrow);
}

void MemoryStream::MemoryCache::operator delete(void* block, std::size_t size) noexcept {
  if (block && !givePooledBlock(block, size)) ::operator delete(block);
}

void MemoryStream::MemoryCache::operator delete(void* block, const std::nothrow_t&) noexcept {
  ::operator delete(block);
}

int MemoryStream::getPooledBlockCount() {
  std::lock_guard<std::mutex> guard(g_blocks.lock);
  return g_blocks.count;
}

// ---- FileCache -----------------------------------------------------------------------------

MemoryStream::FileCache::FileCache(const SharedPtr<Mutex>& lock, const Handle_T<TempFile>& file,
                                   int start)
    : Cache(CacheType::File),
      _lock(lock),
      _file(file),
      _start(start),
      _end(start + kBlockSize),
      _readPos(start),
      _writePos(start) {}

int MemoryStream::FileCache::peek(void* buffer, int size) const {
  const int n = clampCount(size, available());
  if (n == 0) return size > available() && available() < 1 ? -1 : 0;
  const detail::LogDeferral deferred;  // the file logs its failures after the lock is released
  MutexLock guard(*_lock);
  if (_file->setPosition(_readPos) != _readPos) return -1;
  const int got = _file->read(buffer, n);
  return got < 0 ? -1 : got;
}

int MemoryStream::FileCache::read(void* buffer, int size) {
  const int n = peek(buffer, size);
  if (n > 0) _readPos += n;
  return n;
}

int MemoryStream::FileCache::write(const void* data, int size) {
  const int n = clampCount(size, getFreeSize());
  if (n == 0) return size > getFreeSize() && getFreeSize() < 1 ? -1 : 0;
  const detail::LogDeferral deferred;
  MutexLock guard(*_lock);
  if (_file->setPosition(_writePos) != _writePos) return -1;
  const int written = _file->write(data, n);
  if (written >= 0) _writePos += written;
  return written;
}

// ---- MemoryStream --------------------------------------------------------------------------

MemoryStream::MemoryStream() : MemoryStream(8388608) {}

MemoryStream::MemoryStream(int)
    : _available(0), _memoryCacheCount(0), _memoryCacheLimit(kMemoryCacheLimit) {}

MemoryStream::~MemoryStream() = default;

// Copies share the chain but not the spare blocks: each stream recycles only its own.
MemoryStream::MemoryStream(const MemoryStream& other)
    : Unknown(other),
      IO(other),
      _caches(other._caches),
      _available(other._available),
      _memoryCacheCount(other._memoryCacheCount),
      _memoryCacheLimit(other._memoryCacheLimit) {}

MemoryStream& MemoryStream::operator=(const MemoryStream& other) {
  _caches = other._caches;
  _available = other._available;
  _memoryCacheCount = other._memoryCacheCount;
  _memoryCacheLimit = other._memoryCacheLimit;
  return *this;
}

// Moves the full tail block into the pool's file, inserting the file window before the tail,
// which is then empty again.
bool MemoryStream::spillTail() {
  if (_caches.empty() || _caches.back()->type() != CacheType::Memory) return false;
  MemoryCache& tail = static_cast<MemoryCache&>(*_caches.back());
  FileCacheHandle spilled = handOutFileCache(tail.data());
  if (!spilled) return false;
  Log::warning(L"MemoryStream writeToFileCache memCache size=%d", tail.available());
  tail.reset();
  _caches.insert(std::prev(_caches.end()), Handle_T<Cache>(spilled.get()));
  return true;
}

// The cache the next bytes go into: the tail when it has room, else a new memory block, or a
// spill of the tail once the memory blocks reach their limit. Null after logging a failure.
MemoryStream::Cache* MemoryStream::writableTail() {
  if (!_caches.empty() && _caches.back()->getFreeSize() > 0) return _caches.back().get();
  bool spill = _memoryCacheCount >= _memoryCacheLimit;
  bool spillTried = false;
  for (;;) {
    if (spill) {
      if (spillTail()) return _caches.back().get();
      spillTried = true;
    }
    Handle_T<MemoryCache> made = _spareCount > 0
                                     ? std::move(_spares[--_spareCount])
                                     : Handle_T<MemoryCache>(new (std::nothrow) MemoryCache());
    if (made) {
      _caches.emplace_back(made.get());
      ++_memoryCacheCount;
      return made.get();
    }
    if (spillTried || _caches.size() < 2) {
      Log::error(L"Create memory cache error!");
      return nullptr;
    }
    spill = true;
  }
}

int MemoryStream::write(const void* data, int size) {
  const unsigned char* in = static_cast<const unsigned char*>(data);
  // The count of bytes held is a signed 32-bit number: a stream is full at INT_MAX bytes, and a
  // write past that is taken as far as it fits, as when the stream can grow no further.
  const bool full = size > INT_MAX - _available;
  if (full) size = INT_MAX - _available;
  int total = 0;
  while (size > 0) {
    Cache* cache = writableTail();
    if (!cache) return total > 0 ? total : -1;
    const int n = cache->write(in + total, size);
    if (n < 1) {
      Log::error(L"Write cache error!");
      return total > 0 ? total : -1;
    }
    total += n;
    _available += n;
    size -= n;
    if (_memoryCacheCount > 10 && cache->type() == CacheType::Memory)
      Log::warning(L"MemoryStream _memoryCacheCount=%d, pCache size=%d", _memoryCacheCount,
                   static_cast<MemoryCache*>(cache)->length());
  }
  if (full) {
    Log::error(L"Write cache error!");
    return total > 0 ? total : -1;
  }
  return total;
}

// Replaces a spilled head by a memory block with its bytes, so that small reads do not each
// go to the file. On failure the head stays and is read from the file directly.
void MemoryStream::bringBackHead() {
  Handle_T<Cache> file = _caches.front();
  MemoryCache* made = new (std::nothrow) MemoryCache();
  if (!made) {
    Log::warning(L"Create memory cache fail!");
    return;
  }
  Handle_T<Cache> memory(made);
  const int got = file->read(made->data(), kBlockSize);
  if (got <= 0) return;
  made->setLength(got);
  _caches.pop_front();
  if (file->available() > 0)
    _caches.push_front(file);
  else
    giveBackFileCache(file);
  _caches.push_front(memory);
  ++_memoryCacheCount;
}

void MemoryStream::dropHead() {
  Handle_T<Cache> head = _caches.front();
  _caches.pop_front();
  if (head->type() == CacheType::File) {
    giveBackFileCache(head);
    return;
  }
  --_memoryCacheCount;
  // Kept for reuse only when no copy of this stream shares it.
  if (_spareCount < kSpareBlocks && head->getReferenceCount() == 1) {
    MemoryCache* block = static_cast<MemoryCache*>(head.get());
    block->reset();
    _spares[_spareCount++] = block;
  }
}

int MemoryStream::read(void* buffer, int size) {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  int total = 0;
  while (size > 0) {
    if (_caches.empty()) return total;
    if (_caches.front()->type() == CacheType::File && _caches.front()->available() > size)
      bringBackHead();
    Cache& head = *_caches.front();
    const int n = head.read(out + total, size);
    if (n == 0) return total;
    if (n < 0) {
      if (total > 0) return total;
      Log::error(L"Read cache error!");
      return -1;
    }
    total += n;
    size -= n;
    _available -= n;
    if (head.available() < 1) dropHead();
  }
  return total;
}

int MemoryStream::peek(void* buffer, int size) const {
  if (_caches.empty() || size < 1) return 0;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  int total = 0;
  for (const Handle_T<Cache>& cache : _caches) {
    if (total >= size) break;
    const int n = cache->peek(out + total, size - total);
    if (n > 0) {
      total += n;
      continue;
    }
    if (total == 0) return -1;
    if (cache->available() > 0) return total;
  }
  return total;
}

Unknown::Handle_T<MemoryStream> MemoryStream::clone() const {
  return Handle_T<MemoryStream>::dynamicCast(Unknown::clone());
}

void MemoryStream::exportTo(OutputStream& output) const {
  Buffer bytes(_available);
  if (bytes.getBufferSize() != _available)
    VEMO_THROW_AT(kMemoryStreamFile, 211, L"Alloc memory error!");
  if (_available > 0 && peek(bytes.getBuffer(), _available) != _available)
    VEMO_THROW_AT(kMemoryStreamFile, 213, L"peek data error!");
  output << bytes;
}

void MemoryStream::importFrom(InputStream& input) {
  unsigned char discard[kBlockSize];
  while (available() > 0)
    if (read(discard, kBlockSize) <= 0) break;
  Buffer bytes;
  input >> bytes;
  if (bytes.getBufferSize() > 0) write(bytes.getBuffer(), bytes.getBufferSize());
}

void MemoryStream::getFileCacheStarts(std::vector<int>& starts) const {
  starts.clear();
  for (const Handle_T<Cache>& cache : _caches)
    if (cache->type() == CacheType::File)
      starts.push_back(static_cast<FileCache&>(*cache).getStart());
}

OutputStream& operator<<(OutputStream& os, const MemoryStream& stream) {
  stream.exportTo(os);
  return os;
}

InputStream& operator>>(InputStream& is, MemoryStream& stream) {
  stream.importFrom(is);
  return is;
}

}  // namespace vemo
