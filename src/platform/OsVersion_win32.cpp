#include <windows.h>

#include "platform/OsVersion.h"

namespace platform {
namespace {

class WindowsOsVersion : public OsVersion {
 public:
  bool GetVersionExA(OsVersionInfo& info) override {
    info = OsVersionInfo{};
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof(v);
    if (!::GetVersionExA(&v)) return false;
    info.MajorVersion = v.dwMajorVersion;
    info.MinorVersion = v.dwMinorVersion;
    info.BuildNumber = v.dwBuildNumber;
    info.PlatformId = v.dwPlatformId;
    return true;
  }
};

}  // namespace

OsVersion& DefaultOsVersion() {
  static WindowsOsVersion os;
  return os;
}

}  // namespace platform
