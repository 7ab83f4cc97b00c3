#include "watch/ReportSender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "watch/WatchFakes_test.h"

namespace watch {
namespace {

using testing::FakeEvents;
using testing::FakeParts;
using testing::FakeRegistry;
using testing::FakeTicks;
using Clock = std::chrono::steady_clock;

constexpr int kWait = 10000;

// The frames of an octet-counted stream ("LEN SP MSG" each), or an empty
// list with a marker when the stream is not well formed.
std::vector<std::string> Frames(const std::string& stream) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < stream.size()) {
    const size_t space = stream.find(' ', pos);
    if (space == std::string::npos) return {"<cut>"};
    const size_t length = std::stoul(stream.substr(pos, space - pos));
    if (space + 1 + length > stream.size()) return {"<cut>"};
    out.push_back(stream.substr(space + 1, length));
    pos = space + 1 + length;
  }
  return out;
}

TEST(ReportConfigTest, ValuesAndTheirDefaults) {
  struct Case {
    std::map<std::string, std::string> values;
    Transport transport;
    int port;
    double rate;
    bool problem;
  } cases[] = {
      {{}, Transport::kUdp, 514, kDefaultSyslogRate, false},
      {{{"SyslogTransport", "TCP"}}, Transport::kTcp, 514, kDefaultSyslogRate, false},
      {{{"SyslogTransport", " tls "}}, Transport::kTls, 6514, kDefaultSyslogRate, false},
      {{{"SyslogTransport", "tls"}, {"SyslogPort", "10514"}},
       Transport::kTls,
       10514,
       kDefaultSyslogRate,
       false},
      {{{"SyslogTransport", "carrier pigeon"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
      {{{"SyslogPort", "0"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
      {{{"SyslogPort", "65536"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
      {{{"SyslogPort", "-1"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
      {{{"SyslogPort", "5 14"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
      {{{"SyslogRate", "0"}}, Transport::kUdp, 514, 0, false},
      {{{"SyslogRate", "250.5"}}, Transport::kUdp, 514, 250.5, false},
      {{{"SyslogRate", "fast"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
      {{{"SyslogRate", "1e9"}}, Transport::kUdp, 514, kDefaultSyslogRate, true},
  };
  // Every value set, one of them unusable: read first into the
  // configuration that each case then reads into again.
  FakeRegistry full;
  full.values = {{"SyslogHost", "logs.example"}, {"SyslogTransport", "tls"},
                 {"SyslogPort", "7000"},         {"SyslogRate", "fast"},
                 {"SyslogCAFile", "/ca.pem"},    {"SyslogCertFile", "/cert.pem"},
                 {"SyslogKeyFile", "/key.pem"}};
  for (const Case& c : cases) {
    FakeRegistry registry;
    registry.values = c.values;
    const ReportConfig config = ReadReportConfig(registry);
    SCOPED_TRACE(config.problem);
    EXPECT_EQ(config.transport, c.transport);
    EXPECT_EQ(config.port, c.port);
    EXPECT_EQ(config.rate, c.rate);
    EXPECT_EQ(!config.problem.empty(), c.problem);
    EXPECT_EQ(config.host, "127.0.0.1");
    // Read into a used configuration: nothing of the old one stays.
    ReportConfig reused;
    ReadReportConfig(full, reused);
    ReadReportConfig(registry, reused);
    EXPECT_TRUE(reused.SameDestination(config));
    EXPECT_FALSE(reused.host_configured);
    EXPECT_EQ(reused.rate, config.rate);
    EXPECT_EQ(reused.problem, config.problem);
  }
}

TEST(TokenBucketTest, FillsAtTheRateUpToASmallBurst) {
  TokenBucket bucket;
  const auto t0 = Clock::now();
  // Starts full: a burst of 16 at 2000 a second.
  EXPECT_DOUBLE_EQ(bucket.Available(2000, t0), 16);
  bucket.Take(16);
  EXPECT_DOUBLE_EQ(bucket.Available(2000, t0), 0);
  // 1 ms later: two more; waiting for eight takes 3 ms more.
  EXPECT_NEAR(bucket.Available(2000, t0 + std::chrono::milliseconds(1)), 2, 1e-9);
  using Ms = std::chrono::duration<double, std::milli>;
  const Ms wait = bucket.Until(8, 2000, t0 + std::chrono::milliseconds(1));
  EXPECT_NEAR(wait.count(), 3, 1e-6);
  // Never more than the burst, however long it stood.
  EXPECT_DOUBLE_EQ(bucket.Available(2000, t0 + std::chrono::seconds(10)), 16);
  // A slow rate holds one report at a time.
  TokenBucket slow;
  EXPECT_DOUBLE_EQ(slow.Available(10, t0), 1);
}

// Paced reports leave evenly: in no tenth of a second more than the burst
// and that tenth's share (sleeping late only spreads them more).
TEST(ReportSenderTest, UdpReportsArePaced) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  registry.Set("SyslogRate", "200");
  std::mutex mu;
  std::vector<Clock::time_point> times;
  parts.SetFail([&](const std::string& at) {
    if (!at.starts_with("send")) return;
    std::lock_guard<std::mutex> lock(mu);
    times.push_back(Clock::now());
  });
  auto sender = parts.CreateSysLog();
  TReportSender reports(*sender, registry, events, [](const std::string&) {});
  reports.Resume();
  constexpr int kReports = 60;
  for (int i = 0; i < kReports; ++i) reports.Queue("r" + std::to_string(i));
  ASSERT_TRUE(reports.Drain(kWait));
  reports.Stop();
  ASSERT_EQ(times.size(), static_cast<size_t>(kReports));
  const double burst = TokenBucket::Burst(200);
  for (size_t i = 0; i < times.size(); ++i) {
    size_t in_window = 0;
    for (size_t k = i; k < times.size() && times[k] - times[i] < std::chrono::milliseconds(100);
         ++k) {
      ++in_window;
    }
    EXPECT_LE(static_cast<double>(in_window), burst + 200 * 0.1 + 1) << "from report " << i;
  }
  EXPECT_EQ(reports.Sent(), static_cast<uint64_t>(kReports));
}

// Waits (real time) until pred holds, advancing the sender's clock by
// step_ms every 10 ms; true when it held within kWait.
template <typename Pred>
bool AdvanceUntil(FakeTicks& ticks, int64_t step_ms, Pred pred) {
  for (auto end = Clock::now() + std::chrono::milliseconds(kWait); Clock::now() < end;) {
    if (pred()) return true;
    ticks.Advance(step_ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

// A report sender over TCP to logs.example, on a clock the test moves.
class StreamSenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry.Set("SyslogHost", "logs.example");
    registry.Set("SyslogTransport", "tcp");
  }
  // The sender, running; the test stops it.
  TReportSender& Start() {
    sender = parts.CreateSysLog();
    reports = std::make_unique<TReportSender>(
        *sender, registry, events, [](const std::string&) {}, TReportSender::kDefaultCapacity,
        ticks.Source());
    reports->Resume();
    return *reports;
  }
  // Queues "report 0" to "report count-1"; returns them.
  std::vector<std::string> QueueReports(int count) {
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
      texts.push_back("report " + std::to_string(i));
      reports->Queue(texts.back());
    }
    return texts;
  }

  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  FakeTicks ticks;
  std::unique_ptr<SysLogSender> sender;
  std::unique_ptr<TReportSender> reports;
};

// TCP: every report arrives in order, framed; it counts as sent only once
// its connection has stayed up for two seconds after the write, or at the
// stop's orderly close. A server that closed a connection that had stayed
// up (a restart) gets a new one at once; lengths of one to six digits
// frame their texts; TLS asks for its own port and the name to verify.
TEST_F(StreamSenderTest, StreamReportsArriveInOrderAndCountWhenSettled) {
  TReportSender& reports = Start();
  const std::vector<std::string> expected = QueueReports(200);
  ASSERT_TRUE(reports.Drain(kWait));
  EXPECT_EQ(Frames(parts.Stream()), expected);
  EXPECT_EQ(reports.Sent(), 0u) << "written, not yet settled";
  ticks.Advance(1999);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(reports.Sent(), 0u);
  EXPECT_TRUE(AdvanceUntil(ticks, 1, [&] { return reports.Sent() == 200; }));

  // A restart of the server: a new connection before the next write, at once.
  const size_t connects = parts.connects.size();
  {
    std::lock_guard<std::mutex> lock(parts.mu);
    parts.peer_closed = true;
  }
  reports.Queue("after restart");
  ASSERT_TRUE(reports.Drain(kWait));
  EXPECT_EQ(parts.connects.size(), connects + 1);
  EXPECT_EQ(Frames(parts.Stream()).back(), "after restart");
  // The first text is larger than a chunk of the queue, which was emptied
  // just before.
  const std::vector<std::string> sizes = {std::string(123456, 'c'), "", "x", std::string(9999, 'a'),
                                          std::string(10000, 'b'),  "z"};
  for (const std::string& text : sizes) reports.Queue(text);
  ASSERT_TRUE(reports.Drain(kWait));
  const std::vector<std::string> frames = Frames(parts.Stream());
  ASSERT_GE(frames.size(), sizes.size());
  EXPECT_EQ(std::vector<std::string>(frames.end() - sizes.size(), frames.end()), sizes);
  registry.Set("SyslogTransport", "tls");
  registry.Set("SyslogCAFile", "/etc/harbrook/ca.pem");
  reports.Queue("over tls");
  ASSERT_TRUE(reports.Drain(kWait));
  ASSERT_FALSE(parts.connects.empty());
  const platform::StreamTarget& tls = parts.connects.back();
  EXPECT_TRUE(tls.tls);
  EXPECT_EQ(tls.port, 6514);
  EXPECT_EQ(tls.server_name, "logs.example");
  EXPECT_EQ(tls.ca_file, "/etc/harbrook/ca.pem");
  reports.Stop();
  EXPECT_EQ(reports.Sent(), 200u + 1 + sizes.size() + 1);
  EXPECT_EQ(reports.WrittenAgain(), 0u);
  EXPECT_TRUE(events.WithId(kEventServerUnreachable).empty());
}

// The whole frames of each connection's bytes, one after another (a frame
// cut by the end of its connection is left out).
std::vector<std::string> WholeFrames(const std::vector<std::string>& connections) {
  std::vector<std::string> out;
  for (const std::string& bytes : connections) {
    size_t pos = 0;
    for (;;) {
      const size_t space = bytes.find(' ', pos);
      if (space == std::string::npos) break;
      const size_t length = std::stoul(bytes.substr(pos, space - pos));
      if (space + 1 + length > bytes.size()) break;
      out.push_back(bytes.substr(space + 1, length));
      pos = space + 1 + length;
    }
  }
  return out;
}

// A server that cannot be reached at first, then closes each connection
// once it has read 400 bytes of it (about 30 reports). No report counts as
// sent before its connection held it for two seconds; a connection that
// broke sooner after it was made is a failed attempt (told, backoff) and
// the next one carries only a few reports until they settle; what a broken
// connection left goes again first, in order, counted as written again. In
// the end every report has arrived (some twice) and counts as sent once.
TEST_F(StreamSenderTest, ServerThatClosesEarlyGetsEveryReportAndNothingUnsettledCounts) {
  std::atomic<int> refusals{1};
  parts.SetFail([&](const std::string& at) {
    if (at.starts_with("connect") && refusals > 0) {
      --refusals;
      throw platform::EConnectionError("connect to 192.0.2.1:514: Connection refused");
    }
  });
  {
    std::lock_guard<std::mutex> lock(parts.mu);
    parts.close_after = 400;
  }
  TReportSender& reports = Start();
  const std::vector<std::string> expected = QueueReports(100);
  // A tenth of a second of the sender's time every 10 ms.
  ASSERT_TRUE(AdvanceUntil(ticks, 100,
                           [&] {
                             std::lock_guard<std::mutex> lock(parts.mu);
                             std::vector<std::string> got = WholeFrames(parts.received);
                             std::sort(got.begin(), got.end());
                             got.erase(std::unique(got.begin(), got.end()), got.end());
                             return got.size() == expected.size() &&
                                    reports.Sent() == expected.size();
                           }))
      << reports.Sent() << " sent";
  EXPECT_EQ(reports.Failed(), 0u);
  EXPECT_GT(reports.WrittenAgain(), 0u);
  std::vector<std::string> frames;
  {
    std::lock_guard<std::mutex> lock(parts.mu);
    frames = WholeFrames(parts.received);
  }
  // In order, apart from what went again: each frame is the next report
  // or one that came before.
  size_t next = 0;
  for (const std::string& f : frames) {
    const size_t n = std::stoul(f.substr(7));
    ASSERT_LE(n, next) << f;
    if (n == next) ++next;
  }
  EXPECT_EQ(next, expected.size());
  auto down = events.WithId(kEventServerUnreachable);
  ASSERT_GE(down.size(), 2u);
  EXPECT_EQ(down[0].text,
            "reports cannot reach the server (tcp to logs.example:514): connect to "
            "192.0.2.1:514: Connection refused; they wait in the queue and the connection is "
            "tried again");
  EXPECT_EQ(down[1].text,
            "reports cannot reach the server (tcp to logs.example:514): the server closes the "
            "connection within 2 s (the server closed the connection); they wait in the queue "
            "and the connection is tried again");
  // Each outage told once, each followed by its recovery.
  const size_t up = events.WithId(kEventServerReachable).size();
  EXPECT_TRUE(up == down.size() || up + 1 == down.size()) << up << " of " << down.size();
  reports.Stop();
  EXPECT_EQ(reports.Sent(), expected.size());
}

// A server that reads nothing: while the write waits, a full queue is told
// at its first drop, and after 10 s without progress that the server reads
// nothing (once); when the write goes through, that it reads again.
TEST(ReportSenderTest, ServerThatReadsNothingIsToldAndDropsAreToldAtOnce) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  registry.Set("SyslogHost", "logs.example");
  registry.Set("SyslogTransport", "tcp");
  std::atomic<bool> writing{false};
  parts.SetFail([&](const std::string& at) {
    if (at == "write") writing = true;
  });
  auto sender = parts.CreateSysLog();
  TReportSender reports(
      *sender, registry, events, [](const std::string&) {}, 10);
  parts.hold_seconds = 0;
  reports.Resume();
  reports.Queue("first");
  // The sender holds "first" in a write that waits; the queue fills.
  for (auto end = Clock::now() + std::chrono::milliseconds(kWait); !writing && Clock::now() < end;)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto told = [&](uint32_t id) {
    for (auto end = Clock::now() + std::chrono::milliseconds(kWait); Clock::now() < end;) {
      if (!events.WithId(id).empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  for (int i = 0; i < 15; ++i) reports.Queue("waiting " + std::to_string(i));
  ASSERT_TRUE(told(kEventReportsDropped));
  EXPECT_EQ(events.WithId(kEventReportsDropped)[0].text.rfind("5 reports were dropped", 0), 0u)
      << events.WithId(kEventReportsDropped)[0].text;
  EXPECT_TRUE(events.WithId(kEventServerStalled).empty());
  parts.hold_seconds = 9;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(events.WithId(kEventServerStalled).empty());
  parts.hold_seconds = 10;
  ASSERT_TRUE(told(kEventServerStalled));
  parts.hold_seconds = 11;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto stalled = events.WithId(kEventServerStalled);
  ASSERT_EQ(stalled.size(), 1u);
  EXPECT_EQ(stalled[0].text,
            "the server has read nothing for 10 s; 11 reports wait (tcp to logs.example:514)");
  parts.hold_seconds = -1;
  ASSERT_TRUE(reports.Drain(kWait));
  auto again = events.WithId(kEventServerReadsAgain);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].text, "the server reads again (tcp to logs.example:514)");
  EXPECT_EQ(again[0].type, kEventLogSuccessType);
  reports.Stop();
  EXPECT_EQ(reports.Sent(), 11u);
}

// A stop gives up reports that wait for a server that never answers, and
// does not wait out the backoff.
// Capture first: while the capture reader is behind, no report leaves, by
// any transport; they wait in the queue and then all go, in order, once it
// has caught up.
TEST(ReportSenderTest, ReportsWaitWhileTheCaptureIsBehind) {
  struct Case {
    const char* transport;
    const char* rate;
  } cases[] = {{"udp", "0"}, {"udp", "2000"}, {"tcp", "0"}, {"tls", "0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.transport) + " at rate " + c.rate);
    FakeParts parts;
    FakeRegistry registry;
    FakeEvents events;
    registry.Set("SyslogTransport", c.transport);
    registry.Set("SyslogRate", c.rate);
    std::atomic<bool> behind{true};
    std::atomic<int> while_behind{0};
    parts.SetFail([&](const std::string& at) {
      if ((at.starts_with("send") || at == "write") && behind) ++while_behind;
    });
    auto sender = parts.CreateSysLog();
    TReportSender reports(*sender, registry, events, [](const std::string&) {});
    reports.SetCaptureBehind([&] { return behind.load(); }, std::chrono::minutes(1));
    reports.Resume();
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
      expected.push_back("report " + std::to_string(i));
      reports.Queue(expected.back());
    }
    EXPECT_FALSE(reports.Drain(200));
    EXPECT_EQ(reports.Pending(), 100u);
    behind = false;
    ASSERT_TRUE(reports.Drain(kWait));
    reports.Stop();
    EXPECT_EQ(while_behind, 0);
    EXPECT_EQ(reports.Sent(), 100u);
    EXPECT_EQ(std::string(c.transport) == "udp" ? parts.Texts() : Frames(parts.Stream()), expected);
  }
}

// A capture that never catches up still lets reports trickle out, a group
// after each longest hold; and a stop that gives the rest up does not wait
// for the capture.
TEST(ReportSenderTest, CaptureThatStaysBehindHoldsReportsOnlySoLong) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  registry.Set("SyslogRate", "0");
  auto sender = parts.CreateSysLog();
  TReportSender trickle(*sender, registry, events, [](const std::string&) {});
  trickle.SetCaptureBehind([] { return true; }, std::chrono::milliseconds(20));
  trickle.Resume();
  for (int i = 0; i < 10; ++i) trickle.Queue("r" + std::to_string(i));
  ASSERT_TRUE(trickle.Drain(kWait));
  EXPECT_EQ(trickle.Stop(), 0u);
  EXPECT_EQ(trickle.Sent(), 10u);

  TReportSender held(*sender, registry, events, [](const std::string&) {});
  held.SetCaptureBehind([] { return true; }, std::chrono::hours(1));
  held.Resume();
  for (int i = 0; i < 10; ++i) held.Queue("r" + std::to_string(i));
  EXPECT_FALSE(held.Drain(100));
  EXPECT_EQ(held.Stop(true), 10u);
  EXPECT_EQ(held.Sent(), 0u);
}

TEST(ReportSenderTest, StopDoesNotWaitForAnUnreachableServer) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  registry.Set("SyslogTransport", "tcp");
  parts.SetFail([&](const std::string& at) {
    if (at.starts_with("connect")) throw platform::EConnectionError("connect: timed out");
  });
  auto sender = parts.CreateSysLog();
  TReportSender reports(*sender, registry, events, [](const std::string&) {});
  reports.Resume();
  for (int i = 0; i < 10; ++i) reports.Queue("r");
  EXPECT_FALSE(reports.Drain(300));
  EXPECT_FALSE(reports.Reaching());
  EXPECT_EQ(reports.Pending(), 10u);
  EXPECT_EQ(reports.Stop(true), 10u);
  EXPECT_EQ(reports.Failed(), 0u);
}

// A replay waits for room in a full queue instead of dropping reports.
TEST(ReportSenderTest, WaitForRoomDropsNothing) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  registry.Set("SyslogRate", "0");
  parts.SetFail([&](const std::string& at) {
    if (at.starts_with("send")) std::this_thread::sleep_for(std::chrono::microseconds(200));
  });
  auto sender = parts.CreateSysLog();
  TReportSender reports(
      *sender, registry, events, [](const std::string&) {}, 4);
  reports.SetWaitForRoom(true);
  reports.Resume();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(reports.Queue("r" + std::to_string(i)));
  ASSERT_TRUE(reports.Drain(kWait));
  EXPECT_EQ(parts.Texts().size(), 100u);
  EXPECT_EQ(reports.Dropped(), 0u);
  reports.Stop();
}

// A configuration file that names no server, or stops naming it, is told
// once, and its return too; so is a value that cannot be used. A system
// never configured has nothing to tell.
TEST(ReportSenderTest, ConfigurationThatNamesNoServerIsTold) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  auto sender = parts.CreateSysLog();
  TReportSender reports(*sender, registry, events, [](const std::string&) {});
  reports.Resume();
  auto send = [&](int n) {
    for (int i = 0; i < n; ++i) reports.Queue("r");
    ASSERT_TRUE(reports.Drain(kWait));
  };
  registry.source = platform::RegistrySource::kMissing;
  send(3);  // never configured: nothing to tell
  EXPECT_TRUE(events.WithId(kEventConfigUnusable).empty());
  registry.source = platform::RegistrySource::kUsable;
  send(3);  // a file that yields no host (malformed, the key misnamed)
  registry.Set("SyslogHost", "127.0.0.2");
  send(3);
  registry.Erase("SyslogHost");  // the file cut, or the key renamed
  send(3);
  registry.Set("SyslogHost", "127.0.0.2");
  send(3);
  registry.Set("SyslogPort", "none");
  send(3);
  auto entries = events.WithId(kEventConfigUnusable);
  std::vector<std::string> texts;
  for (const auto& e : entries) texts.push_back(e.text);
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "the configuration names no SyslogHost: reports go to 127.0.0.1",
                       "the configuration can be read again",
                       "the configuration no longer names a SyslogHost: reports go to 127.0.0.1",
                       "the configuration can be read again",
                       "SyslogPort \"none\" is not a port number: reports go to port 514"}));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].type, platform::kEventLogWarningType);
  EXPECT_EQ(entries[1].type, kEventLogSuccessType);
  reports.Stop();
}

// The report queue with a sender that holds the first report: order kept,
// reports beyond the capacity counted and told, everything drained. The
// large queue spans several chunks, emptied ones reused and given back.
TEST(ReportSenderTest, QueueOrderOverflowAndDrain) {
  struct Case {
    size_t capacity;
    int offered;  // after r0, which the sender holds
    size_t pad;   // characters after the number
  } cases[] = {{3, 5, 0}, {5000, 6000, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    FakeParts parts;
    FakeRegistry registry;
    FakeEvents events;
    registry.Set("SyslogRate", "0");
    std::mutex mu;
    std::condition_variable cv;
    bool release = false, holding = false;
    parts.SetFail([&](const std::string& at) {
      if (at != "send r0") return;
      std::unique_lock<std::mutex> lock(mu);
      holding = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
    });
    auto sender = parts.CreateSysLog();
    std::vector<std::string> errors;
    TReportSender reports(
        *sender, registry, events, [&](const std::string& e) { errors.push_back(e); }, c.capacity);
    reports.Resume();
    ASSERT_TRUE(reports.Queue("r0"));
    {
      std::unique_lock<std::mutex> lock(mu);
      cv.wait(lock, [&] { return holding; });
    }
    // r0 is in the sender's hands; `capacity` fit the queue, the rest are
    // counted.
    std::vector<std::string> expected = {"r0"};
    for (int i = 1; i <= c.offered; ++i) {
      const std::string text = "r" + std::to_string(i) + std::string(c.pad, '.');
      const bool fits = static_cast<size_t>(i) <= c.capacity;
      ASSERT_EQ(reports.Queue(text), fits) << text;
      if (fits) expected.push_back(text);
    }
    EXPECT_FALSE(reports.Drain(50));
    {
      std::lock_guard<std::mutex> lock(mu);
      release = true;
    }
    cv.notify_all();
    EXPECT_TRUE(reports.Drain(kWait));
    EXPECT_EQ(parts.Texts(), expected);
    EXPECT_EQ(reports.Sent(), c.capacity + 1);
    const uint64_t dropped_count = static_cast<uint64_t>(c.offered) - c.capacity;
    EXPECT_EQ(reports.Dropped(), dropped_count);
    // Told once (then, once the queue has room again, that it has).
    auto dropped = events.WithId(kEventReportsDropped);
    ASSERT_FALSE(dropped.empty());
    for (size_t i = 1; i < dropped.size(); ++i)
      EXPECT_EQ(dropped[i].text.rfind("reports are queued again", 0), 0u) << dropped[i].text;
    EXPECT_EQ(
        dropped[0].text.rfind(
            std::to_string(dropped_count) + " reports were dropped: the report queue was full", 0),
        0u);
    EXPECT_TRUE(errors.empty());
    // As many again, into the chunks kept from the first time.
    for (size_t i = 0; i < c.capacity; ++i) {
      expected.push_back("again " + std::to_string(i) + std::string(c.pad, '.'));
      reports.Queue(expected.back());
    }
    EXPECT_TRUE(reports.Drain(kWait));
    EXPECT_EQ(parts.Texts(), expected);
    // Queued again after the drain; a stop that gives up what is left says
    // how much that was.
    parts.SetFail(
        [&](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
    for (int i = 0; i < 3; ++i) reports.Queue("late");
    const size_t left = reports.Stop(true);
    EXPECT_EQ(left + parts.Texts().size(), expected.size() + 3u);
  }
}

// A stop that gives the reports up does not wait for the batch already in
// the sender's hands when each host look-up hangs (a name server that
// never answers), and counts those reports as left unsent.
TEST(ReportSenderTest, StopGivesUpReportsInHand) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  std::mutex mu;
  std::condition_variable cv;
  bool release = false, holding = false, resolving = false;
  int resolves = 0;
  parts.SetFail([&](const std::string& at) {
    if (at == "send gate") {
      std::unique_lock<std::mutex> lock(mu);
      holding = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
    } else if (at.starts_with("resolve") && ++resolves == 2) {
      // The first look-up for the late reports: slow, and the stop comes
      // meanwhile.
      {
        std::lock_guard<std::mutex> lock(mu);
        resolving = true;
      }
      cv.notify_all();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  auto sender = parts.CreateSysLog();
  TReportSender reports(*sender, registry, events, [](const std::string&) {});
  reports.Resume();
  reports.Queue("gate");
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return holding; });
  }
  constexpr size_t kLate = 100;
  for (size_t i = 0; i < kLate; ++i) reports.Queue("late");
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  // The late reports are one batch in the sender's hands by then.
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return resolving; });
  }
  const size_t left = reports.Stop(true);
  EXPECT_GT(left, 0u);
  EXPECT_EQ(left + reports.Sent(), 1 + kLate);
}

// A host name whose look-up failed is not asked again within a second of
// the failure, also when the look-up itself hung for longer than that;
// every report meanwhile still fails. The error file is written once: its
// text does not change.
TEST(ReportSenderTest, FailedLookupIsNotRepeatedForEveryReport) {
  for (const int64_t lookup_ms : {0, 10000}) {
    SCOPED_TRACE(lookup_ms);
    FakeParts parts;
    FakeRegistry registry;
    FakeEvents events;
    FakeTicks ticks;
    registry.Set("SyslogHost", "nowhere.invalid");
    int lookups = 0;
    parts.SetFail([&](const std::string& at) {
      if (!at.starts_with("send")) return;
      ++lookups;
      ticks.Advance(lookup_ms);
      throw syslog::EIdSocketError(11001, "Socket Error # 11001\r\nHost not found.");
    });
    auto sender = parts.CreateSysLog();
    std::vector<std::string> errors;
    TReportSender reports(
        *sender, registry, events, [&](const std::string& e) { errors.push_back(e); },
        TReportSender::kDefaultCapacity, ticks.Source());
    reports.Resume();
    for (int i = 0; i < 50; ++i) reports.Queue("r");
    ASSERT_TRUE(reports.Drain(kWait));
    EXPECT_EQ(lookups, 1);
    ticks.Advance(1001);
    reports.Queue("r");
    ASSERT_TRUE(reports.Drain(kWait));
    EXPECT_EQ(lookups, 2);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors.back(), "some major error :Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(reports.Failed(), 51u);
    reports.Stop();
  }
}

// A server that refuses datagrams: the refusal of one shows at the next
// send, so every other send fails and the ones between work. While that
// lasts the event log has the first failure and no recovery; the recovery
// comes once sends have worked for 10 s. The error file is written when
// its text changes, at most once a second, and ends with the latest text.
TEST(ReportSenderTest, RefusedDatagramsAreToldWithoutFalseRecoveries) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  FakeTicks ticks;
  registry.Set("SyslogHost", "192.0.2.1");
  const std::string refused = "Socket Error # 10061\r\nConnection refused.";
  const std::string unreachable = "Socket Error # 10065\r\nNo route to host.";
  std::mutex mu;
  bool refusing = true;
  std::vector<std::string> fail_next;  // errors of the next sends, in order
  int sends = 0;
  parts.SetFail([&](const std::string& at) {
    if (!at.starts_with("send")) return;
    std::lock_guard<std::mutex> lock(mu);
    if (!fail_next.empty()) {
      const std::string error = fail_next.front();
      fail_next.erase(fail_next.begin());
      throw syslog::EIdSocketError(error == refused ? 10061 : 10065, error);
    }
    if (refusing && ++sends % 2 == 0) throw syslog::EIdSocketError(10061, refused);
  });
  auto sender = parts.CreateSysLog();
  std::vector<std::string> errors;
  TReportSender reports(
      *sender, registry, events,
      [&](const std::string& e) {
        std::lock_guard<std::mutex> lock(mu);
        errors.push_back(e);
      },
      TReportSender::kDefaultCapacity, ticks.Source());
  reports.Resume();
  auto send_one = [&] {
    reports.Queue("r");
    ASSERT_TRUE(reports.Drain(kWait));
  };
  // 30 s of refusals, a report every 200 ms.
  for (int i = 0; i < 150; ++i) {
    send_one();
    ticks.Advance(200);
  }
  EXPECT_EQ(events.WithId(kEventReportsFailed).size(), 1u);
  EXPECT_TRUE(events.WithId(kEventReportsResumed).empty());
  EXPECT_EQ(reports.Failed(), 75u);
  EXPECT_EQ(errors, std::vector<std::string>{"some major error :" + refused});

  // Another text is written at once (a second has passed); the next one
  // within the second waits for it, and the latest wins.
  refusing = false;
  fail_next = {unreachable, refused};
  send_one();
  send_one();
  EXPECT_EQ(errors.size(), 2u);
  ticks.Advance(1000);
  send_one();
  EXPECT_EQ(errors, (std::vector<std::string>{"some major error :" + refused,
                                              "some major error :" + unreachable,
                                              "some major error :" + refused}));

  // Sends that work: the recovery once 10 s have passed since the failure,
  // after the summary of the failures since the first entry.
  for (int i = 0; i < 8; ++i) {
    ticks.Advance(1000);
    send_one();
  }
  EXPECT_TRUE(events.WithId(kEventReportsResumed).empty());
  ticks.Advance(1000);
  send_one();
  send_one();
  auto resumed = events.WithId(kEventReportsResumed);
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].text, "reports are sent to 192.0.2.1 again");
  auto failed = events.WithId(kEventReportsFailed);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[1].text,
            "76 reports could not be sent to 192.0.2.1: last error Socket Error # 10061\r\n"
            "Connection refused.");
  reports.Stop();
}

// A configuration file that cannot be used is told once, and so is its
// return, however many reports go out meanwhile.
TEST(ReportSenderTest, UnusableConfigurationIsToldOnce) {
  FakeParts parts;
  FakeRegistry registry;
  FakeEvents events;
  auto sender = parts.CreateSysLog();
  // A file that, when usable, names the server.
  registry.Set("SyslogHost", "192.0.2.1");
  TReportSender reports(*sender, registry, events, [](const std::string&) {});
  reports.Resume();
  struct Step {
    platform::RegistrySource source;
    size_t entries;  // of kEventConfigUnusable so far
  } steps[] = {{platform::RegistrySource::kMissing, 0},  {platform::RegistrySource::kTooLarge, 1},
               {platform::RegistrySource::kTooLarge, 1}, {platform::RegistrySource::kNotRegular, 2},
               {platform::RegistrySource::kUsable, 3},   {platform::RegistrySource::kMissing, 3}};
  for (const Step& s : steps) {
    registry.source = s.source;
    for (int i = 0; i < 3; ++i) reports.Queue("r");
    ASSERT_TRUE(reports.Drain(kWait));
    EXPECT_EQ(events.WithId(kEventConfigUnusable).size(), s.entries);
  }
  auto entries = events.WithId(kEventConfigUnusable);
  EXPECT_EQ(entries[0].text, "the configuration file is larger than 1 MB: reports go to 127.0.0.1");
  EXPECT_EQ(entries[0].type, platform::kEventLogWarningType);
  EXPECT_EQ(entries[2].type, kEventLogSuccessType);
  reports.Stop();
}

}  // namespace
}  // namespace watch
