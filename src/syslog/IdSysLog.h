// The syslog sender: turns a report text, a facility and a severity into
// one syslog message stamped with the current local time and sends its
// wire text as one UDP datagram to Host:Port (514 by default). Host is
// resolved again at every send; nothing is cached, queued or retried, and
// every failure reaches the caller as an exception. The socket opens with
// SetActive(true) or the first send and stays open across failures.
//
// One thread at a time uses a sender. It keeps one message and the wire
// texts of its last sends, and formats the next ones into them, so that
// sending reports in a steady flow does not allocate.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "syslog/IdSysLogMessage.h"
#include "syslog/IdUDPClient.h"

namespace syslog {

class TIdSysLog : public TIdUDPClient {
 public:
  explicit TIdSysLog(rtl::TComponent* owner);

  // Sends message (which stays the caller's); with stamp_now its EventTime
  // becomes the current time first.
  void TransmitMessage(TIdSysLogMessage& message, bool stamp_now);
  // Appends the wire text SendText would send for text, stamped now, to out
  // (what out holds stays before it).
  void AppendWireText(const std::string& text, TIdSyslogFacility facility,
                      TIdSyslogSeverity severity, std::string& out);
  // One datagram with text as the whole MSG part.
  void SendText(const std::string& text, TIdSyslogFacility facility, TIdSyslogSeverity severity);
  // count texts, each as SendText makes it, sent in order to Host (resolved
  // once for all of them) in as few system calls as the socket library
  // allows. Returns how many were sent, at least one when count > 0; raises
  // as SendText when the first cannot be sent.
  int SendTexts(const std::string* texts, int count, TIdSyslogFacility facility,
                TIdSyslogSeverity severity);

  // The clock for timestamps, of this sender and of the messages it
  // builds; null for the process clock.
  void SetClock(platform::Clock* clock) {
    clock_ = clock;
    message_.reset();
  }

 private:
  // The current time by the sender's clock.
  rtl::TDateTime Now() const { return (clock_ ? *clock_ : platform::DefaultClock()).Now(); }
  // The kept message, as a new one would be for text: the local address as
  // the stack has it now, the facility and severity, stamped now.
  TIdSysLogMessage& MessageFor(const std::string& text, TIdSyslogFacility facility,
                               TIdSyslogSeverity severity);

  platform::Clock* clock_ = nullptr;
  std::unique_ptr<TIdSysLogMessage> message_;
  // The wire texts of the last send, kept for their capacity.
  std::vector<std::string> wire_;
};

}  // namespace syslog
