// Day numbers, calendar fields, rounding, negative values, text patterns and
// Unix time in fixed time zones.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/runtime/DateTime.h"
#include "support/ScopedEnv.h"

namespace qnzb {
namespace {

// Printed independently of FormatDateTime so that a failure shows the fields.
std::string Show(const TDateTimeParts& p) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                p.Second, p.Millisecond);
  return text;
}

class ScopedTimeZone {
public:
  explicit ScopedTimeZone(const char* zone) : zone_("TZ", zone) { ::tzset(); }
  ~ScopedTimeZone() { ::tzset(); }

private:
  test::TScopedEnv zone_;
};

constexpr double MsPerDay = 86'400'000.0;
constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

TEST(DateTime, EncodesAndDecodesKnownValues) {
  // Day numbers from Python: (date(y, m, d) - date(1899, 12, 30)).days.
  const struct {
    TDateTimeParts parts;
    double value;
  } cases[] = {
      {{1899, 12, 30}, 0},
      {{1899, 12, 31}, 1},
      {{1899, 12, 29}, -1},
      {{1900, 1, 1}, 2},
      {{1900, 2, 28}, 60},
      {{1900, 3, 1}, 61},
      {{1970, 1, 1}, 25'569},
      {{2000, 1, 1}, 36'526},
      {{2000, 2, 29}, 36'585},
      {{2004, 7, 4}, 38'172},
      {{1600, 2, 29}, -109'512},
      {{1, 1, 1}, -693'593},
      {{9999, 12, 31}, 2'958'465},
      {{1899, 12, 30, 12}, 0.5},
      {{1899, 12, 29, 6}, -1.25},
      {{1899, 12, 29, 18}, -1.75},
      {{2004, 7, 4, 13, 5, 9, 7}, 38'172 + (47'109'007 / MsPerDay)},
      {{1800, 6, 15, 12, 34, 56, 789}, -36'357 - (45'296'789 / MsPerDay)},
      {{9999, 12, 31, 23, 59, 59, 999}, 2'958'465 + (86'399'999 / MsPerDay)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.parts));
    EXPECT_EQ(EncodeDateTime(c.parts), c.value);
    EXPECT_EQ(Show(DecodeDateTime(c.value)), Show(c.parts));
  }
  EXPECT_EQ(EncodeDate(2004, 7, 4), 38'172);
  EXPECT_EQ(EncodeTime(18, 0, 0, 0), 0.75);
}

TEST(DateTime, EveryDayOfEightCenturiesIsOneMoreThanTheDayBefore) {
  double previous = EncodeDate(1599, 12, 31);
  for (int year = 1600; year <= 2400; ++year) {
    int daysInYear = 0;
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 31; ++day) {
        TDateTime value = 0;
        if (!TryEncodeDateTime({year, month, day}, value))
          continue;
        ++daysInYear;
        ASSERT_EQ(value, previous + 1) << year << "-" << month << "-" << day;
        ASSERT_EQ(Show(DecodeDateTime(value)), Show({year, month, day}));
        previous = value;
      }
    }
    const bool leap = year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
    ASSERT_EQ(daysInYear, leap ? 366 : 365) << year;
  }
}

TEST(DateTime, RejectsFieldsOutOfRange) {
  const TDateTimeParts cases[] = {
      {0, 1, 1},           {10000, 1, 1},       {2004, 0, 1},           {2004, 13, 1},
      {2004, 1, 0},        {2004, 1, 32},       {2004, 4, 31},          {1900, 2, 29},
      {2100, 2, 29},       {2003, 2, 29},       {2004, 7, 4, 24},       {2004, 7, 4, -1},
      {2004, 7, 4, 0, 60}, {2004, 7, 4, 0, 0, 60}, {2004, 7, 4, 0, 0, 0, 1000}, {2004, 7, 4, 0, 0, 0, -1},
  };
  for (const auto& parts : cases) {
    SCOPED_TRACE(Show(parts));
    TDateTime out = 123.5;
    EXPECT_FALSE(TryEncodeDateTime(parts, out));
    EXPECT_EQ(out, 123.5);
    EXPECT_THROW((void)EncodeDateTime(parts), std::out_of_range);
  }
  EXPECT_THROW((void)EncodeTime(0, 0, 0, 1000), std::out_of_range);
}

TEST(DateTime, DecodeRoundsToTheNearestMillisecondWithCarry) {
  const double day = 38'172; // 2004-07-04
  const struct {
    double value;
    TDateTimeParts parts;
  } cases[] = {
      {day + (MsPerDay - 0.4) / MsPerDay, {2004, 7, 5}},
      {day + (MsPerDay - 0.6) / MsPerDay, {2004, 7, 4, 23, 59, 59, 999}},
      {day + (47'159'999.6 / MsPerDay), {2004, 7, 4, 13, 6}},
      {-0.5, {1899, 12, 30, 12}},
      // The last instant of 1899-12-29 rounds forward in time, to 1899-12-30.
      {-1 - (MsPerDay - 0.4) / MsPerDay, {1899, 12, 30}},
      {Nan, {}},
      {Inf, {}},
      {-Inf, {}},
      {-693'594, {}},
      {2'958'466, {}},
      {1e300, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(Show(DecodeDateTime(c.value)), Show(c.parts));
  }
}

TEST(DateTime, FormatsTheSystemsPatterns) {
  const TDateTime july = EncodeDateTime({2004, 7, 4, 13, 5, 9, 7});
  const TDateTime january = EncodeDateTime({2009, 1, 2, 3, 4, 5, 123});
  const struct {
    const char* pattern;
    TDateTime value;
    const char* expected;
  } cases[] = {
      {"yyyymmddhhnnsszz", july, "2004070413050907"},
      {"yyyymmddhhnnsszz", january, "20090102030405123"},
      {"yyyymmddhhnnss", july, "20040704130509"},
      {"mm-dd-yyy hh:nn:ss", july, "07-04-2004 13:05:09"},
      {"yy/m/d h:n:s.z", january, "09/1/2 3:4:5.123"},
      {"zzz|zz|z", july, "007|07|7"},
      {"hh:mm", july, "13:05"},
      {"hhmm mm", july, "1305 07"},
      {"YYYY-MM-DD HH:NN", july, "2004-07-04 13:05"},
      {"ddd dddd mmm mmmm", july, "Sun Sunday Jul July"},
      {"'yyyy' \"hh\"yyyy", july, "yyyy hh2004"},
      {"x 'unclosed", july, "x unclosed"},
      {"yyyy", EncodeDate(5, 3, 1), "0005"},
      {"", july, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(FormatDateTime(c.pattern, c.value), c.expected);
  }
}

TEST(DateTime, ConvertsUnixTimeInTheLocalZone) {
  // Unix times from Python: datetime(..., tzinfo=timezone.utc).timestamp().
  const struct {
    const char* zone;
    int64_t seconds;
    int32_t nanoseconds;
    TDateTimeParts parts;
  } cases[] = {
      {"UTC0", 0, 0, {1970, 1, 1}},
      {"UTC0", 1'088'946'309, 7'000'000, {2004, 7, 4, 13, 5, 9, 7}},
      {"UTC0", 1'088'946'309, 7'999'999, {2004, 7, 4, 13, 5, 9, 7}},
      {"UTC0", -2'209'204'800, 0, {1899, 12, 29, 12}},
      {"UTC0", -62'135'596'800, 0, {1, 1, 1}},
      {"UTC0", 253'402'300'799, 999'999'999, {9999, 12, 31, 23, 59, 59, 999}},
      {"EST5", 0, 0, {1969, 12, 31, 19}},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1'088'946'309, 0, {2004, 7, 4, 15, 5, 9}},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1'073'001'600, 0, {2004, 1, 2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.seconds));
    ScopedTimeZone zone(c.zone);
    TDateTime value = 0;
    ASSERT_TRUE(UnixTimeToLocalDateTime(c.seconds, c.nanoseconds, value));
    EXPECT_EQ(value, EncodeDateTime(c.parts));
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    ASSERT_TRUE(LocalDateTimeToUnixTime(value, seconds, nanoseconds));
    EXPECT_EQ(seconds, c.seconds);
    EXPECT_EQ(nanoseconds, c.nanoseconds / 1'000'000 * 1'000'000);
  }
}

TEST(DateTime, RejectsUnixTimesOutsideTheCalendar) {
  ScopedTimeZone zone("UTC0");
  const struct {
    int64_t seconds;
    int32_t nanoseconds;
  } cases[] = {
      {-62'135'596'801, 0}, {253'402'300'800, 0}, {std::numeric_limits<int64_t>::max(), 0},
      {std::numeric_limits<int64_t>::min(), 0}, {0, -1}, {0, 1'000'000'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    TDateTime out = 7;
    EXPECT_FALSE(UnixTimeToLocalDateTime(c.seconds, c.nanoseconds, out));
    EXPECT_EQ(out, 7);
  }
  for (const double value : {Nan, Inf, -Inf, 2'958'466.0, -693'594.0}) {
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    EXPECT_FALSE(LocalDateTimeToUnixTime(value, seconds, nanoseconds)) << value;
  }
}

TEST(DateTime, NowIsTheCurrentLocalTime) {
  ScopedTimeZone zone("UTC0");
  const std::time_t before = std::time(nullptr);
  const TDateTime now = Now();
  const std::time_t after = std::time(nullptr);
  int64_t seconds = 0;
  int32_t nanoseconds = 0;
  ASSERT_TRUE(LocalDateTimeToUnixTime(now, seconds, nanoseconds));
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
}

} // namespace
} // namespace qnzb
