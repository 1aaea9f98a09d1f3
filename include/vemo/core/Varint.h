/// \file
/// Varint and Varint64: integers written in the ZigZag base-128 form.
///
/// ZigZag maps 0, -1, 1, -2 ... to 0, 1, 2, 3 ..., then seven bits go into each byte, lowest
/// first, with the top bit set on every byte but the last: 300 is D8 04, -1 is 01. A Varint takes
/// at most 5 bytes and a Varint64 at most 10; a longer one fails to read, and bits beyond the
/// value's width are dropped.
#pragma once

#include <cstdint>

#include "vemo/core/Export.h"
#include "vemo/core/Stream.h"

namespace vemo {

/// An integer of type Int that streams in the ZigZag base-128 form.
template <class Int>
struct Varint_T {
  /// The integer `v`.
  Varint_T(Int v = 0) : value(v) {}
  /// The integer.
  operator Int() const { return value; }
  Int value;  ///< the integer
};

using Varint = Varint_T<std::int32_t>;    ///< A 32-bit Varint: at most 5 bytes.
using Varint64 = Varint_T<std::int64_t>;  ///< A 64-bit Varint: at most 10 bytes.

///@{
/// The ZigZag base-128 form; reading throws Exception for a form longer than the type's most
/// bytes or one cut short.
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const Varint& value);
VEMO_CORE_API OutputStream& operator<<(OutputStream& os, const Varint64& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, Varint& value);
VEMO_CORE_API InputStream& operator>>(InputStream& is, Varint64& value);
///@}

}  // namespace vemo
