#include "rtl/DateTime.h"

#include <cmath>

#include "rtl/SysUtils.h"

namespace rtl {

bool IsLeapYear(int y) noexcept { return (y % 4 == 0) && (y % 100 != 0 || y % 400 == 0); }

int DaysInMonth(int year, int month) noexcept {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + ((month == 2 && IsLeapYear(year)) ? 1 : 0);
}

// Days from 0001-01-01 (proleptic Gregorian) to the given date.
static int64_t DaysFromCivil(int y, int m, int d) noexcept {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // days since 1970-01-01
}

static void CivilFromDays(int64_t z, int& y, int& m, int& d) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

static const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

TDateTime EncodeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  return ((hour * 3600.0 + minute * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

TDateTime EncodeDateTime(const TDateTimeParts& p) {
  return EncodeDate(p.Year, p.Month, p.Day) + EncodeTime(p.Hour, p.Minute, p.Second, p.Millisecond);
}

TDateTimeParts DecodeDateTime(TDateTime value) noexcept {
  TDateTimeParts p;
  // Whole milliseconds since the epoch, rounded to the nearest one so that
  // the binary error of a stored fraction never turns 20:57:06 into 20:57:05.
  const int64_t ms_total = std::llround(value * 86400000.0);
  int64_t days = ms_total / 86400000LL;
  int64_t ms = ms_total % 86400000LL;
  if (ms < 0) {
    ms += 86400000LL;
    --days;
  }
  CivilFromDays(days + kEpochOffset, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

}  // namespace rtl
