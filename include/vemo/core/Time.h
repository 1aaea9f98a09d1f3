/// \file
/// Calendar time as signed 64-bit seconds since 0000-01-01 00:00:00 UTC, with the library's own
/// calendar arithmetic (year 0 is a common year; every later year follows the Gregorian rule).
///
/// The broken-down `tm` used here has the library's meaning for two fields: tm_mon is 1..12 and
/// tm_year is the full year. Time zones are fixed biases in seconds, to add to local time to get
/// UTC (-28800 for UTC+8): the process bias, or one named "Etc/GMT+n" / "Etc/GMT-n". Daylight
/// saving is never applied.
#pragma once

#include <ctime>

#include "vemo/core/Export.h"
#include "vemo/core/String.h"

namespace vemo {

/// Seconds from the library epoch to 1970-01-01 00:00:00.
constexpr __int64 kUnixEpoch = 62167132800LL;

/// The current time on the library epoch (also stored through `now` when it is not null).
VEMO_CORE_API __int64 time(__int64* now);
/// The process bias (the C library's timezone after tzset).
VEMO_CORE_API int getTimeBias();
/// The bias of "Etc/GMT+n" or "Etc/GMT-n" (n hours, sign as written); the process bias otherwise.
VEMO_CORE_API int getZoneBias(const wchar_t* name);
/// "Etc/GMT-8" for -28800: the sign of the bias and its whole hours.
VEMO_CORE_API String getZoneName(int bias);
/// Seconds of a broken-down date (year, month, day, hour, minute, second only; no bias).
VEMO_CORE_API __int64 mktime(const tm& date);
/// The date of a value (value >= 0), weekday and day of the year included.
VEMO_CORE_API tm gmtime(const __int64& value);
/// gmtime of the value shifted by the process bias.
VEMO_CORE_API tm localtime(const __int64& value);

/// A calendar time: signed seconds since 0000-01-01 00:00:00 UTC (see Time.h).
class VEMO_CORE_API Time {
 public:
  /// Local midnight of 0000-01-01: the process bias as value.
  Time();
  /// The time `value` seconds after the epoch.
  explicit Time(__int64 value) : _value(value), _cached(0), _local() {}

  ///@{
  /// The seconds since the epoch.
  __int64 getValue() const { return _value; }
  void setValue(__int64 value) {
    _value = value;
    _cached = 0;
  }
  ///@}
  /// The local breakdown of the value, computed once.
  const tm& getLocalTime() const;

  /// "2021-5-7 18:34:45", followed by " Etc/GMT-8" (the process zone) when `withZone` is set.
  String convertToString(bool withZone) const;
  /// Reads the form above strictly: year-month-day with '-' or '/', then optionally " h", ":m",
  /// ":s" and " <zone>". False (the Time unchanged) for a missing number, a wrong separator or a
  /// field out of range, including days that the month does not have.
  bool convertFromString(const wchar_t* text);

  ///@{
  /// By value.
  bool operator==(const Time& other) const { return _value == other._value; }
  bool operator!=(const Time& other) const { return _value != other._value; }
  bool operator<(const Time& other) const { return _value < other._value; }
  ///@}

 private:
  __int64 _value;
  mutable int _cached;
  mutable tm _local;
};

/// A plain count of seconds.
struct TimeSpan {
  /// A span of `seconds`.
  TimeSpan(__int64 seconds = 0) : value(seconds) {}
  __int64 value;  ///< the seconds
};

}  // namespace vemo
