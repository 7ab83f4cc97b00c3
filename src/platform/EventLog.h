// Event log facility: error entries of the service machinery.
//
// Windows: the event log (RegisterEventSourceA, ReportEventA with one
// insertion string, DeregisterEventSource). Linux: syslog(3) with the source
// name as identity (the journal under systemd, where `journalctl -p` picks
// by kind): errors at LOG_ERR, warnings at LOG_WARNING, successes (the
// recoveries) at LOG_NOTICE, the rest at LOG_INFO.
//
// EventLog is an interface so that tests can read the entries;
// DefaultEventLog() is the system's. Thread-safe. EventSource is the one
// writer of entries under a source name that the program's loggers (the
// service host's and the watch's) build on.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Mutex.h"

namespace platform {

// Event source handle, aliased once; 0 is no handle.
using EventSourceHandle = uintptr_t;

constexpr uint16_t kEventLogSuccessType = 0;
constexpr uint16_t kEventLogErrorType = 1;
constexpr uint16_t kEventLogWarningType = 2;
constexpr uint16_t kEventLogInformationType = 4;

class EventLog {
 public:
  virtual ~EventLog() = default;
  // server null: the local computer. 0 on failure, with the last error set.
  virtual EventSourceHandle RegisterEventSourceA(const char* server, const char* source) = 0;
  // Writes one entry whose single insertion string is text.
  virtual bool ReportEventA(EventSourceHandle source, uint16_t type, uint16_t category,
                            uint32_t event_id, const char* text) = 0;
  virtual bool DeregisterEventSource(EventSourceHandle source) = 0;
};

EventLog& DefaultEventLog();

// text as one entry line, as EventSource writes it and a terminal shows it:
// the journal starts a new entry at a line break and Event Viewer's list
// shows nothing after one, so each break (CR LF, CR or LF) becomes one
// space and a break at the end goes. Error texts that carry a break (a
// socket error's number and its text) keep it in the error file.
std::string EntryLine(const std::string& text);

// Entries under one source name. The source is registered with the first
// entry; while that fails, the entry is lost and the next entry tries
// again. Destroying it deregisters the source. Thread-safe.
class EventSource {
 public:
  explicit EventSource(std::string name, EventLog& log = DefaultEventLog());
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  // Writes one entry, text as EntryLine makes it; false when it was lost (the source could not be
  // registered, or the log refused the entry).
  bool Write(uint16_t type, uint16_t category, uint32_t event_id, const std::string& text)
      EXCLUDES(mu_);
  const std::string& Name() const noexcept { return name_; }

 private:
  const std::string name_;
  EventLog& log_;
  rtl::Mutex mu_;
  EventSourceHandle handle_ GUARDED_BY(mu_) = 0;  // 0 until registered
};

}  // namespace platform
