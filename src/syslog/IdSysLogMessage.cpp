#include "syslog/IdSysLogMessage.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "syslog/IdGlobal.h"
#include "syslog/IdStack.h"

namespace syslog {
namespace {

constexpr size_t kMaxWireLength = 1024;
constexpr int kHeaderTimeLength = 16;

const char* const kMonthAbbreviations[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// 1 to 12 for "JAN" to "DEC" in any case, otherwise 0.
int MonthFromAbbreviation(std::string_view s) {
  for (int m = 0; m < 12; ++m) {
    if (rtl::SameText(s, kMonthAbbreviations[m])) return m + 1;
  }
  return 0;
}

// A timestamp field: a decimal number once spaces are trimmed, otherwise 0.
int FieldValue(std::string_view s) {
  int32_t v = 0;
  return rtl::TryStrToInt(rtl::TrimView(s), v) ? v : 0;
}

int YearOf(rtl::TDateTime t) { return rtl::DecodeDateTime(t).Year; }

// The header's time stamp ("Dec 11 01:02:03 ") and year of one second, kept
// per thread: reports come many to a second, and the stamp changes once.
struct Stamp {
  int64_t second = INT64_MIN;
  int year = 0;
  char text[kHeaderTimeLength + 1] = {};
};

const Stamp& StampOf(rtl::TDateTime t) {
  thread_local Stamp stamp;
  // The second as DecodeDateTime rounds it: to the nearest millisecond.
  const int64_t ms = std::llround(t * 86400000.0);
  const int64_t second = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
  if (second != stamp.second) {
    const rtl::TDateTimeParts p = rtl::DecodeDateTime(t);
    std::snprintf(stamp.text, sizeof stamp.text, "%s %2d %.2d:%.2d:%.2d ",
                  kMonthAbbreviations[p.Month - 1], p.Day, p.Hour, p.Minute, p.Second);
    stamp.year = p.Year;
    stamp.second = second;
  }
  return stamp;
}

[[noreturn]] void RaiseBadPriNumber(const std::string& number) {
  throw EInvalidSyslogMessage(
      rtl::Format("Invalid syslog message: incorrect PRI number \"%s\"", number.c_str()));
}

[[noreturn]] void RaiseBadPriSection() {
  throw EInvalidSyslogMessage("Invalid syslog message: incorrect PRI section");
}

}  // namespace

int FacilityCode(TIdSyslogFacility facility) noexcept {
  switch (facility) {
    case sfClockDaemonOne:
      return 9;
    case sfUUCP:
      return 8;
    default:
      return static_cast<int>(facility);
  }
}

TIdSyslogFacility FacilityFromCode(int code) noexcept {
  switch (code) {
    case 8:
      return sfUUCP;
    case 9:
      return sfClockDaemonOne;
    default:
      return static_cast<TIdSyslogFacility>(code);
  }
}

int SeverityCode(TIdSyslogSeverity severity) noexcept { return static_cast<int>(severity); }

TIdSyslogSeverity SeverityFromCode(int code) noexcept {
  return static_cast<TIdSyslogSeverity>(code);
}

// ---- TIdSysLogMsgPart

void TIdSysLogMsgPart::CopyFrom(const rtl::TObject& source) {
  auto* other = dynamic_cast<const TIdSysLogMsgPart*>(&source);
  if (!other) RaiseCannotCopy("TIdSysLogMsgPart");
  text_ = other->text_;
}

std::string TIdSysLogMsgPart::PidSuffix(int pid) const {
  return pid_available_ ? rtl::Format("[%d]:", pid) : std::string(":");
}

namespace {

// The position of the first colon when it is usable (present and not the
// first character), otherwise npos.
size_t UsableColon(const std::string& text) {
  size_t at = text.find(':');
  return at == 0 ? std::string::npos : at;
}

}  // namespace

std::string TIdSysLogMsgPart::Process() const {
  size_t colon = UsableColon(text_);
  if (colon == std::string::npos) return std::string();
  std::string before = text_.substr(0, colon);
  size_t bracket = before.find('[');
  return bracket == std::string::npos ? before : before.substr(0, bracket);
}

int32_t TIdSysLogMsgPart::PID() const {
  size_t colon = UsableColon(text_);
  if (colon == std::string::npos) return -1;
  std::string before = text_.substr(0, colon);
  size_t open = before.find('[');
  if (open == std::string::npos) return -1;
  size_t close = before.find(']', open + 1);
  std::string digits =
      before.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
  if (digits.empty()) return -1;
  return rtl::StrToInt(digits);
}

std::string TIdSysLogMsgPart::Content() const {
  size_t colon = UsableColon(text_);
  return colon == std::string::npos ? text_ : text_.substr(colon + 1);
}

void TIdSysLogMsgPart::SetContent(const std::string& content) {
  text_ = Process() + PidSuffix(PID()) + content;
}

void TIdSysLogMsgPart::SetPID(int32_t pid) { text_ = Process() + PidSuffix(pid) + Content(); }

void TIdSysLogMsgPart::SetPIDAvailable(bool value) {
  std::string process = Process();
  pid_available_ = value;
  std::string text = process + PidSuffix(PID()) + Content();
  if (!value && text == ":") text.clear();
  text_ = text;
}

void TIdSysLogMsgPart::SetProcess(const std::string& process) {
  std::string suffix = PidSuffix(PID());
  size_t max_length = 32 - suffix.size();
  text_ = KeepLeadingAlphanumerics(std::string_view(process).substr(0, max_length)) + suffix +
          Content();
}

// ---- TIdSysLogMessage

TIdSysLogMessage::TIdSysLogMessage(rtl::TComponent* owner, platform::Clock* clock)
    : TIdBaseComponent(owner), clock_(clock) {
  SetPri(13);
  if (TIdStack* stack = SharedStack()) {
    SetHostname(stack->FirstLocalAddress());
  } else {
    std::unique_ptr<TIdStack> temporary(SharedStackClass()());
    SetHostname(temporary->FirstLocalAddress());
  }
  msg_ = std::make_unique<TIdSysLogMsgPart>();
}

TIdSysLogMessage::~TIdSysLogMessage() = default;

platform::Clock& TIdSysLogMessage::Clock() const {
  return clock_ ? *clock_ : platform::DefaultClock();
}

void TIdSysLogMessage::CopyFrom(const rtl::TObject& source) {
  auto* other = dynamic_cast<const TIdSysLogMessage*>(&source);
  if (!other) {
    TIdBaseComponent::CopyFrom(source);
    return;
  }
  SetPri(other->pri_);
  SetHostname(other->hostname_);
  SetMsg(*other->msg_);
  event_time_ = other->event_time_;
}

void TIdSysLogMessage::SetPri(int value) {
  if (value == pri_) return;
  if (value < 0 || value >= 192) RaiseBadPriNumber(std::to_string(value));
  pri_ = static_cast<TIdSyslogPRI>(value);
  facility_ = FacilityFromCode(value / 8);
  severity_ = SeverityFromCode(value % 8);
}

void TIdSysLogMessage::SetFacility(TIdSyslogFacility value) {
  if (value == facility_) return;
  facility_ = value;
  RecomputePri();
}

void TIdSysLogMessage::SetSeverity(TIdSyslogSeverity value) {
  if (value == severity_) return;
  severity_ = value;
  RecomputePri();
}

void TIdSysLogMessage::RecomputePri() {
  SetPri(FacilityCode(facility_) * 8 + SeverityCode(severity_));
}

void TIdSysLogMessage::SetHostname(const std::string& value) {
  if (value.find(' ') != std::string::npos) {
    throw EInvalidSyslogMessage(rtl::Format(
        "Invalid host name. A SYSLOG host name cannot contain any space (\"%s\")+", value.c_str()));
  }
  hostname_ = value;
}

void TIdSysLogMessage::SetMsg(const TIdSysLogMsgPart& part) { msg_->SetText(part.Text()); }

void TIdSysLogMessage::MaskNonAscii(std::string& s) {
  for (char& c : s) {
    if (static_cast<unsigned char>(c) >= 128) c = '?';
  }
}

std::string TIdSysLogMessage::FormatWireText() {
  std::string wire;
  AppendWireText(wire);
  return wire;
}

void TIdSysLogMessage::AppendWireText(std::string& out) {
  const rtl::TDateTime now = Clock().Now();
  const int year_now = StampOf(now).year;
  if (year_now != StampOf(event_time_).year) event_time_ = now;
  const Stamp& stamp = StampOf(event_time_);
  const size_t start = out.size();
  out.reserve(start + std::min(kMaxWireLength, 32 + hostname_.size() + msg_->Text().size()));
  out += '<';
  char pri[12];
  out.append(pri, static_cast<size_t>(std::snprintf(pri, sizeof pri, "%d", pri_)));
  out += '>';
  out.append(stamp.text, kHeaderTimeLength);
  out += hostname_;
  out += ' ';
  // The MSG part only as far as the wire text's length allows.
  const size_t room = kMaxWireLength - std::min(kMaxWireLength, out.size() - start);
  out.append(msg_->Text(), 0, room);
  if (out.size() - start > kMaxWireLength) out.resize(start + kMaxWireLength);
}

rtl::TDateTime TIdSysLogMessage::DecodeEventTime(std::string s) {
  MaskNonAscii(s);
  auto fail = [&s]() {
    throw EInvalidSyslogMessage(
        rtl::Format("Invalid syslog message: incorrect timestamp \"%s\"", s.c_str()));
  };
  if (s.size() != kHeaderTimeLength) fail();
  if (s[3] != ' ' || s[6] != ' ' || s[9] != ':' || s[12] != ':' || s[15] != ' ') fail();
  std::string_view v(s);
  int month = MonthFromAbbreviation(v.substr(0, 3));
  int day = FieldValue(v.substr(4, 2));
  int hour = FieldValue(v.substr(7, 2));
  int minute = FieldValue(v.substr(10, 2));
  int second = FieldValue(v.substr(13, 2));
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59) {
    fail();
  }
  int year = YearOf(Clock().Now());
  return rtl::EncodeDate(year, month, day) + rtl::EncodeTime(hour, minute, second, 0);
}

void TIdSysLogMessage::ParsePriSection(int& position) {
  const int start = position;
  try {
    const std::string& text = raw_text_;
    auto at = [&text](int p) {
      return p >= 1 && p <= static_cast<int>(text.size()) ? text[p - 1] : '\0';
    };
    if (position > static_cast<int>(text.size()) || at(position) != '<') RaiseBadPriSection();
    ++position;
    std::string digits;
    for (;;) {
      bool in_text = position <= static_cast<int>(text.size());
      char c = at(position);
      if (in_text && c >= '0' && c <= '9') {
        if (digits.size() == 4) RaiseBadPriSection();
        digits += c;
        ++position;
      } else if (in_text && c == '>') {
        ++position;
        break;
      } else {
        RaiseBadPriNumber(digits);
      }
    }
    SetPri(digits.empty() ? -1 : rtl::StrToInt(digits));
  } catch (const rtl::Exception&) {
    SetPri(13);
    position = start;
  }
}

void TIdSysLogMessage::ParseHeaderSection(int& position) {
  const int start = position;
  try {
    const std::string& text = raw_text_;
    size_t from = static_cast<size_t>(position - 1);
    std::string stamp = from < text.size() ? text.substr(from, kHeaderTimeLength) : std::string();
    event_time_ = DecodeEventTime(stamp);
    from += kHeaderTimeLength;
    size_t space = text.find(' ', from);
    hostname_ = text.substr(from, space == std::string::npos ? std::string::npos : space - from);
    MaskNonAscii(hostname_);
    position = static_cast<int>(space == std::string::npos ? text.size() : space + 1) + 1;
  } catch (const rtl::Exception&) {
    event_time_ = Clock().Now();
    hostname_ = sender_address_;
    position = start;
  }
}

void TIdSysLogMessage::ParseMsgSection(int& position) {
  size_t from = static_cast<size_t>(position - 1);
  parsed_msg_text_ = from < raw_text_.size() ? raw_text_.substr(from) : std::string();
  msg_->SetText(parsed_msg_text_);
}

void TIdSysLogMessage::ParseRawText() {
  int position = 1;
  ParsePriSection(position);
  ParseHeaderSection(position);
  ParseMsgSection(position);
}

void TIdSysLogMessage::LoadRawText(const std::string& text) {
  raw_text_ = text;
  ParseRawText();
}

void TIdSysLogMessage::ReadDatagram(std::istream& stream, int size,
                                    const std::string& sender_address) {
  size_t count = size < 0 ? 0 : static_cast<size_t>(size);
  if (count > kMaxWireLength) count = kMaxWireLength;
  std::string text(count, '\0');
  if (count > 0) {
    stream.read(text.data(), static_cast<std::streamsize>(count));
    if (static_cast<size_t>(stream.gcount()) != count) throw rtl::EReadError("Stream read error");
  }
  sender_address_ = sender_address;
  LoadRawText(text);
}

}  // namespace syslog
