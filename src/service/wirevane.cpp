#include "service/wirevane.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "capture/CaptureFile.h"

namespace service {
namespace {

// The foreground run prints every report on standard output as well as
// sending it.
class PrintingSysLog : public watch::SysLogSender {
 public:
  explicit PrintingSysLog(std::unique_ptr<watch::SysLogSender> inner) : inner_(std::move(inner)) {}
  void SetActive(bool value) override { inner_->SetActive(value); }
  void SetHost(const std::string& host) override { inner_->SetHost(host); }
  void SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                syslog::TIdSyslogSeverity severity) override {
    std::printf("Report: %s\n", text.c_str());
    std::fflush(stdout);
    inner_->SendText(text, facility, severity);
  }

 private:
  std::unique_ptr<watch::SysLogSender> inner_;
};

class ConsoleWatchParts : public watch::WatchParts {
 public:
  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return std::make_unique<PrintingSysLog>(watch::DefaultWatchParts().CreateSysLog());
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    return watch::DefaultWatchParts().CreateCapture();
  }
};

// The replay run's capture component: StartCapture, on the watch thread,
// hands every frame of the file to the frame handler and then reports that
// the replay is done.
class ReplayCapture : public rtl::TObject, public watch::CaptureSource {
 public:
  ReplayCapture(const std::vector<capture::TCaptureFrame>& frames, std::function<void()> done)
      : frames_(frames), done_(std::move(done)) {}
  void SetThreadSafe(bool) override {}
  void SetOnCapture(watch::TOnCaptureEvent handler) override { handler_ = std::move(handler); }
  void SetOnCaptureLost(std::function<void(const std::string&)>) override {}
  void SetOnCaptureResumed(std::function<void()>) override {}
  void SetAdapterIndex(int) override {}
  bool SelectAdapter(const std::string&) override { return true; }
  std::string AdapterName() const override { return "replay"; }
  void StopCapture() override {}
  bool Capturing() const override { return true; }
  std::string LastError() const override { return std::string(); }
  void StartCapture() override {
    for (const capture::TCaptureFrame& f : frames_) {
      // The handler sees no more than the file holds of a frame.
      const uint32_t length = std::min(f.WireLength, f.CapturedLength);
      if (handler_ && !f.Bytes.empty()) {
        handler_(this, reinterpret_cast<capture::PETHERNET_HDR>(f.Bytes.data()),
                 static_cast<int>(length));
      }
    }
    done_();
  }

 private:
  const std::vector<capture::TCaptureFrame>& frames_;
  std::function<void()> done_;
  watch::TOnCaptureEvent handler_;
};

// Everything the replayed watch uses. It lives as long as the watch thread,
// that is, to the end of the process.
struct Replay : watch::WatchParts, platform::Clock {
  watch::WatchParts* inner_parts = nullptr;
  platform::Clock* inner_clock = nullptr;
  std::vector<capture::TCaptureFrame> frames;
  watch::TEthThread* thread = nullptr;
  std::atomic<bool> done{false};

  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return std::make_unique<PrintingSysLog>(inner_parts->CreateSysLog());
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    return std::make_unique<ReplayCapture>(frames, [this] {
      done = true;
      rtl::WakeMainThread();
    });
  }
  // The clock stands still for the watch, so the table is not saved during
  // the replay, only once at its end.
  rtl::TDateTime Now() override { return 0; }
  void Sleep(uint32_t milliseconds) override { inner_clock->Sleep(milliseconds); }
};

// The foreground run's event-log entries are printed as well.
class ConsoleEvents : public watch::EventSink {
 public:
  void WriteEvent(uint16_t type, uint32_t id, const std::string& text) override {
    std::fprintf(stderr, "tessalin: %s\n", text.c_str());
    std::fflush(stderr);
    watch::DefaultEventSink().WriteEvent(type, id, text);
  }
};

// The watch of the foreground run: the program's parts, reports and
// event-log entries printed. Never freed.
watch::TEthThread* StartConsoleWatch(std::function<void(const watch::StartFailure&)> on_failure) {
  static ConsoleWatchParts* parts = new ConsoleWatchParts;
  static ConsoleEvents* events = new ConsoleEvents;
  watch::WatchEnvironment environment;
  environment.parts = parts;
  environment.events = events;
  auto* thread = rtl::TThread::Create<watch::TEthThread>(true, environment);
  thread->OnStartFailed = std::move(on_failure);
  thread->Resume();
  return thread;
}

}  // namespace

