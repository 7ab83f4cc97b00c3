#include "syslog/IdSysLog.h"

#include <vector>

namespace syslog {

TIdSysLog::TIdSysLog(rtl::TComponent* owner) : TIdUDPClient(owner) { SetPort(514); }

void TIdSysLog::TransmitMessage(TIdSysLogMessage& message, bool stamp_now) {
  if (stamp_now) {
    message.SetEventTime(Now());
  }
  SendString(message.FormatWireText());
}

void TIdSysLog::SendText(const std::string& text, TIdSyslogFacility facility,
                         TIdSyslogSeverity severity) {
  TIdSysLogMessage message(nullptr, clock_);
  message.Msg()->SetText(text);
  message.SetFacility(facility);
  message.SetSeverity(severity);
  TransmitMessage(message, true);
}

std::string TIdSysLog::WireText(const std::string& text, TIdSyslogFacility facility,
                                TIdSyslogSeverity severity) {
  TIdSysLogMessage message(nullptr, clock_);
  message.Msg()->SetText(text);
  message.SetFacility(facility);
  message.SetSeverity(severity);
  message.SetEventTime(Now());
  return message.FormatWireText();
}

int TIdSysLog::SendTexts(const std::string* texts, int count, TIdSyslogFacility facility,
                         TIdSyslogSeverity severity) {
  // One message made as SendText makes it, its text and time set anew for
  // each report.
  TIdSysLogMessage message(nullptr, clock_);
  message.SetFacility(facility);
  message.SetSeverity(severity);
  std::vector<std::string> wire;
  wire.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 0; i < count; ++i) {
    message.Msg()->SetText(texts[i]);
    message.SetEventTime(Now());
    wire.push_back(message.FormatWireText());
  }
  return SendStrings(wire.data(), count);
}

}  // namespace syslog
