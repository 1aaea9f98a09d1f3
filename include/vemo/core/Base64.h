/// \file
/// Base64 text of bytes and of strings (RFC 4648 alphabet, '=' padding, no line breaks).
#pragma once

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

/// The base64 text of `length` bytes (RFC 4648 alphabet, padded with '='); empty for null data
/// or a length below 1.
VEMO_CORE_API String base64_encode(const void* data, int length);
/// The number of bytes base64_decode(text, out) produces: (length / 4) x 3 less one per
/// trailing '='.
VEMO_CORE_API int base64_datasize(const String& text);
/// Decodes into `out`, which needs room for base64_datasize(text) bytes; returns the bytes
/// written. A text whose length is not a multiple of 4 gives nothing; decoding stops at the first
/// '=' or character outside the alphabet, and never writes more than base64_datasize(text).
/// Where the processor has AVX2 (cpuid, once per process), the whole groups are decoded 32
/// characters at a time, with the same results.
VEMO_CORE_API int base64_decode(const String& text, void* out);
/// The same with an explicit room for the output.
VEMO_CORE_API int base64_decode(const String& text, void* out, int room);
///@{
/// Base64 of the UTF-8 bytes of a text, and back (the decoded bytes are read as UTF-8 up to the
/// first zero byte).
VEMO_CORE_API String base64_encode(const String& text);
VEMO_CORE_API String base64_decode(const String& text);
///@}

}  // namespace vemo
