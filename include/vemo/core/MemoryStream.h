/// \file
/// MemoryStream: an unbounded first-in first-out byte queue.
///
/// Bytes written at the tail are read from the head. The content lives in a chain of 4096-byte
/// blocks; once a stream holds 2560 memory blocks (10 MiB), further blocks spill into one
/// process-wide temporary file, whose freed blocks are reused first-in first-out. Failures are
/// reported by return values (-1 when nothing moved, the partial count otherwise) and log lines,
/// never by exceptions. One thread at a time may use a stream (copies share their blocks and
/// count as one stream). Memory blocks that no stream holds any more go to a process-wide pool of
/// at most 2560 blocks, from which new blocks are taken first.
#pragma once

#include <cstddef>
#include <list>
#include <new>
#include <vector>

#include "vemo/core/Export.h"
#include "vemo/core/File.h"
#include "vemo/core/Mutex.h"
#include "vemo/core/SharedPtr.h"
#include "vemo/core/Stream.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// An unbounded first-in first-out byte queue in 4096-byte blocks that spills to a temporary
/// file (see MemoryStream.h). One thread at a time.
class VEMO_CORE_API MemoryStream : public IO {
  VEMO_DECLARE_CLASS(MemoryStream)

 public:
  class Cache;
  class MemoryCache;
  class FileCache;
  /// Where a block of the chain lies.
  enum class CacheType {
    Memory = 0,  ///< in memory (MemoryCache)
    File = 1     ///< in the pool's temporary file (FileCache)
  };
  static constexpr int kBlockSize = 4096;  ///< The size of every block, in bytes.
  static constexpr int kMemoryCacheLimit =
      2560;  ///< Memory blocks a stream holds before it spills.
  /// Freed memory blocks the process keeps for new ones: as many as one stream holds before it
  /// spills (10 MiB), so streams that fill and drain again within that do not go back to the
  /// allocator (and fault in fresh pages) for every block.
  static constexpr int kPooledBlockLimit = kMemoryCacheLimit;
  /// Freed memory blocks currently kept by the process (not counting streams' own spares).
  static int getPooledBlockCount();

  int available() const override { return _available; }
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;
  int write(const void* data, int size) override;

  /// A new stream holding a copy of this stream's unread bytes; this stream is not consumed.
  Handle_T<MemoryStream> clone() const;

  /// The stored form: all unread bytes (peeked, not consumed) as one Buffer. Import first
  /// discards what the stream holds.
  void importFrom(InputStream& input) override;
  void exportTo(OutputStream& output) const override;

  ///@{
  /// Shares the other's blocks: the copies then count as one stream, and reading or writing
  /// through one of them leaves the other's view of the blocks undefined.
  MemoryStream(const MemoryStream& other);
  MemoryStream& operator=(const MemoryStream& other);
  ///@}

  /// Memory blocks currently in the chain (spilled file blocks are not counted).
  int getMemoryCacheCount() const { return _memoryCacheCount; }
  /// Offsets in the pool's file of the spilled blocks in the chain, head first.
  void getFileCacheStarts(std::vector<int>& starts) const;

 protected:
  MemoryStream();
  /// The size is accepted for compatibility and has no effect.
  explicit MemoryStream(int size);
  ~MemoryStream() override;

 private:
  Cache* writableTail();
  bool spillTail();
  void bringBackHead();
  void dropHead();

  std::list<Handle_T<Cache>> _caches;
  int _available;
  int _memoryCacheCount;
  int _memoryCacheLimit;
  // Memory blocks read empty and kept for the next writes, so that a queue that is written and
  // read in turn does not allocate (and fault in) a fresh block for every 4096 bytes.
  static constexpr int kSpareBlocks = 4;
  Handle_T<MemoryCache> _spares[kSpareBlocks];
  int _spareCount = 0;
};

///@{
/// The stream's stored form (exportTo, importFrom).
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const MemoryStream& stream);
VEMO_CORE_API InputStream& operator>>(InputStream& is, MemoryStream& stream);
///@}

/// One link of a stream's chain.
class VEMO_CORE_API MemoryStream::Cache : public IO {
 public:
  /// Where the block lies.
  CacheType type() const { return _type; }
  /// Bytes that can still be written into this cache.
  virtual int getFreeSize() const = 0;

 protected:
  /// A block of that kind.
  explicit Cache(CacheType type) : _type(type) {}

 private:
  CacheType _type;
};

/// A block held in memory.
class VEMO_CORE_API MemoryStream::MemoryCache : public MemoryStream::Cache {
 public:
  /// An empty block.
  MemoryCache() : Cache(CacheType::Memory), _readPos(0), _length(0) {}

  int available() const override { return _length - _readPos; }
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;
  int write(const void* data, int size) override;
  int getFreeSize() const override { return kBlockSize - _length; }

  ///@{
  /// The block's 4096 bytes.
  const unsigned char* data() const { return _data; }
  unsigned char* data() { return _data; }
  ///@}
  /// The bytes written into the block so far.
  int length() const { return _length; }
  /// Clamps to 0..4096 and pulls the read position down to it.
  void setLength(int length);
  /// Empties the block for reuse.
  void reset() { _readPos = _length = 0; }

  ///@{
  /// Blocks are taken from and given back to the process's pool of freed blocks; only a block
  /// that no stream or copy refers to any more is ever destroyed, so no stream can see another
  /// stream's bytes through it.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* block, std::size_t size) noexcept;
  static void operator delete(void* block, const std::nothrow_t&) noexcept;
  ///@}

 private:
  unsigned char _data[kBlockSize];
  int _readPos;
  int _length;
};

/// A 4096-byte window of the pool's temporary file.
class VEMO_CORE_API MemoryStream::FileCache : public MemoryStream::Cache {
 public:
  /// The window at `start` of `file`, whose accesses `lock` serialises.
  FileCache(const SharedPtr<Mutex>& lock, const Handle_T<TempFile>& file, int start);

  int available() const override { return _writePos - _readPos; }
  int peek(void* buffer, int size) const override;
  int read(void* buffer, int size) override;
  int write(const void* data, int size) override;
  int getFreeSize() const override { return _end - _writePos; }

  /// The window's offset in the file.
  int getStart() const { return _start; }
  /// Empties the window for reuse.
  void rewind() { _readPos = _writePos = _start; }

 private:
  SharedPtr<Mutex> _lock;
  Handle_T<TempFile> _file;
  int _start;
  int _end;
  int _readPos;
  int _writePos;
};

}  // namespace vemo
