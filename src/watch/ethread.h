// The address watch: the watch thread TEthThread, which owns the syslog
// sender, the report sender thread, the address registry and the capture
// component; the ARP table file. The error file is a unit of its own
// (ErrorFile.h), written from here.
//
// Threads and ownership.
// - Watch thread (Run): the start-up sequence (sender, start-up report,
//   registry, table load, report sender, capture start), then a loop that
//   wakes four times a second to save the table when a change is due and to
//   update the service manager's status line (at most once a second), until
//   Shutdown; then it stops the capture, saves the table, lets the report
//   sender finish for what time the stop allows, tells the event log the
//   report counts and saves again if anything changed meanwhile. In the program the thread object
//   is never freed.
// - Capture reader (HandleCapture): every frame; applies each ARP sighting to
//   the registry at once and queues its reports. It never waits on the
//   network or a name look-up. It waits on the registry's lock while a save
//   copies the table out of the registry, and, on its error path only (a
//   frame it could not handle), on the error file: that is written under one
//   lock by every thread, and the report sender holds it while the file
//   reaches the disk.
// - Report sender (TReportSender): sends the queued reports in order, and
//   holds them back while the capture reader is behind (capture first).
// The registry's lock keeps a save from racing with an update; LastSave and
// the saved version belong to whichever thread saves, one at a time under
// save_mu_.
//
// A start-up that ends well calls OnStarted once the capture is open and
// its reader runs, so that the service says it runs only then; one that
// fails writes its stage label to the error file, tells the event log the
// stage and the cause, and calls OnStartFailed, so that the service can end
// as failed. A data folder that cannot be written is told at start, once,
// as a save failure would be. The sender and the capture component are made
// by a WatchFactory; the files, the clock, the registry and the event
// log come through the platform interfaces. WatchEnvironment bundles them; a
// default-constructed one means the real program's parts.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Ndis_def.h"
#include "platform/Clock.h"
#include "platform/EventLog.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "rtl/Mutex.h"
#include "rtl/Thread.h"
#include "watch/AddressRegistry.h"
#include "watch/ErrorFile.h"
#include "watch/ReportConfig.h"
#include "watch/WatchEvents.h"
#include "watch/WatchFactory.h"

namespace watch {

class TReportSender;

// More new MAC addresses a second than this is a flood, told as such.
inline constexpr uint64_t kMacFloodPerSecond = 1000;

// What the watch works with. Null pointers and an empty data directory
// stand for the process defaults.
struct WatchEnvironment {
  WatchFactory* parts = nullptr;
  platform::FileSystem* files = nullptr;
  platform::Clock* clock = nullptr;
  platform::Registry* registry = nullptr;
  EventSink* events = nullptr;
  TickSource ticks;            // empty: a monotonic clock
  std::string data_directory;  // with its trailing separator
  size_t report_capacity = 0;  // 0: the report sender's default
  // A full report queue makes the capture reader wait instead of dropping
  // (a replay of a file, which has no live capture to keep up with).
  bool report_wait_for_room = false;
  // Where the status line goes (once a second, the watch thread); empty:
  // the service manager's status text (platform::ServiceStatusText).
  std::function<void(const std::string&)> status;
  // The capture reader's heartbeat (many times a second, the reader
  // thread, must not block); empty: the service manager's watchdog
  // (platform::ServiceHeartbeat).
  std::function<void()> heartbeat;
};

// Why a start-up failed: the stage label (as in the error file), the cause
// (the exception's or the capture layer's text) and the service-specific
// exit code of the stage.
struct StartFailure {
  std::string stage;
  std::string cause;
  uint32_t code = 0;
  // "The watch could not start (stage "configuring snoop"): No Adpaters"
  std::string Text() const;
};

class TEthThread : public rtl::TThread {
 public:
  explicit TEthThread(bool CreateSuspended, WatchEnvironment environment = {});
  // Only for a thread whose body is not running (tests): the program never
  // frees the watch.
  ~TEthThread() override;

  // The thread body: StartUp, then the save loop until Shutdown, then the
  // last save. Public so that tests can run it on their own thread.
  void Run() override EXCLUDES(run_mu_, save_mu_, name_mu_);

  // The start-up sequence. On success OnStarted is called and true
  // returned. On failure: the stage label goes to the error file, the stage
  // and cause to the event log, OnStartFailed is called and false returned.
  bool StartUp() EXCLUDES(save_mu_, name_mu_);
  // Asks the body to end (see Run) and waits up to timeout_ms (< 0: for
  // ever) for it. Any thread but the watch thread. True when it ended in
  // time.
  bool Shutdown(int timeout_ms) EXCLUDES(run_mu_);
  // How long the end of Run waits for the queued reports to go out before it
  // gives the rest up (< 0: until all are sent). Set before Shutdown.
  void SetStopDrain(int milliseconds) { stop_drain_ms_ = milliseconds; }
  // Whether the last save of Run (or the last SaveTable) succeeded.
  bool LastSaveSucceeded() const noexcept { return last_save_ok_.load(); }

