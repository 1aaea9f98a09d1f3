// Arbitrary bytes as a file-system name: bytes -> wide -> bytes gives the same bytes, every
// conversion writes within the room it measured (exact blocks: AddressSanitizer sees a byte
// past them) and a smaller room takes a prefix of the same result. A name without stray bytes
// reads as the ordinary UTF-8 conversion reads it. The same bytes taken as wide units go to
// bytes that then make the round trip too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "FileName.h"
#include "vemo/core/StringHelper.h"

using namespace vemo;

namespace {

std::vector<wchar_t> toWide(const unsigned char* bytes, std::size_t n) {
  const std::size_t units = detail::nameBytesToWide(bytes, n, nullptr, 0);
  std::unique_ptr<wchar_t[]> exact(new wchar_t[units]);
  if (detail::nameBytesToWide(bytes, n, exact.get(), units) != units) std::abort();
  return std::vector<wchar_t>(exact.get(), exact.get() + units);
}

std::vector<unsigned char> toBytes(const wchar_t* wide, std::size_t n) {
  const std::size_t count = detail::wideToNameBytes(wide, n, nullptr, 0);
  std::unique_ptr<unsigned char[]> exact(new unsigned char[count]);
  if (detail::wideToNameBytes(wide, n, exact.get(), count) != count) std::abort();
  return std::vector<unsigned char>(exact.get(), exact.get() + count);
}

bool hasEscapes(const std::vector<wchar_t>& wide) {
  for (wchar_t unit : wide)
    if (unit >= 0xDC80 && unit <= 0xDCFF) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<wchar_t> wide = toWide(data, size);
  const std::vector<unsigned char> back = toBytes(wide.data(), wide.size());
  if (back.size() != size || (size && std::memcmp(back.data(), data, size) != 0)) std::abort();

  // A room of half the result holds the first half of it.
  const std::size_t half = wide.size() / 2;
  std::unique_ptr<wchar_t[]> part(new wchar_t[half + 1]);
  if (detail::nameBytesToWide(data, size, part.get(), half) != wide.size()) std::abort();
  if (half && std::memcmp(part.get(), wide.data(), half * sizeof(wchar_t)) != 0) std::abort();

  if (!hasEscapes(wide) && !std::memchr(data, 0, size)) {
    std::vector<char> text(data, data + size);
    text.push_back(0);
    const String ordinary = StringHelper::utf8ToWide(text.data());
    const std::size_t units = std::wcslen(ordinary.getBuffer());
    if (units != wide.size() ||
        (units && std::memcmp(ordinary.getBuffer(), wide.data(), units * sizeof(wchar_t)) != 0))
      std::abort();
  }

  // Wide text of any units: its bytes are a name like any other.
  std::vector<wchar_t> units(size / sizeof(wchar_t));
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(wchar_t));
  const std::vector<unsigned char> bytes = toBytes(units.data(), units.size());
  const std::vector<wchar_t> again = toWide(bytes.data(), bytes.size());
  if (toBytes(again.data(), again.size()) != bytes) std::abort();
  return 0;
}
