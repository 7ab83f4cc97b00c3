// Clock facility: the local date-time and a plain sleep. Units take a
// Clock* so that tests can pass a fake; DefaultClock() is the system's.
// Thread-safe.
#pragma once

#include <cstdint>

#include "rtl/DateTime.h"

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // Local date-time, days since 30 December 1899, millisecond resolution.
  virtual rtl::TDateTime Now() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

Clock& DefaultClock();

}  // namespace platform
