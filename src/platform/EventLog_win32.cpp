#include <windows.h>

#include "platform/EventLog.h"

namespace platform {
namespace {

class WindowsEventLog : public EventLog {
 public:
  EventSourceHandle RegisterEventSourceA(const char* server, const char* source) override {
    return reinterpret_cast<EventSourceHandle>(::RegisterEventSourceA(server, source));
  }

  bool ReportEventA(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                    const char* text) override {
    LPCSTR strings[1] = {text};
    return ::ReportEventA(reinterpret_cast<HANDLE>(source), type, category, event_id, nullptr, 1, 0,
                          strings, nullptr) != FALSE;
  }

  bool DeregisterEventSource(EventSourceHandle source) override {
    return ::DeregisterEventSource(reinterpret_cast<HANDLE>(source)) != FALSE;
  }
};

}  // namespace

EventLog& DefaultEventLog() {
  static WindowsEventLog* log = new WindowsEventLog;
  return *log;
}

}  // namespace platform
