#include "watch/ethread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "watch/ReportSender.h"
#include "watch/WatchFakes_test.h"

namespace watch {
namespace {

using testing::ArpFrame;
using testing::FailAt;
using testing::FakeClock;
using testing::FakeEvents;
using testing::FakeFiles;
using testing::FakeParts;
using testing::FakeRegistry;
using testing::FakeTicks;

constexpr char kDir[] = "/data/";
constexpr char kTable[] = "/data/arptable";
constexpr char kTemp[] = "/data/arptable.tmp";
constexpr char kErr[] = "/data/tessalin.err";
constexpr int kWait = 10000;

using Pairs = std::vector<std::pair<std::string, std::string>>;

class EthThreadTest : public ::testing::Test {
 protected:
  // The watch's surroundings, all of them the fixture's fakes.
  WatchEnvironment Environment() {
    WatchEnvironment env;
    env.parts = &parts;
    env.files = &files;
    env.clock = &clock;
    env.registry = &registry;
    env.events = &events;
    env.data_directory = kDir;
    return env;
  }
  std::unique_ptr<TEthThread> NewThread(size_t capacity = 0) {
    WatchEnvironment env = Environment();
    env.ticks = ticks.Source();
    env.report_capacity = capacity;
    auto t = std::make_unique<TEthThread>(true, env);
    t->OnStartFailed = [this](const StartFailure& f) { failures.push_back(f); };
    t->OnStarted = [this](const std::string& adapter) { watching.push_back(adapter); };
    return t;
  }
  // A thread past its start-up: sender active, start-up report sent,
  // registry loaded from `files`, report sender running.
  std::unique_ptr<TEthThread> Started(size_t capacity = 0) {
    auto t = NewThread(capacity);
    EXPECT_TRUE(t->StartUp());
    parts.Clear();
    return t;
  }
  // The reports one call of f sends, once they have gone out.
  template <class F>
  std::vector<std::string> ReportsOf(TEthThread& t, F f) {
    parts.Clear();
    f();
    EXPECT_TRUE(t.DrainReports(kWait));
    return parts.Texts();
  }
  static Pairs IpOwners(TEthThread& t) {
    Pairs out;
    const AddressRegistry::Copy copy = t.Registry()->CopyTable();
    for (size_t i = 0; i < copy.Count(); ++i) out.emplace_back(copy.Ip(i), copy.Mac(i));
    return out;
  }

