#include "rtl/DateTime.h"

#include <gtest/gtest.h>

#include <tuple>

#include "rtl/SysUtils.h"

namespace rtl {
namespace {

TEST(DateTimeTest, EpochAndKnownDates) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  // 1900 is not a leap year on this calendar: 1 March follows 28 February.
  EXPECT_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1.0);
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
}

// Every part survives a trip through the double, at the edges of the day,
// the month and the calendar.
TEST(DateTimeTest, EncodeDecodeRoundTrip) {
  const TDateTimeParts cases[] = {
      {1899, 12, 30, 0, 0, 0, 0},      {2026, 12, 8, 20, 57, 6, 0},
      {2026, 12, 8, 20, 57, 6, 250},   {2024, 2, 29, 23, 59, 59, 999},
      {2023, 12, 31, 23, 59, 59, 999}, {1, 1, 1, 0, 0, 0, 1},
      {9999, 12, 31, 23, 59, 59, 999}, {1899, 12, 29, 6, 0, 0, 0},
  };
  for (const TDateTimeParts& c : cases) {
    TDateTimeParts p = DecodeDateTime(EncodeDateTime(c));
    EXPECT_EQ(std::make_tuple(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second, p.Millisecond),
              std::make_tuple(c.Year, c.Month, c.Day, c.Hour, c.Minute, c.Second, c.Millisecond))
        << c.Year << "-" << c.Month << "-" << c.Day << " " << c.Hour << ":" << c.Minute << ":"
        << c.Second << "." << c.Millisecond;
  }
}

// Decoding rounds to the nearest millisecond: a value a hair below a whole
// second is that second, and the last half millisecond of a day is the next
// day's midnight.
TEST(DateTimeTest, DecodeRoundsToTheNearestMillisecond) {
  const double ms = 1.0 / 86400000.0;
  const TDateTime base = EncodeDate(2026, 12, 8);
  struct Case {
    TDateTime value;
    int day, hour, minute, second, millisecond;
  } cases[] = {
      {base + EncodeTime(20, 57, 6, 0) - ms / 1000, 8, 20, 57, 6, 0},
      {base + EncodeTime(20, 57, 6, 0) + 0.4 * ms, 8, 20, 57, 6, 0},
      {base + EncodeTime(20, 57, 6, 0) + 0.6 * ms, 8, 20, 57, 6, 1},
      {base + 1.0 - 0.4 * ms, 9, 0, 0, 0, 0},
      {base + 1.0 - 0.6 * ms, 8, 23, 59, 59, 999},
  };
  for (const Case& c : cases) {
    TDateTimeParts p = DecodeDateTime(c.value);
    EXPECT_EQ(std::make_tuple(p.Day, p.Hour, p.Minute, p.Second, p.Millisecond),
              std::make_tuple(c.day, c.hour, c.minute, c.second, c.millisecond))
        << c.hour << ":" << c.minute << ":" << c.second << "." << c.millisecond;
  }
}

TEST(DateTimeTest, ImpossibleDatesAndTimesRaise) {
  const int bad_dates[][3] = {{2026, 2, 29}, {1900, 2, 29}, {2026, 4, 31}, {2026, 13, 1},
                              {2026, 0, 1},  {2026, 1, 0},  {0, 1, 1},     {10000, 1, 1}};
  for (const auto& d : bad_dates) {
    EXPECT_THROW(EncodeDate(d[0], d[1], d[2]), EConvertError) << d[0] << "-" << d[1] << "-" << d[2];
  }
  const int bad_times[][4] = {
      {24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}, {-1, 0, 0, 0}};
  for (const auto& t : bad_times) {
    EXPECT_THROW(EncodeTime(t[0], t[1], t[2], t[3]), EConvertError) << t[0] << ":" << t[1];
  }
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
}

}  // namespace
}  // namespace rtl
