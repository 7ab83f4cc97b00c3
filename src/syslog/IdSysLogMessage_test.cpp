#include "syslog/IdSysLogMessage.h"

#include <gtest/gtest.h>

#include <sstream>

#include "syslog/IdStack.h"

namespace syslog {
namespace {

class FakeClock : public platform::Clock {
 public:
  rtl::TDateTime now = 0;
  rtl::TDateTime Now() override { return now; }
  void Sleep(uint32_t) override {}
};

rtl::TDateTime At(int year, int month, int day, int hour, int minute, int second, int ms = 0) {
  return rtl::EncodeDateTime({year, month, day, hour, minute, second, ms});
}

// A stack that answers the local address query without any socket library.
class FakeStack : public TIdStack {
 public:
  void RefreshLocalAddresses() override {
    LocalAddresses()->Clear();
    LocalAddresses()->Add("192.168.1.20");
  }
  int WSCloseSocket(ws2::TSocket) override { return 0; }
  std::string LookupHostAddress(const std::string&) override { return "10.9.9.9"; }
  std::string LocalHostName() override { return "fake"; }
  uint16_t WSHToNs(uint16_t v) override { return v; }
  int WSSendTo(ws2::TSocket, const void*, int count, int, const std::string&, int) override {
    return count;
  }
  int WSConnect(ws2::TSocket, const std::string&, int) override { return 0; }
  int WSSetSockOpt(ws2::TSocket, int, int, const void*, int) override { return 0; }
  ws2::TSocket WSSocket(int, int, int) override { return 3; }
  int WSShutdown(ws2::TSocket, int) override { return 0; }
  std::string SocketErrorText(int code) override { return std::to_string(code); }
  int WSGetLastError() override { return 0; }
};

TIdStack* MakeFakeStack() { return new FakeStack(); }

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SharedStack(), nullptr);
    SetSharedStackClass(&MakeFakeStack);
    clock.now = At(2026, 12, 8, 20, 57, 6);
  }
  void TearDown() override { SetSharedStackClass(nullptr); }

  std::unique_ptr<TIdSysLogMessage> NewMessage() {
    return std::make_unique<TIdSysLogMessage>(nullptr, &clock);
  }

  FakeClock clock;
};

TEST_F(MessageTest, NewMessageTakesLocalAddressAndWritesEmptyTextAfterSpace) {
  auto m = NewMessage();
  EXPECT_EQ(m->Pri(), 13);
  EXPECT_EQ(m->Facility(), sfUserLevel);
  EXPECT_EQ(m->Severity(), slNotice);
  EXPECT_EQ(m->Hostname(), "192.168.1.20");
  EXPECT_EQ(m->Msg()->Text(), "");
  EXPECT_EQ(m->EventTime(), 0.0);
  // A time never set (1899) is replaced by the current time at formatting.
  EXPECT_EQ(m->FormatWireText(), "<13>Dec  8 20:57:06 192.168.1.20 ");
  EXPECT_EQ(m->EventTime(), clock.now);
}

