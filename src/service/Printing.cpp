#include "service/Printing.h"

#include <cstdio>
#include <string>
#include <utility>

#include "platform/EventLog.h"

namespace service {
namespace {

// The foreground run prints every report on standard output as well as
// sending it.
class PrintingSender : public watch::SysLogSender {
 public:
  explicit PrintingSender(std::unique_ptr<watch::SysLogSender> inner) : inner_(std::move(inner)) {}
  void SetActive(bool value) override { inner_->SetActive(value); }
  void SetHost(const std::string& host) override { inner_->SetHost(host); }
  void SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                syslog::TIdSyslogSeverity severity) override {
    Print(&text, 1);
    inner_->SendText(text, facility, severity);
  }
  // Each report is printed once, as it is sent or fails: the sent ones, or
  // the first when it fails (the caller hands the rest over again).
  size_t SendTexts(const std::string* texts, size_t count, syslog::TIdSyslogFacility facility,
                   syslog::TIdSyslogSeverity severity) override {
    size_t sent = 0;
    try {
      sent = inner_->SendTexts(texts, count, facility, severity);
    } catch (...) {
      Print(texts, count > 0 ? 1 : 0);
      throw;
    }
    Print(texts, sent);
    return sent;
  }
  void SetPort(int port) override { inner_->SetPort(port); }
  void AppendWireText(const std::string& text, syslog::TIdSyslogFacility facility,
                      syslog::TIdSyslogSeverity severity, std::string& out) override {
    inner_->AppendWireText(text, facility, severity, out);
  }
  std::unique_ptr<platform::ReportStream> OpenStream(const std::string& host,
                                                     platform::StreamTarget target,
                                                     const std::atomic<bool>& abandon) override {
    return inner_->OpenStream(host, std::move(target), abandon);
  }
  // Written to a stream connection: printed then, as sent datagrams are.
  void Written(const std::string* texts, size_t count) override {
    Print(texts, count);
    inner_->Written(texts, count);
  }

 private:
  static void Print(const std::string* texts, size_t count) {
    for (size_t i = 0; i < count; ++i) std::printf("Report: %s\n", texts[i].c_str());
    std::fflush(stdout);
  }

  std::unique_ptr<watch::SysLogSender> inner_;
};

// The foreground run's event-log entries are printed on standard error as
// well.
class PrintingEvents : public watch::EventSink {
 public:
  explicit PrintingEvents(watch::EventSink& inner) : inner_(inner) {}
  void WriteEvent(uint16_t type, uint32_t id, const std::string& text) override {
    std::fprintf(stderr, "tessalin: %s\n", platform::EntryLine(text).c_str());
    std::fflush(stderr);
    inner_.WriteEvent(type, id, text);
  }

 private:
  watch::EventSink& inner_;
};

}  // namespace

std::unique_ptr<watch::SysLogSender> PrintingSysLog(std::unique_ptr<watch::SysLogSender> inner) {
  return std::make_unique<PrintingSender>(std::move(inner));
}

std::unique_ptr<watch::EventSink> PrintingEventSink(watch::EventSink& inner) {
  return std::make_unique<PrintingEvents>(inner);
}

}  // namespace service
