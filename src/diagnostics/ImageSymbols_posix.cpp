// The image is found through the memory map (the mapping of its file at offset 0 holds the ELF
// header), its dynamic section through the program headers, and the size of its symbol table
// through the hash table the dynamic linker uses (DT_HASH, or DT_GNU_HASH).
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>

#include "ImageSymbols.h"

namespace vemo {
namespace detail {
namespace {

// Symbols looked at in one image at most: a damaged hash table cannot make the search endless.
constexpr std::uint32_t kMaxSymbols = 1u << 22;

// Reads a value of type T at `address` when the map says it is readable.
template <typename T>
bool load(const MemoryMap& map, std::uintptr_t address, T& value) {
  if (!map.readable(address, sizeof value)) return false;
  std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
  return true;
}

struct DynamicTables {
  std::uintptr_t symbols = 0, strings = 0, hash = 0, gnuHash = 0;
  std::size_t stringSize = 0;
};

// Addresses in the dynamic section are made absolute by the dynamic linker for most images; the
// ones it leaves alone (the vDSO's) are still relative to the load bias.
std::uintptr_t absolute(std::uintptr_t value, std::uintptr_t bias) {
  return value < bias ? value + bias : value;
}

bool readDynamic(const MemoryMap& map, std::uintptr_t dynamic, std::uintptr_t bias,
                 std::uintptr_t end, DynamicTables& tables) {
  for (std::uintptr_t at = dynamic;; at += sizeof(ElfW(Dyn))) {
    ElfW(Dyn) entry;
    if (at >= end || !load(map, at, entry)) return false;
    const std::uintptr_t value = static_cast<std::uintptr_t>(entry.d_un.d_ptr);
    switch (entry.d_tag) {
      case DT_NULL:
        return tables.symbols != 0 && tables.strings != 0;
      case DT_SYMTAB:
        tables.symbols = absolute(value, bias);
        break;
      case DT_STRTAB:
        tables.strings = absolute(value, bias);
        break;
      case DT_STRSZ:
        tables.stringSize = value;
        break;
      case DT_HASH:
        tables.hash = absolute(value, bias);
        break;
      case DT_GNU_HASH:
        tables.gnuHash = absolute(value, bias);
        break;
      default:
        break;
    }
  }
}

// Entries of `size` bytes from `start` that lie before `end`.
std::uintptr_t entriesBefore(std::uintptr_t start, std::uintptr_t end, std::size_t size) {
  return start < end ? (end - start) / size : 0;
}

// The number of symbols: the chain count of DT_HASH, or one past the last symbol that a
// DT_GNU_HASH chain reaches. Every table lies inside the image, which ends at `imageEnd`: counts
// an image states (it may be damaged, or made to mislead) never take a walk beyond it.
std::uint32_t symbolCount(const MemoryMap& map, const DynamicTables& tables,
                          std::uintptr_t imageEnd) {
  std::uint32_t header[4];
  if (tables.hash) return load(map, tables.hash, header) ? header[1] : 0;
  if (!tables.gnuHash || !load(map, tables.gnuHash, header)) return 0;
  const std::uint32_t buckets = header[0], offset = header[1], bloomWords = header[2];
  if (bloomWords > entriesBefore(tables.gnuHash + sizeof header, imageEnd, sizeof(ElfW(Addr))))
    return 0;
  const std::uintptr_t bucketTable =
      tables.gnuHash + sizeof header + std::uintptr_t{bloomWords} * sizeof(ElfW(Addr));
  if (buckets > entriesBefore(bucketTable, imageEnd, 4)) return 0;
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; i < buckets; ++i) {
    std::uint32_t bucket;
    if (!load(map, bucketTable + 4 * i, bucket)) return 0;
    if (bucket > last) last = bucket;
  }
  if (last < offset) return offset;
  const std::uintptr_t chains = bucketTable + 4 * std::uintptr_t{buckets};
  const std::uintptr_t chainEntries = entriesBefore(chains, imageEnd, 4);
  for (std::uint32_t index = last;; ++index) {
    if (index - offset >= chainEntries) return index;
    std::uint32_t hash;
    if (!load(map, chains + 4 * std::uintptr_t{index - offset}, hash)) return index;
    if (hash & 1) return index + 1;
  }
}

// The load bias and dynamic section of the image that begins at `start`.
bool readImage(const MemoryMap& map, std::uintptr_t start, std::uintptr_t& bias,
               std::uintptr_t& dynamic, std::uintptr_t& end) {
  ElfW(Ehdr) header;
  if (!load(map, start, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_phentsize != sizeof(ElfW(Phdr)))
    return false;
  bool loadSeen = false;
  dynamic = 0;
  std::uintptr_t high = 0;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    if (!load(map, start + header.e_phoff + i * sizeof segment, segment)) return false;
    if (segment.p_type == PT_LOAD && segment.p_vaddr + segment.p_memsz > high)
      high = segment.p_vaddr + segment.p_memsz;
    if (segment.p_type == PT_LOAD && !loadSeen) {
      // The first loaded segment begins the mapping, at its page.
      loadSeen = true;
      bias = start - (segment.p_vaddr & ~static_cast<ElfW(Addr)>(0xFFF));
    } else if (segment.p_type == PT_DYNAMIC) {
      dynamic = segment.p_vaddr;
    }
  }
  if (!loadSeen || dynamic == 0) return false;
  dynamic += bias;
  end = bias + high < bias ? UINTPTR_MAX : bias + high;
  return true;
}

}  // namespace

const char* findDynamicSymbol(const MemoryMap& map, std::uintptr_t address) {
  const MemoryRegion* region = map.find(address);
  const MemoryRegion* image = region ? map.imageStart(*region) : nullptr;
  std::uintptr_t bias = 0, dynamic = 0, end = 0;
  DynamicTables tables;
  if (!image || !readImage(map, image->start, bias, dynamic, end) ||
      !readDynamic(map, dynamic, bias, end, tables))
    return nullptr;
  std::uint32_t count = symbolCount(map, tables, end);
  if (count > kMaxSymbols) count = kMaxSymbols;
  const std::uintptr_t inImage = entriesBefore(tables.symbols, end, sizeof(ElfW(Sym)));
  if (count > inImage) count = static_cast<std::uint32_t>(inImage);
  const char* best = nullptr;
  std::uintptr_t bestStart = 0;
  for (std::uint32_t i = 1; i < count; ++i) {
    ElfW(Sym) symbol;
    if (!load(map, tables.symbols + i * sizeof symbol, symbol)) break;
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
        symbol.st_value == 0 || symbol.st_name >= tables.stringSize)
      continue;
    const std::uintptr_t start = bias + symbol.st_value;
    const std::uintptr_t size = symbol.st_size ? symbol.st_size : 1;
    if (address < start || address - start >= size || start < bestStart) continue;
    // The name must end inside the string table, which must be readable.
    if (!map.readable(tables.strings, tables.stringSize)) return nullptr;
    const char* name = reinterpret_cast<const char*>(tables.strings + symbol.st_name);
    if (!std::memchr(name, '\0', tables.stringSize - symbol.st_name)) continue;
    best = name;
    bestStart = start;
  }
  return best;
}

}  // namespace detail
}  // namespace vemo