TEST_F(MessageTest, WireTexts) {
  const std::string report = "10.0.0.5 found on 001122-334455";
  struct Case {
    rtl::TDateTime event_time;
    rtl::TDateTime now;
    const char* expected;
  } cases[] = {
      {At(2026, 12, 8, 20, 57, 6), At(2026, 12, 8, 20, 57, 6),
       "<170>Dec  8 20:57:06 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 1, 15, 9, 5, 3), At(2026, 12, 8, 0, 0, 0),
       "<170>Jan 15 09:05:03 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 12, 1, 0, 0, 0), At(2026, 12, 8, 0, 0, 0),
       "<170>Dec  1 00:00:00 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 2, 9, 23, 59, 59, 999), At(2026, 12, 8, 0, 0, 0),
       "<170>Feb  9 23:59:59 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 5, 10, 7, 8, 9), At(2026, 12, 8, 0, 0, 0),
       "<170>May 10 07:08:09 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 10, 31, 12, 0, 0), At(2026, 12, 8, 0, 0, 0),
       "<170>Oct 31 12:00:00 192.168.1.20 10.0.0.5 found on 001122-334455"},
      // Built on 31 December, formatted on 1 January: stamped anew.
      {At(2025, 12, 31, 23, 59, 59), At(2026, 1, 1, 0, 0, 1),
       "<170>Jan  1 00:00:01 192.168.1.20 10.0.0.5 found on 001122-334455"},
      // The stamp is kept for a second: the next second, and the one
      // before, each have their own.
      {At(2026, 12, 8, 20, 57, 6, 999), At(2026, 12, 8, 20, 57, 7),
       "<170>Dec  8 20:57:06 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 12, 8, 20, 57, 7), At(2026, 12, 8, 20, 57, 7),
       "<170>Dec  8 20:57:07 192.168.1.20 10.0.0.5 found on 001122-334455"},
      {At(2026, 12, 8, 20, 57, 6, 500), At(2026, 12, 8, 20, 57, 7),
       "<170>Dec  8 20:57:06 192.168.1.20 10.0.0.5 found on 001122-334455"},
  };
  for (const Case& c : cases) {
    clock.now = c.now;
    auto m = NewMessage();
    m->Msg()->SetText(report);
    m->SetFacility(sfLocalUseFive);
    m->SetSeverity(slCritical);
    m->SetEventTime(c.event_time);
    EXPECT_EQ(m->FormatWireText(), c.expected);
    // Appended, the same text after what the buffer held.
    std::string frames = "12 earlier text";
    m->AppendWireText(frames);
    EXPECT_EQ(frames, std::string("12 earlier text") + c.expected);
  }
}

TEST_F(MessageTest, WireTextIsCutAt1024AndOtherwiseBytesAsGiven) {
  auto m = NewMessage();
  m->SetEventTime(clock.now);
  const std::string head = "<13>Dec  8 20:57:06 192.168.1.20 ";
  std::string text(1100 - head.size(), 'x');
  text[10] = '\0';
  text[11] = '\n';
  text[12] = '\xE9';
  m->Msg()->SetText(text);
  std::string wire = m->FormatWireText();
  ASSERT_EQ(wire.size(), 1024u);
  EXPECT_EQ(wire, (head + text).substr(0, 1024));

  // Appended to a buffer, the cut counts from the wire text's start.
  std::string frames(2000, 'p');
  m->AppendWireText(frames);
  EXPECT_EQ(frames, std::string(2000, 'p') + wire);

  m->Msg()->SetText(std::string(1024 - head.size(), 'y'));
  EXPECT_EQ(m->FormatWireText().size(), 1024u);
}

TEST_F(MessageTest, PriorityFollowsFacilityAndSeverity) {
  struct Case {
    TIdSyslogFacility facility;
    TIdSyslogSeverity severity;
    int pri;
  } cases[] = {
      {sfUUCP, slDebug, 71},           {sfClockDaemonOne, slEmergency, 72},
      {sfLocalUseSeven, slDebug, 191}, {sfLocalUseFive, slCritical, 170},
      {sfKernel, slEmergency, 0},
  };
  for (const Case& c : cases) {
    auto m = NewMessage();
    m->SetFacility(c.facility);
    m->SetSeverity(c.severity);
    EXPECT_EQ(m->Pri(), c.pri) << c.facility << "/" << c.severity;
    auto back = NewMessage();
    back->SetPri(c.pri);
    EXPECT_EQ(back->Facility(), c.facility);
    EXPECT_EQ(back->Severity(), c.severity);
  }

  // Facility first on a new message passes through 21*8+5 = 173.
  auto m = NewMessage();
  m->SetFacility(sfLocalUseFive);
  EXPECT_EQ(m->Pri(), 173);
  m->SetSeverity(slCritical);
  EXPECT_EQ(m->Pri(), 170);

  // Only UUCP and the first clock daemon trade wire numbers.
  for (int f = 0; f < 24; ++f) {
    auto facility = static_cast<TIdSyslogFacility>(f);
    int expected = f == sfUUCP ? 8 : f == sfClockDaemonOne ? 9 : f;
    EXPECT_EQ(FacilityCode(facility), expected);
    EXPECT_EQ(FacilityFromCode(FacilityCode(facility)), facility);
  }
}

