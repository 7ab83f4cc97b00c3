#include "watch/ethread.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <limits>
#include <utility>

#include "platform/ServiceNotify.h"
#include "watch/ReportSender.h"

namespace watch {
namespace {

// The module-level reference to the watch thread, written once by
// StartWatch; nothing frees it. The program itself keeps the pointer
// StartWatch returns and never reads this one back.
TEthThread* EthThread = nullptr;

constexpr uint16_t kEtherTypeArp = 0x0806;
// The only ARP header the watch reads (offsets 14 to 19): Ethernet hardware
// addresses of 6 bytes, IPv4 protocol addresses of 4. Any other layout puts
// the sender's address elsewhere, so such frames are ignored.
constexpr uint8_t kArpEthernetIpv4[] = {0x00, 0x01, 0x08, 0x00, 6, 4};
// Bytes an ARP frame needs: the Ethernet header and the ARP header up to
// the sender's protocol address (offsets 28 to 31).
constexpr int kArpFrameMinimum = 32;
// Never two saves within this, and a change waits no longer than about this.
constexpr int64_t kSaveIntervalMs = 5000;
// How often the watch thread looks whether a save is due: often enough that
// a change reaches the disk little later than the save interval allows.
constexpr int kSaveCheckMs = 250;
// Frames dropped are summarised while drops go on; this long without one
// and the capture counts as keeping up again.
constexpr int64_t kDropsQuietMs = 10000;
// Bytes written to the table at a time, made of whole line pairs, a few
// hundred pairs at a time.
constexpr size_t kTableChunk = 64 * 1024;
constexpr size_t kTableChunkPairs = 256;

}  // namespace

std::string StartFailure::Text() const {
  return "The watch could not start (stage \"" + (stage.empty() ? "creating the sender" : stage) +
         "\"): " + (cause.empty() ? "unknown error" : cause);
}

TEthThread::TEthThread(bool CreateSuspended, WatchEnvironment environment)
    : rtl::TThread(CreateSuspended),
      parts_(environment.parts ? *environment.parts : DefaultWatchFactory()),
      files_(environment.files ? *environment.files : platform::DefaultFileSystem()),
      clock_(environment.clock ? *environment.clock : platform::DefaultClock()),
      registry_(environment.registry ? *environment.registry : platform::DefaultRegistry()),
      events_(environment.events ? *environment.events : DefaultEventSink()),
      ticks_(environment.ticks ? environment.ticks : TickSource(&SteadyMilliseconds)),
      directory_(environment.data_directory.empty() ? platform::DataDirectory()
                                                    : environment.data_directory),
      report_capacity_(environment.report_capacity ? environment.report_capacity
                                                   : TReportSender::kDefaultCapacity),
      report_wait_for_room_(environment.report_wait_for_room),
      status_(environment.status
                  ? environment.status
                  : std::function<void(const std::string&)>(&platform::ServiceStatusText)),
      heartbeat_(environment.heartbeat ? environment.heartbeat
                                       : std::function<void()>(&platform::ServiceHeartbeat)),
      save_log_(events_, kEventSaveFailed, kEventSaveResumed, ticks_),
      drop_log_(events_, kEventFramesDropped, kEventFramesKeptUp, ticks_) {}

TEthThread::~TEthThread() {
  // The program never frees the watch thread; tests do, after the body has
  // ended: the capture stops before the registry it feeds goes away, and
  // the report sender, which asks the capture whether it is behind, before
  // the capture does.
  if (capture_) capture_->StopCapture();
  if (sender_) sender_->Stop(true);
  live_capture_.store(nullptr, std::memory_order_release);
  capture_.reset();
  sender_.reset();
}

void TEthThread::Run() {
  if (StartUp()) {
    ShowStatus();
    // The first count of new MAC addresses is the one at the start: a
    // flood handled whole before the first check still shows as one.
    mac_samples_.push_back(MacSample{ticks_(), addresses_->MacsSighted()});
    rtl::MutexLock lock(run_mu_);
    while (!shutdown_) {
      run_cv_.WaitFor(run_mu_, std::chrono::milliseconds(kSaveCheckMs));
      if (shutdown_) break;
      lock.Unlock();
      SaveIfDue();
      CheckRegistry();
      CheckDrops();
      ShowStatus();
      lock.Lock();
    }
    lock.Unlock();
    // No new frames; then the table first: the registry is complete before
    // any report leaves, so a server or a name look-up that hangs cannot
    // cost the changes. Then the queued reports, for what time is left.
    capture_->StopCapture();
    SaveTable();
    const int drain_ms = stop_drain_ms_;
    size_t left = 0;
    if (!sender_->Drain(drain_ms < 0 ? std::numeric_limits<int>::max() : drain_ms)) {
      left = sender_->Stop(true);
    } else {
      sender_->Stop();
    }
    CheckRegistry(true);
    std::string counts = std::to_string(sender_->Sent()) + " reports sent, " +
                         std::to_string(sender_->Failed()) + " reports failed, " +
                         std::to_string(sender_->Dropped()) + " reports dropped" +
                         WrittenAgainText();
    if (left > 0) {
      events_.WriteEvent(platform::kEventLogWarningType, kEventWatchStopped,
                         "the watch stopped with " + std::to_string(left) +
                             " reports not sent (still queued at the stop); " + counts);
    } else {
      events_.WriteEvent(platform::kEventLogInformationType, kEventWatchStopped,
                         "the watch stopped: " + counts);
    }
    bool changed;
    {
      rtl::MutexLock lock(save_mu_);
      changed = addresses_->Version() != saved_version_;
    }
    if (changed || !last_save_ok_) SaveTable();
  }
  rtl::MutexLock lock(run_mu_);
  ended_ = true;
  run_cv_.SignalAll();
}

bool TEthThread::Shutdown(int timeout_ms) {
  rtl::MutexLock lock(run_mu_);
  shutdown_ = true;
  run_cv_.SignalAll();
  if (timeout_ms < 0) {
    run_cv_.Wait(run_mu_, [&]() REQUIRES(run_mu_) { return ended_; });
    return true;
  }
  return run_cv_.WaitFor(run_mu_, std::chrono::milliseconds(timeout_ms),
                         [&]() REQUIRES(run_mu_) { return ended_; });
}

bool TEthThread::StartUp() {
  std::string stage;
  uint32_t code = kStartSenderFailed;
  bool started = false;
  try {
    syslog_ = parts_.CreateSysLog();
    syslog_->SetActive(true);

    stage = "registerring";
    code = kStartReportFailed;
    startup_sent_ = false;
    Notify("starting up");
    startup_sent_ = true;

    stage = "allocating";
    code = kStartAllocFailed;
    std::string problem;
    const uint64_t max_pairs = ReadMaxAddresses(registry_, problem);
    if (!problem.empty()) {
      events_.WriteEvent(platform::kEventLogWarningType, kEventConfigUnusable, problem);
    }
    addresses_ = std::make_unique<AddressRegistry>(max_pairs);

    stage = "loading arp table";
    code = kStartLoadFailed;
    if (LoadTable()) {
      // What was loaded is what the file holds already.
      rtl::MutexLock lock(save_mu_);
      saved_version_ = addresses_->Version();
    }
    CheckDataFolder();

    stage = "configuring snoop";
    code = kStartCaptureFailed;
    sender_ = std::make_unique<TReportSender>(
        *syslog_, registry_, events_,
        [this](const std::string& text) { WriteErrorFile(files_, directory_, text); },
        report_capacity_, ticks_);
    sender_->SetWaitForRoom(report_wait_for_room_);
    // Capture first: the reports wait while the capture reader is behind.
    sender_->SetCaptureBehind([this] {
      const CaptureSource* capture = live_capture_.load(std::memory_order_acquire);
      return capture && capture->Behind();
    });
    sender_->Resume();
    StartCaptureOrRaise();
    started = true;
  } catch (...) {
    failure_.stage = stage;
    failure_.cause = rtl::ExceptionMessage(std::current_exception());
    failure_.code = code;
  }
  if (started) {
    if (OnStarted) OnStarted(AdapterName());
    return true;
  }
  if (sender_) sender_->Stop(true);
  // Only the stage goes into the file, never the exception's message.
  try {
    WriteErrorFile(files_, directory_, stage);
  } catch (...) {
    failure_.cause += " (the error file could not be written either)";
  }
  events_.WriteEvent(platform::kEventLogErrorType, kEventStartFailed, failure_.Text());
  start_failed_.store(true, std::memory_order_release);
  if (OnStartFailed) OnStartFailed(failure_);
  return false;
}

void TEthThread::StartCaptureOrRaise() {
  capture_ = parts_.CreateCapture();
  live_capture_.store(capture_.get(), std::memory_order_release);
  capture_->SetThreadSafe(false);
  capture_->SetOnCapture([this](rtl::TObject* Sender, capture::PETHERNET_HDR EthernetHeader,
                                int Length) { HandleCapture(Sender, EthernetHeader, Length); });
  capture_->SetOnCaptureLost([this](const std::string& cause) { CaptureLost(cause); });
  capture_->SetOnCaptureResumed([this](const std::string& adapter) { CaptureResumed(adapter); });
  capture_->SetOnAlive(heartbeat_);
  const std::string wanted = ReadAdapter(registry_);
  if (!wanted.empty()) {
    if (!capture_->SelectAdapter(wanted)) {
      std::string there;
      for (const std::string& name : capture_->AdapterNames()) {
        there += (there.empty() ? "" : ", ") + name;
      }
      throw rtl::Exception("no adapter is named \"" + wanted + "\"; the adapters are " +
                           (there.empty() ? "none" : there));
    }
  } else {
    capture_->SetAdapterIndex(0);
  }
  const std::string name = capture_->AdapterName();
  {
    rtl::MutexLock lock(name_mu_);
    adapter_name_ = name;
  }
  capture_->StartCapture();
  if (!capture_->Capturing()) {
    const std::string error = capture_->LastError();
    throw rtl::Exception(error.empty() ? "the capture did not start on \"" + name + "\"" : error);
  }
}

void TEthThread::CheckDataFolder() {
  // The table's temporary file is the program's own to make and remove.
  const std::string probe = TempTablePath();
  std::string error;
  try {
    if (files_.FileExists(probe)) files_.RemoveFile(probe);
    files_.CreateTextFile(probe)->Close();
    files_.RemoveFile(probe);
  } catch (...) {
    error = rtl::ExceptionMessage(std::current_exception());
  }
  if (error.empty()) return;
  rtl::MutexLock lock(save_mu_);
  save_log_.Failure("The data folder " + directory_ +
                        " cannot take the table (missing or not writable), so changes will "
                        "not be saved",
                    "table saves failed", error);
}

std::string TEthThread::AdapterName() const {
  rtl::MutexLock lock(name_mu_);
  return adapter_name_;
}

void TEthThread::CaptureLost(const std::string& cause) {
  events_.WriteEvent(platform::kEventLogErrorType, kEventCaptureLost,
                     "capture lost on \"" + AdapterName() + "\": " + cause +
                         "; the adapter is opened again until it works");
}

void TEthThread::CaptureResumed(const std::string& adapter) {
  std::string before;
  {
    rtl::MutexLock lock(name_mu_);
    before = adapter_name_;
    adapter_name_ = adapter;
  }
  events_.WriteEvent(kEventLogSuccessType, kEventCaptureResumed,
                     "capture resumed on \"" + adapter + "\"" +
                         (adapter == before ? "" : " (renamed from \"" + before + "\")"));
}

void TEthThread::CheckDrops() {
  const uint64_t total = capture_->FramesDropped();
  const int64_t now = ticks_();
  if (total > drops_seen_) {
    const uint64_t fresh = total - drops_seen_;
    drops_seen_ = total;
    last_drop_ms_ = now;
    drop_log_.Failure(
        "The capture driver dropped " + std::to_string(fresh) + " frames", "frames dropped",
        "the watch does not keep up with the traffic on \"" + AdapterName() + "\"", fresh);
  } else if (drop_log_.Failing() && now - last_drop_ms_ >= kDropsQuietMs) {
    drop_log_.Success("The capture keeps up again on \"" + AdapterName() +
                      "\": " + std::to_string(total) + " frames dropped since the start");
  }
  drop_log_.Tick();
}

void TEthThread::HandleCapture(rtl::TObject* /*Sender*/, capture::PETHERNET_HDR EthernetHeader,
                               int Length) {
  try {
    // Frames too short to hold the ARP sender's address are not read.
    if (!EthernetHeader || Length < kArpFrameMinimum) return;
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(EthernetHeader);
    if (((frame[12] << 8) | frame[13]) != kEtherTypeArp) return;
    if (!std::equal(std::begin(kArpEthernetIpv4), std::end(kArpEthernetIpv4), frame + 14)) return;
    const uint32_t address = (static_cast<uint32_t>(frame[28]) << 24) |
                             (static_cast<uint32_t>(frame[29]) << 16) |
                             (static_cast<uint32_t>(frame[30]) << 8) | frame[31];
    // The Ethernet source address, not the ARP sender hardware address.
    UpdateAddress(frame + 6, address);
  } catch (...) {
    try {
      WriteErrorFile(files_, directory_,
                     "some major error :" + rtl::ExceptionMessage(std::current_exception()));
    } catch (...) {
      // The capture must go on even when the error file cannot be written.
    }
  }
}

const std::string& TEthThread::UpdateAddress(const uint8_t* MacBytes, uint32_t Address) {
  static const std::string kNone;
  AddressRegistry::Reports& reports = reports_;
  addresses_->Sight(MacBytes, Address, reports);
  if (reports.count == 0) return kNone;
  for (int i = 0; i < reports.count; ++i) {
    if (sender_) {
      sender_->Queue(reports.text[i]);
    } else {
      Notify(reports.text[i]);
    }
  }
  return reports.Last();
}

void TEthThread::Notify(const std::string& Text) {
  if (!startup_sent_) {
    syslog_->SetHost(kDefaultSyslogHost);
  } else {
    syslog_->SetHost(ReadSyslogHost(registry_));
  }
  syslog_->SendText(Text, syslog::sfLocalUseFive, syslog::slCritical);
}

bool TEthThread::DrainReports(int timeout_ms) { return !sender_ || sender_->Drain(timeout_ms); }

void TEthThread::CheckRegistry(bool last) {
  const int64_t now = ticks_();
  // The bound: told when first reached, then how many pairs it kept out,
  // at most once a minute and once more at the end.
  const uint64_t not_kept = addresses_->PairsNotKept();
  if (not_kept > told_not_kept_) {
    const std::string bound = std::to_string(addresses_->MaxPairs());
    if (told_not_kept_ == 0) {
      events_.WriteEvent(platform::kEventLogWarningType, kEventRegistryFull,
                         "The address registry holds its bound of " + bound +
                             " address pairs (MaxAddresses): new pairs are reported but no "
                             "longer kept");
      told_not_kept_ = 1;
      bound_entry_ms_ = now;
    }
    if (not_kept > told_not_kept_ &&
        (last || now - bound_entry_ms_ >= FailureLog::kSummaryIntervalMs)) {
      events_.WriteEvent(platform::kEventLogWarningType, kEventRegistryFull,
                         std::to_string(not_kept - told_not_kept_) +
                             " more new address pairs were reported but not kept (the registry "
                             "holds its bound of " +
                             bound + " pairs)");
      told_not_kept_ = not_kept;
      bound_entry_ms_ = now;
    }
  }
  if (last) return;
  // New MAC addresses over the last second. A flood is told when it
  // begins, and once it has stayed below the rate for 10 seconds, how
  // many it brought.
  constexpr int64_t kWindowMs = 1000, kQuietMs = 10000;
  const uint64_t macs = addresses_->MacsSighted();
  mac_samples_.push_back(MacSample{now, macs});
  size_t first = 0;
  while (first + 1 < mac_samples_.size() && now - mac_samples_[first + 1].ms >= kWindowMs) ++first;
  mac_samples_.erase(mac_samples_.begin(), mac_samples_.begin() + static_cast<ptrdiff_t>(first));
  const MacSample& from = mac_samples_.front();
  const int64_t span = now - from.ms;
  const bool fast = span > 0 && (macs - from.macs) * 1000 > kMacFloodPerSecond * uint64_t(span);
  if (fast && !mac_flood_) {
    mac_flood_ = true;
    flood_start_macs_ = from.macs;
    flood_start_ms_ = from.ms;
    events_.WriteEvent(platform::kEventLogWarningType, kEventMacFlood,
                       "A flood of new MAC addresses: " + std::to_string(macs - from.macs) +
                           " in " + std::to_string(span) + " ms (more than " +
                           std::to_string(kMacFloodPerSecond) +
                           " a second); each new address is reported");
  }
  if (mac_flood_) {
    if (fast) {
      flood_quiet_ms_ = -1;
    } else if (flood_quiet_ms_ < 0) {
      flood_quiet_ms_ = now;
    } else if (now - flood_quiet_ms_ >= kQuietMs) {
      mac_flood_ = false;
      flood_quiet_ms_ = -1;
      events_.WriteEvent(
          kEventLogSuccessType, kEventMacFloodEnded,
          "The flood of new MAC addresses is over: " + std::to_string(macs - flood_start_macs_) +
              " new in " + std::to_string((now - flood_start_ms_) / 1000) + " s");
    }
  }
}

void TEthThread::ShowStatus() { status_(StatusText()); }

std::string TEthThread::StatusText() const {
  const uint64_t dropped = FramesDropped();
  return ("watching " + AdapterName() + ", " + std::to_string(addresses_->AddressCount()) +
          " addresses known, " + std::to_string(ReportsQueued()) + " reports queued, " +
          std::to_string(ReportsSent()) + " reports sent, " + std::to_string(ReportsFailed()) +
          " reports failed" + WrittenAgainText() +
          (dropped > 0 ? ", " + std::to_string(dropped) + " frames dropped" : std::string()));
}

std::string TEthThread::WrittenAgainText() const {
  const uint64_t again = sender_ ? sender_->WrittenAgain() : 0;
  return again > 0 ? ", " + std::to_string(again) + " reports written again" : std::string();
}

uint64_t TEthThread::ReportsQueued() const { return sender_ ? sender_->Pending() : 0; }
uint64_t TEthThread::ReportsSent() const { return sender_ ? sender_->Sent() : 0; }
uint64_t TEthThread::ReportsFailed() const {
  return sender_ ? sender_->Failed() + sender_->Dropped() : 0;
}

namespace {

// Line numbers as "3, 6 and 9" (at most ten, then how many more).
std::string LineList(const std::vector<size_t>& lines) {
  std::string out;
  const size_t shown = std::min<size_t>(lines.size(), 10);
  for (size_t i = 0; i < shown; ++i) {
    if (i > 0) out += i + 1 == shown && shown == lines.size() ? " and " : ", ";
    out += std::to_string(lines[i]);
  }
  if (shown < lines.size()) out += " and " + std::to_string(lines.size() - shown) + " more";
  return out;
}

}  // namespace

bool TEthThread::LoadTable() {
  const std::string path = TablePath();
  size_t line_number = 0;  // of the last line read whole
  std::string error;
  std::vector<size_t> unreadable;  // lines no frame or table could give
  try {
    if (!files_.FileExists(path)) return true;
    std::unique_ptr<platform::TextFileReader> file = files_.OpenTextFile(path);
    // Room for the pairs the file holds, at about 25 bytes a pair.
    platform::FileStamp stamp;
    if (platform::RegularFileStamp(path, stamp)) addresses_->Reserve(stamp.size / 25);
    AddressRegistry::Loader loader(*addresses_);
    std::string ip, mac;
    try {
      while (file->ReadLine(ip)) {
        ++line_number;
        // A last IPv4 line without its MAC line pairs with an empty MAC text.
        const bool has_mac = file->ReadLine(mac);
        if (has_mac) {
          ++line_number;
        } else {
          mac.clear();
        }
        // A MAC text that could not be written back as a line of its own
        // ends the load like any other overlong line.
        if (rtl::TrimView(mac).size() + 1 > platform::kMaxTextLine) {
          --line_number;
          error = "the line is too long";
          break;
        }
        const bool ip_ok = IsTableText(ip), mac_ok = IsTableText(mac);
        if (!ip_ok || !mac_ok) {
          // Not loaded: such a pair would be reported as nonsense.
          const size_t ip_line = line_number - (has_mac ? 1 : 0);
          if (!ip_ok) unreadable.push_back(ip_line);
          if (!mac_ok) unreadable.push_back(ip_line + 1);
          continue;
        }
        loader.Add(ip, mac);
      }
    } catch (...) {
      // What was read before the error stays.
      error = rtl::ExceptionMessage(std::current_exception());
    }
    loader.Flush();
  } catch (...) {
    error = rtl::ExceptionMessage(std::current_exception());
  }
  if (error.empty() && unreadable.empty()) return true;
  // What was loaded stays, and the next save writes only that; the file as
  // it was is kept beside the table for whoever mends it.
  const std::string damaged = DamagedTablePath();
  const bool kept = files_.ReplaceFile(path, damaged);
  const std::string kept_text = kept ? "the file as it was is kept as " + damaged
                                     : "and the file could not be kept as " + damaged;
  if (!unreadable.empty()) {
    events_.WriteEvent(platform::kEventLogErrorType, kEventTableDamaged,
                       "The table " + path + " has " + std::to_string(unreadable.size()) +
                           " lines that no address pair could give (a NUL byte or invalid "
                           "UTF-8): line" +
                           (unreadable.size() > 1 ? "s " : " ") + LineList(unreadable) +
                           "; their pairs were not loaded, " + kept_text);
  }
  if (error.empty()) return false;
  events_.WriteEvent(platform::kEventLogErrorType, kEventTableDamaged,
                     "The table " + path + " could not be read past line " +
                         std::to_string(line_number) + " (line " + std::to_string(line_number + 1) +
                         ": " + error + "); " + std::to_string(addresses_->AddressCount()) +
                         " addresses were loaded, " + kept_text);
  return false;
}

bool TEthThread::SaveTable() {
  rtl::MutexLock lock(save_mu_);
  // Copied out of the registry a slice at a time, written without its lock:
  // the capture reader waits for one slice at most, never for the disk.
  const uint64_t version = addresses_->Version();
  const AddressRegistry::Copy copy = addresses_->CopyTable();
  const std::string temp = TempTablePath();
  std::string error;
  try {
    if (files_.FileExists(temp)) files_.RemoveFile(temp);
    std::unique_ptr<platform::TextFileWriter> file = files_.CreateTextFile(temp);
    try {
      std::string chunk;
      chunk.reserve(kTableChunk + 4096);
      for (size_t i = 0; i < copy.Count();) {
        chunk.clear();
        while (i < copy.Count() && chunk.size() < kTableChunk) {
          const size_t n = std::min(copy.Count() - i, kTableChunkPairs);
          copy.AppendLines(i, i + n, chunk);
          i += n;
        }
        // Whole lines; the writer ends the last one.
        chunk.resize(chunk.size() - 2);
        file->WriteLine(chunk);
      }
      file->Close();
    } catch (...) {
      // Never let a partial copy take the table's place.
      error = rtl::ExceptionMessage(std::current_exception());
      file.reset();
      files_.RemoveFile(temp);
    }
    // One atomic step: the table is either the old one or the new one.
    if (error.empty() && !files_.ReplaceFile(temp, TablePath())) {
      error = "the new table could not take the place of " + TablePath();
      files_.RemoveFile(temp);
    }
  } catch (...) {
    error = rtl::ExceptionMessage(std::current_exception());
  }
  last_save_ok_ = error.empty();
  if (!error.empty()) {
    save_log_.Failure("The table could not be saved", "table saves failed", error);
    return false;
  }
  saved_version_ = version;
  save_log_.Success("The table is saved again");
  return true;
}

void TEthThread::SaveIfDue() {
  {
    rtl::MutexLock lock(save_mu_);
    save_log_.Tick();
    if (addresses_->Version() == saved_version_) return;
    // Spaced by a monotonic clock, so that a clock set back does not hold
    // changes off the disk.
    if (have_saved_ && ticks_() - last_save_ms_ <= kSaveIntervalMs) return;
  }
  SaveTable();
  rtl::MutexLock lock(save_mu_);
  have_saved_ = true;
  last_save_ms_ = ticks_();
  LastSave = clock_.Now();
}

TEthThread* StartWatch(std::function<void(const std::string& Adapter)> on_started,
                       std::function<void(const StartFailure&)> on_failure) {
  EthThread = rtl::TThread::Create<TEthThread>(true);
  EthThread->OnStarted = std::move(on_started);
  EthThread->OnStartFailed = std::move(on_failure);
  EthThread->Resume();
  return EthThread;
}

}  // namespace watch
