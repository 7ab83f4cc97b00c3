#include <syslog.h>

#include <mutex>
#include <string>

#include "platform/EventLog.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

struct Source {
  std::string identity;
};

int Priority(uint16_t type) {
  switch (type) {
    case kEventLogErrorType:
      return LOG_ERR;
    case kEventLogWarningType:
      return LOG_WARNING;
    case kEventLogSuccessType:
      return LOG_NOTICE;
    default:
      return LOG_INFO;
  }
}

class SyslogEventLog : public EventLog {
 public:
  EventSourceHandle RegisterEventSourceA(const char* /*server*/, const char* source) override {
    if (!source || !*source) {
      SetLastError(kErrorInvalidParameter);
      return 0;
    }
    return reinterpret_cast<EventSourceHandle>(new Source{source});
  }

  bool ReportEventA(EventSourceHandle handle, uint16_t type, uint16_t /*category*/,
                    uint32_t /*event_id*/, const char* text) override {
    if (!handle) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    auto* source = reinterpret_cast<Source*>(handle);
    // openlog's identity is process-wide: one source at a time.
    std::lock_guard<std::mutex> lock(mu_);
    ::openlog(source->identity.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(Priority(type), "%s", text ? text : "");
    ::closelog();
    return true;
  }

  bool DeregisterEventSource(EventSourceHandle handle) override {
    if (!handle) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    delete reinterpret_cast<Source*>(handle);
    return true;
  }

 private:
  std::mutex mu_;
};

}  // namespace

EventLog& DefaultEventLog() {
  static SyslogEventLog* log = new SyslogEventLog;
  return *log;
}

}  // namespace platform