  FakeParts parts;
  FakeFiles files;
  FakeClock clock;
  FakeRegistry registry;
  FakeEvents events;
  FakeTicks ticks;
  std::vector<StartFailure> failures;
  std::vector<std::string> watching;  // what OnStarted was called with
};

// One sighting after another; each row lists the reports it sends, in
// order, and UpdateAddress's result.
TEST_F(EthThreadTest, ReportsForEachSighting) {
  auto t = Started();
  const uint8_t A[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  const uint8_t B[] = {0x00, 0x00, 0x0C, 0x07, 0xAC, 0x01};
  struct Step {
    const uint8_t* mac;
    uint32_t ip;
    std::vector<std::string> reports;
  } steps[] = {
      {A, 0x0A000001, {"10.0.0.1 found on 00A0C9-1234EF"}},
      {A, 0x0A000001, {}},
      {A, 0x0A000002, {"2 addresses on MAC 00A0C9-1234EF", "10.0.0.2 found on 00A0C9-1234EF"}},
      {B, 0x0A000001, {"10.0.0.1 moved from 00A0C9-1234EF to 00000C-07AC01"}},
      // A saw 10.0.0.1 before: no report, and B keeps it.
      {A, 0x0A000001, {}},
      // The count includes 10.0.0.1, which has moved to B.
      {A, 0x00000000, {"3 addresses on MAC 00A0C9-1234EF", "0.0.0.0 found on 00A0C9-1234EF"}},
      {B,
       0x0A000002,
       {"2 addresses on MAC 00000C-07AC01", "10.0.0.2 moved from 00A0C9-1234EF to 00000C-07AC01"}},
  };
  int n = 0;
  for (const Step& s : steps) {
    std::string result;
    EXPECT_EQ(ReportsOf(*t, [&] { result = t->UpdateAddress(s.mac, s.ip); }), s.reports)
        << "step " << n;
    EXPECT_EQ(result, s.reports.empty() ? "" : s.reports.back()) << "step " << n;
    ++n;
  }
  EXPECT_EQ(IpOwners(*t), (Pairs{{"0.0.0.0", "00A0C9-1234EF"},
                                 {"10.0.0.1", "00000C-07AC01"},
                                 {"10.0.0.2", "00000C-07AC01"}}));
  for (const testing::Sent& s : parts.Sents()) {
    EXPECT_EQ(s.facility, syslog::sfLocalUseFive);
    EXPECT_EQ(s.severity, syslog::slCritical);
  }
}

TEST_F(EthThreadTest, HandleCapturePicksArpFramesOnly) {
  auto t = Started();
  const uint8_t mac[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  const uint8_t ip[] = {0x10, 0x00, 0x00, 0x0A};
  auto handle = [&](const std::vector<uint8_t>& f, int length) {
    t->HandleCapture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(f.data()), length);
  };
  // Frames that are not ARP over Ethernet and IPv4 as the watch reads it:
  // none is reported, and nothing past a frame's end is read.
  struct Odd {
    const char* what;
    size_t at;  // the byte changed, and its new value
    uint8_t value;
    int length;
  };
  const Odd odd[] = {
      {"VLAN-tagged", 12, 0x81, 42},
      {"IPv4, not ARP", 13, 0x00, 42},
      {"hardware type 6 (IEEE 802)", 15, 0x06, 42},
      {"protocol type 0x86DD", 16, 0x86, 42},
      // The sender's address would then start at byte 30.
      {"hardware address length 8", 18, 8, 42},
      {"protocol address length 16", 19, 16, 42},
      {"ends before the sender's IPv4 address", 0, 0xFF, 31},
  };
  for (const Odd& o : odd) {
    SCOPED_TRACE(o.what);
    std::vector<uint8_t> f = ArpFrame(mac, ip);
    f[o.at] = o.value;
    f.resize(static_cast<size_t>(o.length));
    EXPECT_TRUE(ReportsOf(*t, [&] { handle(f, o.length); }).empty());
  }
  EXPECT_TRUE(ReportsOf(*t, [&] { t->HandleCapture(nullptr, nullptr, 0); }).empty());
  // Replies and other operations are taken alike.
  std::vector<uint8_t> full = ArpFrame(mac, ip);
  full[21] = 0x02;

  // Attributed to the Ethernet source, not the ARP sender hardware address;
  // the report goes to the configured host.
  registry.Set("SyslogHost", "192.0.2.9");
  EXPECT_EQ(ReportsOf(*t, [&] { handle(full, 42); }),
            std::vector<std::string>{"16.0.0.10 found on 020000-000001"});
  EXPECT_EQ(parts.Sents()[0].host, "192.0.2.9");
  t->SaveIfDue();
  EXPECT_EQ(files.Content(kTable), "16.0.0.10\r\n 020000-000001\r\n");
}

// A report that cannot be sent changes nothing in the registry: the pair is
// owned, saved, and the next reports of the same sighting are still tried.
TEST_F(EthThreadTest, FailedReportsLeaveTheRegistryComplete) {
  auto t = Started();
  const uint8_t A[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0A};
  const uint8_t B[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
  const uint8_t ip1[] = {10, 0, 0, 1}, ip2[] = {10, 0, 0, 2};
  parts.SetFail([](const std::string& at) {
    if (at.starts_with("send 10.0.0.1")) {
      throw rtl::Exception("Socket Error # 11001\r\nHost not found.");
    }
  });
  EXPECT_TRUE(ReportsOf(*t, [&] { parts.capture.load()->Frame(ArpFrame(A, ip1)); }).empty());
  EXPECT_EQ(files.Content(kErr), "some major error :Socket Error # 11001\r\nHost not found.\r\n");
  // The moved report fails too, the count report before it goes out.
  EXPECT_EQ(ReportsOf(*t,
                      [&] {
                        parts.capture.load()->Frame(ArpFrame(B, ip2));
                        parts.capture.load()->Frame(ArpFrame(B, ip1));
                      }),
            (std::vector<std::string>{"10.0.0.2 found on 020000-00000B",
                                      "2 addresses on MAC 020000-00000B"}));
  EXPECT_EQ(IpOwners(*t), (Pairs{{"10.0.0.1", "020000-00000B"}, {"10.0.0.2", "020000-00000B"}}));
  t->SaveIfDue();
  EXPECT_EQ(files.Content(kTable), "10.0.0.1\r\n 020000-00000B\r\n10.0.0.2\r\n 020000-00000B\r\n");
  // The event log: the first failure is told at once. A send that works
  // between failures is no recovery (a refused datagram shows only at the
  // next send); a recovery is told when a send works 10 s after the last
  // failure.
  parts.SetFail(nullptr);
  const uint8_t ip3[] = {10, 0, 0, 3}, ip4[] = {10, 0, 0, 4};
  ReportsOf(*t, [&] { parts.capture.load()->Frame(ArpFrame(A, ip3)); });
  auto failed = events.WithId(kEventReportsFailed);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].text,
            "a report could not be sent to 127.0.0.1: Socket Error # 11001\r\nHost not found.");
  EXPECT_TRUE(events.WithId(kEventReportsResumed).empty());
  ticks.Advance(10000);
  ReportsOf(*t, [&] { parts.capture.load()->Frame(ArpFrame(A, ip4)); });
  auto resumed = events.WithId(kEventReportsResumed);
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].type, kEventLogSuccessType);
  EXPECT_EQ(resumed[0].text, "reports are sent to 127.0.0.1 again");
  // The summary of the failures between came before it.
  ASSERT_EQ(events.WithId(kEventReportsFailed).size(), 2u);
  EXPECT_EQ(events.WithId(kEventReportsFailed)[1].text.rfind("1 reports could not be sent", 0), 0u);
}

