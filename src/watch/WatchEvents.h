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
#include <exception>
#include <functional>
#include <string>

#include "platform/EventLog.h"

namespace watch {

// Event IDs. 0 is every entry of the service machinery itself.
enum WatchEventId : uint32_t {
  kEventServiceHost = 0,         // the service host's own entries
  kEventStartFailed = 1,         // error: the watch could not start (stage and cause)
  kEventCaptureLost = 2,         // error: capture lost, the adapter is reopened until it works
  kEventCaptureResumed = 3,      // success: capture works again
  kEventReportsFailed = 4,       // error: reports could not be sent (first one, then summaries)
  kEventReportsResumed = 5,      // success: reports are sent again
  kEventSaveFailed = 6,          // error: the table could not be saved
  kEventSaveResumed = 7,         // success: the table is saved again
  kEventReportsDropped = 8,      // warning: the report queue was full, reports were counted
  kEventConfigUnusable = 9,      // warning: the configuration file is not usable
  kEventFramesDropped = 10,      // error: the capture driver dropped frames (first, then summaries)
  kEventFramesKeptUp = 11,       // success: no frame dropped for a while
  kEventServerUnreachable = 12,  // error: a stream connection to the server failed; reports wait
  kEventServerReachable = 13,    // success: the reports that waited are delivered again
  kEventWatchStopped = 14,       // information: the watch stopped, with its report counts
  kEventRegistryFull = 15,       // warning: the registry holds MaxAddresses pairs (then summaries)
  kEventMacFlood = 16,           // warning: more new MAC addresses a second than a network makes
  kEventMacFloodEnded = 17,      // success: the flood of new MAC addresses is over
  kEventTableDamaged = 18,       // error: the table could not be read to its end
  kEventServerStalled = 19,      // error: the stream's server has read nothing for 10 s
  kEventServerReadsAgain = 20,   // success: it reads again
};

using platform::kEventLogSuccessType;

// The event source of the watch's entries.
inline constexpr char kEventSource[] = "Wirevane";

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

// Where the watch's entries go. Thread-safe.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void WriteEvent(uint16_t type, uint32_t id, const std::string& text) = 0;
};

// The event log under the source "Wirevane" (the journal on Linux).
EventSink& DefaultEventSink();

// Milliseconds of a monotonic clock, for the spacing of entries and
// retries; tests pass their own.
using TickSource = std::function<int64_t()>;
int64_t SteadyMilliseconds();

// One kind of failure that the watch survives, as the event log tells it:
// the first failure at once, then at most one summary a minute while it
// goes on, and one entry when it works again. Not thread-safe: one owner.
class FailureLog {
 public:
  FailureLog(EventSink& sink, uint32_t failure_id, uint32_t recovery_id, TickSource ticks = {});

  // A failure and why. The first is written at once as "first: error";
  // a summary reads "N counted: last error ERROR", for example "12 reports
  // could not be sent to 192.0.2.1: last error ...". count is how many
  // things failed this time (the first one's count belongs in its text).
  void Failure(const std::string& first, const std::string& counted, const std::string& error,
               uint64_t count = 1);
  // It worked: writes the pending summary and the recovery text, once.
  void Success(const std::string& recovery_text);
  // Writes the summary when a minute has passed since the last entry.
  void Tick();
  bool Failing() const noexcept { return failing_; }

  static constexpr int64_t kSummaryIntervalMs = 60000;

 private:
  void WriteSummary();

  EventSink& sink_;
  uint32_t failure_id_, recovery_id_;
  TickSource ticks_;
  bool failing_ = false;
  uint64_t unreported_ = 0;  // failures since the last entry
  std::string counted_, error_;
  int64_t last_entry_ms_ = 0;
};

}  // namespace watch