TEST_F(MessageTest, InvalidPriorityAndHostNameChangeNothing) {
  auto m = NewMessage();
  m->SetPri(170);
  try {
    m->SetPri(192);
    FAIL() << "192 accepted";
  } catch (const EInvalidSyslogMessage& e) {
    EXPECT_STREQ(e.Message().c_str(), "Invalid syslog message: incorrect PRI number \"192\"");
  }
  EXPECT_EQ(m->Pri(), 170);
  EXPECT_EQ(m->Facility(), sfLocalUseFive);
  EXPECT_THROW(m->SetPri(-1), EInvalidSyslogMessage);

  try {
    m->SetHostname("my host");
    FAIL() << "space accepted";
  } catch (const EInvalidSyslogMessage& e) {
    EXPECT_EQ(e.Message(),
              "Invalid host name. A SYSLOG host name cannot contain any space (\"my host\")+");
    EXPECT_STREQ(e.ClassName(), "EInvalidSyslogMessage");
  }
  EXPECT_EQ(m->Hostname(), "192.168.1.20");
  m->SetHostname("");
  EXPECT_EQ(m->Hostname(), "");
}

TEST(MsgPartTest, Views) {
  struct Case {
    const char* text;
    const char* process;
    int pid;
    const char* content;
  } cases[] = {
      {"app[42]: hello", "app", 42, " hello"},
      {":x", "", -1, ":x"},
      {"no colon here", "", -1, "no colon here"},
      {"app: x", "app", -1, " x"},
      {"app[]: x", "app", -1, " x"},
      {"app[7: x", "app", 7, " x"},
      {"a[1]b:c:d", "a", 1, "c:d"},
  };
  for (const Case& c : cases) {
    TIdSysLogMsgPart part;
    part.SetText(c.text);
    EXPECT_EQ(part.Process(), c.process) << c.text;
    EXPECT_EQ(part.PID(), c.pid) << c.text;
    EXPECT_EQ(part.Content(), c.content) << c.text;
  }
  TIdSysLogMsgPart bad;
  bad.SetText("app[x1]: y");
  EXPECT_THROW(bad.PID(), rtl::EConvertError);
}

TEST(MsgPartTest, Setters) {
  TIdSysLogMsgPart part;
  part.SetContent("hi");
  EXPECT_EQ(part.Text(), ":hi");

  part.SetText("");
  part.SetPIDAvailable(false);
  EXPECT_EQ(part.Text(), "");

  struct Case {
    const char* process;
    const char* kept;
  } cases[] = {{"my-daemon", "my"}, {"daemon_x", "daemon"}, {"-x", ""}};
  for (const Case& c : cases) {
    part.SetText("");
    part.SetProcess(c.process);
    EXPECT_EQ(part.Text(), std::string(c.kept) + ":") << c.process;
  }

  // The process name leaves room for the suffix within 32 characters.
  part.SetText("");
  part.SetProcess(std::string(40, 'a'));
  EXPECT_EQ(part.Text(), std::string(31, 'a') + ":");

  part.SetText("app: x");
  part.SetPIDAvailable(true);
  EXPECT_EQ(part.Text(), "app[-1]: x");
  part.SetPID(1234);
  EXPECT_EQ(part.Text(), "app[1234]: x");
  part.SetProcess(std::string(40, 'b'));
  EXPECT_EQ(part.Text(), std::string(25, 'b') + "[1234]: x");
  part.SetContent("y");
  EXPECT_EQ(part.Text(), std::string(25, 'b') + "[1234]:y");
  part.SetPIDAvailable(false);
  EXPECT_EQ(part.Text(), std::string(25, 'b') + ":y");
}

