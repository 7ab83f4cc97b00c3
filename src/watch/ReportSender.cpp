#include "watch/ReportSender.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "syslog/IdException.h"
#include "watch/ReportConfig.h"

namespace watch {
namespace {

// Reports taken from the queue at a time.
constexpr size_t kBatch = 1024;
// The queue's chunks: their size (a few thousand reports each), and how
// many emptied ones are kept for reuse; the others are given back.
constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kSpareChunks = 4;
// Reports in a row for one destination that leave in one send (UDP) or one
// write (TCP, TLS).
constexpr size_t kGroup = 64;
// Reports a paced sender waits to have tokens for before it sends: fewer
// wake-ups, still an even flow.
constexpr double kPacedGroup = 8;
// A report written to a stream counts as delivered once its connection has
// stayed up this long after the write; a connection that breaks sooner
// after it was made is a failed attempt.
constexpr int64_t kSettleMs = 2000;
// After a failed attempt the next connection carries at most this many
// unsettled reports, twice as many after each settle, without a bound from
// kOpenAfter on: a server that takes only part of each connection still
// gets every report in the end.
constexpr size_t kProbeWindow = 16;
constexpr size_t kOpenAfter = 65536;
constexpr size_t kOpenWindow = std::numeric_limits<size_t>::max();
// A write that has made no progress this long while reports wait is told:
// the server reads nothing.
constexpr auto kStallTold = std::chrono::seconds(10);
// While a connection on probation may carry no more: how often the sender
// looks again.
constexpr int kProbeSliceMs = 50;
// A stream connection that failed is tried again after this, doubling up
// to the longest wait.
constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 60000;
// How long a failed host name look-up stands for the next ones.
constexpr int64_t kLookupRetryMs = 1000;
// After a failed datagram send, how long must pass without a failure before
// a send that works counts as a recovery (see DeliverUdp).
constexpr int64_t kUdpSettleMs = 10000;
// The error file is written at most this often (the latest text at the
// end of each interval); a text it already holds is not written again.
constexpr int64_t kErrorFileIntervalMs = 1000;
// The sender wakes at least this often to write pending summaries.
constexpr int kTickMs = 1000;
// Room made for a stream frame's length and space: "1024 " (the longest
// wire text); a longer text gets more.
constexpr size_t kLengthRoom = 5;
// While the capture reader is behind: how often the sender looks again.
constexpr auto kYieldSlice = std::chrono::milliseconds(1);

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

bool TReportSender::Queue(std::string_view text) {
  rtl::MutexLock lock(mu_);
  if (wait_for_room_ && queued_ >= capacity_) {
    room_.Wait(mu_, [&]() REQUIRES(mu_) { return queued_ < capacity_ || stopping_; });
  }
  if (queued_ >= capacity_ || (wait_for_room_ && stopping_)) {
    ++dropped_;
    dropped_total_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  const size_t need = sizeof(size_t) + text.size();
  if (chunks_.empty() || chunks_.back().capacity - chunks_.back().end < need) AddChunk(need);
  Chunk& tail = chunks_.back();
  const size_t length = text.size();
  std::memcpy(tail.bytes.get() + tail.end, &length, sizeof length);
  std::memcpy(tail.bytes.get() + tail.end + sizeof length, text.data(), length);
  tail.end += need;
  ++queued_;
  if (waiting_) {
    waiting_ = false;
    lock.Unlock();
    wake_.Signal();
  }
  return true;
}

void TReportSender::SpareChunk(Chunk& chunk) {
  if (spare_chunks_.size() < kSpareChunks && chunk.capacity == kChunkBytes) {
    spare_chunks_.push_back(std::move(chunk));
  }
}

void TReportSender::AddChunk(size_t need) {
  // An emptied chunk is only ever the only one; one too small for need
  // makes way, so that the oldest chunk always holds the oldest report.
  if (!chunks_.empty() && chunks_.back().begin == chunks_.back().end) {
    SpareChunk(chunks_.back());
    chunks_.pop_back();
  }
  Chunk chunk;
  if (!spare_chunks_.empty() && spare_chunks_.back().capacity >= need) {
    chunk = std::move(spare_chunks_.back());
    spare_chunks_.pop_back();
  } else {
    chunk.capacity = std::max(kChunkBytes, need);
    chunk.bytes.reset(new char[chunk.capacity]);
  }
  chunk.begin = chunk.end = 0;
  chunks_.push_back(std::move(chunk));
}

void TReportSender::TakeReport(std::string& out) {
  Chunk& head = chunks_.front();
  size_t length;
  std::memcpy(&length, head.bytes.get() + head.begin, sizeof length);
  // Into out's own buffer: no allocation once it has held a report as long.
  out.assign(head.bytes.get() + head.begin + sizeof length, length);
  head.begin += sizeof length + length;
  --queued_;
  if (head.begin < head.end) return;
  if (chunks_.size() == 1) {
    // The only chunk, filled again from its start.
    head.begin = head.end = 0;
    return;
  }
  SpareChunk(head);
  chunks_.pop_front();
}

size_t TReportSender::Pending() const {
  rtl::MutexLock lock(mu_);
  return queued_ + in_hand_;
}

bool TReportSender::Drain(int timeout_ms) {
  rtl::MutexLock lock(mu_);
  return idle_.WaitFor(mu_, std::chrono::milliseconds(timeout_ms),
                       [&]() REQUIRES(mu_) { return queued_ == 0 && in_hand_ == 0; });
}

size_t TReportSender::Stop(bool discard) {
  {
    rtl::MutexLock lock(mu_);
    stopping_ = true;
    if (discard) {
      discard_ = true;
      discarded_ += queued_;
      queued_ = 0;
      chunks_.clear();
    }
  }
  wake_.SignalAll();
  room_.SignalAll();
  Terminate();
  WaitFor();
  rtl::MutexLock lock(mu_);
  return discarded_;
}

void TReportSender::Run() {
  // The reports in hand, each copied into a text that keeps its buffer.
  std::vector<std::string> batch(kBatch);
  size_t taken = 0;
  // The configuration for each report, read into the same two objects.
  ReportConfig config, next;
  for (;;) {
    FlushErrorText(false);
    if (stream_ || !unsettled_.Empty()) KeepStream(config);
    {
      rtl::MutexLock lock(mu_);
      in_hand_ = 0;
      if (queued_ == 0) {
        idle_.SignalAll();
        if (stopping_) break;
        waiting_ = true;
        // What a broken connection left is written again without waiting
        // for new reports.
        const int wait_ms = unsettled_.Waiting() > 0 ? kProbeSliceMs : kTickMs;
        wake_.WaitFor(mu_, std::chrono::milliseconds(wait_ms),
                      [&]() REQUIRES(mu_) { return queued_ != 0 || stopping_; });
        waiting_ = false;
      }
      if (discard_) break;
      taken = std::min(kBatch, queued_);
      for (size_t i = 0; i < taken; ++i) TakeReport(batch[i]);
      in_hand_ = taken;
    }
    room_.SignalAll();
    for (size_t i = 0; i < taken;) {
      // A stop that gives up the rest does not wait for the reports in
      // hand (a name look-up may hang, a server may not answer).
      if (discard_.load(std::memory_order_relaxed)) {
        {
          rtl::MutexLock lock(mu_);
          discarded_ += taken - i;
          in_hand_ = 0;
          idle_.SignalAll();
        }
        FinishStream();
        FlushErrorText(true);
        return;
      }
      YieldToCapture();
      if (discard_.load(std::memory_order_relaxed)) continue;
      // The registry is read for every report, in order, before it goes
      // out.
      ReadReportConfig(registry_, config);
      TellConfiguration(config);
      size_t limit = std::min(kGroup, taken - i);
      const bool paced = config.transport == Transport::kUdp && config.rate > 0;
      if (paced) {
        const double wanted = std::min<double>(kPacedGroup, static_cast<double>(limit));
        const auto wait = pacer_.Until(wanted, config.rate, TokenBucket::Clock::now());
        if (wait > TokenBucket::Clock::duration::zero()) {
          Pause(wait);
          continue;
        }
        const double tokens = pacer_.Available(config.rate, TokenBucket::Clock::now());
        limit = std::min(limit, std::max<size_t>(1, static_cast<size_t>(tokens)));
      }
      size_t run = 1;
      while (run < limit) {
        ReadReportConfig(registry_, next);
        if (!next.SameDestination(config)) break;
        ++run;
      }
      const size_t handled = config.transport == Transport::kUdp
                                 ? DeliverUdp(config, &batch[i], run)
                                 : DeliverStream(config, &batch[i], run);
      if (paced) pacer_.Take(static_cast<double>(handled));
      i += handled;
      // Waiting for the server: what overflowed meanwhile is told.
      if (handled == 0) TellDropped();
      send_log_.Tick();
    }
    TellDropped();
    send_log_.Tick();
    drop_log_.Tick();
  }
  // The stop: the reports written to a connection are delivered or given
  // up, and the error file holds the latest failure.
  FinishStream();
  FlushErrorText(true);
}

void TReportSender::Pause(std::chrono::steady_clock::duration wait) {
  rtl::MutexLock lock(mu_);
  wake_.WaitFor(mu_, wait, [&] { return discard_.load(std::memory_order_relaxed); });
}

void TReportSender::YieldToCapture() {
  if (!capture_behind_ || !capture_behind_()) {
    holding_ = false;
    return;
  }
  if (!holding_) {
    holding_ = true;
    held_since_ = std::chrono::steady_clock::now();
  }
  while (!discard_.load(std::memory_order_relaxed)) {
    if (std::chrono::steady_clock::now() - held_since_ >= longest_hold_) {
      // One group goes; the next waits again.
      held_since_ = std::chrono::steady_clock::now();
      return;
    }
    Pause(kYieldSlice);
    if (!capture_behind_()) {
      holding_ = false;
      return;
    }
  }
}

void TReportSender::TellDropped() {
  uint64_t dropped;
  {
    rtl::MutexLock lock(mu_);
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

void TReportSender::TellConfiguration(const ReportConfig& config) {
  const platform::RegistrySource source = registry_.LastSource();
  std::string problem;
  if (source != platform::RegistrySource::kUsable && source != platform::RegistrySource::kMissing) {
    problem = std::string("the configuration file ") + platform::RegistrySourceText(source) +
              ": reports go to " + kDefaultSyslogHost;
  } else if (!config.host_configured && host_seen_) {
    // A file that named the server and no longer does (deleted, cut,
    // malformed, the key renamed).
    problem = std::string("the configuration no longer names a SyslogHost: reports go to ") +
              kDefaultSyslogHost;
  } else if (!config.host_configured && source == platform::RegistrySource::kUsable) {
    // A file there that yields none: malformed, or the key misnamed.
    problem =
        std::string("the configuration names no SyslogHost: reports go to ") + kDefaultSyslogHost;
  }
  if (config.host_configured) host_seen_ = true;
  if (!config.problem.empty()) {
    problem += problem.empty() ? config.problem : "; " + config.problem;
  }
  if (problem == told_problem_) return;
  const bool recovered = problem.empty();
  told_problem_ = problem;
  if (recovered) {
    events_.WriteEvent(kEventLogSuccessType, kEventConfigUnusable,
                       "the configuration can be read again");
  } else {
    events_.WriteEvent(platform::kEventLogWarningType, kEventConfigUnusable, problem);
  }
}

size_t TReportSender::DeliverUdp(const ReportConfig& config, const std::string* texts,
                                 size_t count) {
  if (stream_ || !unsettled_.Empty()) LeaveStream();
  const std::string& host = config.host;
  if (!failed_host_.empty() && host == failed_host_ && ticks_() - failed_at_ms_ < kLookupRetryMs) {
    Failed(host, failed_error_);
    return 1;
  }
  std::string error;
  try {
    sender_.SetHost(host);
    sender_.SetPort(config.port);
    const size_t sent = sender_.SendTexts(texts, count, syslog::sfLocalUseFive, syslog::slCritical);
    failed_host_.clear();
    sent_.fetch_add(sent, std::memory_order_relaxed);
    // A server that refuses datagrams is only heard at the send after the
    // refused one, which then fails: a send that works between failures
    // says nothing. Sending counts as working again once a send works
    // kUdpSettleMs or more after the last failure.
    if (send_log_.Failing() && ticks_() - udp_failed_at_ms_ >= kUdpSettleMs) {
      send_log_.Success("reports are sent to " + host + " again");
    }
    return std::max<size_t>(sent, 1);
  } catch (const syslog::EIdSocketError& e) {
    error = e.Message();
    if (e.IsLookupFailure()) {
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

size_t TReportSender::DeliverStream(const ReportConfig& config, const std::string* texts,
                                    size_t count) {
  // Another server: ours closed in order, at once.
  if (stream_ && !stream_config_.SameDestination(config)) CloseStream();
  SettleStream();
  if (!stream_ && !OpenStreamTo(config, false)) return 0;
  if (!WriteWaiting()) return 0;
  if (unsettled_.OnConnection() >= window_) {
    // A connection on probation carries no more until some of it settles.
    Pause(std::chrono::milliseconds(kProbeSliceMs));
    return 0;
  }
  count = std::min(count, window_ - unsettled_.OnConnection());
  // Each frame is "LEN SP MSG": the message is formatted in place after
  // room for its length and the space, which go in front once known.
  wire_.clear();
  frame_ends_.clear();
  for (size_t i = 0; i < count; ++i) {
    const size_t frame = wire_.size();
    wire_.append(kLengthRoom, ' ');
    sender_.AppendWireText(texts[i], syslog::sfLocalUseFive, syslog::slCritical, wire_);
    char head[24];
    char* end = std::to_chars(head, head + sizeof head - 1, wire_.size() - frame - kLengthRoom).ptr;
    *end++ = ' ';
    const size_t used = static_cast<size_t>(end - head);
    if (used < kLengthRoom) wire_.erase(frame, kLengthRoom - used);
    if (used > kLengthRoom) wire_.insert(frame, used - kLengthRoom, ' ');
    wire_.replace(frame, used, head, used);
    frame_ends_.push_back(wire_.size());
  }
  try {
    stream_->WriteAll(wire_.data(), wire_.size(), discard_);
  } catch (...) {
    // The reports in hand go again on the next connection.
    StreamBroke(rtl::ExceptionMessage(std::current_exception()));
    return 0;
  }
  WriteWent();
  const int64_t now = ticks_();
  size_t begin = 0;
  for (const size_t end : frame_ends_) {
    unsettled_.Add(std::string_view(wire_).substr(begin, end - begin), now);
    begin = end;
  }
  sender_.Written(texts, count);
  return count;
}

bool TReportSender::OpenStreamTo(const ReportConfig& config, bool stopping) {
  const int64_t now = ticks_();
  if (!stopping && down_ && now < retry_at_ms_) {
    Pause(std::chrono::milliseconds(std::min<int64_t>(retry_at_ms_ - now, kTickMs)));
    return false;
  }
  platform::StreamTarget target;
  target.port = config.port;
  target.tls = config.transport == Transport::kTls;
  target.server_name = config.host;
  target.ca_file = config.ca_file;
  target.cert_file = config.cert_file;
  target.key_file = config.key_file;
  try {
    stream_ = sender_.OpenStream(config.host, target, discard_);
  } catch (...) {
    stream_.reset();
    if (!discard_ && !stopping) StreamDown(config, rtl::ExceptionMessage(std::current_exception()));
    return false;
  }
  stream_config_ = config;
  connected_at_ms_ = ticks_();
  stream_up_ = false;
  stream_->SetWaitHook([this](std::chrono::milliseconds stalled) { WhileWriteWaits(stalled); });
  return true;
}

void TReportSender::WhileWriteWaits(std::chrono::milliseconds stalled) {
  try {
    // The sender's own duties go on while the server holds it back.
    TellDropped();
    send_log_.Tick();
    drop_log_.Tick();
    FlushErrorText(false);
    if (!stall_told_ && stalled >= kStallTold) {
      stall_told_ = true;
      events_.WriteEvent(platform::kEventLogErrorType, kEventServerStalled,
                         "the server has read nothing for 10 s; " +
                             std::to_string(Pending() + unsettled_.Reports()) + " reports wait (" +
                             stream_config_.DestinationText() + ")");
    }
  } catch (...) {
    // The write goes on; an entry that could not be written is lost.
  }
}

void TReportSender::WriteWent() {
  if (!stall_told_) return;
  stall_told_ = false;
  events_.WriteEvent(kEventLogSuccessType, kEventServerReadsAgain,
                     "the server reads again (" + stream_config_.DestinationText() + ")");
}

bool TReportSender::WriteWaiting() {
  while (unsettled_.Waiting() > 0) {
    const size_t on = unsettled_.OnConnection();
    if (on >= window_) {
      Pause(std::chrono::milliseconds(kProbeSliceMs));
      return false;
    }
    const size_t n = std::min({unsettled_.Waiting(), window_ - on, kGroup});
    const std::string_view frames = unsettled_.NextWaiting(n);
    try {
      stream_->WriteAll(frames.data(), frames.size(), discard_);
    } catch (...) {
      StreamBroke(rtl::ExceptionMessage(std::current_exception()));
      return false;
    }
    unsettled_.Rewritten(n, ticks_());
    written_again_.fetch_add(n, std::memory_order_relaxed);
    WriteWent();
  }
  return true;
}

void TReportSender::KeepStream(ReportConfig& config) {
  SettleStream();
  if (unsettled_.Waiting() == 0 || discard_) return;
  ReadReportConfig(registry_, config);
  if (config.transport == Transport::kUdp) {
    LeaveStream();
    return;
  }
  if (stream_ && !stream_config_.SameDestination(config)) CloseStream();
  if (!stream_ && !OpenStreamTo(config, false)) return;
  WriteWaiting();
}

void TReportSender::SettleStream() {
  if (!stream_) return;
  if (stream_->PeerClosed()) {
    StreamBroke("the server closed the connection");
    return;
  }
  const int64_t now = ticks_();
  if (!stream_up_ && now - connected_at_ms_ >= kSettleMs) {
    // The connection stayed up: the server takes reports again.
    stream_up_ = true;
    backoff_ms_ = 0;
    TellReachable();
  }
  const size_t settled = unsettled_.SettleUntil(now - kSettleMs);
  if (settled == 0) return;
  sent_.fetch_add(settled, std::memory_order_relaxed);
  if (window_ != kOpenWindow) window_ = window_ >= kOpenAfter ? kOpenWindow : window_ * 2;
}

void TReportSender::StreamBroke(const std::string& error) {
  stream_.reset();
  unsettled_.Broke();
  if (discard_ || stream_up_) {
    // It had been seen up kSettleMs after it was made (a server restart):
    // a new connection at once.
    return;
  }
  // A failed attempt: the server closes or resets the connection as soon
  // as it is made, or after taking a few bytes. The next connection waits
  // for the backoff and starts on probation.
  window_ = kProbeWindow;
  StreamDown(stream_config_, "the server closes the connection within " +
                                 std::to_string(kSettleMs / 1000) + " s (" + error + ")");
}

void TReportSender::LeaveStream() {
  CloseStream();
  if (unsettled_.Empty()) return;
  // Left by a connection that broke, and no stream to write them again.
  const size_t lost = unsettled_.Clear();
  failed_.fetch_add(lost, std::memory_order_relaxed);
  send_log_.Failure(std::to_string(lost) + " reports written to a connection that broke",
                    "reports could not be sent to " + stream_config_.host,
                    "the transport is no longer a stream; they are not written again", lost);
}

void TReportSender::CloseStream() {
  if (!stream_) return;
  if (stream_->PeerClosed()) {
    unsettled_.Broke();
  } else {
    sent_.fetch_add(unsettled_.SettleUntil(std::numeric_limits<int64_t>::max()),
                    std::memory_order_relaxed);
  }
  stream_.reset();
}

void TReportSender::TellReachable() {
  if (!down_) return;
  down_ = false;
  down_flag_ = false;
  events_.WriteEvent(kEventLogSuccessType, kEventServerReachable,
                     "reports reach the server again (" + stream_config_.DestinationText() + "); " +
                         std::to_string(Pending() + unsettled_.Waiting()) + " reports waited");
}

void TReportSender::FinishStream() {
  if (!discard_ && unsettled_.Waiting() > 0) {
    // What a broken connection left gets one more try.
    if (!stream_) OpenStreamTo(stream_config_, true);
    if (stream_) {
      window_ = kOpenWindow;
      WriteWaiting();
    }
  }
  // An orderly close of our own (it does not wait, so also at a stop that
  // gives up).
  const uint64_t before = Sent();
  CloseStream();
  if (Sent() > before) TellReachable();
  if (!unsettled_.Empty()) {
    // Written to a connection that broke, or given up: not known to be
    // delivered.
    const size_t left = unsettled_.Clear();
    rtl::MutexLock lock(mu_);
    discarded_ += left;
  }
}

void TReportSender::StreamDown(const ReportConfig& config, const std::string& error) {
  backoff_ms_ = backoff_ms_ == 0 ? kFirstRetryMs : std::min(backoff_ms_ * 2, kLongestRetryMs);
  retry_at_ms_ = ticks_() + backoff_ms_;
  if (down_) return;
  down_ = true;
  down_flag_ = true;
  events_.WriteEvent(platform::kEventLogErrorType, kEventServerUnreachable,
                     "reports cannot reach the server (" + config.DestinationText() + "): " +
                         error + "; they wait in the queue and the connection is tried again");
}

void TReportSender::WriteErrorText(const std::string& text) {
  if (text == error_written_) {
    error_pending_.clear();
    return;
  }
  error_pending_ = text;
  FlushErrorText(false);
}

void TReportSender::FlushErrorText(bool now) {
  if (error_pending_.empty()) return;
  const int64_t at = ticks_();
  if (!now && !error_written_.empty() && at - error_written_at_ms_ < kErrorFileIntervalMs) return;
  error_written_.swap(error_pending_);
  error_pending_.clear();
  error_written_at_ms_ = at;
  try {
    write_error_(error_written_);
  } catch (...) {
    // Reporting goes on even when the error file cannot be written.
  }
}

void TReportSender::Failed(const std::string& host, const std::string& error) {
  failed_.fetch_add(1, std::memory_order_relaxed);
  udp_failed_at_ms_ = ticks_();
  WriteErrorText("some major error :" + error);
  send_log_.Failure("a report could not be sent to " + host, "reports could not be sent to " + host,
                    error);
}

}  // namespace watch
