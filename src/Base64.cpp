#include "vemo/core/Base64.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "StringData.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Values of the alphabet's characters; 0xFF for every character that stops decoding.
struct DecodeTable {
  unsigned char value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i)
      value[i] = 0xFF;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
  }
};
constexpr DecodeTable kDecode;

// The two 32-bit wide characters of every 12-bit value, as they lie in memory.
struct PairTable {
  std::uint64_t value[4096];
  PairTable() {
    for (unsigned int v = 0; v < 4096; ++v) {
      const std::uint32_t chars[2] = {static_cast<std::uint32_t>(kAlphabet[v >> 6]),
                                      static_cast<std::uint32_t>(kAlphabet[v & 63])};
      std::memcpy(&value[v], chars, 8);
    }
  }
};

inline unsigned int sextet(wchar_t c) {
  return static_cast<std::uint32_t>(c) < 256 ? kDecode.value[static_cast<std::uint32_t>(c)] : 0xFF;
}

}  // namespace

String base64_encode(const void* data, int length) {
  if (!data || length <= 0) return String();
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const std::size_t n = static_cast<std::size_t>(length);
  const std::size_t units = 4 * ((n + 2) / 3);
  wchar_t* out = detail::StringAccess::allocate<wchar_t>(units, static_cast<int>(units));
  String text = detail::StringAccess::adopt(out);
  std::size_t i = 0;
  if constexpr (sizeof(wchar_t) == 4) {
    // Twelve bits at a time: one look-up gives both characters as one 8-byte store.
    static const PairTable pairs;
    for (; i + 3 <= n; i += 3, out += 4) {
      const std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
      std::memcpy(out, &pairs.value[group >> 12], 8);
      std::memcpy(out + 2, &pairs.value[group & 0xFFF], 8);
    }
  }
  for (; i + 3 <= n; i += 3, out += 4) {
    const std::uint32_t group = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    out[2] = kAlphabet[(group >> 6) & 63];
    out[3] = kAlphabet[group & 63];
  }
  if (i < n) {
    const std::uint32_t group = (in[i] << 16) | (i + 1 < n ? in[i + 1] << 8 : 0);
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    out[2] = i + 1 < n ? kAlphabet[(group >> 6) & 63] : '=';
    out[3] = '=';
  }
  return text;
}

int base64_datasize(const String& text) {
  const int length = text.getLength();
  int size = (length / 4) * 3;
  for (int i = length - 1; i >= 0 && size > 0 && text[i] == '='; --i)
    --size;
  return size;
}

int base64_decode(const String& text, void* out) {
  return base64_decode(text, out, base64_datasize(text));
}

int base64_decode(const String& text, void* out, int room) {
  const int length = text.getLength();
  if (length == 0 || length % 4 != 0 || !out || room <= 0) return 0;
  unsigned char* bytes = static_cast<unsigned char*>(out);
  const wchar_t* p = text.getBuffer();
  const wchar_t* end = p + length;
  int written = 0;
  // Whole groups while they are valid and fit.
  for (; p + 4 <= end && written + 3 <= room; p += 4) {
    const std::uint32_t any = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) |
                              static_cast<std::uint32_t>(p[2]) | static_cast<std::uint32_t>(p[3]);
    if (any >= 256) break;
    const unsigned int a = kDecode.value[p[0]], b = kDecode.value[p[1]], c = kDecode.value[p[2]],
                       d = kDecode.value[p[3]];
    if ((a | b | c | d) & 0x80) break;
    const std::uint32_t group = (a << 18) | (b << 12) | (c << 6) | d;
    bytes[written] = static_cast<unsigned char>(group >> 16);
    bytes[written + 1] = static_cast<unsigned char>(group >> 8);
    bytes[written + 2] = static_cast<unsigned char>(group);
    written += 3;
  }
  // The rest: up to the first '=' or foreign character, never past the room.
  std::uint32_t group = 0;
  int collected = 0;
  auto emit = [&](int count) {
    for (int k = 0; k < count && written < room; ++k)
      bytes[written++] = static_cast<unsigned char>(group >> (16 - 8 * k));
  };
  for (; p < end; ++p) {
    const unsigned int value = sextet(*p);
    if (value & 0x80) break;
    group = (group << 6) | value;
    if (++collected == 4) {
      emit(3);
      group = 0;
      collected = 0;
    }
  }
  if (collected > 0) {
    group <<= 6 * (4 - collected);
    emit(collected - 1);
  }
  return written;
}

String base64_encode(const String& text) {
  const String_T<char> utf8 = StringHelper::wideToUtf8(text);
  return base64_encode(utf8.getBuffer(), utf8.getBufferLength() - 1);
}

String base64_decode(const String& text) {
  const int size = base64_datasize(text);
  std::vector<char> bytes(static_cast<std::size_t>(size) + 1, 0);
  const int n = base64_decode(text, bytes.data(), size);
  bytes[static_cast<std::size_t>(n)] = 0;
  return StringHelper::utf8ToWide(bytes.data());
}

}  // namespace vemo