// A flood of failures writes the first at once and then one summary a
// minute, not one entry per report.
TEST_F(EthThreadTest, FailedReportsDoNotFloodTheEventLog) {
  auto t = Started();
  parts.SetFail([](const std::string& at) {
    if (at.starts_with("send")) throw rtl::Exception("unreachable");
  });
  for (uint32_t n = 0; n < 10000; ++n) {
    const uint8_t mac[] = {0x02, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    t->UpdateAddress(mac, 0x0A000000 + n);
    if (n % 1000 == 999) {
      ASSERT_TRUE(t->DrainReports(kWait));
      ticks.Advance(20000);  // 10,000 reports over 200 s
    }
  }
  ASSERT_TRUE(t->DrainReports(kWait));
  const size_t entries = events.WithId(kEventReportsFailed).size();
  EXPECT_GE(entries, 2u);
  EXPECT_LE(entries, 5u);
  EXPECT_EQ(t->ReportsFailed(), 10000u);
  EXPECT_EQ(t->Registry()->AddressCount(), 10000);
}

// Where each start-up failure leaves the error file, the reports, the
// capture component, the event log and the exit code.
TEST_F(EthThreadTest, StartUpStages) {
  struct Case {
    const char* name;
    const char* fail_at;     // a step of FakeParts, or ""
    const char* open_error;  // the capture does not open, or ""
    const char* adapter;     // the Adapter value, or null
    const char* error_file;  // nullptr: none written
    std::vector<std::string> sent;
    bool table_loaded;
    uint32_t code;      // 0: started
    const char* cause;  // in the event-log entry
  } cases[] = {
      {"clean", "", "", nullptr, nullptr, {"starting up"}, true, 0, ""},
      {"adapter by name", "", "", "eth1", nullptr, {"starting up"}, true, 0, ""},
      {"sender", "CreateSysLog", "", nullptr, "\r\n", {}, false, 1, "failed at CreateSysLog"},
      {"active", "SetActive", "", nullptr, "\r\n", {}, false, 1, "failed at SetActive"},
      {"report",
       "send starting up",
       "",
       nullptr,
       "registerring\r\n",
       {},
       false,
       2,
       "failed at send starting up"},
      {"no driver",
       "CreateCapture",
       "",
       nullptr,
       "configuring snoop\r\n",
       {"starting up"},
       true,
       5,
       "failed at CreateCapture"},
      {"adapter index",
       "SetAdapterIndex",
       "",
       nullptr,
       "configuring snoop\r\n",
       {"starting up"},
       true,
       5,
       "failed at SetAdapterIndex"},
      {"open",
       "",
       "Cannot Open Adapter \"eth0\"",
       nullptr,
       "configuring snoop\r\n",
       {"starting up"},
       true,
       5,
       "Cannot Open Adapter \"eth0\""},
      {"unknown adapter",
       "",
       "",
       "eth9",
       "configuring snoop\r\n",
       {"starting up"},
       true,
       5,
       "no adapter is named \"eth9\"; the adapters are eth0, eth1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    parts.SetFail(*c.fail_at ? FailAt(c.fail_at) : nullptr);
    parts.Clear();
    parts.capture = nullptr;
    parts.open_error = c.open_error;
    events.Clear();
    failures.clear();
    watching.clear();
    registry.Erase("Adapter");
    if (c.adapter) registry.Set("Adapter", c.adapter);
    files.files = {{kTable, "10.0.0.1\r\n 02AA00-000001\r\n"}, {kErr, "earlier failure\r\n"}};
    auto t = NewThread();
    EXPECT_EQ(t->StartUp(), c.code == 0);
    EXPECT_EQ(parts.Texts(), c.sent);
    EXPECT_EQ(files.Content(kErr), c.error_file ? c.error_file : "earlier failure\r\n");
    EXPECT_EQ(t->Registry() && t->Registry()->AddressCount() == 1, c.table_loaded);
    EXPECT_EQ(t->StartFailed(), c.code != 0);
    if (c.code != 0) {
      ASSERT_EQ(failures.size(), 1u);
      EXPECT_EQ(failures[0].code, c.code);
      EXPECT_EQ(failures[0].cause, c.cause);
      auto entries = events.WithId(kEventStartFailed);
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].type, platform::kEventLogErrorType);
      EXPECT_EQ(entries[0].text, failures[0].Text());
      EXPECT_NE(entries[0].text.find(c.cause), std::string::npos);
      EXPECT_TRUE(watching.empty());
      continue;
    }
    EXPECT_TRUE(failures.empty());
    // Started is told once the capture runs, with the adapter it watches.
    EXPECT_EQ(watching, std::vector<std::string>{c.adapter ? c.adapter : "eth0"});
    EXPECT_TRUE(events.Entries().empty());
    EXPECT_EQ(parts.Sents()[0].host, kDefaultSyslogHost);
    EXPECT_TRUE(t->StartupSent());
    ASSERT_NE(parts.capture, nullptr);
    EXPECT_FALSE(parts.capture.load()->thread_safe);
    EXPECT_EQ(parts.capture.load()->adapter, c.adapter ? 1 : 0);
    EXPECT_TRUE(parts.capture.load()->Capturing());
    // The bound handler is this thread's HandleCapture.
    const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x02};
    const uint8_t ip[] = {10, 0, 0, 2};
    EXPECT_EQ(ReportsOf(*t, [&] { parts.capture.load()->Frame(ArpFrame(mac, ip)); }),
              std::vector<std::string>{"10.0.0.2 found on 02AA00-000002"});
  }
  EXPECT_EQ((StartFailure{"", "x", 1}).Text(),
            "The watch could not start (stage \"creating the sender\"): x");
}

