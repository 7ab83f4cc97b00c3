#include "platform/EventLog.h"

#include <utility>

namespace platform {
namespace {

// An entry is one line wherever it is read (the journal shows a line break
// as the start of a new entry, Event Viewer's list as nothing): each line
// break, CR LF, CR or LF, becomes one space, and a break at the end is
// dropped. Error texts that carry a break
// (a socket error's number and its text) keep it in the error file.
const char* OneLine(const std::string& text, std::string& scratch) {
  if (text.find_first_of("\r\n") == std::string::npos) return text.c_str();
  scratch.clear();
  const size_t end = text.find_last_not_of("\r\n") + 1;  // 0 when all breaks
  for (size_t i = 0; i < end; ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < end && text[i + 1] == '\n') continue;
    scratch += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return scratch.c_str();
}

}  // namespace

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
  std::string scratch;
  return log_.ReportEventA(handle_, type, category, event_id, OneLine(text, scratch));
}

}  // namespace platform
