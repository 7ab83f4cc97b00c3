// Operating system version facility: which platform family the program runs
// on. The capture layer asks it whether the driver lists adapter names in
// 8-bit (Windows 95/98/Me) or 16-bit characters. Units take an OsVersion& so
// that tests can pretend to be either family; DefaultOsVersion() is the
// system's. On Linux it reports the NT family. Thread-safe.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t kPlatformWin32s = 0;
constexpr uint32_t kPlatformWin32Windows = 1;  // Windows 95/98/Me
constexpr uint32_t kPlatformWin32NT = 2;

struct OsVersionInfo {
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  uint32_t PlatformId = 0;
};

class OsVersion {
 public:
  virtual ~OsVersion() = default;
  // Fills info (GetVersionExA on Windows); false when the query failed.
  virtual bool GetVersionExA(OsVersionInfo& info) = 0;
};

OsVersion& DefaultOsVersion();

}  // namespace platform