// Lost and resumed, the second time under the interface's new name: the
// watch names it from then on.
TEST_F(EthThreadTest, CaptureLostAndResumedAreLogged) {
  auto t = Started();
  testing::FakeCapture& capture = *parts.capture.load();
  capture.on_lost("Read Error: PacketRecievePacket failed");
  capture.on_resumed("eth0");
  capture.on_lost("Read Error: PacketRecievePacket failed");
  capture.on_resumed("lan0");
  capture.on_lost("Read Error: PacketRecievePacket failed");
  const std::string lost =
      ": Read Error: PacketRecievePacket failed; the adapter is opened again until it works";
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {kEventCaptureLost, "capture lost on \"eth0\"" + lost},
      {kEventCaptureResumed, "capture resumed on \"eth0\""},
      {kEventCaptureLost, "capture lost on \"eth0\"" + lost},
      {kEventCaptureResumed, "capture resumed on \"lan0\" (renamed from \"eth0\")"},
      {kEventCaptureLost, "capture lost on \"lan0\"" + lost},
  };
  std::vector<std::pair<uint32_t, std::string>> got;
  for (const auto& e : events.Entries()) {
    got.emplace_back(e.id, e.text);
    EXPECT_EQ(e.type,
              e.id == kEventCaptureResumed ? kEventLogSuccessType : platform::kEventLogErrorType);
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(t->AdapterName(), "lan0");
  EXPECT_EQ(t->StatusText().substr(0, 14), "watching lan0,");
}

// Frames the capture driver dropped: the first drops at once, then at most
// one summary a minute with the count, a recovery after 10 s without drops
// (with the summary still owed); the status line shows the total.
TEST_F(EthThreadTest, DroppedFramesAreToldOnceThenSummarised) {
  auto t = Started();
  events.Clear();
  const std::string cause = "the watch does not keep up with the traffic on \"eth0\"";
  struct Step {
    int64_t advance_ms;
    uint64_t dropped;                  // the driver's total
    std::vector<std::string> entries;  // new ones, in order; recoveries start with "+"
  };
  const Step steps[] = {
      {0, 0, {}},
      {1000, 1500, {"The capture driver dropped 1500 frames: " + cause}},
      {1000, 4000, {}},
      {59000, 4500, {"3000 frames dropped: last error " + cause}},
      {9000, 4500, {}},
      {1000,
       4500,
       {"+The capture keeps up again on \"eth0\": 4500 frames dropped since the start"}},
      {1000, 4600, {"The capture driver dropped 100 frames: " + cause}},
      {1000, 4700, {}},
      {10000,
       4700,
       {"100 frames dropped: last error " + cause,
        "+The capture keeps up again on \"eth0\": 4700 frames dropped since the start"}},
  };
  size_t seen = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.dropped);
    ticks.Advance(s.advance_ms);
    parts.capture.load()->dropped = s.dropped;
    t->CheckDrops();
    const auto entries = events.Entries();
    std::vector<std::string> fresh;
    for (size_t i = seen; i < entries.size(); ++i) {
      const bool recovery = entries[i].type == kEventLogSuccessType;
      EXPECT_EQ(entries[i].id, recovery ? kEventFramesKeptUp : kEventFramesDropped);
      fresh.push_back((recovery ? "+" : "") + entries[i].text);
    }
    seen = entries.size();
    EXPECT_EQ(fresh, s.entries);
  }
  EXPECT_EQ(t->StatusText(),
            "watching eth0, 0 addresses known, 0 reports queued, 0 reports sent, 0 reports failed, "
            "4700 frames "
            "dropped");
  parts.capture.load()->dropped = 0;
  EXPECT_EQ(t->StatusText(),
            "watching eth0, 0 addresses known, 0 reports queued, 0 reports sent, 0 reports failed");
}

TEST_F(EthThreadTest, NotifyChoosesTheHost) {
  registry.Set("SyslogHost", "10.9.9.9");
  auto t = NewThread();
  ASSERT_TRUE(t->StartUp());  // the start-up report ignores the registry
  auto report = [&] {
    t->Notify("x");
    return parts.Sents().back().host;
  };
  EXPECT_EQ(parts.Sents().at(0).host, "127.0.0.1");
  EXPECT_EQ(report(), "10.9.9.9");
  registry.Set("SyslogHost", "logs.example");
  EXPECT_EQ(report(), "logs.example");
  registry.Set("SyslogHost", "");  // handed on unchanged
  EXPECT_EQ(report(), "");
  registry.Erase("SyslogHost");  // key deleted, or a value that is not a string
  EXPECT_EQ(report(), "127.0.0.1");
}

