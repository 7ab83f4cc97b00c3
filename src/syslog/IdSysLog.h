// The syslog sender: turns a report text, a facility and a severity into
// one syslog message stamped with the current local time and sends its
// wire text as one UDP datagram to Host:Port (514 by default). Host is
// resolved again at every send; nothing is cached, queued or retried, and
// every failure reaches the caller as an exception. The socket opens with
// SetActive(true) or the first send and stays open across failures.
//
// One thread at a time uses a sender.
#pragma once

#include <string>

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
  // The wire text SendText would send for text, stamped now.
  std::string WireText(const std::string& text, TIdSyslogFacility facility,
                       TIdSyslogSeverity severity);
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
  void SetClock(platform::Clock* clock) { clock_ = clock; }

 private:
  // The current time by the sender's clock.
  rtl::TDateTime Now() const { return (clock_ ? *clock_ : platform::DefaultClock()).Now(); }

  platform::Clock* clock_ = nullptr;
};

}  // namespace syslog
