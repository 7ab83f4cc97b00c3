#include "watch/ReportSender.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "syslog/IdException.h"
#include "watch/ethread.h"

namespace watch {
namespace {

// Reports taken from the queue at a time.
constexpr size_t kBatch = 1024;
// Reports whose hosts are read before they go out together; consecutive
// reports for one host leave in one send.
constexpr size_t kGroup = 64;
// How long a failed host name look-up stands for the next ones.
constexpr int64_t kLookupRetryMs = 1000;
// The sender wakes at least this often to write pending summaries.
constexpr int kTickMs = 1000;

// Windows Sockets errors of a host name look-up that found nothing.
bool IsLookupFailure(int code) { return code >= 11001 && code <= 11004; }

}  // namespace

TReportSender::TReportSender(SysLogSender& sender, platform::Registry& registry, EventSink& events,
                             std::function<void(const std::string&)> write_error, size_t capacity,
                             TickSource ticks)
    : rtl::TThread(true),
      sender_(sender),
      registry_(registry),
      events_(events),
      write_error_(std::move(write_error)),
      capacity_(capacity),
      ticks_(ticks ? std::move(ticks) : TickSource(&SteadyMilliseconds)),
      send_log_(events, kEventReportsFailed, kEventReportsResumed, ticks_),
      drop_log_(events, kEventReportsDropped, kEventReportsDropped, ticks_) {}

bool TReportSender::Queue(std::string text) {
  std::unique_lock<std::mutex> lock(mu_);
  if (queue_.size() >= capacity_) {
    ++dropped_;
    dropped_total_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  queue_.push_back(std::move(text));
  if (waiting_) {
    waiting_ = false;
    lock.unlock();
    wake_.notify_one();
  }
  return true;
}

size_t TReportSender::Pending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size() + in_hand_;
}

bool TReportSender::Drain(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return queue_.empty() && in_hand_ == 0; });
}

size_t TReportSender::Stop(bool discard) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    if (discard) {
      discard_ = true;
      discarded_ += queue_.size();
      queue_.clear();
    }
  }
  wake_.notify_all();
  Terminate();
  WaitFor();
  std::lock_guard<std::mutex> lock(mu_);
  return discarded_;
}

void TReportSender::Run() {
  std::vector<std::string> batch;
  batch.reserve(kBatch);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      in_hand_ = 0;
      if (queue_.empty()) {
        idle_.notify_all();
        if (stopping_) return;
        waiting_ = true;
        wake_.wait_for(lock, std::chrono::milliseconds(kTickMs),
                       [&] { return !queue_.empty() || stopping_; });
        waiting_ = false;
      }
      if (discard_) return;
      const size_t n = std::min(kBatch, queue_.size());
      batch.clear();
      for (size_t i = 0; i < n; ++i) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      in_hand_ = n;
    }
    for (size_t i = 0; i < batch.size();) {
      // The registry is read for every report, in order, before its group
      // goes out.
      const size_t group = std::min(kGroup, batch.size() - i);
      hosts_.resize(group);
      for (size_t k = 0; k < group; ++k) {
        hosts_[k] = ReadSyslogHost(registry_);
        TellConfiguration();
      }
      for (size_t k = 0; k < group;) {
        // A stop that gives up the rest does not wait for the other runs
        // in hand (each run's name look-up may hang).
        if (discard_.load(std::memory_order_relaxed)) {
          std::lock_guard<std::mutex> lock(mu_);
          discarded_ += batch.size() - (i + k);
          in_hand_ = 0;
          idle_.notify_all();
          return;
        }
        size_t run = 1;
        while (k + run < group && hosts_[k + run] == hosts_[k]) ++run;
        k += DeliverRun(hosts_[k], &batch[i + k], run);
      }
      i += group;
    }
    TellDropped();
    send_log_.Tick();
    drop_log_.Tick();
  }
}

void TReportSender::TellDropped() {
  uint64_t dropped;
  {
    std::lock_guard<std::mutex> lock(mu_);
    dropped = dropped_;
    dropped_ = 0;
  }
  if (dropped == 0) {
    // Told again once the queue has room to spare.
    if (drop_log_.Failing() && Pending() < capacity_ / 2) {
      drop_log_.Success("reports are queued again");
    }
    return;
  }
  const std::string error = "the report queue was full (" + std::to_string(capacity_) +
                            " reports); the addresses are in the table all the same";
  drop_log_.Failure(std::to_string(dropped) + " reports were dropped", "reports were dropped",
                    error);
}

void TReportSender::TellConfiguration() {
  const platform::RegistrySource source = registry_.LastSource();
  const bool usable =
      source == platform::RegistrySource::kUsable || source == platform::RegistrySource::kMissing;
  if (source == told_source_ || (usable && told_usable_)) {
    told_source_ = source;
    return;
  }
  told_source_ = source;
  told_usable_ = usable;
  if (usable) {
    events_.WriteEvent(kEventLogSuccessType, kEventConfigUnusable,
                       "the configuration can be read again");
  } else {
    events_.WriteEvent(platform::kEventLogWarningType, kEventConfigUnusable,
                       std::string("the configuration file ") +
                           platform::RegistrySourceText(source) + ": reports go to " +
                           kDefaultSyslogHost);
  }
}

size_t TReportSender::DeliverRun(const std::string& host, const std::string* texts, size_t count) {
  if (!failed_host_.empty() && host == failed_host_ && ticks_() - failed_at_ms_ < kLookupRetryMs) {
    Failed(host, failed_error_);
    return 1;
  }
  std::string error;
  try {
    sender_.SetHost(host);
    const size_t sent = sender_.SendTexts(texts, count, syslog::sfLocalUseFive, syslog::slCritical);
    failed_host_.clear();
    sent_.fetch_add(sent, std::memory_order_relaxed);
    send_log_.Success("reports are sent to " + host + " again");
    return std::max<size_t>(sent, 1);
  } catch (const syslog::EIdSocketError& e) {
    error = e.Message();
    if (IsLookupFailure(e.ErrorCode())) {
      failed_host_ = host;
      failed_error_ = error;
      // The second counts from the failure: a look-up that hung for
      // longer must not be started again for every queued report.
      failed_at_ms_ = ticks_();
    }
  } catch (...) {
    error = rtl::ExceptionMessage(std::current_exception());
  }
  Failed(host, error);
  return 1;
}

void TReportSender::Failed(const std::string& host, const std::string& error) {
  failed_.fetch_add(1, std::memory_order_relaxed);
  try {
    write_error_("some major error :" + error);
  } catch (...) {
    // Reporting goes on even when the error file cannot be written.
  }
  send_log_.Failure("a report could not be sent to " + host, "reports could not be sent to " + host,
                    error);
}

}  // namespace watch
