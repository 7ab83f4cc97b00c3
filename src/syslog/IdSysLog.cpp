#include "syslog/IdSysLog.h"

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

}  // namespace syslog
