// The event-log entries of the address watch, and the service-specific exit
// codes of a watch that could not start.
//
// Every entry passes its whole text as its one insertion string; the
// program's message table (src/service/tessalin.mc) gives each event ID the
// text "%1", and a new ID needs its message there. Recoveries
// are written with kEventLogSuccessType, so that they stand out from the
// failures they end (LOG_NOTICE in the journal, "Success" in Event Viewer).
#pragma once

#include <cstdint>

namespace watch {

// Event IDs. 0 is every entry of the service machinery itself.
enum WatchEventId : uint32_t {
  kEventServiceHost = 0,       // the service host's own entries
  kEventStartFailed = 1,       // error: the watch could not start (stage and cause)
  kEventCaptureLost = 2,       // error: capture lost, the adapter is reopened until it works
  kEventCaptureResumed = 3,    // success: capture works again
  kEventReportsFailed = 4,     // error: reports could not be sent (first one, then summaries)
  kEventReportsResumed = 5,    // success: reports are sent again
  kEventSaveFailed = 6,        // error: the table could not be saved
  kEventSaveResumed = 7,       // success: the table is saved again
  kEventReportsDropped = 8,    // warning: the report queue was full, reports were counted
  kEventConfigUnusable = 9,    // warning: the configuration file is not usable
};

inline constexpr uint16_t kEventLogSuccessType = 0;

// Service-specific exit codes, one per start-up stage of the watch. Windows
// reports them with ERROR_SERVICE_SPECIFIC_ERROR; on Linux they are the
// process's exit status.
enum WatchStartCode : uint32_t {
  kStartSenderFailed = 1,   // stage "" (creating the sender)
  kStartReportFailed = 2,   // "registerring"
  kStartAllocFailed = 3,    // "allocating"
  kStartLoadFailed = 4,     // "loading arp table"
  kStartCaptureFailed = 5,  // "configuring snoop"
};

}  // namespace watch
