#include "capture/Snoop.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "capture/Packet32.h"
#include "platform/NetInterfaces.h"

namespace capture {
namespace {

constexpr int kReadTimeoutMs = 100;
constexpr int32_t kSnapLength = 1514;
// Between attempts to open a lost adapter again.
constexpr int kReopenIntervalMs = 1000;
// A read that fails at once is tried again no sooner than this.
constexpr int kFailedReadPauseMs = 200;
// How often the reader asks the driver how many frames it dropped.
constexpr auto kStatsInterval = std::chrono::seconds(1);

}  // namespace

TCustomSnoop::TCustomSnoop(rtl::TComponent* owner)
    : rtl::TComponent(owner), adapters_(std::make_unique<rtl::TStringList>()) {
  if (!BindPacketDriver()) throw rtl::Exception("Fail to initilize Packet32");
  RefreshAdapters(*adapters_);
}

TCustomSnoop::~TCustomSnoop() {
  capturing_ = false;
  ReleaseReader();
}

void TCustomSnoop::RefreshAdapters(rtl::TStringList& list) {
  list.SetSorted(false);
  list.SetCommaText(CaptureAdapterNames(','));
  if (list.Count() == 0 && !Designing()) throw rtl::Exception("No Adpaters");
}

std::string TCustomSnoop::AdapterName() const {
  rtl::MutexLock lock(name_mu_);
  return adapter_name_;
}

void TCustomSnoop::SetAdapterIndex(int value) {
  if (value == adapter_index_) return;
  rtl::MutexLock lock(name_mu_);
  if (value >= 0 && value < adapters_->Count()) {
    adapter_index_ = value;
    adapter_name_ = adapters_->Strings(value);
  } else {
    adapter_index_ = -1;
    adapter_name_.clear();
  }
}

void TCustomSnoop::SetAdapterName(const std::string& value) {
  rtl::MutexLock lock(name_mu_);
  if (value == adapter_name_) return;
  for (int i = 0; i < adapters_->Count(); ++i) {
    if (adapters_->Strings(i) == value) {
      adapter_index_ = i;
      adapter_name_ = adapters_->Strings(i);
      return;
    }
  }
  adapter_index_ = -1;
  adapter_name_.clear();
}

void TCustomSnoop::StartCapture() {
  if (Capturing()) return;
  // A reader that ended by itself (its handler raised) left its thread and
  // handle behind.
  ReleaseReader();
  last_error_.clear();
  if (!BindPacketDriver()) {
    last_error_ = "Fail to initilize Packet32";
    return;
  }
  // With no adapter selected the empty name is opened, and the driver
  // refuses it: the capture layer's text says so.
  const std::string name = AdapterName();
  if (!OpenAdapter(name, last_error_)) return;
  interface_index_ = platform::InterfaceIndex(name);
  thread_ = rtl::TThread::Create<TSnoopThread>(this);
  thread_->SetOnTerminate([this](rtl::TThread* sender) { ThreadTerminated(sender); });
  // Capturing before the reader runs, so that the first batch's frames are
  // not dropped.
  capturing_ = true;
  thread_->Resume();
}

void TCustomSnoop::StopCapture() {
  if (!Capturing()) {
    ReleaseReader();
    return;
  }
  if (!thread_) throw rtl::Exception("No thread to stop");
  capturing_ = false;
  ReleaseReader();
}

void TCustomSnoop::ReleaseReader() {
  if (thread_) {
    thread_->Terminate();
    thread_->WaitFor();
    delete thread_;
    thread_ = nullptr;
  }
  behind_ = false;
  CaptureClose(handle_);
}

void TCustomSnoop::ThreadTerminated(rtl::TThread*) {
  capturing_ = false;
  // A reader ended by its handler's exception did not clear it.
  behind_ = false;
}

bool TCustomSnoop::OpenAdapter(const std::string& name, std::string& error) {
  handle_ = CaptureOpen(name, kSnapLength, true, error);
  return handle_ != nullptr;
}

void TCustomSnoop::FollowRename(const std::string& name) {
  rtl::MutexLock lock(name_mu_);
  adapter_name_ = name;
}

TSnoop::TSnoop(rtl::TComponent* owner) : TCustomSnoop(owner) { RecordHandler = &HandleRecord; }

void TSnoop::HandleRecord(void* user, const bpf_hdr* record, const uint8_t* data) {
  auto* self = static_cast<TSnoop*>(user);
  if (!self->Capturing() || !self->on_capture_) return;
  // The handler never sees more bytes than were captured.
  const int length = static_cast<int>(std::min(record->bh_datalen, record->bh_caplen));
  const auto* frame = reinterpret_cast<PETHERNET_HDR>(data);
  if (self->ThreadSafe()) {
    self->pending_frame_ = frame;
    self->pending_length_ = length;
    rtl::Synchronize([self] { self->DispatchCapture(); });
  } else {
    self->on_capture_(self, frame, length);
  }
}

void TSnoop::DispatchCapture() { on_capture_(this, pending_frame_, pending_length_); }

TSnoopThread::TSnoopThread(TCustomSnoop* snoop) : rtl::TThread(true), snoop_(snoop) {
  if (snoop_ && snoop_->Handle()) {
    PacketDriver.PacketSetReadTimeout(snoop_->Handle()->Adapter, kReadTimeoutMs);
  }
}

void TSnoopThread::Run() {
  if (!snoop_) return;
  bool failed_once = false;
  auto next_stats = std::chrono::steady_clock::now() + kStatsInterval;
  while (!Terminated()) {
    // The reader is alive only while reads succeed or time out: a reader
    // that hangs stops OnAlive, and the service manager's watchdog then
    // restarts the service.
    if (CaptureRead(snoop_->Handle(), 0, snoop_->RecordHandler, snoop_) >= 0) {
      SetBehind(snoop_->Handle()->Backlog);
      failed_once = false;
      if (snoop_->OnAlive) snoop_->OnAlive();
      const auto now = std::chrono::steady_clock::now();
      if (now >= next_stats) {
        ReadStats();
        next_stats = now + kStatsInterval;
      }
      continue;
    }
    SetBehind(false);
    // A driver whose reads fail at once must not spin: look again a little
    // later, and give the adapter up only when that fails too.
    if (!failed_once) {
      failed_once = true;
      Pause(kFailedReadPauseMs);
      continue;
    }
    failed_once = false;
    ReadStats();  // what the lost adapter dropped before it failed
    if (snoop_->OnCaptureLost) snoop_->OnCaptureLost(snoop_->Handle()->ErrorText);
    if (!Reopen()) break;
    // The driver counts afresh for the adapter opened again.
    drops_seen_ = 0;
    if (snoop_->OnCaptureResumed) snoop_->OnCaptureResumed(snoop_->AdapterName());
  }
  SetBehind(false);
  if (snoop_->Handle()) ReadStats();
}

void TSnoopThread::SetBehind(bool value) {
  // Written only on a change: the flag's reader runs on another core.
  if (snoop_->behind_.load(std::memory_order_relaxed) != value) {
    snoop_->behind_.store(value, std::memory_order_relaxed);
  }
}

void TSnoopThread::ReadStats() {
  bpf_stat stats;
  if (!CaptureStats(snoop_->Handle(), stats)) return;
  // The counter wraps at 32 bits; so does the difference.
  const uint32_t fresh = stats.bs_drop - drops_seen_;
  drops_seen_ = stats.bs_drop;
  if (fresh > 0) snoop_->dropped_.fetch_add(fresh, std::memory_order_relaxed);
}

bool TSnoopThread::Reopen() {
  snoop_->CloseAdapter();
  while (!Terminated()) {
    Pause(kReopenIntervalMs);
    if (Terminated()) break;
    // Trying again is the reader at work, not a reader that hangs: the
    // service manager's watchdog must not end the watch for a lost adapter.
    if (snoop_->OnAlive) snoop_->OnAlive();
    std::string error;
    const std::string name = snoop_->AdapterName();
    bool open = snoop_->OpenAdapter(name, error);
    if (!open && snoop_->interface_index_ != 0) {
      // The name is gone; the interface may live on under another one.
      const std::string now = platform::InterfaceName(snoop_->interface_index_);
      if (!now.empty() && now != name && snoop_->OpenAdapter(now, error)) {
        snoop_->FollowRename(now);
        open = true;
      }
    }
    if (open) {
      PacketDriver.PacketSetReadTimeout(snoop_->Handle()->Adapter, kReadTimeoutMs);
      // An interface made anew under the old name has a new number.
      snoop_->interface_index_ = platform::InterfaceIndex(snoop_->AdapterName());
      return true;
    }
  }
  return false;
}

void TSnoopThread::Pause(int milliseconds) {
  constexpr int kStep = 50;
  for (int waited = 0; waited < milliseconds && !Terminated(); waited += kStep) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kStep));
  }
}

}  // namespace capture
