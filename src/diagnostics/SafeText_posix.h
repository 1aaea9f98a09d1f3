// Text made inside a signal handler: appended to a fixed buffer, numbers formatted by hand,
// and (for a file) passed on with write() whenever the buffer fills. Nothing allocates and
// nothing takes a lock, so a crash that interrupted malloc or stdio can still be reported.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace vemo {
namespace detail {

class SafeText {
 public:
  // Text kept in `buffer`, always terminated; what does not fit is dropped.
  SafeText(char* buffer, std::size_t capacity) : SafeText(buffer, capacity, -1) {}
  ~SafeText() { flush(); }
  SafeText(const SafeText&) = delete;
  SafeText& operator=(const SafeText&) = delete;

  SafeText& text(const char* text) { return this->text(text, ~std::size_t{0}); }
  // At most `limit` characters of `text`.
  SafeText& text(const char* text, std::size_t limit) {
    for (std::size_t i = 0; text && i < limit && text[i]; ++i)
      put(text[i]);
    return *this;
  }
  // Padded with zeros to `width` digits.
  SafeText& decimal(long long value, int width = 0) {
    char digits[24];
    int count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) put('-');
    for (int pad = count; pad < width; ++pad)
      put('0');
    while (count > 0)
      put(digits[--count]);
    return *this;
  }
  // Lower-case hexadecimal, padded with zeros to `width` digits.
  SafeText& hex(unsigned long long value, int width) {
    char digits[16];
    int count = 0;
    do {
      digits[count++] = "0123456789abcdef"[value & 0xF];
      value >>= 4;
    } while (value != 0);
    for (int pad = count; pad < width; ++pad)
      put('0');
    while (count > 0)
      put(digits[--count]);
    return *this;
  }
  // A format whose only conversions are "%s", filled in order.
  SafeText& format(const char* format, const char* first, const char* second, const char* third) {
    const char* arguments[] = {first, second, third};
    std::size_t next = 0;
    for (const char* c = format; *c; ++c) {
      if (c[0] == '%' && c[1] == 's' && next < 3) {
        text(arguments[next++]);
        ++c;
      } else {
        put(*c);
      }
    }
    return *this;
  }

  void flush() {
    if (_file < 0) return;
    std::size_t written = 0;
    while (written < _used) {
      const ssize_t step = ::write(_file, _buffer + written, _used - written);
      if (step <= 0) break;
      written += static_cast<std::size_t>(step);
    }
    _used = 0;
  }

 protected:
  // Text passed on to `file`.
  SafeText(char* buffer, std::size_t capacity, int file)
      : _buffer(buffer), _capacity(capacity), _file(file) {
    if (_file < 0 && _capacity > 0) _buffer[0] = '\0';
  }

 private:
  void put(char c) {
    if (_file >= 0) {
      if (_used == _capacity) flush();
      _buffer[_used++] = c;
    } else if (_used + 1 < _capacity) {
      _buffer[_used++] = c;
      _buffer[_used] = '\0';
    }
  }

  char* const _buffer;
  const std::size_t _capacity;
  const int _file;
  std::size_t _used = 0;
};

// Text written to an open file descriptor, through a buffer of its own.
class SafeFileText : public SafeText {
 public:
  explicit SafeFileText(int file) : SafeText(_storage, sizeof _storage, file) {}
  ~SafeFileText() { flush(); }  // while the storage is still ours

 private:
  char _storage[1024];
};

}  // namespace detail
}  // namespace vemo