  // The frame handler bound to the capture component's OnCapture. Always
  // returns normally.
  void HandleCapture(rtl::TObject* Sender, capture::PETHERNET_HDR EthernetHeader, int Length);

  // Applies one sighting to the registry, then queues its reports (sent at
  // once, on this thread, while no report sender runs). Returns the last
  // report composed, or "", valid until the next sighting (nothing is
  // copied for the frame handler, which does not look at it).
  const std::string& UpdateAddress(const uint8_t* MacBytes, uint32_t Address);

  // Sends one report on the calling thread: to kDefaultSyslogHost until
  // StartupSent, then to ReadSyslogHost(). Raises what the sender raises.
  void Notify(const std::string& Text);

  // The ARP table file: IPv4 text, then a space and the owner's MAC text,
  // per IpIndex entry. LoadTable raises nothing: a file it cannot read to
  // the end (unreadable, a read error, an overlong line) keeps the pairs
  // read before the bad line, is moved to DamagedTablePath, and is told in
  // the event log with the line; so is a file with lines that no frame or
  // table could give (a NUL byte, invalid UTF-8), whose pairs are left out
  // and the rest loaded. It then returns false, and the first save check
  // writes what was loaded as the table. SaveTable replaces
  // the table only with a completely written copy and says whether it did;
  // a failure goes to the event log (first, summaries, recovery).
  bool LoadTable();
  bool SaveTable() EXCLUDES(save_mu_);
  // Saves when the registry changed since the last save and more than 5
  // seconds of the monotonic clock (the TickSource) have passed since the
  // last save, so that a clock set back does not hold changes off the disk;
  // LastSave then takes the wall-clock time of the save, for the record
  // only: the spacing never reads it.
  void SaveIfDue() EXCLUDES(save_mu_);
  // Waits until every queued report has been handled, up to timeout_ms.
  bool DrainReports(int timeout_ms);
  // Tells the event log what the registry's counters show: the bound
  // reached (once, then a summary a minute of the pairs not kept, and one
  // at the end), a flood of new MAC addresses begun and ended. Watch
  // thread, a few times a second; `last` writes what is pending.
  void CheckRegistry(bool last = false);
  // Tells the event log about frames the capture driver dropped: the first
  // drops at once, then at most one summary a minute, and that the capture
  // keeps up again once no frame has been dropped for 10 seconds. Watch
  // thread (Run calls it a few times a second).
  void CheckDrops() EXCLUDES(name_mu_);
  // The service manager's status line, for example "watching eth0, 12
  // addresses known, 30 reports sent, 0 reports failed" (", 7 reports
  // written again" added once a broken connection made the sender write
  // any again, ", 5 frames dropped" once the driver has dropped any).
  std::string StatusText() const EXCLUDES(name_mu_);
  // ", N reports written again", or nothing while N is 0.
  std::string WrittenAgainText() const;

  std::string TablePath() const { return directory_ + "arptable"; }
  std::string TempTablePath() const { return directory_ + "arptable.tmp"; }
  std::string DamagedTablePath() const { return directory_ + "arptable.damaged"; }
  std::string ErrorFilePath() const { return directory_ + kErrorFileName; }

  // Called on the watch thread when the start-up succeeded (the capture is
  // open, its reader runs), with the adapter watched.
  std::function<void(const std::string& Adapter)> OnStarted;
  // Called on the watch thread when the start-up failed.
  std::function<void(const StartFailure&)> OnStartFailed;
  // Whether the start-up failed, and why; set before OnStartFailed runs.
  bool StartFailed() const noexcept { return start_failed_.load(std::memory_order_acquire); }
  const StartFailure& Failure() const noexcept { return failure_; }

  // Counters for the status line.
  uint64_t ReportsQueued() const;
  uint64_t FramesDropped() const { return capture_ ? capture_->FramesDropped() : 0; }
  uint64_t ReportsSent() const;
  uint64_t ReportsFailed() const;
  std::string AdapterName() const EXCLUDES(name_mu_);

