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

// Splits a value into calendar fields, rounding to the nearest millisecond
// (23:59:59.9996 is 00:00:00.000 of the next day). Negative values (before
// 1899-12-30) follow the system's convention: the integral part is the day, the
// fraction's magnitude the time of day. NaN, infinities and values outside
// years 1..9999 give the default fields (1899-12-30 00:00:00.000).
[[nodiscard]] TDateTimeParts DecodeDateTime(TDateTime value);

// The current local date and time (wall clock, not the engine's virtual clock).
[[nodiscard]] TDateTime Now();

// Local date and time (in the zone of TZ) of a Unix time stamp (seconds and
// nanoseconds since 1970-01-01 UTC), kept to the millisecond: the finer part is
// dropped, so a time stamp never moves into the next second. False (and `out`
// untouched) for nanoseconds outside 0..999999999 or a result outside years
// 1..9999.
[[nodiscard]] bool UnixTimeToLocalDateTime(int64_t seconds, int32_t nanoseconds, TDateTime& out);
// The Unix time of a local date-time value (inverse of the above), rounded to
// the nearest millisecond as DecodeDateTime does. A local time skipped or
// repeated by a daylight-saving change resolves as mktime() resolves it. False
// for values DecodeDateTime does not decode.
[[nodiscard]] bool LocalDateTimeToUnixTime(TDateTime value, int64_t& seconds, int32_t& nanoseconds);

// Formats with the system's pattern letters, in either case: yyyy (four-digit
// year; three or more y give the full year), yy (and y: two digits), mm (month,
// or minutes when the letter before was an h, as in "hh:mm"), m, mmm and mmmm
// (English short and long month names), dd, d, ddd and dddd (English day
// names), hh, h, nn, n, ss, s, zzz (milliseconds, three digits), zz (at least
// two digits), z. A doubled letter pads with zeros to two digits, a single one
// does not. Any other character is copied; text in double or single quotes is
// copied without the quotes (an unclosed quote runs to the end).
[[nodiscard]] std::string FormatDateTime(std::string_view pattern, TDateTime value);

} // namespace qnzb