TEST_F(EthThreadTest, TableFileRoundTrip) {
  auto t = Started();
  const uint8_t A[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  const uint8_t B[] = {0x00, 0x00, 0x0C, 0x07, 0xAC, 0x01};
  t->UpdateAddress(A, 0x0A000002);
  t->UpdateAddress(A, 0x0A00000A);
  t->UpdateAddress(B, 0x0A000002);  // moved to B
  // Their reports gone out, so that none of them is taken for the loaded
  // watch's below.
  EXPECT_TRUE(t->DrainReports(kWait));
  EXPECT_TRUE(t->SaveTable());
  EXPECT_EQ(files.Content(kTable), "10.0.0.10\r\n 00A0C9-1234EF\r\n10.0.0.2\r\n 00000C-07AC01\r\n");
  EXPECT_FALSE(files.Has(kTemp));

  auto loaded = Started();
  EXPECT_EQ(IpOwners(*loaded), IpOwners(*t));
  // Only owned addresses come back.
  EXPECT_EQ(loaded->Registry()->AddressesOf("00A0C9-1234EF"),
            std::vector<std::string>{"10.0.0.10"});
  EXPECT_TRUE(parts.Texts().empty());
}

TEST_F(EthThreadTest, LoadTableTakesLinesAsTheyAre) {
  files.files[kTable] =
      "10.0.0.1\r\n  00a0c9-1234ef \t\r\n"  // lower case, padded
      "10.0.0.2  \r\n 00000C-07AC01\r\n"    // padded IPv4 text keeps its spaces
      "10.0.0.1\r\n 00000C-07AC01\r\n"      // second owner of 10.0.0.1
      "10.0.0.3\r\n";                       // odd line: empty MAC text
  auto t = Started();
  EXPECT_EQ(
      IpOwners(*t),
      (Pairs{{"10.0.0.1", "00a0c9-1234ef"}, {"10.0.0.2  ", "00000C-07AC01"}, {"10.0.0.3", ""}}));
  EXPECT_EQ(t->Registry()->AddressesOf("00000C-07AC01"),
            (std::vector<std::string>{"10.0.0.1", "10.0.0.2  "}));

  // The upper-case MAC text from a frame finds the lower-case record, and
  // reports show the text as loaded.
  const uint8_t A[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  EXPECT_EQ(t->UpdateAddress(A, 0x0A000001), "");
  EXPECT_EQ(ReportsOf(*t, [&] { t->UpdateAddress(A, 0x0A000002); }),
            (std::vector<std::string>{"2 addresses on MAC 00a0c9-1234ef",
                                      "10.0.0.2 found on 00a0c9-1234ef"}));
}

// Enough MAC addresses for the registry's tables to grow
// several times, the first ones loaded from the table in lower case: each
// later sighting must find the record it had, and a pair stays quiet only
// with the MAC address it was seen with.
TEST_F(EthThreadTest, ManyMacAddressesKeepTheirRecords) {
  constexpr uint32_t kMacs = 3000, kLoaded = 100;
  struct Mac {
    uint8_t bytes[6];
  };
  auto mac = [](uint32_t n) {
    return Mac{{0x02, 0x5A, 0x00, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                static_cast<uint8_t>(n)}};
  };
  auto ip = [](uint32_t n) { return 0x0A000000u + n; };
  auto stored = [&](uint32_t n) {
    std::string text = MacText(mac(n).bytes);
    if (n < kLoaded) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
  };
  std::string table;
  for (uint32_t n = 0; n < kLoaded; ++n) table += IpText(ip(n)) + "\r\n " + stored(n) + "\r\n";
  files.files[kTable] = table;
  auto t = Started();

  for (uint32_t n = kLoaded; n < kMacs; ++n) {
    ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip(n)), IpText(ip(n)) + " found on " + stored(n));
  }
  ASSERT_EQ(t->Registry()->MacCount(), size_t{kMacs});
  for (uint32_t n = 0; n < kMacs; ++n) ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip(n)), "") << n;

  // Each MAC address takes its neighbour's address.
  for (uint32_t n = 0; n < kMacs; ++n) {
    const uint32_t next = (n + 1) % kMacs;
    ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip(next)),
              IpText(ip(next)) + " moved from " + stored(next) + " to " + stored(n))
        << n;
  }
  ASSERT_TRUE(t->DrainReports(kWait));
  parts.Clear();
  for (uint32_t n = 0; n < kMacs; ++n) {
    ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip(n)), "") << n;
    ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip((n + 1) % kMacs)), "") << n;
  }
  ASSERT_TRUE(t->DrainReports(kWait));
  EXPECT_TRUE(parts.Texts().empty());
  EXPECT_EQ(t->Registry()->MacCount(), size_t{kMacs});
}

TEST_F(EthThreadTest, LoadTableKeepsPairsReadBeforeAnError) {
  files.files[kTable] = "10.0.0.1\r\n 02AA00-000001\r\n10.0.0.2\r\n 02AA00-000002\r\n";
  int reads = 0;
  files.fail = [&](const std::string& op, const std::string&) {
    return op == "read" && ++reads == 3;
  };
  auto t = Started();
  EXPECT_EQ(IpOwners(*t).size(), 1u);
  files.files.clear();
  files.fail = nullptr;
  auto empty = Started();
  EXPECT_EQ(empty->Registry()->AddressCount(), 0);
}