  // The watch's parts. The watch thread makes each of them during the
  // start-up, before the capture starts (which starts the capture reader)
  // and before OnStarted; from then on they are read only, by any thread,
  // and live as long as the watch. Each is null until made (for good when
  // the start-up failed before it). Tests that do not run the body set the
  // ones they need with the setters, before anything else uses the watch.
  CaptureSource* Capture() const noexcept { return capture_.get(); }
  SysLogSender* SysLog() const noexcept { return syslog_.get(); }
  AddressRegistry* Registry() const noexcept { return addresses_.get(); }
  TReportSender* Sender() const noexcept { return sender_.get(); }
  void SetSysLog(std::unique_ptr<SysLogSender> value) { syslog_ = std::move(value); }
  void SetRegistry(std::unique_ptr<AddressRegistry> value) { addresses_ = std::move(value); }
  // Whether the start-up report has gone out (Notify then sends to the
  // configured host). Set by the watch thread during the start-up, as the
  // parts are.
  bool StartupSent() const noexcept { return startup_sent_; }
  void SetStartupSent(bool value) noexcept { startup_sent_ = value; }

  // The wall-clock time of the last save by SaveIfDue (0: none yet).
  rtl::TDateTime LastSave GUARDED_BY(save_mu_) = 0;

 private:
  void StartCaptureOrRaise() EXCLUDES(name_mu_);
  // Tells the event log, as a failed save, when the data folder cannot take
  // the table: missing, read-only, full.
  void CheckDataFolder() EXCLUDES(save_mu_);
  // The service manager's status line: the adapter, the addresses known,
  // the reports sent and failed, and the frames dropped if any. Watch
  // thread, once a second.
  void ShowStatus() EXCLUDES(name_mu_);
  void CaptureLost(const std::string& cause) EXCLUDES(name_mu_);
  void CaptureResumed(const std::string& adapter) EXCLUDES(name_mu_);

  // See Capture() and the others.
  bool startup_sent_ = false;
  std::unique_ptr<CaptureSource> capture_;
  std::unique_ptr<SysLogSender> syslog_;
  std::unique_ptr<AddressRegistry> addresses_;
  std::unique_ptr<TReportSender> sender_;

  WatchFactory& parts_;
  platform::FileSystem& files_;
  platform::Clock& clock_;
  platform::Registry& registry_;
  EventSink& events_;
  TickSource ticks_;
  const std::string directory_;
  const size_t report_capacity_;
  const bool report_wait_for_room_;
  const std::function<void(const std::string&)> status_;
  const std::function<void()> heartbeat_;

  rtl::Mutex save_mu_;
  uint64_t saved_version_ GUARDED_BY(save_mu_) = 0;
  bool have_saved_ GUARDED_BY(save_mu_) = false;
  int64_t last_save_ms_ GUARDED_BY(save_mu_) = 0;
  FailureLog save_log_ GUARDED_BY(save_mu_);

  // CheckRegistry's state; the watch thread's own.
  uint64_t told_not_kept_ = 0;
  int64_t bound_entry_ms_ = 0;
  struct MacSample {
    int64_t ms;
    uint64_t macs;
  };
  std::vector<MacSample> mac_samples_;  // the last second or so
  bool mac_flood_ = false;
  uint64_t flood_start_macs_ = 0;
  int64_t flood_start_ms_ = 0, flood_quiet_ms_ = -1;

  rtl::Mutex run_mu_;
  rtl::CondVar run_cv_;
  bool shutdown_ GUARDED_BY(run_mu_) = false;
  bool ended_ GUARDED_BY(run_mu_) = false;

  FailureLog drop_log_;       // watch thread
  uint64_t drops_seen_ = 0;   // watch thread
  int64_t last_drop_ms_ = 0;  // watch thread

  std::atomic<int> stop_drain_ms_{3000};
  std::atomic<bool> last_save_ok_{true};
  std::atomic<bool> start_failed_{false};
  StartFailure failure_;  // written before start_failed_
  // The adapter watched: set before the capture starts, changed by the
  // capture reader when the capture follows a renamed interface.
  mutable rtl::Mutex name_mu_;
  std::string adapter_name_ GUARDED_BY(name_mu_);
  // The capture component, for the report sender's thread (which runs
  // before the capture is made): set once it is made, cleared only once
  // the sender has stopped.
  std::atomic<const CaptureSource*> live_capture_{nullptr};
  // The writer's scratch: the reports of the sighting in hand.
  AddressRegistry::Reports reports_;
};

// Creates the watch thread running, with the program's parts, and keeps a
// reference to it. on_started and on_failure become its OnStarted and
// OnStartFailed. Called once, by the service's start handler.
TEthThread* StartWatch(std::function<void(const std::string& Adapter)> on_started = {},
                       std::function<void(const StartFailure&)> on_failure = {});

}  // namespace watch
