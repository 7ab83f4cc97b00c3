// The report sender: the thread that sends the watch's reports, so that the
// capture reader never waits on the network, a name look-up or the
// registry file.
//
// The capture reader queues report texts (Queue); the sender thread takes
// them in order and delivers each one as the registry says at that moment
// (ReportConfig: host, transport, port, rate), at facility local use 5,
// severity critical:
// - UDP: one datagram each, paced to SyslogRate reports a second (a token
//   bucket with a small burst), through a socket whose peer is the server,
//   so that a refusal fails the next send. A report that cannot be sent is
//   written to the error file ("some major error :" and the message) and
//   told to the event log (the first at once, then a summary at most once a
//   minute, and one entry when sending works again). A host name that
//   failed to resolve is not asked again within a second; the reports
//   meanwhile fail with the same error.
// - TCP and TLS: octet-counted frames ("LEN SP MSG") on one kept
//   connection. A write the server holds back waits (the queue holds the
//   rest). A report counts as sent once its connection has stayed up for
//   two seconds after the write, or at an orderly close of our own; the
//   reports of a connection that breaks sooner are written again, first,
//   on the next one (counted: WrittenAgain). A connection that cannot be
//   made, or that breaks within two seconds of being made, is a failed
//   attempt: the next one is made after 1 s, doubling to 60 s, and carries
//   only a few unsettled reports at first (see SettleBuffer). Meanwhile the
//   reports wait in the queue: one entry says the server cannot be reached
//   and why, one says when a connection has stayed up again and how many
//   reports waited.
//
// Capture first: while the capture reader is behind (frames wait for it
// in the driver), the sender holds the reports back before each send or
// write, so that they wait in the queue and no frame waits in the driver
// for the sender's share of the processor (see SetCaptureBehind).
//
// The queue holds at most Capacity reports; further ones are counted, not
// queued, and the event log says how many (their pairs are in the registry
// all the same), unless the sender waits for room (a replay, which has no
// live capture to keep up with). The texts are queued back to back in
// chunks of 64 KB (a few thousand reports each), emptied chunks are kept
// for reuse, and the sender copies each report it takes into a text it
// keeps: a steady flow of reports allocates nothing, and a backlog one
// chunk per few thousand reports.
//
// Threads: Queue from one producer at a time; Drain, Stop and the counters
// from any thread. The sender is used only by the sender thread once it
// runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"
#include "rtl/Mutex.h"
#include "rtl/Thread.h"
#include "watch/ReportConfig.h"
#include "watch/SettleBuffer.h"
#include "watch/TokenBucket.h"
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
  // report is counted as dropped); with WaitForRoom, waits for room instead
  // and fails only when the sender stops meanwhile.
  bool Queue(std::string_view text) EXCLUDES(mu_);
  // Before the first Queue, and before the thread runs.
  void SetWaitForRoom(bool value) { wait_for_room_ = value; }
  // Whether the capture reader is behind; asked by the sender thread before
  // each group of reports it sends or writes. While it answers true the
  // sender waits, looking again every millisecond or so; a discarding stop
  // ends the wait at once. After a second of waiting in a row one group
  // goes all the same, so that under traffic the capture never catches up
  // with, reports still trickle out (longest: that second). Before Resume.
  void SetCaptureBehind(std::function<bool()> behind,
                        std::chrono::milliseconds longest = std::chrono::seconds(1)) {
    capture_behind_ = std::move(behind);
    longest_hold_ = longest;
  }

  // Waits until every report queued so far has been handled (sent or
  // failed), or timeout_ms has passed; true when it was all handled.
  bool Drain(int timeout_ms) EXCLUDES(mu_);
  // Ends the thread once the queue is empty (or, with discard, after the
  // report being sent) and waits for it. Returns the reports left unsent.
  size_t Stop(bool discard = false) EXCLUDES(mu_);

  uint64_t Sent() const noexcept { return sent_.load(std::memory_order_relaxed); }
  uint64_t Failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
  uint64_t Dropped() const noexcept { return dropped_total_.load(std::memory_order_relaxed); }
  // Reports written again on a new connection because the one they were
  // written to broke before they settled (possible duplicates).
  uint64_t WrittenAgain() const noexcept { return written_again_.load(std::memory_order_relaxed); }
  size_t Pending() const EXCLUDES(mu_);
  // False while a stream connection to the server cannot be made.
  bool Reaching() const noexcept { return !down_flag_.load(std::memory_order_relaxed); }

 protected:
  void Run() override;

 private:
  // Queued report texts, each as its length (a size_t) then its bytes,
  // back to back from begin to end.
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0, begin = 0, end = 0;
  };

  // Delivers texts[0..count), all under config, as far as one attempt
  // goes; returns how many it dealt with (a failed UDP report included),
  // 0 when none (the connection is down, or a stop gives them up).
  size_t DeliverUdp(const ReportConfig& config, const std::string* texts, size_t count);
  size_t DeliverStream(const ReportConfig& config, const std::string* texts, size_t count);
  // The failure of one report: the error file, the counters, the log.
  void Failed(const std::string& host, const std::string& error);
  // The error file gets text: at once when the last write was
  // kErrorFileIntervalMs or more ago, otherwise with the next
  // FlushErrorText that finds the interval passed (the latest text wins);
  // not at all when it already holds text. A file that cannot be written
  // changes nothing else.
  void WriteErrorText(const std::string& text);
  // Writes a waiting text once the interval has passed, or at once with
  // now set (the stop).
  void FlushErrorText(bool now);
  // Connects to config's server (after the backoff unless stopping); false
  // when that cannot be done now.
  bool OpenStreamTo(const ReportConfig& config, bool stopping);
  // Writes what a broken connection left, in order, as far as the window
  // allows; false when the sender must come back later (the connection
  // broke, or the window is full).
  bool WriteWaiting();
  // Between reports: settles, and writes again what a broken connection
  // left (to the server config names now).
  void KeepStream(ReportConfig& config);
  // Called while a write waits for the server: the sender's other duties
  // (drops, summaries, the error file), and the entry that the server reads
  // nothing once the write has waited kStallTold without progress.
  void WhileWriteWaits(std::chrono::milliseconds stalled);
  // A write went through: the entry that the server reads again, when the
  // opposite was told.
  void WriteWent();
  // Looks at the connection: a close from the server breaks it; reports it
  // has held for kSettleMs are delivered.
  void SettleStream();
  // The connection failed (error says how): its unsettled reports wait for
  // the next; one that broke within kSettleMs of being made is a failed
  // attempt.
  void StreamBroke(const std::string& error);
  // An orderly close of our own: what the connection holds is delivered,
  // unless the server had closed it first.
  void CloseStream();
  // The entry that the server takes reports again, when it was told it
  // could not.
  void TellReachable();
  // To UDP: the stream closed; what it left is counted failed.
  void LeaveStream();
  // At the thread's end: one try for what waits, an orderly close, and
  // what is left counted as given up.
  void FinishStream();
  // A stream connection failed: told once, retried with backoff.
  void StreamDown(const ReportConfig& config, const std::string& error);
  void TellDropped() EXCLUDES(mu_);
  // One entry when the configuration becomes unusable (the file is not a
  // regular file, too large, unreadable; it yields no SyslogHost after
  // having done so, or a value cannot be used), one when it is usable
  // again.
  void TellConfiguration(const ReportConfig& config);
  // Sleeps up to ms, less when a discarding stop comes.
  void Pause(std::chrono::steady_clock::duration wait) EXCLUDES(mu_);
  // A chunk with room for need bytes at the end of the queue: a spare one
  // if it has room, else a new one.
  void AddChunk(size_t need) REQUIRES(mu_);
  // Keeps an emptied chunk for reuse while there are few (the caller then
  // drops it from the queue; a chunk not kept is given back).
  void SpareChunk(Chunk& chunk) REQUIRES(mu_);
  // Moves the oldest report into out; its chunk, once emptied, becomes a
  // spare one (or is given back).
  void TakeReport(std::string& out) REQUIRES(mu_);
  // Waits while the capture reader is behind (see SetCaptureBehind).
  void YieldToCapture() EXCLUDES(mu_);

  SysLogSender& sender_;
  platform::Registry& registry_;
  EventSink& events_;
  std::function<void(const std::string&)> write_error_;
  const size_t capacity_;
  TickSource ticks_;

  mutable rtl::Mutex mu_;
  rtl::CondVar wake_;  // the sender: texts queued, or stop
  rtl::CondVar idle_;  // Drain: everything handled
  // Queued texts, in order from begin to end of each chunk, the oldest
  // chunk first.
  std::deque<Chunk> chunks_ GUARDED_BY(mu_);
  std::vector<Chunk> spare_chunks_ GUARDED_BY(mu_);
  size_t queued_ GUARDED_BY(mu_) = 0;   // reports in the chunks
  size_t in_hand_ GUARDED_BY(mu_) = 0;  // taken, not yet handled
  bool stopping_ GUARDED_BY(mu_) = false;
  // Set under mu_; the sender thread also reads it between the reports in
  // its hands, which a discarding stop gives up too.
  std::atomic<bool> discard_{false};
  size_t discarded_ GUARDED_BY(mu_) = 0;
  rtl::CondVar room_;                             // Queue: room in the queue, or stop
  bool wait_for_room_ = false;                    // set before the thread runs, then read only
  std::function<bool()> capture_behind_;          // set before the thread runs, then read only
  std::chrono::milliseconds longest_hold_{1000};  // as capture_behind_
  bool waiting_ GUARDED_BY(mu_) = false;          // the sender sleeps on wake_
  uint64_t dropped_ GUARDED_BY(mu_) = 0;          // not yet told

  // The sender thread's own.
  FailureLog send_log_;
  FailureLog drop_log_;
  std::string told_problem_;  // the configuration's trouble as last told ("" none)
  bool host_seen_ = false;    // SyslogHost has been read at least once
  std::string failed_host_;   // the host whose look-up failed last
  std::string failed_error_;
  int64_t failed_at_ms_ = 0;
  int64_t udp_failed_at_ms_ = 0;  // the last failed send (ticks_)
  // The error file as this thread last wrote it, when, and a newer text
  // that waits for kErrorFileIntervalMs to pass ("" none).
  std::string error_written_;
  int64_t error_written_at_ms_ = 0;
  std::string error_pending_;
  TokenBucket pacer_;
  // Since when the sender has held back for the capture without a break.
  std::chrono::steady_clock::time_point held_since_{};
  bool holding_ = false;
  std::string wire_;                // the frames of one stream write
  std::vector<size_t> frame_ends_;  // where each of them ends in wire_
  std::unique_ptr<platform::ReportStream> stream_;
  ReportConfig stream_config_;
  SettleBuffer unsettled_;       // reports written, not yet delivered
  int64_t connected_at_ms_ = 0;  // when stream_ was made (ticks_)
  bool stream_up_ = false;       // stream_ was seen up kSettleMs after it was made
  bool stall_told_ = false;      // told that the server reads nothing
  // How many unsettled reports the connection may carry: no bound, but
  // after a failed attempt (see kProbeWindow).
  size_t window_ = std::numeric_limits<size_t>::max();
  bool down_ = false;  // the stream connection cannot be made
  int backoff_ms_ = 0;
  int64_t retry_at_ms_ = 0;  // ticks_
  std::atomic<bool> down_flag_{false};

  std::atomic<uint64_t> sent_{0}, failed_{0}, dropped_total_{0}, written_again_{0};
};

}  // namespace watch