// A table that cannot be read to its end: the pairs before the bad line
// are loaded, one entry names the line, the file as it was is kept beside
// the table, and the first save check writes what was loaded.
TEST_F(EthThreadTest, LoadTableStoppingEarlyIsToldAndKeepsTheFile) {
  const std::string kDamaged = std::string(kDir) + "arptable.damaged";
  const std::string two = "10.0.0.1\r\n 02AA00-000001\r\n10.0.0.2\r\n 02AA00-000002\r\n";
  struct Case {
    const char* name;
    std::string table;
    const char* fail_op;  // fails the first time after fail_after others
    int fail_after;
    bool keep_fails;    // the file cannot be moved beside the table
    const char* entry;  // "": none
    const char* saved;  // the table after the first save check
  } cases[] = {
      {"whole", two, nullptr, 0, false, "", two.c_str()},
      {"read error at line 3", two, "read", 2, false,
       "The table /data/arptable could not be read past line 2 (line 3: read failed); "
       "1 addresses were loaded, the file as it was is kept as /data/arptable.damaged",
       "10.0.0.1\r\n 02AA00-000001\r\n"},
      {"MAC line too long", two + "10.0.0.3\r\n " + std::string(platform::kMaxTextLine, 'A'),
       nullptr, 0, false,
       "The table /data/arptable could not be read past line 5 (line 6: the line is too long); "
       "2 addresses were loaded, the file as it was is kept as /data/arptable.damaged",
       two.c_str()},
      {"cannot be opened", two, "open", 0, false,
       "The table /data/arptable could not be read past line 0 (line 1: open failed); "
       "0 addresses were loaded, the file as it was is kept as /data/arptable.damaged",
       nullptr},
      // Lines no frame or table could give: told with their numbers, kept
      // aside, not loaded; the rest loads.
      {"NUL byte and invalid UTF-8",
       two + std::string("10.0.0.3\r\n 02AA00-00\0003\r\n", 24) +
           "10.0.0.4\xff\r\n 02AA00-000004\r\n10.0.0.5\r\n 02AA00-000005\r\n"
           "10.0.0.6 \xc3\xa9\r\n 02AA00-000006\r\n\xed\xa0\x80\r\n\xc0\xaf\r\n",
       nullptr, 0, false,
       "The table /data/arptable has 4 lines that no address pair could give (a NUL byte or "
       "invalid UTF-8): lines 6, 7, 13 and 14; their pairs were not loaded, the file as it was "
       "is kept as /data/arptable.damaged",
       "10.0.0.1\r\n 02AA00-000001\r\n10.0.0.2\r\n 02AA00-000002\r\n10.0.0.5\r\n "
       "02AA00-000005\r\n10.0.0.6 \xc3\xa9\r\n 02AA00-000006\r\n"},
      {"cannot be kept", two, "read", 0, true,
       "The table /data/arptable could not be read past line 0 (line 1: read failed); "
       "0 addresses were loaded, and the file could not be kept as /data/arptable.damaged",
       two.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    files.files = {{kTable, c.table}};
    events.Clear();
    int calls = 0;
    files.fail = [&](const std::string& op, const std::string& path) {
      if (c.keep_fails && op == "replace" && path == kDamaged) return true;
      return c.fail_op && op == c.fail_op && calls++ == c.fail_after;
    };
    auto t = Started();
    files.fail = nullptr;
    const auto entries = events.WithId(kEventTableDamaged);
    if (*c.entry == '\0') {
      EXPECT_TRUE(entries.empty());
      EXPECT_FALSE(files.Has(kDamaged));
    } else {
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].type, platform::kEventLogErrorType);
      EXPECT_EQ(entries[0].text, c.entry);
      EXPECT_EQ(files.Content(kDamaged), c.keep_fails ? "" : c.table);
    }
    t->SaveIfDue();
    EXPECT_EQ(files.Has(kTable), c.saved != nullptr);
    EXPECT_EQ(files.Content(kTable), c.saved ? c.saved : "");
  }
}

// A change reaches the disk within about five seconds with no later report,
// and two saves are never closer than five seconds, whatever the wall clock
// does.
TEST_F(EthThreadTest, SavesFollowChangesAtMostEveryFiveSeconds) {
  files.files[kTable] = "10.0.0.1\r\n 02AA00-000001\r\n";
  auto t = Started();
  int saves = 0;
  files.fail = [&](const std::string& op, const std::string&) {
    if (op == "replace") ++saves;
    return false;
  };
  const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x01};
  uint32_t next_ip = 0x0A000002;
  struct Step {
    double advance_seconds;
    bool change;
    int saves;
  } steps[] = {
      {1, false, 0},      // the loaded table is what the file holds
      {0, true, 1},       // the first change saves at once
      {2, true, 1},       // 2 s later: held back
      {3, false, 1},      // exactly 5 s
      {0.001, false, 2},  // 5.001 s: the held change goes out without a new one
      {10, false, 2},     // nothing changed since
      {0, true, 3},
  };
  for (const Step& s : steps) {
    ticks.Advance(static_cast<int64_t>(s.advance_seconds * 1000));
    clock.now -= 1.0;  // the wall clock set back a day each time: no effect
    if (s.change) t->UpdateAddress(mac, next_ip++);
    t->SaveIfDue();
    EXPECT_EQ(saves, s.saves) << "after " << s.advance_seconds;
  }
}

