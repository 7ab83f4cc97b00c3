#include "watch/ethread.h"

namespace watch {
namespace {

// Until the real sender and capture component are joined, the program's
// watch cannot start: Run ends at its first step with an empty line in the
// error file.
class UnavailableParts : public WatchParts {
 public:
  std::unique_ptr<SysLogSender> CreateSysLog() override {
    throw rtl::Exception("syslog sender not available");
  }
  std::unique_ptr<CaptureSource> CreateCapture() override {
    throw rtl::Exception("capture component not available");
  }
};

}  // namespace

WatchParts& DefaultWatchParts() {
  static UnavailableParts parts;
  return parts;
}

}  // namespace watch
