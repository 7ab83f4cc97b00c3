#include "watch/WatchFactory.h"

#include <algorithm>
#include <climits>
#include <memory>

#include "capture/Snoop.h"
#include "syslog/IdStack.h"
#include "syslog/IdSysLog.h"

namespace watch {
namespace {

// How long a stream connection (and its TLS handshake) may take.
constexpr int kStreamConnectTimeoutMs = 5000;

}  // namespace

size_t SysLogSender::SendTexts(const std::string* texts, size_t count,
                               syslog::TIdSyslogFacility facility,
                               syslog::TIdSyslogSeverity severity) {
  for (size_t i = 0; i < count; ++i) {
    try {
      SendText(texts[i], facility, severity);
    } catch (...) {
      if (i == 0) throw;
      return i;
    }
  }
  return count;
}

void SysLogSender::SetPort(int) {}

void SysLogSender::AppendWireText(const std::string& text, syslog::TIdSyslogFacility facility,
                                  syslog::TIdSyslogSeverity severity, std::string& out) {
  syslog::TIdSysLog sender(nullptr);
  sender.AppendWireText(text, facility, severity, out);
}

std::unique_ptr<platform::ReportStream> SysLogSender::OpenStream(const std::string& host,
                                                                 platform::StreamTarget target,
                                                                 const std::atomic<bool>& abandon) {
  // The socket stack lives while a socket component does.
  syslog::TIdSysLog resolver(nullptr);
  target.address = syslog::SharedStack()->HostToAddress(host);
  return platform::OpenReportStream(target, kStreamConnectTimeoutMs, abandon);
}

void SysLogSender::Written(const std::string*, size_t) {}

namespace {

// The real syslog sender, with no owner.
class SysLogAdapter : public SysLogSender {
 public:
  SysLogAdapter() : sender_(std::make_unique<syslog::TIdSysLog>(nullptr)) {}
  void SetActive(bool value) override { sender_->SetActive(value); }
  void SetHost(const std::string& host) override { sender_->SetHost(host); }
  void SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                syslog::TIdSyslogSeverity severity) override {
    sender_->SendText(text, facility, severity);
  }
  size_t SendTexts(const std::string* texts, size_t count, syslog::TIdSyslogFacility facility,
                   syslog::TIdSyslogSeverity severity) override {
    const int n = static_cast<int>(std::min<size_t>(count, INT_MAX));
    return static_cast<size_t>(sender_->SendTexts(texts, n, facility, severity));
  }
  void SetPort(int port) override { sender_->SetPort(port); }
  void AppendWireText(const std::string& text, syslog::TIdSyslogFacility facility,
                      syslog::TIdSyslogSeverity severity, std::string& out) override {
    sender_->AppendWireText(text, facility, severity, out);
  }

 private:
  std::unique_ptr<syslog::TIdSysLog> sender_;
};

// The real capture component, with no owner. Creating it binds the driver
// and lists the adapters, and raises when either fails.
class SnoopAdapter : public CaptureSource {
 public:
  SnoopAdapter() : snoop_(std::make_unique<capture::TSnoop>(nullptr)) {}
  void SetThreadSafe(bool value) override { snoop_->SetThreadSafe(value); }
  void SetOnCapture(TOnCaptureEvent handler) override { snoop_->SetOnCapture(std::move(handler)); }
  void SetOnCaptureLost(std::function<void(const std::string&)> handler) override {
    snoop_->OnCaptureLost = std::move(handler);
  }
  void SetOnCaptureResumed(std::function<void(const std::string&)> handler) override {
    snoop_->OnCaptureResumed = std::move(handler);
  }
  void SetOnAlive(std::function<void()> handler) override { snoop_->OnAlive = std::move(handler); }
  void SetAdapterIndex(int index) override { snoop_->SetAdapterIndex(index); }
  bool SelectAdapter(const std::string& name) override {
    snoop_->SetAdapterName(name);
    return snoop_->AdapterIndex() >= 0;
  }
  std::string AdapterName() const override { return snoop_->AdapterName(); }
  std::vector<std::string> AdapterNames() const override {
    std::vector<std::string> names;
    const rtl::TStringList& list = snoop_->Adapters();
    for (int i = 0; i < list.Count(); ++i) names.push_back(list.Strings(i));
    return names;
  }
  void StartCapture() override { snoop_->StartCapture(); }
  void StopCapture() override { snoop_->StopCapture(); }
  bool Capturing() const override { return snoop_->Capturing(); }
  std::string LastError() const override { return snoop_->LastError(); }
  uint64_t FramesDropped() const override { return snoop_->FramesDropped(); }
  bool Behind() const override { return snoop_->Behind(); }

 private:
  std::unique_ptr<capture::TSnoop> snoop_;
};

class ProgramFactory : public WatchFactory {
 public:
  std::unique_ptr<SysLogSender> CreateSysLog() override {
    return std::make_unique<SysLogAdapter>();
  }
  std::unique_ptr<CaptureSource> CreateCapture() override {
    return std::make_unique<SnoopAdapter>();
  }
};

}  // namespace

WatchFactory& DefaultWatchFactory() {
  static ProgramFactory factory;
  return factory;
}

}  // namespace watch
