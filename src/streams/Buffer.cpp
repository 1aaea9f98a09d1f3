#include "vemo/core/Buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "Number.h"
#include "StringData.h"
#include "vemo/core/Base64.h"
#include "vemo/core/Memory.h"
#include "vemo/core/Varint.h"

namespace vemo {
namespace {

constexpr const wchar_t* kBufferFile = L"include/vemo/core/Buffer";

}  // namespace

Buffer::Buffer(int size) : _size(0), _data(nullptr) {
  setBufferSize(size);
}

Buffer::Buffer(const Buffer& other) : _size(0), _data(nullptr) {
  if (setBufferSize(other._size) == other._size && _size > 0)
    __memcpy__(_data, other._data, static_cast<std::size_t>(_size));
}

Buffer::Buffer(Buffer&& other) noexcept : _size(other._size), _data(other._data) {
  other._size = 0;
  other._data = nullptr;
}

Buffer& Buffer::operator=(const Buffer& other) {
  if (this != &other && setBufferSize(other._size) == other._size && _size > 0)
    __memcpy__(_data, other._data, static_cast<std::size_t>(_size));
  return *this;
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
  std::swap(_size, other._size);
  std::swap(_data, other._data);
  return *this;
}

Buffer::~Buffer() {
  std::free(_data);
}

int Buffer::setBufferSize(int size) {
  if (size == _size) return _size;
  std::free(_data);
  _data = nullptr;
  _size = 0;
  if (size > 0) {
    _data = std::malloc(static_cast<std::size_t>(size));
    if (_data) _size = size;
  }
  return _size;
}

bool Buffer::operator==(const Buffer& other) const {
  if (_size != other._size) return false;
  return _data == other._data ||
         std::memcmp(_data, other._data, static_cast<std::size_t>(_size)) == 0;
}

String Buffer::convertToHex() const {
  static const char kDigits[] = "0123456789abcdef";
  if (_size <= 0) return String();
  const std::size_t units = static_cast<std::size_t>(_size) * 2;
  wchar_t* out = detail::StringAccess::allocate<wchar_t>(units, static_cast<int>(units));
  const unsigned char* bytes = static_cast<const unsigned char*>(_data);
  for (int i = 0; i < _size; ++i) {
    *out++ = kDigits[bytes[i] >> 4];
    *out++ = kDigits[bytes[i] & 15];
  }
  return detail::StringAccess::adopt(out - units);
}

bool Buffer::convertFromHex(const String& text) {
  const int length = text.getLength();
  if (length % 2 != 0) return false;
  if (setBufferSize(length / 2) != length / 2) return false;
  unsigned char* bytes = static_cast<unsigned char*>(_data);
  const wchar_t* p = text.getBuffer();
  for (int i = 0; i < length / 2; ++i) {
    const int high = detail::hexDigitValue(p[2 * i]), low = detail::hexDigitValue(p[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

String Buffer::convertToBase64() const {
  return base64_encode(_data, _size);
}

bool Buffer::convertFromBase64(const String& text) {
  const int expected = base64_datasize(text);
  if (_size != expected && setBufferSize(expected) != expected) return false;
  return base64_decode(text, _data, _size) == expected;
}

OutputStream& operator<<(OutputStream& os, const Buffer& buffer) {
  const int size = buffer.getBufferSize();
  os << Varint(size);
  if (size > 0 && os.write(buffer.getBuffer(), size) != size)
    VEMO_THROW_AT(kBufferFile, 126, L"TyOs& operator <<(TyOs &, const Buffer &)");
  return os;
}

InputStream& operator>>(InputStream& is, Buffer& buffer) {
  Varint count;
  is >> count;
  const int n = count.value;
  // A count beyond what the input holds cannot be read: refuse it before allocating, so that
  // a broken count cannot make the reader reserve up to 2 GiB. An input that reports failure
  // (available() below 0) holds nothing.
  if (n < 0 || n > is.available())
    VEMO_THROW_AT(kBufferFile, 114, L"TyIs& operator >>(TyIs &, Buffer &)");
  if (n != buffer.getBufferSize()) buffer.setBufferSize(n);
  if (buffer.getBufferSize() != n || (n > 0 && is.read(buffer.getBuffer(), n) != n))
    VEMO_THROW_AT(kBufferFile, 114, L"TyIs& operator >>(TyIs &, Buffer &)");
  return is;
}

}  // namespace vemo
