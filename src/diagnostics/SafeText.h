// Text made inside a crash handler: appended to a fixed buffer, numbers formatted by hand, and
// (for a stream) passed on whenever the buffer fills. Nothing allocates and nothing takes a
// lock, so a crash that interrupted malloc or stdio can still be reported.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vemo {
namespace detail {

class SafeText {
 public:
  // Text kept in `buffer`, always terminated; what does not fit is dropped.
  SafeText(char* buffer, std::size_t capacity) : SafeText(buffer, capacity, false) {}
  virtual ~SafeText() = default;
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

  // A stream passes on what it holds.
  void flush() {
    if (!_stream) return;
    drain(_buffer, _used);
    _used = 0;
  }

 protected:
  // A stream when `stream`: the buffer is passed to drain() whenever it fills, and by flush().
  SafeText(char* buffer, std::size_t capacity, bool stream)
      : _buffer(buffer), _capacity(capacity), _stream(stream) {
    if (!_stream && _capacity > 0) _buffer[0] = '\0';
  }
  virtual void drain(const char*, std::size_t) {}

 private:
  void put(char c) {
    if (_stream) {
      if (_used == _capacity) flush();
      _buffer[_used++] = c;
    } else if (_used + 1 < _capacity) {
      _buffer[_used++] = c;
      _buffer[_used] = '\0';
    }
  }

  char* const _buffer;
  const std::size_t _capacity;
  const bool _stream;
  std::size_t _used = 0;
};

}  // namespace detail
}  // namespace vemo
