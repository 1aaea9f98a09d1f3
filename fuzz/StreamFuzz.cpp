// Arbitrary bytes read as the library's binary encoding: every reader must either produce a
// value or throw the library's Exception, never read out of bounds or allocate without limit.
// Each value read is written back into a fresh stream and read again: the reader takes all of
// it, gives an equal value (doubles and floats bit for bit, NaN included), and writing that
// value gives the same bytes again (a fixed point: a value with several encodings, such as a
// Varint with needless continuation bytes, is re-written in its one short form). The bytes also
// make values directly (texts with U+0000, characters beyond the basic plane and lone
// surrogates, numbers of any bits) that must survive a write and a read the same way; a lone
// surrogate, which UTF-8 cannot hold, reads back as U+FFFD.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "vemo/core/Buffer.h"
#include "vemo/core/MemoryStream.h"
#include "vemo/core/Stream.h"
#include "vemo/core/Varint.h"

using namespace vemo;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::string drain(MemoryStream& stream) {
  std::string bytes(static_cast<std::size_t>(stream.available()), '\0');
  if (!bytes.empty())
    require(stream.read(&bytes[0], static_cast<int>(bytes.size())) ==
            static_cast<int>(bytes.size()));
  return bytes;
}

template <class T>
std::string bytesOf(const T& value) {
  const auto stream = MemoryStream::createInstance();
  OutputStream os(stream.get());
  try {
    os << value;
  } catch (const Exception&) {
    std::abort();  // a value that was read can be written
  }
  return drain(*stream);
}

// The value of bytes that a writer made: read without failure, all of them.
template <class T>
void readBack(const std::string& bytes, T& value) {
  const auto stream = MemoryStream::createInstance();
  if (!bytes.empty()) stream->write(bytes.data(), static_cast<int>(bytes.size()));
  InputStream is(stream.get());
  try {
    is >> value;
  } catch (const Exception&) {
    std::abort();
  }
  require(stream->available() == 0);
}

// Written, read back equal, and written again the same.
template <class T, class Equal>
void fixedPoint(const T& first, Equal equal) {
  const std::string once = bytesOf(first);
  T second{};
  readBack(once, second);
  require(equal(first, second));
  require(bytesOf(second) == once);
}

template <class T>
void fixedPoint(const T& first) {
  fixedPoint(first, [](const T& a, const T& b) { return a == b; });
}

template <class T>
bool sameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The short form of a Varint: ZigZag, then one byte per 7 bits.
template <class Int>
std::size_t varintSize(Int value) {
  using U = std::make_unsigned_t<Int>;
  U u = static_cast<U>(static_cast<U>(value) << 1) ^
        static_cast<U>(value < 0 ? ~static_cast<U>(0) : static_cast<U>(0));
  std::size_t size = 1;
  for (; u > 127; u >>= 7)
    ++size;
  return size;
}

template <class V>
void varintFixedPoint(const V& value) {
  fixedPoint(value, [](const V& a, const V& b) { return a.value == b.value; });
  require(bytesOf(value).size() == varintSize(value.value));
}

void streamFixedPoint(const MemoryStream& first) {
  const std::string once = bytesOf(first);
  const auto second = MemoryStream::createInstance();
  readBack(once, *second);
  const auto content = [](const MemoryStream& stream) {
    std::string bytes(static_cast<std::size_t>(stream.available()), '\0');
    if (!bytes.empty())
      require(stream.peek(&bytes[0], static_cast<int>(bytes.size())) ==
              static_cast<int>(bytes.size()));
    return bytes;
  };
  require(content(first) == content(*second));
  require(bytesOf(*second) == once);
}

using FloatMap = std::map<std::string, std::map<long, float>>;

bool sameFloatMaps(const FloatMap& a, const FloatMap& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || i->second.size() != j->second.size()) return false;
    for (auto k = i->second.begin(), l = j->second.begin(); k != i->second.end(); ++k, ++l)
      if (k->first != l->first || !sameBits(k->second, l->second)) return false;
  }
  return true;
}