TWirevane* Wirevane = nullptr;

namespace {
// The longest a stop waits for the watch's last reports and save.
constexpr int kWatchShutdownMs = 20000;
}  // namespace

TWirevane::TWirevane(rtl::TComponent* Owner) : TService(Owner) {
  SetName("Wirevane");
  SetDisplayName("Wirevane");
  OnExecute = [this](TService* Sender) { ServiceExecute(Sender); };
  StartWatch = [](std::function<void(const watch::StartFailure&)> on_failure) {
    return watch::StartWatch(std::move(on_failure));
  };
}

TWirevane::~TWirevane() {
  if (Wirevane == this) Wirevane = nullptr;
}

void TWirevane::ServiceExecute(TService* Sender) {
  watch::TEthThread* watch = nullptr;
  if (StartWatch) {
    watch = StartWatch([this](const watch::StartFailure& failure) { WatchFailed(failure); });
  }
  TServiceThread* thread = ControlThread();
  if (!thread) return;  // not on a control thread: nothing to serve
  while (!StopRequested()) thread->ProcessControlRequests(true);
  {
    std::lock_guard<std::mutex> lock(failure_mu_);
    if (watch_failed_) {
      ErrCode = failure_.code;
      Win32ErrCode = platform::kErrorServiceSpecificError;
      StatusText = failure_.Text();
      return;
    }
  }
  // What the watch saw up to now reaches the syslog server and the table.
  if (watch) watch->Shutdown(kWatchShutdownMs);
}

void TWirevane::WatchFailed(const watch::StartFailure& Failure) {
  {
    std::lock_guard<std::mutex> lock(failure_mu_);
    watch_failed_ = true;
    failure_ = Failure;
  }
  RequestStop();
}

platform::ServiceControlHandler TWirevane::ControlCallback() { return &ServiceControlEntry; }

void ServiceControlEntry(uint32_t Code) {
  if (TWirevane* module = Wirevane) module->PostControl(Code);
}

int RunReadMode(const std::string& Path, watch::WatchEnvironment Environment) {
  auto* replay = new Replay;  // see Replay
  try {
    replay->frames = capture::ReadCaptureFile(Path);
  } catch (...) {
    std::fprintf(stderr, "tessalin: %s\n", ExceptionMessage(std::current_exception()).c_str());
    delete replay;
    return 2;
  }
  replay->inner_parts = Environment.parts ? Environment.parts : &watch::DefaultWatchParts();
  replay->inner_clock = Environment.clock ? Environment.clock : &platform::DefaultClock();
  Environment.parts = replay;
  Environment.clock = replay;
  replay->thread = rtl::TThread::Create<watch::TEthThread>(true, Environment);
  replay->thread->Resume();
  while (!replay->done && !replay->thread->Finished()) rtl::CheckSynchronize(20);
  if (!replay->done || replay->thread->StartFailed()) {
    std::fprintf(stderr, "tessalin: %s\n", replay->thread->Failure().Text().c_str());
    return 1;
  }
  // Every report goes out before the last save and the exit.
  replay->thread->SetStopDrain(-1);
  replay->thread->Shutdown(-1);
  return 0;
}

namespace {

// The argument after the switch Name, as in "/read FILE".
bool SwitchValue(const std::vector<std::string>& arguments, std::string_view name,
                 std::string& value) {
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (HasSwitch({arguments[i]}, name)) {
      value = arguments[i + 1];
      return true;
    }
  }
  return false;
}

}  // namespace

int RunProgram(THostFacilities Facilities) {
  TServiceApplication app(std::move(Facilities));
  try {
    app.PrepareApplication();
    app.CreateServiceModule(Wirevane);
    if (app.HasSwitch("READ") && !app.HasSwitch("INSTALL") && !app.HasSwitch("UNINSTALL")) {
      std::string path;
      if (!SwitchValue(app.Arguments(), "READ", path)) {
        std::fprintf(stderr, "tessalin: /read needs the name of a capture file\n");
        return 2;
      }
      return RunReadMode(path);
    }
    if (app.HasSwitch("CONSOLE")) Wirevane->StartWatch = StartConsoleWatch;
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
