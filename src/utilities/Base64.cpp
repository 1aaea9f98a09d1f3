#include "vemo/core/Base64.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "Base64Decode.h"
#include "StringData.h"
#include "vemo/core/StringHelper.h"

namespace vemo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

// The vector routine for this processor's wide characters, found while the library loads;
// until then (and where there is none) every character goes through the portable decoder.
const detail::Base64Blocks g_wideBlocks = sizeof(wchar_t) == 2
                                              ? detail::findBase64VectorRoutines().units16
                                              : detail::findBase64VectorRoutines().units32;

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
  return detail::base64DecodeUnits(text.getBuffer(), text.getLength(),
                                   static_cast<unsigned char*>(out), room, g_wideBlocks);
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
