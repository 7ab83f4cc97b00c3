#include "syslog/IdSysLog.h"

#include <vector>

namespace syslog {

TIdSysLog::TIdSysLog(rtl::TComponent* owner) : TIdUDPClient(owner) { SetPort(514); }

void TIdSysLog::TransmitMessage(TIdSysLogMessage& message, bool stamp_now) {
  if (stamp_now) {
    message.SetEventTime((clock_ ? *clock_ : platform::DefaultClock()).Now());
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

int TIdSysLog::SendTexts(const std::string* texts, int count, TIdSyslogFacility facility,
                         TIdSyslogSeverity severity) {
  std::vector<std::string> wire;
  wire.reserve(count > 0 ? static_cast<size_t>(count) : 0);
  for (int i = 0; i < count; ++i) {
    TIdSysLogMessage message(nullptr, clock_);
    message.Msg()->SetText(texts[i]);
    message.SetFacility(facility);
    message.SetSeverity(severity);
    message.SetEventTime((clock_ ? *clock_ : platform::DefaultClock()).Now());
    wire.push_back(message.FormatWireText());
  }
  return SendStrings(wire.data(), count);
}

}  // namespace syslog
