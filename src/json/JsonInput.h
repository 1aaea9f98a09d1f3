// Reading UTF-8 text from an input, shared by the JSON reader and the configuration readers.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "vemo/core/String.h"

namespace vemo {

class Input;
class JsonValue;

namespace detail {

struct FreeBytes {
  void operator()(unsigned char* bytes) const { std::free(bytes); }
};

// All the bytes the input has now, and a terminator after them (null when there are none).
// Throws std::bad_alloc when they do not fit in memory.
std::unique_ptr<unsigned char, FreeBytes> readAllBytes(Input& input, std::size_t& size);

// The wide text of UTF-8 bytes: a character beyond the basic plane whole (a surrogate pair where
// wchar_t is 16 bits), each broken sequence as U+FFFD, zero bytes left out.
String decodeUtf8Lenient(const unsigned char* bytes, std::size_t size);

// A value as the errors of checked access name it: null, the number 5, the string "fast" (cut
// after 40 characters), an array, an object.
String describe(const JsonValue& value);

}  // namespace detail
}  // namespace vemo
