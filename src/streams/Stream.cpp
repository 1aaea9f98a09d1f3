#include "vemo/core/Stream.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "Charset.h"
#include "StringData.h"
#include "vemo/core/Log.h"
#include "vemo/core/StringHelper.h"
#include "vemo/core/Varint.h"

namespace vemo {
namespace {

constexpr const wchar_t* kStreamFile = L"include/vemo/core/Stream";
constexpr const wchar_t* kStringFile = L"include/vemo/core/String";
constexpr const wchar_t* kUnknownFile = L"include/vemo/core/Unknown";

// One write of a fixed-size value, which must be taken whole.
template <class T>
bool writeValue(OutputStream& os, const T& value) {
  return os.write(&value, sizeof(T)) == static_cast<int>(sizeof(T));
}

template <class T>
bool readValue(InputStream& is, T& value) {
  T read;
  if (is.read(&read, sizeof(T)) != static_cast<int>(sizeof(T))) return false;
  value = read;
  return true;
}

[[noreturn]] void throwStringRead() {
  VEMO_THROW_AT(kStringFile, 1630, L"TyIs& operator >>(TyIs&, String&)");
}

// The length in front of a UTF-8 string, no more than the input holds, or a throw.
int readUtf8Length(InputStream& is) {
  Varint length;
  is >> length;
  const int n = length.value;
  if (n < 0 || n > is.available()) throwStringRead();
  return n;
}

// Strings up to this many bytes are read through the reader's stack instead of a block of
// their own, when what is kept is not the UTF-8 block itself (a std::string, a converted text).
constexpr int kStackText = 256;

// The `n` bytes of a UTF-8 string whose length was read, in a block of their own, or a throw.
String_T<char> readUtf8Body(InputStream& is, int n) {
  if (n == 0) return String_T<char>();
  char* chars;
  try {
    chars = detail::StringAccess::allocate<char>(static_cast<std::size_t>(n), -1);
  } catch (const std::bad_alloc&) {
    throwStringRead();
  }
  String_T<char> text = detail::StringAccess::adopt(chars);
  if (is.read(chars, n) != n) throwStringRead();
  return text;
}

// The bytes of a UTF-8 string read from the stream, or a throw.
String_T<char> readUtf8(InputStream& is) {
  return readUtf8Body(is, readUtf8Length(is));
}

void writeUtf8(OutputStream& os, const char* bytes, int n) {
  os << Varint(n);
  if (n > 0 && os.write(bytes, n) != n)
    VEMO_THROW_AT(kStringFile, 1640, L"TyOs& operator <<(TyOs&, const String&)");
}

}  // namespace

OutputStream& operator<<(OutputStream& os, const char& value) {
  if (!writeValue(os, value))
    VEMO_THROW_AT(kStreamFile, 235,
                  L"vemo::OutputStream& operator<<(vemo::OutputStream &os, const char &i)");
  return os;
}

OutputStream& operator<<(OutputStream& os, const unsigned char& value) {
  // Written like a char: one byte, one write.
  return os << reinterpret_cast<const char&>(value);
}

OutputStream& operator<<(OutputStream& os, const int& value) {
  if (!writeValue(os, value))
    VEMO_THROW_AT(kStreamFile, 240,
                  L"vemo::OutputStream& operator<<(vemo::OutputStream &os, const int32_t &i)");
  return os;
}

OutputStream& operator<<(OutputStream& os, const unsigned int& value) {
  if (!writeValue(os, value))
    VEMO_THROW_AT(kStreamFile, 244,
                  L"vemo::OutputStream& operator<<(vemo::OutputStream &os, const uint32_t &i)");
  return os;
}

InputStream& operator>>(InputStream& is, char& value) {
  if (!readValue(is, value))
    VEMO_THROW_AT(kStreamFile, 235,
                  L"vemo::InputStream& operator>>(vemo::InputStream &is,char &i)");
  return is;
}

InputStream& operator>>(InputStream& is, unsigned char& value) {
  if (!readValue(is, value))
    VEMO_THROW_AT(kStreamFile, 242,
                  L"vemo::InputStream& operator>>(vemo::InputStream &is,uint8_t &i)");
  return is;
}

InputStream& operator>>(InputStream& is, int& value) {
  unsigned int bits;
  is >> bits;
  value = static_cast<int>(bits);
  return is;
}

InputStream& operator>>(InputStream& is, unsigned int& value) {
  if (!readValue(is, value))
    VEMO_THROW_AT(kStreamFile, 244,
                  L"vemo::InputStream& operator>>(vemo::InputStream &is,uint32_t &i)");
  return is;
}

namespace {

// The other arithmetic types: a failure names the operator and the type.
template <class T>
void writeNumber(OutputStream& os, const T& value, const wchar_t* text) {
  if (!writeValue(os, value)) VEMO_THROW_AT(kStreamFile, 250, text);
}

template <class T>
void readNumber(InputStream& is, T& value, const wchar_t* text) {
  if (!readValue(is, value)) VEMO_THROW_AT(kStreamFile, 250, text);
}

}  // namespace

OutputStream& operator<<(OutputStream& os, const bool& value) {
  const unsigned char byte = value ? 1 : 0;
  writeNumber(os, byte, L"OutputStream& operator<<(OutputStream&, const bool&)");
  return os;
}

InputStream& operator>>(InputStream& is, bool& value) {
  unsigned char byte;
  readNumber(is, byte, L"InputStream& operator>>(InputStream&, bool&)");
  if (byte > 1) VEMO_THROW_AT(kStreamFile, 250, L"InputStream& operator>>(InputStream&, bool&)");
  value = byte != 0;
  return is;
}

#define VEMO_STREAM_NUMBER(Type)                                                          \
  OutputStream& operator<<(OutputStream& os, const Type& value) {                         \
    writeNumber(os, value, L"OutputStream& operator<<(OutputStream&, const " #Type "&)"); \
    return os;                                                                            \
  }                                                                                       \
  InputStream& operator>>(InputStream& is, Type& value) {                                 \
    readNumber(is, value, L"InputStream& operator>>(InputStream&, " #Type "&)");          \
    return is;                                                                            \
  }

VEMO_STREAM_NUMBER(signed char)
VEMO_STREAM_NUMBER(short)
VEMO_STREAM_NUMBER(unsigned short)
VEMO_STREAM_NUMBER(long long)
VEMO_STREAM_NUMBER(unsigned long long)
VEMO_STREAM_NUMBER(float)
VEMO_STREAM_NUMBER(double)

#undef VEMO_STREAM_NUMBER

// long is 8 bytes on the stream whatever its width here.
OutputStream& operator<<(OutputStream& os, const long& value) {
  const long long wide = value;
  writeNumber(os, wide, L"OutputStream& operator<<(OutputStream&, const long&)");
  return os;
}

OutputStream& operator<<(OutputStream& os, const unsigned long& value) {
  const unsigned long long wide = value;
  writeNumber(os, wide, L"OutputStream& operator<<(OutputStream&, const unsigned long&)");
  return os;
}

InputStream& operator>>(InputStream& is, long& value) {
  long long wide;
  readNumber(is, wide, L"InputStream& operator>>(InputStream&, long&)");
  if (wide < std::numeric_limits<long>::min() || wide > std::numeric_limits<long>::max())
    VEMO_THROW_AT(kStreamFile, 250, L"InputStream& operator>>(InputStream&, long&)");
  value = static_cast<long>(wide);
  return is;
}

InputStream& operator>>(InputStream& is, unsigned long& value) {
  unsigned long long wide;
  readNumber(is, wide, L"InputStream& operator>>(InputStream&, unsigned long&)");
  if (wide > std::numeric_limits<unsigned long>::max())
    VEMO_THROW_AT(kStreamFile, 250, L"InputStream& operator>>(InputStream&, unsigned long&)");
  value = static_cast<unsigned long>(wide);
  return is;
}

OutputStream& operator<<(OutputStream& os, const std::string& text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    VEMO_THROW_AT(kStringFile, 1640, L"TyOs& operator <<(TyOs&, const String&)");
  writeUtf8(os, text.data(), static_cast<int>(text.size()));
  return os;
}

OutputStream& operator<<(OutputStream& os, const std::wstring& text) {
  const std::size_t n = detail::wideToUtf8(text.data(), text.size(), nullptr, 0);
  std::string utf8(n, '\0');
  detail::wideToUtf8(text.data(), text.size(), reinterpret_cast<unsigned char*>(&utf8[0]), n);
  return os << utf8;
}

InputStream& operator>>(InputStream& is, std::string& text) {
  // The target changes only once the whole string was read.
  const int n = readUtf8Length(is);
  if (n <= kStackText) {
    char bytes[kStackText];
    if (n > 0 && is.read(bytes, n) != n) throwStringRead();
    text.assign(bytes, static_cast<std::size_t>(n));
    return is;
  }
  std::string read;
  try {
    read.resize(static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    throwStringRead();
  }
  if (is.read(&read[0], n) != n) throwStringRead();
  text.swap(read);
  return is;
}

InputStream& operator>>(InputStream& is, std::wstring& text) {
  const auto convert = [&text](const unsigned char* bytes, std::size_t n) {
    std::wstring wide(detail::utf8ToWide(bytes, n, nullptr, 0), L'\0');
    detail::utf8ToWide(bytes, n, &wide[0], wide.size());
    text.swap(wide);
  };
  const int n = readUtf8Length(is);
  if (n <= kStackText) {
    unsigned char bytes[kStackText];
    if (n > 0 && is.read(bytes, n) != n) throwStringRead();
    convert(bytes, static_cast<std::size_t>(n));
    return is;
  }
  const String_T<char> read = readUtf8Body(is, n);
  convert(reinterpret_cast<const unsigned char*>(read.getBuffer()), static_cast<std::size_t>(n));
  return is;
}

namespace detail {

void writeCount(OutputStream& os, std::size_t count) {
  if (count > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    VEMO_THROW_AT(kStreamFile, 260, L"OutputStream& operator<<(OutputStream&, container)");
  os << Varint(static_cast<int>(count));
}

int readCount(InputStream& is, int bytesEach) {
  Varint count;
  is >> count;
  const int available = is.available();
  if (count.value < 0 || (count.value > 0 && available / bytesEach < count.value))
    VEMO_THROW_AT(kStreamFile, 262, L"InputStream& operator>>(InputStream&, container)");
  return count.value;
}

void throwDuplicateKey() {
  VEMO_THROW_AT(kStreamFile, 264,
                L"InputStream& operator>>(InputStream&, std::map&) duplicate key");
}

void throwShortVectorWrite() {
  VEMO_THROW_AT(kStreamFile, 260, L"OutputStream& operator<<(OutputStream&, container)");
}

void throwShortVectorRead() {
  VEMO_THROW_AT(kStreamFile, 262, L"InputStream& operator>>(InputStream&, container)");
}

}  // namespace detail

OutputStream& operator<<(OutputStream& os, const String_T<char>& text) {
  writeUtf8(os, text.getBuffer(), text.getBufferLength() - 1);
  return os;
}

OutputStream& operator<<(OutputStream& os, const String_T<wchar_t>& text) {
  // Every unit, embedded zeros included (a text is not cut at its first U+0000).
  const std::size_t units = static_cast<std::size_t>(text.end() - text.begin());
  unsigned char stack[1024];
  const std::size_t n = detail::wideToUtf8(text.getBuffer(), units, stack, sizeof stack);
  if (n > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    VEMO_THROW_AT(kStringFile, 1640, L"TyOs& operator <<(TyOs&, const String&)");
  if (n <= sizeof stack) {
    writeUtf8(os, reinterpret_cast<const char*>(stack), static_cast<int>(n));
    return os;
  }
  std::string utf8(n, '\0');
  detail::wideToUtf8(text.getBuffer(), units, reinterpret_cast<unsigned char*>(&utf8[0]), n);
  writeUtf8(os, utf8.data(), static_cast<int>(n));
  return os;
}

OutputStream& operator<<(OutputStream& os, const String_T<unsigned char>& text) {
  return os << StringHelper::ansiToUtf8(text);
}

InputStream& operator>>(InputStream& is, String_T<char>& text) {
  text = readUtf8(is);
  return is;
}

InputStream& operator>>(InputStream& is, String_T<wchar_t>& text) {
  // Every byte, zeros included, as the writer sent them; a short string through the stack, so
  // that the text's own block is the only one made.
  const int length = readUtf8Length(is);
  unsigned char stack[kStackText];
  String_T<char> read;
  const unsigned char* bytes = stack;
  if (length <= kStackText) {
    if (length > 0 && is.read(stack, length) != length) throwStringRead();
  } else {
    read = readUtf8Body(is, length);
    bytes = reinterpret_cast<const unsigned char*>(read.getBuffer());
  }
  const auto n = static_cast<std::size_t>(length);
  const std::size_t units = n > 0 ? detail::utf8ToWide(bytes, n, nullptr, 0) : 0;
  if (units == 0) {
    text = String();
    return is;
  }
  wchar_t* chars;
  try {
    chars = detail::StringAccess::allocate<wchar_t>(units, static_cast<int>(units));
  } catch (const std::bad_alloc&) {
    VEMO_THROW_AT(kStringFile, 1630, L"TyIs& operator >>(TyIs&, String&)");
  }
  String wide = detail::StringAccess::adopt(chars);
  detail::utf8ToWide(bytes, n, chars, units);
  text = std::move(wide);
  return is;
}

InputStream& operator>>(InputStream& is, String_T<unsigned char>& text) {
  text = StringHelper::utf8ToAnsi(readUtf8(is));
  return is;
}

OutputStream& operator<<(OutputStream& os, InputStream& is) {
  char buffer[8192];
  for (int waiting = is.available(); waiting > 0; waiting = is.available()) {
    const int n = is.read(buffer, waiting < 8192 ? waiting : 8192);
    if (n < 0 || os.write(buffer, n) != n)
      VEMO_THROW_AT(L"..\\src\\Stream", 31,
                    L"OutputStream& operator <<(OutputStream &,InputStream &)");
    if (n == 0) break;  // nothing came although something was announced: do not spin
  }
  if (is.available() < 0)
    VEMO_THROW_AT(L"..\\src\\Stream", 31,
                  L"OutputStream& operator <<(OutputStream &,InputStream &)");
  return os;
}

namespace detail {

void throwUnknownHandleClass(const std::type_info& type) {
  String text;
  text.format(L"TyIs& operator >>(TyIs &,%s::Handle &)", typeName(type).getBuffer());
  VEMO_THROW_AT(kUnknownFile, 767, text.getBuffer());
}

void throwBadHandleMarker(const std::type_info& type) {
  String text;
  text.format(L"TyIs& operator >>(TyIs &,%s::Handle &) Error!", typeName(type).getBuffer());
  VEMO_THROW_AT(kUnknownFile, 784, text.getBuffer());
}

void throwHandleTooDeep(const std::type_info& type) {
  String text;
  text.format(L"TyIs& operator >>(TyIs &,%s::Handle &) nests deeper than %d levels",
              typeName(type).getBuffer(), InputStream::kMaxNesting);
  VEMO_THROW_AT(kUnknownFile, 776, text.getBuffer());
}

}  // namespace detail

}  // namespace vemo
