// The report sender: the thread that sends the watch's reports, so that the
// capture reader never waits on the network, a name look-up or the
// registry file.
//
// The capture reader queues report texts (Queue); the sender thread takes
// them in order and sends each one: the host from the registry value
// SyslogHost, read anew for every report, then one datagram at facility
// local use 5, severity critical. A report that cannot be sent is written to
// the error file ("some major error :" and the message) and told to the
// event log (the first at once, then a summary at most once a minute, and
// one entry when sending works again). A host name that failed to resolve
// is not asked again within a second; the reports meanwhile fail with the
// same error.
//
// The queue holds at most Capacity reports; further ones are counted, not
// queued, and the event log says how many (their pairs are in the registry
// all the same).
//
// Threads: Queue from one producer at a time; Drain, Stop and the counters
// from any thread. The sender is used only by the sender thread once it
// runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "rtl/Thread.h"
#include "watch/WatchEvents.h"
#include "watch/WatchFactory.h"

namespace watch {

class TReportSender : public rtl::TThread {
 public:
  static constexpr size_t kDefaultCapacity = 1000000;

  // write_error replaces the error file; its own failures are swallowed.
  TReportSender(SysLogSender& sender, platform::Registry& registry, EventSink& events,
                std::function<void(const std::string&)> write_error,
                size_t capacity = kDefaultCapacity, TickSource ticks = {});

  // Capture reader: queues one report. False when the queue is full (the
  // report is counted as dropped).
  bool Queue(std::string text);

  // Waits until every report queued so far has been handled (sent or
  // failed), or timeout_ms has passed; true when it was all handled.
  bool Drain(int timeout_ms);
  // Ends the thread once the queue is empty (or, with discard, after the
  // report being sent) and waits for it. Returns the reports left unsent.
  size_t Stop(bool discard = false);

  uint64_t Sent() const noexcept { return sent_.load(std::memory_order_relaxed); }
  uint64_t Failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
  uint64_t Dropped() const noexcept { return dropped_total_.load(std::memory_order_relaxed); }
  size_t Pending() const;

 protected:
  void Run() override;

 private:
  // Sends texts[0..count), whose registry reads all named host, as far as
  // one send goes; returns how many of them it dealt with (at least one),
  // a failed report included.
  size_t DeliverRun(const std::string& host, const std::string* texts, size_t count);
  // The failure of one report: the error file, the counters, the log.
  void Failed(const std::string& host, const std::string& error);
  void TellDropped();
  // One entry when the configuration file becomes unusable (not a regular
  // file, too large, unreadable), one when it can be read again.
  void TellConfiguration();

  SysLogSender& sender_;
  platform::Registry& registry_;
  EventSink& events_;
  std::function<void(const std::string&)> write_error_;
  const size_t capacity_;
  TickSource ticks_;

  mutable std::mutex mu_;
  std::condition_variable wake_;   // the sender: texts queued, or stop
  std::condition_variable idle_;   // Drain: everything handled
  std::deque<std::string> queue_;  // guarded by mu_
  size_t in_hand_ = 0;             // guarded by mu_: taken, not yet handled
  bool stopping_ = false;          // guarded by mu_
  // Set under mu_; the sender thread also reads it between the reports in
  // its hands, which a discarding stop gives up too.
  std::atomic<bool> discard_{false};
  size_t discarded_ = 0;  // guarded by mu_
  bool waiting_ = false;  // guarded by mu_: the sender sleeps on wake_
  uint64_t dropped_ = 0;  // guarded by mu_: not yet told

  // The sender thread's own.
  FailureLog send_log_;
  FailureLog drop_log_;
  platform::RegistrySource told_source_ = platform::RegistrySource::kUsable;
  bool told_usable_ = true;
  std::vector<std::string> hosts_;  // the registry's host for each report of a group
  std::string failed_host_;         // the host whose look-up failed last
  std::string failed_error_;
  int64_t failed_at_ms_ = 0;

  std::atomic<uint64_t> sent_{0}, failed_{0}, dropped_total_{0};
};

}  // namespace watch
