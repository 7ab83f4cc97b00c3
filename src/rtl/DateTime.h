// Date-time values: a double counting days since 30 December 1899 00:00,
// local time; the fraction is the time of day. Pure arithmetic, any thread.
// The current time comes from the clock facility (platform/Clock.h).
#pragma once

#include <cstdint>

namespace rtl {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

bool IsLeapYear(int year) noexcept;
int DaysInMonth(int year, int month) noexcept;

// Throw EConvertError when the date or time does not exist.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TDateTime EncodeDateTime(const TDateTimeParts& parts);

// Splits a value into its calendar parts. The value is first rounded to the
// nearest whole millisecond, so that the binary error of a stored fraction
// never turns 20:57:06.000 into 20:57:05.999; half a millisecond or less
// before a second (or a midnight) therefore decodes as that second (or the
// next day). Before the epoch the value still counts on one line: -0.75 is
// 29 December 1899 06:00.
TDateTimeParts DecodeDateTime(TDateTime value) noexcept;

constexpr double kSecondsPerDay = 86400.0;

}  // namespace rtl
