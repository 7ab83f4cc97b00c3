#include "platform/EventLog.h"

#include <utility>

namespace platform {

std::string EntryLine(const std::string& text) {
  const size_t end = text.find_last_not_of("\r\n") + 1;  // 0 when all breaks
  std::string line;
  line.reserve(end);
  for (size_t i = 0; i < end; ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < end && text[i + 1] == '\n') continue;
    line += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return line;
}

EventSource::EventSource(std::string name, EventLog& log) : name_(std::move(name)), log_(log) {}

EventSource::~EventSource() {
  rtl::MutexLock lock(mu_);
  if (handle_) log_.DeregisterEventSource(handle_);
}

bool EventSource::Write(uint16_t type, uint16_t category, uint32_t event_id,
                        const std::string& text) {
  rtl::MutexLock lock(mu_);
  if (!handle_) handle_ = log_.RegisterEventSourceA(nullptr, name_.c_str());
  if (!handle_) return false;  // tried again with the next entry
  return log_.ReportEventA(handle_, type, category, event_id, EntryLine(text).c_str());
}

}  // namespace platform
