/// \file
/// Byte streams and the library's binary encoding of values.
///
/// Every byte source is an Input and every sink an Output (an IO is both, with one reference
/// count). Typed values travel through an InputStream or OutputStream over them with the free
/// operators below. The encoding is the library's wire and file format: fixed-size values are
/// little-endian and unpadded, lengths and variable integers are ZigZag base-128 Varints, text is
/// UTF-8 with a Varint byte length, and an object handle is 'o' (null) or 'O', the class id and
/// the object's own stored form.
///
/// Malformed or short data and failed transfers throw Exception; what a reader consumed before
/// it threw is unspecified. A string being read keeps its old text on failure; a handle whose
/// class cannot be made is left null.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "vemo/core/Exception.h"
#include "vemo/core/Export.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {

/// A source of bytes.
class VEMO_CORE_API Input : public virtual Unknown {
 public:
  /// Bytes that can be read now: 0 when nothing waits, negative when the source failed or closed.
  virtual int available() const = 0;
  /// Copies up to `size` bytes without consuming them; returns the count copied.
  virtual int peek(void* buffer, int size) const = 0;
  /// Consumes up to `size` bytes; returns the count read, negative on failure.
  virtual int read(void* buffer, int size) = 0;
};

/// A sink of bytes.
class VEMO_CORE_API Output : public virtual Unknown {
 public:
  /// Returns the count written; a short count means failure.
  virtual int write(const void* data, int size) = 0;
};

/// A source and a sink of bytes in one object, with one reference count.
class VEMO_CORE_API IO : public Input, public Output {};

namespace detail {
class NestingLevel;
}  // namespace detail

/// Reads typed values from an Input (shared with every copy of the stream).
class VEMO_CORE_API InputStream {
 public:
  /// A stream without an input (isNull()); attach one before reading.
  InputStream() = default;
  ///@{
  /// A stream over `input`, holding a reference to it.
  InputStream(Input* input) : _input(input) {}
  InputStream(const Unknown::Handle_T<Input>& input) : _input(input) {}
  ///@}
  virtual ~InputStream() = default;
  ///@{
  /// The copy reads from the same input.
  InputStream(const InputStream&) = default;
  InputStream& operator=(const InputStream&) = default;
  ///@}

  ///@{
  /// The input's available(), peek() and read(), unchecked: the stream must have an input.
  int available() const { return _input->available(); }
  virtual int peek(void* buffer, int size) const { return _input->peek(buffer, size); }
  int read(void* buffer, int size) { return _input->read(buffer, size); }
  ///@}
  /// The input, or null.
  Input* getInput() const { return _input.get(); }
  /// Reads from `input` from now on (releasing the old one).
  void attach(Input* input) { _input = input; }
  /// Releases the input: isNull() afterwards.
  void detach() { _input = nullptr; }
  /// True when the stream has no input.
  bool isNull() const { return !_input; }

  /// How many objects a stream reads inside one another (a handle in the stored form of an
  /// object whose handle is being read, and so on): reading one more fails, so that hostile
  /// bytes cannot make a reader recurse until its stack is exhausted.
  static constexpr int kMaxNesting = 256;

 private:
  friend class detail::NestingLevel;
  Unknown::Handle_T<Input> _input;
  int _nesting = 0;  // objects being read now, one inside another
};

/// Writes typed values to an Output (shared with every copy of the stream).
class VEMO_CORE_API OutputStream {
 public:
  /// A stream without an output; it must not be written to.
  OutputStream() = default;
  ///@{
  /// A stream over `output`, holding a reference to it.
  OutputStream(Output* output) : _output(output) {}
  OutputStream(const Unknown::Handle_T<Output>& output) : _output(output) {}
  ///@}

  /// The output's write(), unchecked: the stream must have an output.
  int write(const void* data, int size) { return _output->write(data, size); }
  /// The output, or null.
  Output* getOutput() const { return _output.get(); }

 private:
  Unknown::Handle_T<Output> _output;
};

///@{
/// char and unsigned char as one byte, int and unsigned int as 4 bytes, little-endian.
/// \throws Exception on a short write or read.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const char& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned char& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const int& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned int& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, char& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned char& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, int& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned int& value);
///@}