// A save that fails at any step leaves the previous table loadable, says so
// in the event log once, and says so again when saving works.
TEST_F(EthThreadTest, InterruptedSaveKeepsTheTable) {
  const std::string previous = "10.0.0.1\r\n 02AA00-000001\r\n";
  struct Case {
    const char* op;
    const char* cause;
  } cases[] = {{"create", "open(/data/arptable.tmp) failed"},
               {"write", "write failed"},
               {"close", "close failed"},
               {"replace", "the new table could not take the place of /data/arptable"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    files.files = {{kTable, previous}, {kTemp, "stale"}};
    files.fail = nullptr;
    events.Clear();
    auto t = Started();
    const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x09};
    t->UpdateAddress(mac, 0x0A000009);
    files.fail = [&](const std::string& op, const std::string&) { return op == c.op; };
    EXPECT_FALSE(t->SaveTable());
    EXPECT_FALSE(t->SaveTable());
    files.fail = nullptr;
    EXPECT_EQ(files.Content(kTable), previous);
    EXPECT_FALSE(files.Has(kTemp));
    EXPECT_EQ(IpOwners(*Started()).size(), 1u);
    auto failed = events.WithId(kEventSaveFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].text, std::string("The table could not be saved: ") + c.cause);
    EXPECT_TRUE(t->SaveTable());
    EXPECT_EQ(events.WithId(kEventSaveFailed).size(), 2u);  // the summary of the second
    EXPECT_EQ(events.WithId(kEventSaveResumed).size(), 1u);
  }
}

// A data folder that cannot take the table is told at start, not first at
// the stop; the watch starts all the same, and the first save that works
// says so.
TEST_F(EthThreadTest, DataFolderThatCannotTakeTheTableIsToldAtStart) {
  files.fail = [](const std::string& op, const std::string&) { return op == "create"; };
  auto t = NewThread();
  EXPECT_TRUE(t->StartUp());
  auto failed = events.WithId(kEventSaveFailed);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].type, platform::kEventLogErrorType);
  EXPECT_EQ(failed[0].text,
            "The data folder /data/ cannot take the table (missing or not writable), so changes "
            "will not be saved: open(/data/arptable.tmp) failed");

  files.fail = nullptr;
  const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x09};
  t->UpdateAddress(mac, 0x0A000009);
  EXPECT_TRUE(t->SaveTable());
  EXPECT_EQ(events.WithId(kEventSaveResumed).size(), 1u);
  EXPECT_FALSE(files.Has(kTemp));
}

// The whole life of the watch thread: what it saw before the stop is sent
// and saved by the time Shutdown returns.
TEST_F(EthThreadTest, ShutdownSendsAndSavesWhatWasSeen) {
  auto t = NewThread();
  t->Resume();
  for (int i = 0; i < 500 && !(parts.capture && parts.capture.load()->Capturing()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(parts.capture && parts.capture.load()->Capturing());
  const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x07};
  for (uint8_t n = 1; n <= 20; ++n) {
    const uint8_t ip[] = {10, 1, 0, n};
    parts.capture.load()->Frame(ArpFrame(mac, ip));
  }
  ASSERT_TRUE(t->Shutdown(kWait));
  EXPECT_TRUE(parts.capture.load()->stopped);
  EXPECT_EQ(parts.Texts().size(), 1u + 20u + 19u);  // start-up, found, counts
  EXPECT_EQ(parts.Texts().back(), "10.1.0.20 found on 02AA00-000007");
  AddressRegistry loaded;
  std::string table = files.Content(kTable);
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 40);
  t->WaitFor();
}

