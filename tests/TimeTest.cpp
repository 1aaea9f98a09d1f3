// Calendar arithmetic, zones, the text form of Time, and file times.
#include <gtest/gtest.h>

#include <stdlib.h>  // setenv, or _putenv_s on Windows

#include <ctime>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "vemo/core/File.h"
#include "vemo/core/Time.h"

using namespace vemo;

namespace {

// The process zone is read once: fix it before anything asks. Standard time UTC+8 with summer
// rules, so that any use of daylight saving would show.
#if defined(_WIN32)
// The Windows run-time library's TZ has no rules, only a daylight zone name (US rules then).
const bool g_zoneSet = _putenv_s("TZ", "XST-8XDT") == 0;
#else
const bool g_zoneSet = setenv("TZ", "XST-8XDT,M3.2.0,M11.1.0", 1) == 0;
#endif

tm date(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  tm t{};
  t.tm_year = year, t.tm_mon = month, t.tm_mday = day;
  t.tm_hour = hour, t.tm_min = minute, t.tm_sec = second;
  return t;
}

TEST(Time, CalendarAgainstProlepticGregorian) {
  // days: datetime.date(y, m, d).toordinal() + 364 (the epoch is one common year before
  // 0001-01-01); wday: isoweekday() % 7; yday: timetuple().tm_yday - 1.
  const int rows[][6] = {{1, 1, 1, 365, 1, 0},           {1, 2, 28, 423, 3, 58},
                         {1, 3, 1, 424, 4, 59},          {1, 12, 31, 729, 1, 364},
                         {4, 2, 29, 1519, 0, 59},        {4, 3, 1, 1520, 1, 60},
                         {100, 3, 1, 36583, 1, 59},      {400, 2, 29, 146155, 2, 59},
                         {1582, 10, 15, 578100, 5, 287}, {1600, 2, 29, 584446, 2, 59},
                         {1600, 12, 31, 584752, 0, 365}, {1700, 3, 1, 620971, 1, 59},
                         {1900, 2, 28, 694018, 3, 58},   {1900, 3, 1, 694019, 4, 59},
                         {1970, 1, 1, 719527, 4, 0},     {1999, 12, 31, 730483, 5, 364},
                         {2000, 2, 29, 730543, 2, 59},   {2000, 3, 1, 730544, 3, 60},
                         {2021, 5, 7, 738281, 5, 126},   {2100, 3, 1, 767068, 1, 59},
                         {2400, 12, 31, 876946, 0, 365}, {9999, 12, 31, 3652423, 5, 364}};
  for (const auto& r : rows) {
    EXPECT_EQ(mktime(date(r[0], r[1], r[2])), r[3] * 86400LL) << r[0] << "-" << r[1] << "-" << r[2];
    const __int64 value = r[3] * 86400LL + 12 * 3600 + 34 * 60 + 56;
    const tm t = gmtime(value);
    EXPECT_EQ(mktime(t), value);
    EXPECT_EQ(std::vector<int>({t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                                t.tm_wday, t.tm_yday, t.tm_isdst}),
              std::vector<int>({r[0], r[1], r[2], 12, 34, 56, r[4], r[5], 0}));
  }
  EXPECT_EQ(mktime(date(0, 3, 1)), 59 * 86400);  // year 0 has no 29 February
}

TEST(Time, ZonesAndClock) {
  ASSERT_EQ(getTimeBias(), -28800);  // standard time only
  EXPECT_EQ(getZoneName(-28800), L"Etc/GMT-8");
  EXPECT_EQ(getZoneName(19800), L"Etc/GMT+5");
  EXPECT_EQ(getZoneBias(L"Etc/GMT+5"), 18000);
  for (const wchar_t* other : {L"UTC", L"Etc/GMT", L"Etc/GMT5", L""})
    EXPECT_EQ(getZoneBias(other), -28800) << other;
  // A July date is still read with the standard bias.
  EXPECT_EQ(localtime(mktime(date(2021, 7, 1, 4))).tm_hour, 12);
  EXPECT_EQ(Time().convertToString(false), L"0-1-1 00:00:00");

  __int64 stored = 0;
  const __int64 before = std::time(nullptr) + 62167132800LL;
  const __int64 now = vemo::time(&stored);
  EXPECT_TRUE(now == stored && now >= before && now <= std::time(nullptr) + 62167132800LL) << now;
}

TEST(Time, TextForm) {
  // 2021-05-07 18:34:45 at UTC+8 is 10:34:45 UTC; values from Python's datetime + 62167132800.
  Time t;
  ASSERT_TRUE(t.convertFromString(L"2021-5-7 18:34:45 Etc/GMT-8"));
  EXPECT_EQ(t.getValue(), 63787516485LL);
  EXPECT_EQ(t.convertToString(true), L"2021-5-7 18:34:45 Etc/GMT-8");
  EXPECT_EQ(t.convertToString(false), L"2021-5-7 18:34:45");
  ASSERT_TRUE(t.convertFromString(L"2021-5-7 18:34:45 Etc/GMT+5"));
  EXPECT_EQ(t.getValue(), 63787563285LL);
  EXPECT_EQ(t.convertToString(true), L"2021-5-8 07:34:45 Etc/GMT-8");  // the cache was refreshed
  ASSERT_TRUE(t.convertFromString(L"2021-5-7 18:34:45 UTC"));  // an unknown zone: the process's
  EXPECT_EQ(t.getValue(), 63787516485LL);

  const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
      {L"2000-2-29", L"2000-2-29 00:00:00"},    {L"2400-2-29", L"2400-2-29 00:00:00"},
      {L"2021/5/7", L"2021-5-7 00:00:00"},      {L"2021-05/07 9", L"2021-5-7 09:00:00"},
      {L"1-12-31 0:0:59", L"1-12-31 00:00:59"}, {L"2021-4-30 23:59", L"2021-4-30 23:59:00"}};
  for (const auto& [text, canonical] : accepted) {
    Time read;
    EXPECT_TRUE(read.convertFromString(text) && read.convertToString(false) == canonical) << text;
  }
  for (const wchar_t* text :
       {L"1900-2-29", L"2021-4-31", L"0-2-29", L"2021-13-1", L"2021-5-0", L"", L"-5-7", L"2021-5",
        L"2021.5.7", L"2021-5-7x", L"2021-5-7 ", L"2021-5-7 24", L"2021-5-7 18x", L"2021-5-7 18:60",
        L"2021-5-7 18:34x", L"2021-5-7 18:34:60"}) {
    Time kept(12345);
    EXPECT_FALSE(kept.convertFromString(text)) << text;
    EXPECT_EQ(kept.getValue(), 12345) << text;
  }
}

TEST(Time, FileInfo) {
  const tests::ScratchDirectory scratch;
  scratch.put("file", "12345");
  int size = 0;
  Time created, modified;
  ASSERT_TRUE(getFileInfo(scratch.name("file").c_str(), size, created, modified));
  EXPECT_EQ(size, 5);
  const __int64 now = vemo::time(nullptr);
  EXPECT_NEAR(double(modified.getValue()), double(now), 3);
  EXPECT_NEAR(double(created.getValue()), double(now), 3);
  EXPECT_FALSE(getFileInfo(L"/tmp/vemo-timetest-missing/none", size, created, modified));
  EXPECT_EQ(size, -1);
}

}  // namespace