///@{
/// The other arithmetic types, each one write of its bytes as they lie in memory (little-endian,
/// unpadded): bool as one byte 0 or 1 (any other byte fails to read), signed char 1 byte, short
/// 2, float 4 (IEEE 754), double, long long and long 8. `long` takes 8 bytes on every platform so
/// that data moves between them; where it is 4 bytes wide a stored value beyond its range fails
/// to read.
/// \throws Exception on a short write or read, or a value that fails to read.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const bool& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const signed char& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const short& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned short& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const long& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned long& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const long long& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned long long& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const float& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const double& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, bool& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, signed char& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, short& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned short& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, long& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned long& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, long long& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned long long& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, float& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, double& value);
///@}

///@{
/// Strings travel as UTF-8 whatever their form. A string is read only when all of it has
/// arrived: a declared length beyond the input's available() fails at once.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const String_T<char>& text);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const String_T<wchar_t>& text);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const String_T<unsigned char>& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, String_T<char>& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, String_T<wchar_t>& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, String_T<unsigned char>& text);
///@}

///@{
/// Standard strings, in the form of String_T<char>: a Varint byte length, then the bytes. A
/// std::string goes as its bytes unchanged (embedded zeros included); a std::wstring is
/// converted to UTF-8 and back. Read only when all of it has arrived, like a String; the target
/// keeps its old text on failure.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const std::string& text);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const std::wstring& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, std::string& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, std::wstring& text);
///@}

/// Copies everything the input has (in pieces of 8192 bytes) until its available() is 0.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, InputStream& is);

namespace detail {
[[noreturn]] VEMO_CORE_API void throwUnknownHandleClass(const std::type_info& type);
[[noreturn]] VEMO_CORE_API void throwBadHandleMarker(const std::type_info& type);
[[noreturn]] VEMO_CORE_API void throwHandleTooDeep(const std::type_info& type);

// One more object being read on `is` while it lives; one beyond the stream's limit throws.
class NestingLevel {
 public:
  NestingLevel(InputStream& is, const std::type_info& type) : _is(is) {
    if (_is._nesting >= InputStream::kMaxNesting) throwHandleTooDeep(type);
    ++_is._nesting;
  }
  ~NestingLevel() { --_is._nesting; }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;

 private:
  InputStream& _is;
};
}  // namespace detail

namespace detail {
// The count of a container: a Varint. Writing fails beyond 2^31 - 1 elements.
VEMO_CORE_API void writeCount(OutputStream& os, std::size_t count);
// Reads a count and checks it against the input: each element takes at least `bytesEach` bytes,
// so a count that would need more than the input's available() fails before anything is made
// for it (as does a negative one).
VEMO_CORE_API int readCount(InputStream& is, int bytesEach);
[[noreturn]] VEMO_CORE_API void throwDuplicateKey();
[[noreturn]] VEMO_CORE_API void throwShortVectorWrite();
[[noreturn]] VEMO_CORE_API void throwShortVectorRead();

// Numbers whose stored form is their bytes in memory, so that a vector of them moves in bulk:
// those of one width on every platform and without padding. Not bool (one byte, 0 or 1), long
// (8 bytes on every platform), long double (padded, of a platform's own width) nor the wide
// character types (wchar_t is 4 bytes on Linux and 2 on Windows), which have no stream
// operators of their own.
template <class T>
constexpr bool isRawNumber() {
  return std::is_arithmetic<T>::value && !std::is_same<T, bool>::value &&
         !std::is_same<T, long>::value && !std::is_same<T, unsigned long>::value &&
         !std::is_same<T, long double>::value && !std::is_same<T, wchar_t>::value &&
         !std::is_same<T, char16_t>::value && !std::is_same<T, char32_t>::value;
}

// The least number of bytes one stored T takes: its size for the arithmetic types, one for
// everything else (a length, a marker or a count comes first).
template <class T>
constexpr int leastStoredSize() {
  if (std::is_same<T, long>::value || std::is_same<T, unsigned long>::value) return 8;
  return std::is_arithmetic<T>::value ? static_cast<int>(sizeof(T)) : 1;
}

// Whether values of T can be written to and read from a stream.
template <class T, class = void>
struct IsStreamable : std::false_type {};
template <class T>
struct IsStreamable<T,
                    std::void_t<decltype(std::declval<OutputStream&>() << std::declval<const T&>()),
                                decltype(std::declval<InputStream&>() >> std::declval<T&>())>>
    : std::true_type {};
}  // namespace detail