// The heartbeat and the status line leave through the environment, so that
// the service manager hears the reader only while it reads, and sees the
// counts the watch keeps.
TEST_F(EthThreadTest, HeartbeatAndStatusLineGoThroughTheEnvironment) {
  WatchEnvironment env = Environment();
  std::atomic<int> beats{0};
  std::mutex mu;
  std::vector<std::string> lines;  // guarded by mu
  env.heartbeat = [&beats] { ++beats; };
  env.status = [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(mu);
    lines.push_back(text);
  };
  auto t = std::make_unique<TEthThread>(true, env);
  t->Resume();
  for (int i = 0; i < 500 && !(parts.capture && parts.capture.load()->Capturing()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(parts.capture && parts.capture.load()->Capturing());
  EXPECT_EQ(beats, 0);  // nothing read yet
  const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x08};
  for (uint8_t n = 1; n <= 3; ++n) {
    const uint8_t ip[] = {10, 2, 0, n};
    parts.capture.load()->Frame(ArpFrame(mac, ip));
  }
  EXPECT_EQ(beats, 3);
  const std::string wanted = "watching eth0, 3 addresses known";
  auto seen = [&] {
    std::lock_guard<std::mutex> lock(mu);
    for (const std::string& line : lines) {
      if (line.rfind(wanted, 0) == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 500 && !seen(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(seen()) << wanted;
  ASSERT_TRUE(t->Shutdown(kWait));
  t->WaitFor();
}

TEST_F(EthThreadTest, MaxAddressesFromTheRegistry) {
  struct Case {
    const char* value;  // null: absent
    uint64_t bound;
    bool told;  // a warning says the value is not usable
  } cases[] = {
      {nullptr, kDefaultMaxAddresses, false},
      {"3", 3, false},
      {" 250000 ", 250000, false},
      {"0", kDefaultMaxAddresses, true},
      {"-5", kDefaultMaxAddresses, true},
      {"1e6", kDefaultMaxAddresses, true},
      {"", kDefaultMaxAddresses, true},
      {"99999999999999999999", kDefaultMaxAddresses, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? c.value : "absent");
    registry.Erase(kMaxAddressesValue);
    if (c.value) registry.Set(kMaxAddressesValue, c.value);
    events.Clear();
    auto t = Started();
    EXPECT_EQ(t->Registry()->MaxPairs(), c.bound);
    auto told = events.WithId(kEventConfigUnusable);
    ASSERT_EQ(told.size(), c.told ? 1u : 0u);
    if (c.told) {
      EXPECT_EQ(told[0].text, std::string("MaxAddresses \"") + c.value +
                                  "\" is not a number of address pairs from 1 up; the registry "
                                  "keeps at most 1000000 pairs");
    }
  }
}

// Past MaxAddresses: the first pair not kept is told at once, the rest in
// a summary a minute and at the stop; their reports go out all the same.
TEST_F(EthThreadTest, RegistryBoundIsToldThenSummarised) {
  registry.Set(kMaxAddressesValue, "2");
  auto t = Started();
  auto see = [&](uint32_t n) {
    const uint8_t mac[] = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(n)};
    return t->UpdateAddress(mac, 0x0A000000 + n);
  };
  see(1);
  see(2);
  t->CheckRegistry();
  EXPECT_TRUE(events.WithId(kEventRegistryFull).empty());
  EXPECT_EQ(see(3), "10.0.0.3 found on 020000-000003");
  see(4);
  see(5);
  t->CheckRegistry();
  ticks.Advance(30000);
  t->CheckRegistry();
  auto full = events.WithId(kEventRegistryFull);
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0].type, platform::kEventLogWarningType);
  EXPECT_EQ(full[0].text,
            "The address registry holds its bound of 2 address pairs (MaxAddresses): new pairs "
            "are reported but no longer kept");
  ticks.Advance(30000);
  t->CheckRegistry();
  see(6);
  t->CheckRegistry(true);
  full = events.WithId(kEventRegistryFull);
  ASSERT_EQ(full.size(), 3u);
  EXPECT_EQ(full[1].text,
            "2 more new address pairs were reported but not kept (the registry holds its bound of "
            "2 pairs)");
  EXPECT_EQ(full[2].text.rfind("1 more new", 0), 0u);
  EXPECT_EQ(t->Registry()->AddressCount(), 2);
  ASSERT_TRUE(t->DrainReports(kWait));
  EXPECT_EQ(parts.Texts().size(), 6u);
}

// More than 1,000 new MAC addresses a second is told once as a flood,
// however long it lasts, and its end once it has been quiet for a while.
TEST_F(EthThreadTest, FloodOfNewMacAddressesIsToldOnce) {
  registry.Set("SyslogRate", "0");  // the fake sender takes them as fast as they come
  auto t = Started();
  uint32_t n = 0;
  auto new_macs = [&](int count) {
    for (int i = 0; i < count; ++i, ++n) {
      const uint8_t mac[] = {0x02,
                             0x0F,
                             0,
                             static_cast<uint8_t>(n >> 16),
                             static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n)};
      t->UpdateAddress(mac, 0x0A000000 + n);
    }
  };
  // 900 a second, for a while: no flood.
  for (int tick = 0; tick < 12; ++tick) {
    new_macs(225);
    ticks.Advance(250);
    t->CheckRegistry();
  }
  EXPECT_TRUE(events.WithId(kEventMacFlood).empty());
  // 4,000 a second for a minute.
  for (int tick = 0; tick < 240; ++tick) {
    new_macs(1000);
    ticks.Advance(250);
    t->CheckRegistry();
  }
  auto flood = events.WithId(kEventMacFlood);
  ASSERT_EQ(flood.size(), 1u);
  EXPECT_EQ(flood[0].text.rfind("A flood of new MAC addresses: ", 0), 0u) << flood[0].text;
  // Quiet: the end is told after 10 s, once.
  for (int tick = 0; tick < 80; ++tick) {
    ticks.Advance(250);
    t->CheckRegistry();
  }
  auto ended = events.WithId(kEventMacFloodEnded);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].type, kEventLogSuccessType);
  EXPECT_EQ(ended[0].text.rfind("The flood of new MAC addresses is over: ", 0), 0u);
  EXPECT_EQ(events.WithId(kEventMacFlood).size(), 1u);
  // Some 250,000 reports: under the thread sanitizer on a busy machine the
  // sender needs more than kWait for them.
  ASSERT_TRUE(t->DrainReports(12 * kWait));
}

}  // namespace
}  // namespace watch
