// Syslog message: one message in the classic BSD layout (a priority in
// angle brackets, a timestamp, the sending host and a free-text MSG part),
// its wire text, and the parsing of a received datagram back into it.
//
// The message owns its MSG part. A message object is used by one thread at
// a time. Its current time comes from a platform::Clock (the process clock
// unless one is given), so that tests can fix it.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "rtl/DateTime.h"
#include "syslog/IdBaseComponent.h"
#include "syslog/IdException.h"

namespace syslog {

enum TIdSyslogSeverity : uint8_t {
  slEmergency,
  slAlert,
  slCritical,
  slError,
  slWarning,
  slNotice,
  slInformational,
  slDebug
};

enum TIdSyslogFacility : uint8_t {
  sfKernel,
  sfUserLevel,
  sfMailSystem,
  sfSystemDaemon,
  sfSecurityOne,
  sfSysLogInternal,
  sfLPR,
  sfNNTP,
  sfClockDaemonOne,
  sfUUCP,
  sfSecurityTwo,
  sfFTPDaemon,
  sfNTP,
  sfLogAudit,
  sfLogAlert,
  sfClockDaemonTwo,
  sfLocalUseZero,
  sfLocalUseOne,
  sfLocalUseTwo,
  sfLocalUseThree,
  sfLocalUseFour,
  sfLocalUseFive,
  sfLocalUseSix,
  sfLocalUseSeven
};

// The priority as written on the wire: facility number * 8 + severity.
using TIdSyslogPRI = uint8_t;

// Wire numbers: the facility's ordinal, except that UUCP is 8 and the
// first clock daemon 9 (the enumeration lists them the other way round).
int FacilityCode(TIdSyslogFacility facility) noexcept;
TIdSyslogFacility FacilityFromCode(int code) noexcept;
int SeverityCode(TIdSyslogSeverity severity) noexcept;
TIdSyslogSeverity SeverityFromCode(int code) noexcept;

// The MSG part: the whole text, with the conventional "process[pid]:
// content" split offered as views computed from it. Only Text is stored.
class TIdSysLogMsgPart : public rtl::TObject {
 public:
  // Copies Text from another MSG part; any other source raises
  // rtl::EConvertError.
  virtual void CopyFrom(const rtl::TObject& source);
  // "[N]:" when PIDAvailable, otherwise ":".
  virtual std::string PidSuffix(int pid) const;

  const std::string& Text() const noexcept { return text_; }
  void SetText(const std::string& text) { text_ = text; }

  bool PIDAvailable() const noexcept { return pid_available_; }
  void SetPIDAvailable(bool value);
  // The text before the first colon, cut at its first "[" (empty without a
  // colon, or when the text starts with it).
  std::string Process() const;
  // At most 32 - length of the suffix characters, then only the leading
  // run of ASCII letters and digits.
  void SetProcess(const std::string& process);
  // The number in brackets before the first colon, or -1. Raises
  // rtl::EConvertError when the bracketed text is not a number.
  int32_t PID() const;
  void SetPID(int32_t pid);
  // Everything after the first colon (or the whole text, as for Process).
  std::string Content() const;
  void SetContent(const std::string& content);

 private:
  bool pid_available_ = false;
  std::string text_;
};

class TIdSysLogMessage : public TIdBaseComponent {
 public:
  // Priority 13 (user level, notice), the first local address of the
  // socket stack as Hostname, an empty MSG part. When no shared stack
  // exists, a stack is made for the address query and freed after it. A
  // failed address query propagates. clock null: the process clock.
  explicit TIdSysLogMessage(rtl::TComponent* owner, platform::Clock* clock = nullptr);
  ~TIdSysLogMessage() override;

  // Copies Pri, Hostname, the MSG text and EventTime from another
  // message; any other source raises rtl::EConvertError.
  void CopyFrom(const rtl::TObject& source) override;

  // Operations in their slot order.
  // Replaces every byte 128 to 255 by "?".
  virtual void MaskNonAscii(std::string& s);
  // The three sections of a received text; each moves the 1-based
  // position on, and falls back as documented in ParseRawText.
  virtual void ParsePriSection(int& position);
  virtual void ParseHeaderSection(int& position);
  virtual void ParseMsgSection(int& position);
  // Parses RawText: a bad PRI section reads as priority 13 with the whole
  // text left for the header; a bad header section reads as the current
  // time and the sender's address, with the text left for the MSG part.
  virtual void ParseRawText();
  virtual void RecomputePri();
  // "Mmm dd hh:nn:ss " (16 characters, the day space-padded or not) in the
  // current year. Raises EInvalidSyslogMessage, or rtl::EConvertError for
  // a day the month does not have.
  virtual rtl::TDateTime DecodeEventTime(std::string s);
  // "<PRI>Mmm dd hh:nn:ss host text", cut to 1024 characters. Moves an
  // EventTime from another year than the current one to the current time.
  // The text AppendWireText appends.
  virtual std::string FormatWireText();
  // Reads min(size, 1024) bytes (rtl::EReadError when the stream has fewer)
  // and parses them as a datagram from sender_address.
  virtual void ReadDatagram(std::istream& stream, int size, const std::string& sender_address);

  // The wire text appended to out (what out holds stays before it), so that
  // a sender that keeps out formats into its capacity without allocating.
  void AppendWireText(std::string& out);

  // Raises EInvalidSyslogMessage for 192 and above (and below 0); setting
  // the current value does nothing.
  TIdSyslogPRI Pri() const noexcept { return pri_; }
  void SetPri(int value);
  TIdSyslogFacility Facility() const noexcept { return facility_; }
  void SetFacility(TIdSyslogFacility value);
  TIdSyslogSeverity Severity() const noexcept { return severity_; }
  void SetSeverity(TIdSyslogSeverity value);
  // Raises EInvalidSyslogMessage for a name with a space.
  const std::string& Hostname() const noexcept { return hostname_; }
  void SetHostname(const std::string& value);
  TIdSysLogMsgPart* Msg() const noexcept { return msg_.get(); }
  // Copies the text of part into the owned part.
  void SetMsg(const TIdSysLogMsgPart& part);

  rtl::TDateTime EventTime() const noexcept { return event_time_; }
  void SetEventTime(rtl::TDateTime value) { event_time_ = value; }
  const std::string& RawText() const noexcept { return raw_text_; }
  // Stores the text in RawText and parses it.
  void LoadRawText(const std::string& text);
  const std::string& SenderAddress() const noexcept { return sender_address_; }

 private:
  platform::Clock& Clock() const;

  std::unique_ptr<TIdSysLogMsgPart> msg_;
  TIdSyslogFacility facility_ = sfKernel;
  TIdSyslogSeverity severity_ = slEmergency;
  std::string hostname_;
  std::string parsed_msg_text_;
  rtl::TDateTime event_time_ = 0;
  std::string raw_text_;
  std::string sender_address_;
  TIdSyslogPRI pri_ = 0;
  platform::Clock* clock_;
};

}  // namespace syslog
