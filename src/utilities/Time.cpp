#include "vemo/core/Time.h"

#include <climits>
#include <cwchar>

namespace vemo {
namespace {

const int kCumulativeDays[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

// Year 0 is a common year; later years follow the Gregorian rule.
bool isLeapYear(__int64 year) {
  return year > 0 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0);
}

// Days from the epoch to January 1 of `year` (year >= 0).
__int64 daysBeforeYear(__int64 year) {
  if (year <= 0) return 0;
  const __int64 before = year - 1;
  return 365 * year + before / 4 - before / 100 + before / 400;
}

// 0 = Sunday. In 64 bits: a year read from text may be as large as an int holds.
int weekday(int day, int month, __int64 year) {
  if (month < 3) {
    month += 12;
    year -= 1;
  }
  const __int64 k = year % 100, j = year / 100;
  const __int64 h = (day - 1) + (26 * (month + 1)) / 10 + k + k / 4 + j / 4 - 2 * j;
  return static_cast<int>(((h % 7) + 7) % 7);
}

// Reads a run of decimal digits (without overflow checks beyond the 64-bit accumulator).
bool readNumber(const wchar_t*& p, __int64& value) {
  if (*p < L'0' || *p > L'9') return false;
  unsigned long long accumulated = 0;
  while (*p >= L'0' && *p <= L'9')
    accumulated = accumulated * 10 + static_cast<unsigned>(*p++ - L'0');
  value = static_cast<__int64>(accumulated);
  return true;
}

bool readField(const wchar_t*& p, __int64& value, __int64 low, __int64 high) {
  return readNumber(p, value) && value >= low && value <= high;
}

}  // namespace

__int64 time(__int64* now) {
  const __int64 value = static_cast<__int64>(std::time(nullptr)) + kUnixEpoch;
  if (now) *now = value;
  return value;
}

int getZoneBias(const wchar_t* name) {
  if (name && std::wcsncmp(name, L"Etc/GMT", 7) == 0 && (name[7] == L'+' || name[7] == L'-')) {
    // Hours are read like the C library's _wtoi (saturating at the int range); the product is
    // formed in 64 bits so that no bias text can overflow it.
    long long hours = std::wcstoll(name + 8, nullptr, 10);
    hours = hours > INT_MAX ? INT_MAX : (hours < INT_MIN ? INT_MIN : hours);
    return static_cast<int>((name[7] == L'-' ? -hours : hours) * 3600);
  }
  return getTimeBias();
}

String getZoneName(int bias) {
  String name;
  const int hours = bias / 3600;
  name.format(L"Etc/GMT%c%d", bias < 0 ? L'-' : L'+', hours < 0 ? -hours : hours);
  return name;
}

__int64 mktime(const tm& date) {
  __int64 month = date.tm_mon - 1;
  __int64 year = date.tm_year;
  year += month / 12;
  month %= 12;
  if (month < 0) {
    month += 12;
    year -= 1;
  }
  static const int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const __int64 leapBase = month < 2 ? year - 1 : year;
  const __int64 days = 365 * year + kBefore[month] + leapBase / 4 - leapBase / 100 +
                       leapBase / 400 + date.tm_mday - 1;
  return 86400 * days + 3600 * static_cast<__int64>(date.tm_hour) + 60 * date.tm_min + date.tm_sec;
}

tm gmtime(const __int64& value) {
  tm date{};
  __int64 days = value / 86400;
  __int64 seconds = value % 86400;
  if (seconds < 0) {
    seconds += 86400;
    days -= 1;
  }
  date.tm_hour = static_cast<int>(seconds / 3600);
  date.tm_min = static_cast<int>(seconds / 60 % 60);
  date.tm_sec = static_cast<int>(seconds % 60);
  // An estimate of the year from the mean Gregorian year, then exact correction.
  __int64 year = days * 400 / 146097;
  while (year > 0 && daysBeforeYear(year) > days)
    --year;
  while (daysBeforeYear(year + 1) <= days)
    ++year;
  const int dayOfYear = static_cast<int>(days - daysBeforeYear(year));
  const int* cumulative = kCumulativeDays[isLeapYear(year) ? 1 : 0];
  int month = 1;
  while (month < 12 && cumulative[month] <= dayOfYear)
    ++month;
  date.tm_year = static_cast<int>(year);
  date.tm_mon = month;
  date.tm_mday = dayOfYear - cumulative[month - 1] + 1;
  date.tm_yday = dayOfYear;
  date.tm_wday = weekday(date.tm_mday, month, date.tm_year);
  date.tm_isdst = 0;
  return date;
}

tm localtime(const __int64& value) {
  return gmtime(value - getTimeBias());
}

Time::Time() : _value(getTimeBias()), _cached(0), _local() {}

const tm& Time::getLocalTime() const {
  if (!_cached) {
    _local = localtime(_value);
    _cached = 1;
  }
  return _local;
}

String Time::convertToString(bool withZone) const {
  const tm& local = getLocalTime();
  String text;
  if (withZone)
    text.format(L"%d-%d-%d %02d:%02d:%02d %s", local.tm_year, local.tm_mon, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, getZoneName(getTimeBias()).getBuffer());
  else
    text.format(L"%d-%d-%d %02d:%02d:%02d", local.tm_year, local.tm_mon, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

bool Time::convertFromString(const wchar_t* text) {
  if (!text) return false;
  const wchar_t* p = text;
  __int64 year, month, day, hour = 0, minute = 0, second = 0;
  auto separator = [&p] { return (*p == L'-' || *p == L'/') ? (++p, true) : false; };
  if (!readNumber(p, year) || !separator() || !readField(p, month, 1, 12) || !separator() ||
      !readField(p, day, 1, 31))
    return false;
  int bias = getTimeBias();
  if (*p == L' ') {
    ++p;
    if (!readField(p, hour, 0, 23)) return false;
    if (*p == L':') {
      ++p;
      if (!readField(p, minute, 0, 59)) return false;
      if (*p == L':') {
        ++p;
        if (!readField(p, second, 0, 59)) return false;
        if (*p == L' ') bias = getZoneBias(p + 1);
      } else if (*p) {
        return false;
      }
    } else if (*p) {
      return false;
    }
  } else if (*p) {
    return false;
  }
  static const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int monthDays = month == 2 && isLeapYear(year) ? 29 : kDaysInMonth[month - 1];
  if (day > monthDays) return false;
  tm date{};
  date.tm_year = static_cast<int>(year);
  date.tm_mon = static_cast<int>(month);
  date.tm_mday = static_cast<int>(day);
  date.tm_hour = static_cast<int>(hour);
  date.tm_min = static_cast<int>(minute);
  date.tm_sec = static_cast<int>(second);
  setValue(vemo::mktime(date) + bias);
  return true;
}

}  // namespace vemo
