#include "syslog/IdSysLog.h"

#include "syslog/IdStack.h"

namespace syslog {

TIdSysLog::TIdSysLog(rtl::TComponent* owner) : TIdUDPClient(owner) { SetPort(514); }

void TIdSysLog::TransmitMessage(TIdSysLogMessage& message, bool stamp_now) {
  if (stamp_now) {
    message.SetEventTime(Now());
  }
  SendString(message.FormatWireText());
}

TIdSysLogMessage& TIdSysLog::MessageFor(const std::string& text, TIdSyslogFacility facility,
                                        TIdSyslogSeverity severity) {
  if (!message_) {
    message_ = std::make_unique<TIdSysLogMessage>(nullptr, clock_);
  } else {
    // What a new message would take (the stack looks it up once a second).
    message_->SetHostname(SharedStack()->FirstLocalAddress());
  }
  message_->Msg()->SetText(text);
  message_->SetFacility(facility);
  message_->SetSeverity(severity);
  message_->SetEventTime(Now());
  return *message_;
}

void TIdSysLog::SendText(const std::string& text, TIdSyslogFacility facility,
                         TIdSyslogSeverity severity) {
  if (wire_.empty()) wire_.resize(1);
  wire_[0].clear();
  MessageFor(text, facility, severity).AppendWireText(wire_[0]);
  SendString(wire_[0]);
}

void TIdSysLog::AppendWireText(const std::string& text, TIdSyslogFacility facility,
                               TIdSyslogSeverity severity, std::string& out) {
  MessageFor(text, facility, severity).AppendWireText(out);
}

int TIdSysLog::SendTexts(const std::string* texts, int count, TIdSyslogFacility facility,
                         TIdSyslogSeverity severity) {
  if (count <= 0) return 0;
  if (wire_.size() < static_cast<size_t>(count)) wire_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    wire_[i].clear();
    MessageFor(texts[i], facility, severity).AppendWireText(wire_[i]);
  }
  return SendStrings(wire_.data(), count);
}

}  // namespace syslog
