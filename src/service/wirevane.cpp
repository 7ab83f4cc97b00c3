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
  void SetAdapterIndex(int) override {}
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
      thread->SaveTable();
      done = true;
      rtl::WakeMainThread();
    });
  }
  // The clock stands still for the watch, so the table is not saved during
  // the replay, only once at its end.
  rtl::TDateTime Now() override { return 0; }
  void Sleep(uint32_t milliseconds) override { inner_clock->Sleep(milliseconds); }
};

// The watch of the foreground run: the program's parts, reports printed.
// Like the service's watch it is never stopped or freed.
void StartConsoleWatch() {
  static ConsoleWatchParts* parts = new ConsoleWatchParts;
  watch::WatchEnvironment environment;
  environment.parts = parts;
  rtl::TThread::Create<watch::TEthThread>(false, environment);
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
  OnExecute = [this](TService* Sender) { ServiceExecute(Sender); };
  StartWatch = [] { watch::StartWatch(); };
}

TWirevane::~TWirevane() {
  if (Wirevane == this) Wirevane = nullptr;
}

void TWirevane::ServiceExecute(TService* Sender) {
  if (StartWatch) StartWatch();
  TServiceThread* thread = ControlThread();
  if (!thread) return;  // not on a control thread: nothing to serve
  while (!StopRequested()) thread->ProcessControlRequests(true);
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
  if (!replay->done) {
    std::fprintf(stderr, "tessalin: the watch could not start; its error file names the stage\n");
    return 1;
  }
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
  return app.ExitCode;
}

}  // namespace service
