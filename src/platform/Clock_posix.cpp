#include <time.h>

#include "platform/Clock.h"

namespace platform {

rtl::TDateTime LocalNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  rtl::TDateTimeParts p;
  p.Year = tm.tm_year + 1900;
  p.Month = tm.tm_mon + 1;
  p.Day = tm.tm_mday;
  p.Hour = tm.tm_hour;
  p.Minute = tm.tm_min;
  p.Second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second stays in its minute
  p.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return rtl::EncodeDateTime(p);
}

}  // namespace platform
