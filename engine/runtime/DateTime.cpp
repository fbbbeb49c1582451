#include "engine/runtime/DateTime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <stdexcept>

namespace qnzb {

namespace {

constexpr int64_t MSecsPerDay = 86'400'000;
// Days from 1899-12-30 to 1970-01-01.
constexpr int64_t UnixDateDelta = 25'569;
// 0001-01-01 and 9999-12-31 as day numbers.
constexpr int64_t MinDay = -693'593;
constexpr int64_t MaxDay = 2'958'465;

constexpr const char* ShortMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* LongMonthNames[] = {"January", "February", "March",     "April",   "May",      "June",
                                          "July",    "August",   "September", "October", "November", "December"};
constexpr const char* ShortDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* LongDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : Days[month - 1];
}

// Proleptic Gregorian calendar, days counted from 1970-01-01; the era-based
// method keeps the divisions exact for dates before the epoch.
int64_t DaysFromCivil(int year, int month, int day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + doe - 719'468;
}

void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719'468;
  const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const int64_t doe = days - era * 146'097;
  const int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

bool ValidTime(int hour, int minute, int second, int millisecond) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59 &&
         millisecond >= 0 && millisecond <= 999;
}

// A date before 1899-12-30 is negative while its time of day still counts
// forward, so the time is subtracted there.
TDateTime Combine(int64_t day, double timeOfDay) {
  const auto date = static_cast<double>(day);
  return day >= 0 ? date + timeOfDay : date - timeOfDay;
}

// The day number and the milliseconds into that day, rounded to the nearest
// millisecond with the carry into the next day. False outside years 1..9999.
bool Split(TDateTime value, int64_t& day, int64_t& msOfDay) {
  if (!std::isfinite(value) || value <= static_cast<double>(MinDay - 1) || value >= static_cast<double>(MaxDay + 1))
    return false;
  const double whole = std::trunc(value);
  day = static_cast<int64_t>(whole);
  msOfDay = std::llround(std::fabs(value - whole) * static_cast<double>(MSecsPerDay));
  if (msOfDay >= MSecsPerDay) {
    ++day;
    msOfDay -= MSecsPerDay;
  }
  return day <= MaxDay;
}

TDateTimeParts PartsOf(int64_t day, int64_t msOfDay) {
  TDateTimeParts parts;
  CivilFromDays(day - UnixDateDelta, parts.Year, parts.Month, parts.Day);
  parts.Millisecond = static_cast<int>(msOfDay % 1000);
  parts.Second = static_cast<int>(msOfDay / 1000 % 60);
  parts.Minute = static_cast<int>(msOfDay / 60'000 % 60);
  parts.Hour = static_cast<int>(msOfDay / 3'600'000);
  return parts;
}

void AppendNumber(std::string& out, int value, size_t minDigits) {
  const std::string digits = std::to_string(value);
  if (digits.size() < minDigits)
    out.append(minDigits - digits.size(), '0');
  out += digits;
}

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsAsciiLetter(char c) {
  const char u = UpperAscii(c);
  return u >= 'A' && u <= 'Z';
}

// The Gregorian calendar repeats every 400 years, weekdays included. The
// Windows C library converts no time before 1970 or after 3000: such times are
// converted in the cycle from 1970 and moved back, under today's rules of the zone.
constexpr int CalendarCycleYears = 400;
constexpr int64_t CalendarCycleSeconds = 146'097LL * 86'400;

bool SystemLocalTime(std::time_t t, std::tm& tm) {
#ifdef _WIN32
  return ::localtime_s(&tm, &t) == 0;
#else
  return ::localtime_r(&t, &tm) != nullptr;
#endif
}

// Whole cycles that bring `seconds` into the first cycle from 1970.
int64_t CyclesFrom1970(int64_t seconds) {
  return seconds >= 0 ? seconds / CalendarCycleSeconds : -((-seconds + CalendarCycleSeconds - 1) / CalendarCycleSeconds);
}

bool LocalTime(std::time_t t, std::tm& tm) {
  if (SystemLocalTime(t, tm))
    return true;
  const int64_t cycles = CyclesFrom1970(static_cast<int64_t>(t));
  if (cycles == 0 || !SystemLocalTime(static_cast<std::time_t>(t - cycles * CalendarCycleSeconds), tm))
    return false;
  tm.tm_year += static_cast<int>(cycles * CalendarCycleYears);
  return true;
}

bool SystemMakeTime(std::tm tm, std::time_t& out) {
  // mktime returns -1 both on failure and for one valid second; only success sets tm_wday.
  tm.tm_wday = -1;
  out = std::mktime(&tm);
  return out != static_cast<std::time_t>(-1) || tm.tm_wday != -1;
}

// mktime, with the years the system can't convert handled as LocalTime does.
bool MakeTime(std::tm tm, std::time_t& out) {
  if (SystemMakeTime(tm, out))
    return true;
  const int yearsFrom1970 = tm.tm_year - 70;
  const int cycles = yearsFrom1970 >= 0 ? yearsFrom1970 / CalendarCycleYears
                                        : -((-yearsFrom1970 + CalendarCycleYears - 1) / CalendarCycleYears);
  if (cycles == 0)
    return false;
  tm.tm_year -= cycles * CalendarCycleYears;
  if (!SystemMakeTime(tm, out))
    return false;
  out += static_cast<std::time_t>(cycles * CalendarCycleSeconds);
  return true;
}

} // namespace

bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& out) {
  if (parts.Year < 1 || parts.Year > 9999 || parts.Month < 1 || parts.Month > 12 || parts.Day < 1 ||
      parts.Day > DaysInMonth(parts.Year, parts.Month) ||
      !ValidTime(parts.Hour, parts.Minute, parts.Second, parts.Millisecond))
    return false;
  const int64_t ms = ((parts.Hour * 60LL + parts.Minute) * 60 + parts.Second) * 1000 + parts.Millisecond;
  const int64_t day = DaysFromCivil(parts.Year, parts.Month, parts.Day) + UnixDateDelta;
  out = Combine(day, static_cast<double>(ms) / static_cast<double>(MSecsPerDay));
  return true;
}

TDateTime EncodeDateTime(const TDateTimeParts& parts) {
  TDateTime value = 0;
  if (!TryEncodeDateTime(parts, value))
    throw std::out_of_range("invalid date or time");
  return value;
}

TDateTime EncodeDate(int year, int month, int day) {
  return EncodeDateTime({.Year = year, .Month = month, .Day = day});
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  return EncodeDateTime({.Hour = hour, .Minute = minute, .Second = second, .Millisecond = millisecond});
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  int64_t day = 0;
  int64_t ms = 0;
  if (!Split(value, day, ms))
    return {};
  return PartsOf(day, ms);
}

TDateTime Now() {
  using namespace std::chrono;
  const auto since = system_clock::now().time_since_epoch();
  const auto secs = floor<seconds>(since);
  TDateTime value = 0;
  if (!UnixTimeToLocalDateTime(secs.count(), static_cast<int32_t>(duration_cast<nanoseconds>(since - secs).count()),
                               value))
    return 0;
  return value;
}

bool UnixTimeToLocalDateTime(int64_t seconds, int32_t nanoseconds, TDateTime& out) {
  // Far beyond year 9999 either way; keeps time_t and the C library's year
  // arithmetic away from overflow.
  constexpr int64_t Limit = 400'000LL * 366 * 86'400;
  if (nanoseconds < 0 || nanoseconds > 999'999'999 || seconds < -Limit || seconds > Limit)
    return false;
  const auto t = static_cast<std::time_t>(seconds);
  if (static_cast<int64_t>(t) != seconds)
    return false;
  std::tm tm{};
  if (!LocalTime(t, tm))
    return false;
  const int64_t year = static_cast<int64_t>(tm.tm_year) + 1900;
  if (year < 1 || year > 9999)
    return false;
  // A leap second (tm_sec 60) stays within its day.
  const int64_t ms = ((tm.tm_hour * 60LL + tm.tm_min) * 60 + std::min(tm.tm_sec, 59)) * 1000 + nanoseconds / 1'000'000;
  const int64_t day = DaysFromCivil(static_cast<int>(year), tm.tm_mon + 1, tm.tm_mday) + UnixDateDelta;
  out = Combine(day, static_cast<double>(ms) / static_cast<double>(MSecsPerDay));
  return true;
}

bool LocalDateTimeToUnixTime(TDateTime value, int64_t& seconds, int32_t& nanoseconds) {
  int64_t day = 0;
  int64_t ms = 0;
  if (!Split(value, day, ms))
    return false;
  const TDateTimeParts parts = PartsOf(day, ms);
  std::tm tm{};
  tm.tm_year = parts.Year - 1900;
  tm.tm_mon = parts.Month - 1;
  tm.tm_mday = parts.Day;
  tm.tm_hour = parts.Hour;
  tm.tm_min = parts.Minute;
  tm.tm_sec = parts.Second;
  tm.tm_isdst = -1;
  std::time_t t = 0;
  if (!MakeTime(tm, t))
    return false;
  seconds = static_cast<int64_t>(t);
  nanoseconds = static_cast<int32_t>(ms % 1000 * 1'000'000);
  return true;
}

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::string out;
  char lastLetter = 0; // "m" after an hour (only non-letters between) means minutes
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '"' || c == '\'') {
      const size_t close = std::min(pattern.find(c, i + 1), pattern.size());
      out.append(pattern.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    if (!IsAsciiLetter(c)) {
      out += c;
      ++i;
      continue;
    }
    char letter = UpperAscii(c);
    size_t count = 1;
    while (i + count < pattern.size() && UpperAscii(pattern[i + count]) == letter)
      ++count;
    if (letter == 'M' && lastLetter == 'H')
      letter = 'N';
    lastLetter = letter;
    switch (letter) {
    case 'Y':
      if (count <= 2)
        AppendNumber(out, p.Year % 100, 2);
      else
        AppendNumber(out, p.Year, 4);
      break;
    case 'M':
      if (count <= 2)
        AppendNumber(out, p.Month, count);
      else
        out += (count == 3 ? ShortMonthNames : LongMonthNames)[p.Month - 1];
      break;
    case 'D':
      if (count <= 2) {
        AppendNumber(out, p.Day, count);
      } else {
        // 1970-01-01 was a Thursday.
        const auto weekday = static_cast<size_t>(((DaysFromCivil(p.Year, p.Month, p.Day) + 4) % 7 + 7) % 7);
        out += (count == 3 ? ShortDayNames : LongDayNames)[weekday];
      }
      break;
    case 'H':
      AppendNumber(out, p.Hour, std::min<size_t>(count, 2));
      break;
    case 'N':
      AppendNumber(out, p.Minute, std::min<size_t>(count, 2));
      break;
    case 'S':
      AppendNumber(out, p.Second, std::min<size_t>(count, 2));
      break;
    case 'Z':
      AppendNumber(out, p.Millisecond, std::min<size_t>(count, 3));
      break;
    default:
      out.append(pattern.substr(i, count));
      break;
    }
    i += count;
  }
  return out;
}

} // namespace qnzb
