// The readers of what the crash handler finds in loaded modules: symbol names from their
// symbol tables, the notes that carry their build ids, and the dynamic symbols of an image in
// memory. Each may be any bytes in a damaged or hostile file: they must stay within their input
// and their output.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ImageSymbols.h"
#include "MemoryMap.h"
#include "Minidump.h"
#include "SymbolName.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // As a symbol name: a terminated text, read into a small and into a roomy buffer.
  const std::string mangled(reinterpret_cast<const char*>(data), size);
  char small[8], roomy[512];
  vemo::detail::readableSymbolName(mangled.c_str(), small, sizeof small);
  vemo::detail::readableSymbolName(mangled.c_str(), roomy, sizeof roomy);
  if (std::strlen(small) >= sizeof small || std::strlen(roomy) >= sizeof roomy) __builtin_trap();

  // As a segment of notes, in a block of exactly its size.
  std::vector<unsigned char> notes(data, data + size);
  vemo::detail::LoadedModule module{};
  vemo::detail::readBuildId(notes.data(), notes.size(), module);
  if (module.buildIdLength > sizeof module.buildId) __builtin_trap();

  // As an image mapped from a file: the only memory the map shows as readable.
  std::vector<std::uint64_t> words(size / 8 + 1);
  std::memcpy(words.data(), data, size);
  static vemo::detail::MemoryMap map;
  map.clear();
  vemo::detail::MemoryRegion image;
  image.start = reinterpret_cast<std::uintptr_t>(words.data());
  image.end = image.start + size;
  image.readable = image.executable = true;
  image.inode = 1;
  if (size > 0 && map.add(image)) {
    for (std::uintptr_t at = image.start; at < image.end; at += 64) {
      const char* name = vemo::detail::findDynamicSymbol(map, at);
      if (name && (reinterpret_cast<std::uintptr_t>(name) < image.start ||
                   reinterpret_cast<std::uintptr_t>(name) + std::strlen(name) >= image.end))
        __builtin_trap();
    }
  }
  return 0;
}
