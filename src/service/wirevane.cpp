#include "service/wirevane.h"

#include <cstdio>
#include <memory>

#include "watch/ethread.h"

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

int RunProgram(THostFacilities Facilities) {
  TServiceApplication app(std::move(Facilities));
  try {
    app.PrepareApplication();
    app.CreateServiceModule(Wirevane);
    if (app.HasSwitch("CONSOLE")) Wirevane->StartWatch = StartConsoleWatch;
    app.RunApplication();
  } catch (...) {
    app.ShowException(std::current_exception());
    return 1;
  }
  return app.ExitCode;
}

}  // namespace service
