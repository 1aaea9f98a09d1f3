// The readers of what the crash handler finds in loaded modules: symbol names from their
// symbol tables, and the notes that carry their build ids. Either may be any bytes in a damaged
// or hostile file: they must stay within their input and their output.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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
  return 0;
}