bool sameDoubles(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Reads the values that the plan chooses and checks each one's fixed point.
void readValues(const std::uint8_t* data, std::size_t size) {
  auto stream = MemoryStream::createInstance();
  stream->write(data + 1, static_cast<int>(size - 1));
  InputStream is(stream.get());
  // The first byte chooses the sequence of values to read.
  unsigned int plan = data[0];
  try {
    for (int step = 0; step < 16 && is.available() > 0; ++step, plan = plan * 5 + 1) {
      switch (plan % 17) {
        case 0: {
          Varint v;
          is >> v;
          varintFixedPoint(v);
          break;
        }
        case 1: {
          Varint64 v;
          is >> v;
          varintFixedPoint(v);
          break;
        }
        case 2: {
          String_T<char> s;
          is >> s;
          fixedPoint(s);
          break;
        }
        case 3: {
          String s;
          is >> s;
          fixedPoint(s);
          break;
        }
        case 4: {
          Buffer b;
          is >> b;
          fixedPoint(b);
          break;
        }
        case 5: {
          // Objects have no equality of their own: their bytes are their value.
          Unknown::Handle_T<Unknown> h;
          is >> h;
          fixedPoint(h, [](const Unknown::Handle_T<Unknown>&, const Unknown::Handle_T<Unknown>&) {
            return true;
          });
          break;
        }
        case 6: {
          auto inner = MemoryStream::createInstance();
          is >> *inner;
          streamFixedPoint(*inner);
          break;
        }
        case 7: {
          std::vector<double> v;  // bulk: the count against the bytes there are
          is >> v;
          fixedPoint(v, sameDoubles);
          break;
        }
        case 8: {
          std::vector<std::string> v;
          is >> v;
          fixedPoint(v);
          break;
        }
        case 9: {
          std::map<int, std::vector<bool>> m;
          is >> m;
          fixedPoint(m);
          break;
        }
        case 10: {
          std::wstring w;
          is >> w;
          fixedPoint(w);
          break;
        }
        case 11: {
          FloatMap m;
          is >> m;
          fixedPoint(m, sameFloatMaps);
          break;
        }
        case 12: {
          bool b;
          short s;
          long long l;
          is >> b >> s >> l;
          fixedPoint(b);
          fixedPoint(s);
          fixedPoint(l);
          break;
        }
        case 13: {
          double d;
          float f;
          is >> d >> f;
          fixedPoint(d, sameBits<double>);
          fixedPoint(f, sameBits<float>);
          break;
        }
        case 14: {
          std::string s;
          is >> s;
          fixedPoint(s);
          break;
        }
        case 15: {
          std::vector<String> v;
          is >> v;
          fixedPoint(v);
          break;
        }
        default: {
          unsigned int u;
          is >> u;
          fixedPoint(u);
          break;
        }
      }
    }
  } catch (const Exception&) {
    // Broken input is expected to be refused this way.
  }
}

// Wide text made from the bytes, one character per byte: ASCII as itself (U+0000 included),
// characters beyond the basic plane (a surrogate pair where wchar_t has 16 bits), lone
// surrogates and Latin-1. `expected` gets what a read gives back: lone surrogates as U+FFFD.
std::wstring wideText(const std::uint8_t* data, std::size_t size, std::wstring& expected) {
  std::wstring text;
  expected.clear();
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    if (b >= 0x80 && b < 0x90) {
      const std::uint32_t c = 0x10000 + (b & 0x0F) * 0x10101;  // up to U+FFFFF
      std::wstring units;
      if (sizeof(wchar_t) == 2) {
        units += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        units += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        units += static_cast<wchar_t>(c);
      }
      text += units;
      expected += units;
    } else if (b >= 0x90 && b < 0x94) {
      // High then low surrogate would make a pair on 16 bits: each stands alone here.
      text += static_cast<wchar_t>(b & 1 ? 0xDC00 + b : 0xDBFF - b);
      if (i + 1 < size) {
        text += L'.';
        expected += L'\xFFFD';
        expected += L'.';
      } else {
        expected += L'\xFFFD';
      }
    } else {
      text += static_cast<wchar_t>(b);
      expected += static_cast<wchar_t>(b);
    }
  }
  return text;
}

// Values made from the bytes survive a write and a read.
void makeValues(const std::uint8_t* data, std::size_t size) {
  std::wstring expected;
  const std::wstring wide = wideText(data, size, expected);
  String text;  // every unit, a trailing U+0000 too
  text.setBuffer(wide.data(), static_cast<int>(wide.size() * sizeof(wchar_t)));
  require(std::wstring(text.begin(), text.end()) == wide);
  String readText;
  readBack(bytesOf(text), readText);
  require(std::wstring(readText.begin(), readText.end()) == expected);
  fixedPoint(readText);
  std::wstring readWide;
  readBack(bytesOf(wide), readWide);
  require(readWide == expected);
  fixedPoint(readWide);

  // Bytes go as they are, zeros and broken UTF-8 included.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  String_T<char> narrow;
  narrow.setBuffer(raw.data(), static_cast<int>(raw.size()));
  require(std::string(narrow.begin(), narrow.end()) == raw);
  fixedPoint(narrow);
  fixedPoint(raw);
  Buffer buffer(static_cast<int>(size));
  if (size > 0) std::memcpy(buffer.getBuffer(), data, size);
  fixedPoint(buffer);

  // Numbers of every bit pattern: NaN payloads, infinities, -0.0 and subnormals.
  std::vector<double> doubles(size / sizeof(double));
  if (!doubles.empty()) std::memcpy(doubles.data(), data, doubles.size() * sizeof(double));
  fixedPoint(doubles, sameDoubles);
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    double d;
    float f;
    long long l;
    std::memcpy(&d, data + at, 8);
    std::memcpy(&f, data + at, 4);
    std::memcpy(&l, data + at, 8);
    fixedPoint(d, sameBits<double>);
    fixedPoint(f, sameBits<float>);
    varintFixedPoint(Varint64(l));
    varintFixedPoint(Varint(static_cast<int>(l)));
    FloatMap m;
    m[raw.substr(at, 3)][static_cast<long>(l >> 3)] = f;
    fixedPoint(m, sameFloatMaps);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  readValues(data, size);
  makeValues(data, std::min<std::size_t>(size, 512));
  return 0;
}
