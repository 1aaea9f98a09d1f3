// Byte streams and the library's binary encoding of values.
//
// Every byte source is an Input and every sink an Output (an IO is both, with one reference
// count). Typed values travel through an InputStream or OutputStream over them with the free
// operators below. The encoding is the library's wire and file format: fixed-size values are
// little-endian and unpadded, lengths and variable integers are ZigZag base-128 Varints, text is
// UTF-8 with a Varint byte length, and an object handle is 'o' (null) or 'O', the class id and
// the object's own stored form.
//
// Malformed or short data and failed transfers throw Exception; what a reader consumed before
// it threw is unspecified. A string being read keeps its old text on failure; a handle whose
// class cannot be made is left null.
#pragma once

#include <cstdint>
#include <typeinfo>

#include "vemo/core/Exception.h"
#include "vemo/core/Export.h"
#include "vemo/core/String.h"
#include "vemo/core/Unknown.h"

namespace vemo {

class VEMO_CORE_API Input : public virtual Unknown {
 public:
  // Bytes that can be read now: 0 when nothing waits, negative when the source failed or closed.
  virtual int available() const = 0;
  // Copies up to `size` bytes without consuming them; returns the count copied.
  virtual int peek(void* buffer, int size) const = 0;
  // Consumes up to `size` bytes; returns the count read, negative on failure.
  virtual int read(void* buffer, int size) = 0;
};

class VEMO_CORE_API Output : public virtual Unknown {
 public:
  // Returns the count written; a short count means failure.
  virtual int write(const void* data, int size) = 0;
};

class VEMO_CORE_API IO : public Input, public Output {};

namespace detail {
class NestingLevel;
}  // namespace detail

// Reads typed values from an Input (shared with every copy of the stream).
class VEMO_CORE_API InputStream {
 public:
  InputStream() = default;
  InputStream(Input* input) : _input(input) {}
  InputStream(const Unknown::Handle_T<Input>& input) : _input(input) {}
  virtual ~InputStream() = default;
  InputStream(const InputStream&) = default;
  InputStream& operator=(const InputStream&) = default;

  int available() const { return _input->available(); }
  virtual int peek(void* buffer, int size) const { return _input->peek(buffer, size); }
  int read(void* buffer, int size) { return _input->read(buffer, size); }
  Input* getInput() const { return _input.get(); }
  void attach(Input* input) { _input = input; }
  void detach() { _input = nullptr; }
  bool isNull() const { return !_input; }

  // How many objects a stream reads inside one another (a handle in the stored form of an
  // object whose handle is being read, and so on): reading one more fails, so that hostile
  // bytes cannot make a reader recurse until its stack is exhausted.
  static constexpr int kMaxNesting = 256;

 private:
  friend class detail::NestingLevel;
  Unknown::Handle_T<Input> _input;
  int _nesting = 0;  // objects being read now, one inside another
};

// Writes typed values to an Output (shared with every copy of the stream).
class VEMO_CORE_API OutputStream {
 public:
  OutputStream() = default;
  OutputStream(Output* output) : _output(output) {}
  OutputStream(const Unknown::Handle_T<Output>& output) : _output(output) {}

  int write(const void* data, int size) { return _output->write(data, size); }
  Output* getOutput() const { return _output.get(); }

 private:
  Unknown::Handle_T<Output> _output;
};

VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const char& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned char& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const int& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const unsigned int& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, char& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned char& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, int& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, unsigned int& value);

// Strings travel as UTF-8 whatever their form. A string is read only when all of it has
// arrived: a declared length beyond the input's available() fails at once.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const String_T<char>& text);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const String_T<wchar_t>& text);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const String_T<unsigned char>& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, String_T<char>& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, String_T<wchar_t>& text);
VEMO_CORE_API InputStream& operator>>(InputStream& is, String_T<unsigned char>& text);

// Copies everything the input has (in pieces of 8192 bytes) until its available() is 0.
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

// A handle: 'o' for null, else 'O', the class id (little-endian) and what exportTo writes.
template <class T>
OutputStream& operator<<(OutputStream& os, const Unknown::Handle_T<T>& handle) {
  if (!handle) return os << static_cast<unsigned char>('o');
  os << static_cast<unsigned char>('O') << handle->getClassId();
  handle->exportTo(os);
  return os;
}

// Recreates the object of the stored class id through the class registry; an unknown id or a
// class that is not a T fails (the handle is then null), and so does an object that would be
// the 257th read inside one another on this stream (InputStream::kMaxNesting).
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