namespace detail {
template <class... T>
using IfStreamable = std::enable_if_t<(IsStreamable<T>::value && ...)>;
}  // namespace detail

///@{
/// A vector: its element count as a Varint, then each element in order; only of elements that
/// are streamable themselves (so a vector of long double or wchar_t has no stream operators).
/// Elements that are plain fixed-size numbers are moved in one write and one read. Reading
/// builds a new vector and replaces the target's content only when all of it was read.
template <class T, class Allocator, class = detail::IfStreamable<T>>
OutputStream& operator<<(OutputStream& os, const std::vector<T, Allocator>& values) {
  detail::writeCount(os, values.size());
  if constexpr (detail::isRawNumber<T>()) {
    // In pieces that an int counts, for vectors of more than 2 GB.
    const char* bytes = reinterpret_cast<const char*>(values.data());
    for (std::size_t left = values.size() * sizeof(T); left > 0;) {
      const int size = static_cast<int>(left < (1u << 30) ? left : (1u << 30));
      if (os.write(bytes, size) != size) detail::throwShortVectorWrite();
      bytes += size;
      left -= static_cast<std::size_t>(size);
    }
  } else {
    for (const auto& value : values)
      os << static_cast<const T&>(value);
  }
  return os;
}

template <class T, class Allocator, class = detail::IfStreamable<T>>
InputStream& operator>>(InputStream& is, std::vector<T, Allocator>& values) {
  const int count = detail::readCount(is, detail::leastStoredSize<T>());
  std::vector<T, Allocator> read(values.get_allocator());
  if constexpr (detail::isRawNumber<T>()) {
    read.resize(static_cast<std::size_t>(count));
    const int size = static_cast<int>(count * sizeof(T));
    if (size > 0 && is.read(read.data(), size) != size) detail::throwShortVectorRead();
  } else {
    read.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      T value{};
      is >> value;
      read.push_back(std::move(value));
    }
  }
  values.swap(read);
  return is;
}
///@}

///@{
/// A map: its entry count as a Varint, then key and value of each entry in key order. A key that
/// comes twice fails to read. The target's content is replaced only when all of it was read.
template <class K, class V, class Compare, class Allocator, class = detail::IfStreamable<K, V>>
OutputStream& operator<<(OutputStream& os, const std::map<K, V, Compare, Allocator>& entries) {
  detail::writeCount(os, entries.size());
  for (const auto& entry : entries)
    os << entry.first << entry.second;
  return os;
}

template <class K, class V, class Compare, class Allocator, class = detail::IfStreamable<K, V>>
InputStream& operator>>(InputStream& is, std::map<K, V, Compare, Allocator>& entries) {
  const int count =
      detail::readCount(is, detail::leastStoredSize<K>() + detail::leastStoredSize<V>());
  std::map<K, V, Compare, Allocator> read(entries.key_comp(), entries.get_allocator());
  for (int i = 0; i < count; ++i) {
    K key{};
    V value{};
    is >> key >> value;
    if (!read.emplace(std::move(key), std::move(value)).second) detail::throwDuplicateKey();
  }
  entries.swap(read);
  return is;
}
///@}

/// A handle: 'o' for null, else 'O', the class id (little-endian) and what exportTo writes.
template <class T>
OutputStream& operator<<(OutputStream& os, const Unknown::Handle_T<T>& handle) {
  if (!handle) return os << static_cast<unsigned char>('o');
  os << static_cast<unsigned char>('O') << handle->getClassId();
  handle->exportTo(os);
  return os;
}

/// Recreates the object of the stored class id through the class registry; an unknown id or a
/// class that is not a T fails (the handle is then null), and so does an object that would be
/// the 257th read inside one another on this stream (InputStream::kMaxNesting).
template <class T>
InputStream& operator>>(InputStream& is, Unknown::Handle_T<T>& handle) {
  unsigned char marker;
  is >> marker;
  if (marker == 'o') {
    handle = nullptr;
    return is;
  }
  if (marker != 'O') detail::throwBadHandleMarker(typeid(T));
  const detail::NestingLevel level(is, typeid(T));
  unsigned int id;
  is >> id;
  handle = Unknown::Handle_T<T>::dynamicCast(Unknown::RtFactory::createClassInstance(id));
  if (!handle) detail::throwUnknownHandleClass(typeid(T));
  handle->importFrom(is);
  return is;
}

}  // namespace vemo
