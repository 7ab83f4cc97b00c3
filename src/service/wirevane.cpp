#include "service/wirevane.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/ServiceNotify.h"
#include "platform/SystemError.h"
#include "rtl/SysUtils.h"
#include "service/Printing.h"
#include "service/ReadMode.h"
#include "service/Switches.h"
#include "service/Usage.h"

namespace service {
namespace {

class ConsoleWatchFactory : public watch::WatchFactory {
 public:
  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return PrintingSysLog(watch::DefaultWatchFactory().CreateSysLog());
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    return watch::DefaultWatchFactory().CreateCapture();
  }
};

// The watch of the foreground run: the program's parts, reports and
// event-log entries printed. Never freed.
watch::TEthThread* StartConsoleWatch(TWirevane::TWatchStart handlers) {
  static ConsoleWatchFactory* parts = new ConsoleWatchFactory;
  static watch::EventSink* events = PrintingEventSink(watch::DefaultEventSink()).release();
  watch::WatchEnvironment environment;
  environment.parts = parts;
  environment.events = events;
  // The status line as always, and on the terminal too: when it changes
  // while reports wait to leave, and when the queue has emptied, at most
  // every 5 s.
  environment.status = [](const std::string& text) {
    platform::ServiceStatusText(text);
    static std::string shown;
    static auto last = std::chrono::steady_clock::time_point();
    static bool waiting = false;
    const bool queued = text.find(" 0 reports queued") == std::string::npos;
    const auto now = std::chrono::steady_clock::now();
    if (text == shown || (!queued && !waiting) ||
        (queued && now - last < std::chrono::seconds(5))) {
      return;
    }
    waiting = queued;
    shown = text;
    last = now;
    std::fprintf(stderr, "tessalin: %s\n", text.c_str());
    std::fflush(stderr);
  };
  auto* thread = rtl::TThread::Create<watch::TEthThread>(true, environment);
  thread->OnStarted = std::move(handlers.Started);
  thread->OnStartFailed = std::move(handlers.Failed);
  thread->Resume();
  return thread;
}

}  // namespace

TWirevane* Wirevane = nullptr;

TWirevane::TWirevane(rtl::TComponent* Owner) : TService(Owner) {
  SetName("Wirevane");
  SetDisplayName("Wirevane");
  Description =
      "Watches ARP traffic on the first network adapter and reports new, moved and multi-homed "
      "IPv4 addresses as syslog messages to the host named by the registry value SyslogHost.";
  // A failed service comes back after 10 s; a day without failure starts
  // the count anew.
  RestartDelay = 10000;
  FailureResetPeriod = 24 * 60 * 60;
  OnStart = [this](TService* Sender, bool& Started) { ServiceStart(Sender, Started); };
  OnExecute = [this](TService* Sender) { ServiceExecute(Sender); };
  StartWatch = [](TWatchStart handlers) {
    return watch::StartWatch(std::move(handlers.Started), std::move(handlers.Failed));
  };
}

TWirevane::~TWirevane() {
  if (Wirevane == this) Wirevane = nullptr;
}

void TWirevane::ServiceStart(TService* /*Sender*/, bool& Started) {
  if (!StartWatch) return;
  {
    rtl::MutexLock lock(start_mu_);
    watch_state_ = WatchState::kStarting;
  }
  watch_ = StartWatch({[this](const std::string& adapter) { WatchStarted(adapter); },
                       [this](const watch::StartFailure& failure) { WatchFailed(failure); }});
  // The manager hears that the start goes on: a new check-point every half
  // wait hint, so that it neither gives up nor is told of a start that is
  // not done.
  const auto step = std::chrono::milliseconds(std::max(WaitHint / 2, 100));
  auto decided = [&]() REQUIRES(start_mu_) { return watch_state_ != WatchState::kStarting; };
  rtl::MutexLock lock(start_mu_);
  while (!start_cv_.WaitFor(start_mu_, step, decided)) {
    lock.Unlock();
    SetState(csStartPending);
    lock.Lock();
  }
  if (watch_state_ == WatchState::kFailed) {
    ErrCode = failure_.code;
    Win32ErrCode = platform::kErrorServiceSpecificError;
    StatusText = failure_.Text();
    Started = false;
    return;
  }
  RunningText = "watching " + adapter_;
}

void TWirevane::ServiceExecute(TService* /*Sender*/) {
  TServiceThread* thread = ControlThread();
  if (!thread) return;  // not on a control thread: nothing to serve
  while (!StopRequested()) thread->ProcessControlRequests(true);
  // What the watch saw up to now reaches the table and the syslog server.
  if (watch_ && !watch_->Shutdown(WatchStopWait)) {
    // The table was saved before the watch began to wait on the network;
    // what it was still sending is lost with the process.
    WriteEvent(
        rtl::Format("the watch did not end within %g s of the stop; ", WatchStopWait / 1000.0) +
            std::to_string(watch_->ReportsQueued()) + " reports were still queued",
        platform::kEventLogWarningType, 0, watch::kEventWatchStopped);
  }
}

void TWirevane::WatchStarted(const std::string& Adapter) {
  rtl::MutexLock lock(start_mu_);
  watch_state_ = WatchState::kWatching;
  adapter_ = Adapter;
  start_cv_.SignalAll();
}

void TWirevane::WatchFailed(const watch::StartFailure& Failure) {
  rtl::MutexLock lock(start_mu_);
  watch_state_ = WatchState::kFailed;
  failure_ = Failure;
  start_cv_.SignalAll();
}

platform::ServiceControlHandler TWirevane::ControlCallback() { return &ServiceControlEntry; }

void ServiceControlEntry(uint32_t Code) {
  if (TWirevane* module = Wirevane) module->PostControl(Code);
}

int RunProgram(THostFacilities Facilities) {
  TServiceApplication app(std::move(Facilities));
  std::string unknown;
  switch (CheckCommandLine(app.Arguments(), &unknown)) {
    case TCommandLineRequest::kHelp:
      std::fputs(UsageText(), stdout);
      return 0;
    case TCommandLineRequest::kVersion:
      std::printf("%s\n", VersionText().c_str());
      return 0;
    case TCommandLineRequest::kUnknownSwitch:
      std::fprintf(stderr, "tessalin: unknown switch %s\n\n%s", unknown.c_str(), UsageText());
      return 2;
    case TCommandLineRequest::kRun:
      break;
  }
  try {
    app.PrepareApplication();
    app.CreateServiceModule(Wirevane);
    if (app.HasSwitch(kSwitchRead) && !app.HasSwitch(kSwitchInstall) &&
        !app.HasSwitch(kSwitchUninstall)) {
      std::string path;
      if (!SwitchValue(app.Arguments(), kSwitchRead, path)) {
        std::fprintf(stderr, "tessalin: /read needs the name of a capture file\n");
        return 2;
      }
      return RunReadMode(path);
    }
    if (app.HasSwitch(kSwitchConsole)) Wirevane->StartWatch = StartConsoleWatch;
    app.RunApplication();
  } catch (...) {
    app.ShowException(std::current_exception());
    return 1;
  }
  // A watch that could not start ends the process as failed, so that the
  // service manager sees it (systemd's restart policy, the exit status).
  if (app.ExitCode == 0 && Wirevane && Wirevane->ErrCode != 0) {
    return static_cast<int>(Wirevane->ErrCode);
  }
  return app.ExitCode;
}

}  // namespace service
