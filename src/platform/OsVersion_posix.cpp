#include <sys/utsname.h>

#include <cstdlib>

#include "platform/OsVersion.h"

namespace platform {
namespace {

// Linux answers as the NT family, with the kernel's release numbers.
class PosixOsVersion : public OsVersion {
 public:
  bool GetVersionExA(OsVersionInfo& info) override {
    info = OsVersionInfo{};
    info.PlatformId = kPlatformWin32NT;
    struct utsname u {};
    if (::uname(&u) == 0) {
      char* end = nullptr;
      info.MajorVersion = static_cast<uint32_t>(std::strtoul(u.release, &end, 10));
      if (end && *end == '.') {
        info.MinorVersion = static_cast<uint32_t>(std::strtoul(end + 1, &end, 10));
      }
    }
    return true;
  }
};

}  // namespace

OsVersion& DefaultOsVersion() {
  static PosixOsVersion os;
  return os;
}

}  // namespace platform
