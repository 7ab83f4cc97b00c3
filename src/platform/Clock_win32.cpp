#include <windows.h>

#include "platform/Clock.h"

namespace platform {

rtl::TDateTime LocalNow() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  rtl::TDateTimeParts p;
  p.Year = st.wYear;
  p.Month = st.wMonth;
  p.Day = st.wDay;
  p.Hour = st.wHour;
  p.Minute = st.wMinute;
  p.Second = st.wSecond;
  p.Millisecond = st.wMilliseconds;
  return rtl::EncodeDateTime(p);
}

}  // namespace platform
