// Arbitrary text through the base64 and hexadecimal decoders: output must stay within the room
// the decoder measured for itself, and encoding what was decoded must decode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vemo/core/Base64.h"
#include "vemo/core/Buffer.h"
#include "vemo/core/StringHelper.h"

using namespace vemo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back(0);
  const String wide = StringHelper::utf8ToWide(text.data());

  const int room = base64_datasize(wide);
  if (room < 0) std::abort();
  // Exactly the measured room: AddressSanitizer reports any byte written past it.
  unsigned char* out = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(room) + 1));
  const int n = base64_decode(wide, out);
  if (n < 0 || n > room) std::abort();
  Buffer decoded(n);
  if (n > 0) std::memcpy(decoded.getBuffer(), out, static_cast<std::size_t>(n));
  std::free(out);
  Buffer again;
  if (!again.convertFromBase64(decoded.convertToBase64()) || again != decoded) std::abort();

  Buffer hex;
  if (hex.convertFromHex(wide)) {
    Buffer back;
    if (!back.convertFromHex(hex.convertToHex()) || back != hex) std::abort();
  }
  (void)base64_decode(wide);
  return 0;
}
