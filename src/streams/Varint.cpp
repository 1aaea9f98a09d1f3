#include "vemo/core/Varint.h"

#include <type_traits>

namespace vemo {
namespace {

constexpr const wchar_t* kVarintFile = L"include/vemo/core/Varint";

// ZigZag, then seven bits per byte with the top bit marking that more follow; one write.
template <class Int>
bool writeVarint(OutputStream& os, Int value) {
  using UInt = std::make_unsigned_t<Int>;
  constexpr int kBits = sizeof(Int) * 8;
  UInt u = (static_cast<UInt>(value) << 1) ^ static_cast<UInt>(value >> (kBits - 1));
  unsigned char bytes[10];
  int n = 0;
  while (u > 127) {
    bytes[n++] = static_cast<unsigned char>((u & 0x7F) | 0x80);
    u >>= 7;
  }
  bytes[n++] = static_cast<unsigned char>(u);
  return os.write(bytes, n) == n;
}

// Reads byte by byte; false when the last allowed byte still announces more.
template <class Int>
bool readVarint(InputStream& is, Int& value) {
  using UInt = std::make_unsigned_t<Int>;
  constexpr int kMaxBytes = sizeof(Int) == 4 ? 5 : 10;
  UInt accumulator = 0;
  for (int i = 0; i < kMaxBytes; ++i) {
    unsigned char byte;
    is >> byte;
    accumulator |= static_cast<UInt>(byte & 0x7F) << (7 * i);  // bits past the width drop
    if (byte < 0x80) {
      value = static_cast<Int>((accumulator >> 1) ^ (UInt(0) - (accumulator & 1)));
      return true;
    }
  }
  return false;
}

}  // namespace

OutputStream& operator<<(OutputStream& os, const Varint& value) {
  if (!writeVarint(os, value.value))
    VEMO_THROW_AT(kVarintFile, 171, L"Tyos& operator <<(Tyos &os, const Varint_T &v)");
  return os;
}

OutputStream& operator<<(OutputStream& os, const Varint64& value) {
  if (!writeVarint(os, value.value))
    VEMO_THROW_AT(kVarintFile, 172, L"Tyos& operator <<(Tyos &os, const Varint_T &v)");
  return os;
}

InputStream& operator>>(InputStream& is, Varint& value) {
  if (!readVarint(is, value.value))
    VEMO_THROW_AT(kVarintFile, 171, L"Tyis& operator >>(Tyis &is, Varint_T &v)");
  return is;
}

InputStream& operator>>(InputStream& is, Varint64& value) {
  if (!readVarint(is, value.value))
    VEMO_THROW_AT(kVarintFile, 172, L"Tyis& operator >>(Tyis &is, Varint_T &v)");
  return is;
}

}  // namespace vemo