TEST_F(MessageTest, ParsesHeaderAndFallsBackSectionBySection) {
  clock.now = At(2026, 3, 1, 8, 0, 0);
  struct Case {
    std::string text;
    int pri;
    const char* hostname;  // "" for the sender's address
    rtl::TDateTime event_time;
    const char* msg;
  } cases[] = {
      {"<34>Oct 11 22:14:15 hostA a message", 34, "hostA", At(2026, 10, 11, 22, 14, 15),
       "a message"},
      {"hello", 13, "", clock.now, "hello"},
      {"<34>oct  1 02:04:05 hostA x", 34, "hostA", At(2026, 10, 1, 2, 4, 5), "x"},
      {"<34>Oct 11 22:14:15 hostA", 34, "hostA", At(2026, 10, 11, 22, 14, 15), ""},
      {"<34>Oct 11 22:14:15 h\xE9st x", 34, "h?st", At(2026, 10, 11, 22, 14, 15), "x"},
      // Bad PRI sections: the whole text is read as header and MSG.
      {"<192>Oct 11 22:14:15 hostA m", 13, "", clock.now, "<192>Oct 11 22:14:15 hostA m"},
      {"<>m", 13, "", clock.now, "<>m"},
      {"<12345>m", 13, "", clock.now, "<12345>m"},
      {"<3a>m", 13, "", clock.now, "<3a>m"},
      {"<34", 13, "", clock.now, "<34"},
      // Bad headers: time now, sender as host, the rest is the MSG.
      {"<34>Feb 30 10:00:00 hostA m", 34, "", clock.now, "Feb 30 10:00:00 hostA m"},
      {"<34>Oct 11 24:00:00 hostA m", 34, "", clock.now, "Oct 11 24:00:00 hostA m"},
      {"<34>Oct 11 22-14-15 hostA m", 34, "", clock.now, "Oct 11 22-14-15 hostA m"},
      {"<34>Oct 11", 34, "", clock.now, "Oct 11"},
  };
  for (const Case& c : cases) {
    auto m = NewMessage();
    std::istringstream stream(c.text);
    m->ReadDatagram(stream, static_cast<int>(c.text.size()), "10.1.2.3");
    EXPECT_EQ(m->Pri(), c.pri) << c.text;
    EXPECT_EQ(m->Hostname(), *c.hostname ? c.hostname : "10.1.2.3") << c.text;
    EXPECT_EQ(m->EventTime(), c.event_time) << c.text;
    EXPECT_EQ(m->Msg()->Text(), c.msg) << c.text;
    EXPECT_EQ(m->RawText(), c.text);
  }
  auto m = NewMessage();
  std::istringstream stream("<34>Oct 11 22:14:15 hostA x");
  m->ReadDatagram(stream, 27, "s");
  EXPECT_EQ(m->Facility(), sfSecurityOne);
  EXPECT_EQ(m->Severity(), slCritical);
}

TEST_F(MessageTest, ReadDatagramReadsAtMost1024BytesAndFailsOnShortStream) {
  auto m = NewMessage();
  std::istringstream big(std::string(2000, 'z'));
  m->ReadDatagram(big, 2000, "s");
  EXPECT_EQ(m->RawText().size(), 1024u);

  std::istringstream short_stream("abc");
  EXPECT_THROW(m->ReadDatagram(short_stream, 4, "s"), rtl::EReadError);
}

TEST_F(MessageTest, DecodeEventTimeNamesTheBadTimestamp) {
  auto m = NewMessage();
  try {
    m->DecodeEventTime("Foo 11 22:14:15 ");
    FAIL();
  } catch (const EInvalidSyslogMessage& e) {
    EXPECT_EQ(e.Message(), "Invalid syslog message: incorrect timestamp \"Foo 11 22:14:15 \"");
  }
  EXPECT_THROW(m->DecodeEventTime("Oct 11 22:14:15"), EInvalidSyslogMessage);
}

}  // namespace
}  // namespace syslog
