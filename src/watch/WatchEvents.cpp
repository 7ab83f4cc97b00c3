#include "watch/WatchEvents.h"

#include <chrono>

#include "platform/EventLog.h"
#include "rtl/SysUtils.h"

namespace watch {
namespace {

// The event log under kEventSource, registered for the life of the
// process.
class EventLogSink : public EventSink {
 public:
  void WriteEvent(uint16_t type, uint32_t id, const std::string& text) override {
    source_.Write(type, 0, id, text);
  }

 private:
  platform::EventSource source_{kEventSource};
};

}  // namespace

EventSink& DefaultEventSink() {
  static EventLogSink* sink = new EventLogSink;
  return *sink;
}

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

FailureLog::FailureLog(EventSink& sink, uint32_t failure_id, uint32_t recovery_id, TickSource ticks)
    : sink_(sink),
      failure_id_(failure_id),
      recovery_id_(recovery_id),
      ticks_(ticks ? std::move(ticks) : TickSource(&SteadyMilliseconds)) {}

void FailureLog::Failure(const std::string& first, const std::string& counted,
                         const std::string& error, uint64_t count) {
  counted_ = counted;
  error_ = error;
  if (!failing_) {
    failing_ = true;
    unreported_ = 0;
    last_entry_ms_ = ticks_();
    sink_.WriteEvent(platform::kEventLogErrorType, failure_id_, first + ": " + error);
    return;
  }
  unreported_ += count;
  Tick();
}

void FailureLog::Tick() {
  if (failing_ && unreported_ > 0 && ticks_() - last_entry_ms_ >= kSummaryIntervalMs) {
    WriteSummary();
  }
}

void FailureLog::WriteSummary() {
  sink_.WriteEvent(platform::kEventLogErrorType, failure_id_,
                   std::to_string(unreported_) + " " + counted_ + ": last error " + error_);
  unreported_ = 0;
  last_entry_ms_ = ticks_();
}

void FailureLog::Success(const std::string& recovery_text) {
  if (!failing_) return;
  if (unreported_ > 0) WriteSummary();
  failing_ = false;
  sink_.WriteEvent(kEventLogSuccessType, recovery_id_, recovery_text);
}

}  // namespace watch
