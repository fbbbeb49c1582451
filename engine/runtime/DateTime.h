#pragma once
// Date-time values as the system keeps them: days since 30 December 1899 as a
// double, the fraction being the time of day. Conversions to and from calendar
// fields, Unix time and the text patterns the engine prints.

#include <cstdint>
#include <string>
#include <string_view>

namespace qnzb {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// False (and `out` untouched) for fields out of range: year 1..9999, a real
// month day, hour 0..23, minute and second 0..59, millisecond 0..999.
[[nodiscard]] bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& out);
// As TryEncodeDateTime; throws std::out_of_range on fields out of range.
[[nodiscard]] TDateTime EncodeDateTime(const TDateTimeParts& parts);
[[nodiscard]] TDateTime EncodeDate(int year, int month, int day);
[[nodiscard]] TDateTime EncodeTime(int hour, int minute, int second, int millisecond);

// Splits a value into calendar fields, rounding to the nearest millisecond.
// Negative values (before 1899-12-30) follow the system's convention: the
// integral part is the day, the fraction's magnitude the time of day.
[[nodiscard]] TDateTimeParts DecodeDateTime(TDateTime value);

// The current local date and time (wall clock, not the engine's virtual clock).
[[nodiscard]] TDateTime Now();

// Local date and time of a Unix time stamp (seconds and nanoseconds since
// 1970-01-01 UTC). False when the result falls outside years 1..9999.
[[nodiscard]] bool UnixTimeToLocalDateTime(int64_t seconds, int32_t nanoseconds, TDateTime& out);
// The Unix time of a local date-time value (inverse of the above).
[[nodiscard]] bool LocalDateTimeToUnixTime(TDateTime value, int64_t& seconds, int32_t& nanoseconds);

// Formats with the system's pattern letters: yyyy (four-digit year; three or
// more y give the full year), yy, mm (month, or minutes right after hh), m, dd,
// d, hh, h, nn, n, ss, s, zzz (milliseconds, three digits), zz (two or more),
// z; any other character is copied; text in double or single quotes is copied
// without the quotes.
[[nodiscard]] std::string FormatDateTime(std::string_view pattern, TDateTime value);

} // namespace qnzb
