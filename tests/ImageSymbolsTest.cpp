// The crash handler's reader of an image's dynamic symbols, given images made by hand: what a
// damaged or hostile image states must never take it outside the image.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "ImageSymbols.h"
#include "MemoryMap.h"

namespace {

using vemo::detail::MemoryMap;
using vemo::detail::MemoryRegion;

// An image of kImageSize bytes at the start of a larger readable block: its header, one loaded
// segment covering the image, a dynamic section, strings, symbols and a GNU hash table.
constexpr std::size_t kImageSize = 0x2000;
constexpr std::size_t kBlockSize = 0x8000;
constexpr std::size_t kDynamic = 0x200, kStrings = 0x300, kSymbols = 0x400, kHash = 0x800;
constexpr char kStringTable[] = "\0crafted\0outside";  // names at 1 and 9

struct CraftedImage {
  alignas(4096) unsigned char bytes[kBlockSize] = {};
  MemoryMap map;

  CraftedImage() {
    ElfW(Ehdr) header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_phoff = sizeof header;
    header.e_phentsize = sizeof(ElfW(Phdr));
    header.e_phnum = 2;
    put(0, header);
    ElfW(Phdr) load{};
    load.p_type = PT_LOAD;
    load.p_memsz = kImageSize;
    put(sizeof header, load);
    ElfW(Phdr) dynamic{};
    dynamic.p_type = PT_DYNAMIC;
    dynamic.p_vaddr = kDynamic;
    put(sizeof header + sizeof load, dynamic);
    const ElfW(Dyn) entries[] = {{DT_SYMTAB, {kSymbols}},
                                 {DT_STRTAB, {kStrings}},
                                 {DT_STRSZ, {sizeof kStringTable}},
                                 {DT_GNU_HASH, {kHash}},
                                 {DT_NULL, {0}}};
    put(kDynamic, entries);
    put(kStrings, kStringTable);
    // One bucket whose chain starts at symbol 1 (the first after the undefined one).
    const std::uint32_t hashHeader[4] = {1, 1, 1, 0};
    put(kHash, hashHeader);
    put(kHash + 16 + 8, std::uint32_t{1});
    // The map: the block is one readable, executable region of a file.
    MemoryRegion region;
    region.start = base();
    region.end = base() + kBlockSize;
    region.readable = region.executable = true;
    region.inode = 1;
    map.add(region);
  }
  std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(bytes); }
  template <typename T>
  void put(std::size_t at, const T& value) {
    std::memcpy(bytes + at, &value, sizeof value);
  }
  void symbol(std::size_t index, std::uint32_t name, std::uintptr_t value, std::size_t size) {
    ElfW(Sym) entry{};
    entry.st_name = name;
    entry.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
    entry.st_shndx = 1;
    entry.st_value = value;
    entry.st_size = size;
    put(kSymbols + index * sizeof entry, entry);
  }
  // The chain's word of symbol `index`; bit 0 ends the chain.
  void chain(std::size_t index, std::uint32_t word) {
    put(kHash + 16 + 8 + 4 + 4 * (index - 1), word);
  }
};

// A chain that ends only after the symbol table has left the image: the symbols read are those
// inside the image, and a better match beyond its end is never taken.
TEST(ImageSymbols, AHashChainNeverLeadsOutsideTheImage) {
  static CraftedImage image;
  image.symbol(1, 1, 0x1000, 0x10);  // "crafted"
  const std::size_t outside = (kImageSize - kSymbols) / sizeof(ElfW(Sym)) + 20;
  ASSERT_LT(kSymbols + (outside + 1) * sizeof(ElfW(Sym)), kBlockSize);
  image.symbol(outside, 9, 0x1002, 0x10);  // "outside", a closer start for the address below
  const char* name = vemo::detail::findDynamicSymbol(image.map, image.base() + 0x1004);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "crafted");

  // The chain ends (bit 0) inside the image: the same answer.
  image.chain(outside + 5, 1);
  name = vemo::detail::findDynamicSymbol(image.map, image.base() + 0x1004);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "crafted");

  // A bucket count or a bloom filter larger than the image: nothing is read beyond it.
  const std::uint32_t hugeBuckets[4] = {0x40000000u, 1, 1, 0};
  image.put(kHash, hugeBuckets);
  EXPECT_EQ(vemo::detail::findDynamicSymbol(image.map, image.base() + 0x1004), nullptr);
  const std::uint32_t hugeBloom[4] = {1, 1, 0x40000000u, 0};
  image.put(kHash, hugeBloom);
  EXPECT_EQ(vemo::detail::findDynamicSymbol(image.map, image.base() + 0x1004), nullptr);
}

}  // namespace
#endif
