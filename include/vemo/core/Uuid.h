/// \file
/// Uuid: 128-bit identifiers, time-based (version 1), name-based (version 3) and random
/// (version 4, from the system's random source), RFC 4122 / RFC 9562.
///
/// The fields are held in the machine's (little-endian) order and the text form shows the 16
/// bytes in memory order, 8-4-4-4-12 lower-case hexadecimal digits: the first group therefore
/// shows time_low byte-reversed compared with the customary RFC text (likewise the two 16-bit
/// fields). Stored ids use this form; parsing is its exact inverse.
#pragma once

#include <cstdint>

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

/// The 6-byte node of a version-1 id.
struct VEMO_CORE_API uuid_node_t {
  unsigned char nodeID[6] = {0, 0, 0, 0, 0, 0};  ///< the six bytes

  ///@{
  /// 12 lower-case hexadecimal digits and a terminator into `out` (room for 13); always true.
  bool convertToString(wchar_t* out) const;
  String convertToString() const;
  ///@}
  ///@{
  /// 12 hexadecimal digits; on failure the node is zeroed. The String form needs exactly 12.
  bool convertFromString(const wchar_t* text);
  bool convertFromString(const String& text);
  ///@}
  /// The first 4 bytes as a signed little-endian 32-bit value, then the last 2 as a signed 16-bit
  /// value: -1, 0 or 1.
  int compare(const uuid_node_t& other) const;
  /// compare(other) == 0.
  bool operator==(const uuid_node_t& other) const { return compare(other) == 0; }
};

/// A 16-byte universally unique identifier in the fields of RFC 4122; the nil id by default.
struct VEMO_CORE_API Uuid {
  std::uint32_t time_low = 0;                  ///< bytes 0 to 3
  std::uint16_t time_mid = 0;                  ///< bytes 4 and 5
  std::uint16_t time_hi_and_version = 0;       ///< bytes 6 and 7: the version in the top 4 bits
  std::uint8_t clock_seq_hi_and_reserved = 0;  ///< byte 8
  std::uint8_t clock_seq_low = 0;              ///< byte 9
  uuid_node_t node;                            ///< bytes 10 to 15

  /// A new random (version 4) id: 118 bits from the system's random source (getrandom, else
  /// /dev/urandom; RtlGenRandom on Windows). Its text reads as version 4, variant 1 to the tools
  /// of RFC 9562 ("xxxxxxxx-xxxx-4x4x-[89ab]xxx-xxxxxxxxxxxx": the first 4 where they look for the
  /// version, the second where version() reads it).
  /// Throws Exception when the source fails; it never falls back to a weaker generator.
  static Uuid createRandom();
  /// The version in time_hi_and_version (1, 3, 4 ...).
  int version() const { return time_hi_and_version >> 12; }

  /// The text form (uuid_convertToString).
  String convertToString() const;
  ///@{
  /// By uuid_compare.
  bool operator==(const Uuid& other) const;
  bool operator!=(const Uuid& other) const { return !(*this == other); }
  bool operator<(const Uuid& other) const;
  ///@}
};
static_assert(sizeof(Uuid) == 16, "16 bytes without padding");

/// A new version-1 id; always 1.
VEMO_CORE_API int uuid_create(Uuid& id);
/// A new random (version 4) id as Uuid::createRandom makes it; false (and the nil id) when the
/// system's random source fails.
VEMO_CORE_API bool uuid_create_random(Uuid& id);
/// The version-3 id of a name in a namespace.
VEMO_CORE_API void uuid_create_md5_from_name(Uuid& id, const Uuid& nameSpace, const void* name,
                                             int length);
/// The 16 bytes as four signed little-endian 32-bit words, first word first: -1, 0 or 1.
VEMO_CORE_API int uuid_compare(const Uuid& a, const Uuid& b);
///@{
/// 36 characters and a terminator into `out` (room for 37); always true.
VEMO_CORE_API bool uuid_convertToString(const Uuid& id, wchar_t* out);
VEMO_CORE_API String uuid_convertToString(const Uuid& id);
///@}
/// Reads the text form; on failure the id is zeroed and false returned.
VEMO_CORE_API bool uuid_convertFromString(Uuid& id, const wchar_t* text);
/// The id of a text of exactly 36 characters, or the nil id.
VEMO_CORE_API Uuid uuid_convertFromString(const String& text);

}  // namespace vemo
