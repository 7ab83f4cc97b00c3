#include "watch/ethread.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <vector>

namespace watch {
namespace {

constexpr char kDir[] = "/data/";
constexpr char kTable[] = "/data/arptable";
constexpr char kTemp[] = "/data/arptable.tmp";
constexpr char kErr[] = "/data/tessalin.err";

// An in-memory directory whose every operation can be made to fail.
class FakeFiles : public platform::FileSystem {
 public:
  std::map<std::string, std::string> files;
  // Returns true to make the operation fail: "remove", "create", "write",
  // "close", "open", "read", "replace".
  std::function<bool(const std::string& op, const std::string& path)> fail;

  bool Fails(const char* op, const std::string& path) { return fail && fail(op, path); }

  bool FileExists(const std::string& path) override { return files.count(path) != 0; }
  bool RemoveFile(const std::string& path) override {
    if (Fails("remove", path)) return false;
    return files.erase(path) != 0;
  }
  std::unique_ptr<platform::TextFileWriter> CreateTextFile(const std::string& path) override {
    if (Fails("create", path)) throw rtl::EInOutError("open(" + path + ") failed");
    files[path].clear();
    return std::make_unique<Writer>(*this, path);
  }
  std::unique_ptr<platform::TextFileReader> OpenTextFile(const std::string& path) override {
    if (Fails("open", path) || !files.count(path)) throw rtl::EInOutError("open failed");
    return std::make_unique<Reader>(*this, path, files[path]);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    if (files.count(to) || !files.count(from)) return false;
    files[to] = files[from];
    files.erase(from);
    return true;
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    if (Fails("replace", to) || !files.count(from)) return false;
    files[to] = files[from];
    files.erase(from);
    return true;
  }

 private:
  class Writer : public platform::TextFileWriter {
   public:
    Writer(FakeFiles& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    void WriteLine(std::string_view text) override {
      if (fs_.Fails("write", path_)) throw rtl::EInOutError("write failed");
      fs_.files[path_].append(text).append("\r\n");
    }
    void Close() override {
      if (fs_.Fails("close", path_)) throw rtl::EInOutError("close failed");
    }

   private:
    FakeFiles& fs_;
    std::string path_;
  };
  class Reader : public platform::TextFileReader {
   public:
    Reader(FakeFiles& fs, std::string path, std::string content)
        : fs_(fs), path_(std::move(path)), content_(std::move(content)) {}
    bool ReadLine(std::string& line) override {
      if (fs_.Fails("read", path_)) throw rtl::EInOutError("read failed");
      line.clear();
      if (pos_ >= content_.size()) return false;
      size_t end = content_.find_first_of("\r\n", pos_);
      if (end == std::string::npos) end = content_.size();
      line = content_.substr(pos_, end - pos_);
      pos_ = end;
      if (pos_ < content_.size() && content_[pos_] == '\r') ++pos_;
      if (pos_ < content_.size() && content_[pos_] == '\n') ++pos_;
      return true;
    }

   private:
    FakeFiles& fs_;
    std::string path_;
    std::string content_;
    size_t pos_ = 0;
  };
};

// Ends Run's idle loop by raising from its first sleep.
struct IdleReached {};

class FakeClock : public platform::Clock {
 public:
  rtl::TDateTime now = 46000.5;
  std::function<void()> on_sleep;
  rtl::TDateTime Now() override { return now; }
  void Sleep(uint32_t) override {
    if (on_sleep) on_sleep();
    throw IdleReached{};
  }
  void Advance(double seconds) { now += seconds / rtl::kSecondsPerDay; }
};

class FakeRegistry : public platform::Registry {
 public:
  bool present = false;
  std::string host;
  bool ReadString(platform::RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override {
    if (!present || root != platform::kHKeyLocalMachine ||
        key != "\\Software\\quillmere\\harbrook\\Tessalin" || name != "SyslogHost") {
      return false;
    }
    out = host;
    return true;
  }
};

struct Sent {
  std::string host, text;
  syslog::TIdSyslogFacility facility;
  syslog::TIdSyslogSeverity severity;
};

class FakeSender : public SysLogSender {
 public:
  std::vector<Sent>* log;
  std::function<void(const std::string&)>* fail;
  std::string host;
  bool active = false;
  void SetActive(bool value) override {
    if (*fail) (*fail)("SetActive");
    active = value;
  }
  void SetHost(const std::string& h) override { host = h; }
  void SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                syslog::TIdSyslogSeverity severity) override {
    if (*fail) (*fail)("send " + text);
    log->push_back({host, text, facility, severity});
  }
};

class FakeCapture : public CaptureSource {
 public:
  std::function<void(const std::string&)>* fail;
  bool thread_safe = true, started = false;
  int adapter = -1;
  TOnCaptureEvent on_capture;
  void SetThreadSafe(bool value) override { thread_safe = value; }
  void SetOnCapture(TOnCaptureEvent handler) override { on_capture = std::move(handler); }
  void SetAdapterIndex(int index) override {
    if (*fail) (*fail)("SetAdapterIndex");
    adapter = index;
  }
  void StartCapture() override { started = true; }
};

class FakeParts : public WatchParts {
 public:
  std::vector<Sent> sent;
  // Raises rtl::Exception from the named step ("CreateSysLog", "SetActive",
  // "send <text>", "CreateCapture", "SetAdapterIndex").
  std::function<void(const std::string&)> fail;
  FakeCapture* capture = nullptr;

  std::unique_ptr<SysLogSender> CreateSysLog() override {
    if (fail) fail("CreateSysLog");
    auto s = std::make_unique<FakeSender>();
    s->log = &sent;
    s->fail = &fail;
    return s;
  }
  std::unique_ptr<CaptureSource> CreateCapture() override {
    if (fail) fail("CreateCapture");
    auto c = std::make_unique<FakeCapture>();
    c->fail = &fail;
    capture = c.get();
    return c;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (const Sent& s : sent) t.push_back(s.text);
    return t;
  }
};

std::function<void(const std::string&)> FailAt(const std::string& step) {
  return [step](const std::string& at) {
    if (at == step) throw rtl::Exception("failed at " + step);
  };
}

class EthThreadTest : public ::testing::Test {
 protected:
  std::unique_ptr<TEthThread> NewThread() {
    WatchEnvironment env;
    env.parts = &parts;
    env.files = &files;
    env.clock = &clock;
    env.registry = &registry;
    env.data_directory = kDir;
    return std::make_unique<TEthThread>(true, env);
  }
  // A thread past its start-up: sender active, start-up report sent,
  // indexes loaded from `files`.
  std::unique_ptr<TEthThread> Started() {
    auto t = NewThread();
    t->Run();
    parts.sent.clear();
    return t;
  }
  static std::vector<std::pair<std::string, std::string>> IpOwners(TEthThread& t) {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < t.IpIndex->Count(); ++i) {
      out.emplace_back(t.IpIndex->Strings(i),
                       static_cast<Tarp_registry*>(t.IpIndex->Objects(i))->Mac);
    }
    return out;
  }

  FakeParts parts;
  FakeFiles files;
  FakeClock clock;
  FakeRegistry registry;
};

TEST(AddressTextTest, MacAndIpText) {
  const uint8_t a[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  const uint8_t b[] = {0x00, 0x00, 0x0C, 0x07, 0xAC, 0x01};
  const uint8_t c[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(MacText(a), "00A0C9-1234EF");
  EXPECT_EQ(MacText(b), "00000C-07AC01");
  EXPECT_EQ(MacText(c), "FFFFFF-FFFFFF");
  EXPECT_EQ(IpText(0xC0A80007), "192.168.0.7");
  EXPECT_EQ(IpText(0x1000000A), "16.0.0.10");
  EXPECT_EQ(IpText(0), "0.0.0.0");
  EXPECT_EQ(IpText(0xFFFFFFFF), "255.255.255.255");
  EXPECT_EQ(IpText(0x0A636409), "10.99.100.9");
}

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
    parts.sent.clear();
    std::string result = t->UpdateAddress(s.mac, s.ip);
    EXPECT_EQ(parts.Texts(), s.reports) << "step " << n;
    EXPECT_EQ(result, s.reports.empty() ? "" : s.reports.back()) << "step " << n;
    ++n;
  }
  EXPECT_EQ(IpOwners(*t),
            (std::vector<std::pair<std::string, std::string>>{{"0.0.0.0", "00A0C9-1234EF"},
                                                              {"10.0.0.1", "00000C-07AC01"},
                                                              {"10.0.0.2", "00000C-07AC01"}}));
}

std::vector<uint8_t> ArpFrame(const uint8_t src[6], const uint8_t sender_ip[4]) {
  std::vector<uint8_t> f(42, 0);
  for (int i = 0; i < 6; ++i) f[i] = 0xFF;
  for (int i = 0; i < 6; ++i) f[6 + i] = src[i];
  f[12] = 0x08;
  f[13] = 0x06;
  for (int i = 0; i < 6; ++i) f[22 + i] = 0x42;  // ARP sender hardware address: another MAC
  for (int i = 0; i < 4; ++i) f[28 + i] = sender_ip[i];
  return f;
}

TEST_F(EthThreadTest, HandleCapturePicksArpFramesOnly) {
  auto t = Started();
  const uint8_t mac[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  const uint8_t ip[] = {0x10, 0x00, 0x00, 0x0A};
  auto handle = [&](const std::vector<uint8_t>& f, int length) {
    t->HandleCapture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(f.data()), length);
  };

  std::vector<uint8_t> vlan = ArpFrame(mac, ip);
  vlan[12] = 0x81;
  vlan[13] = 0x00;
  handle(vlan, 42);
  std::vector<uint8_t> ipv4 = ArpFrame(mac, ip);
  ipv4[13] = 0x00;
  handle(ipv4, 42);
  // A frame marked ARP that ends before the sender's IPv4 address is
  // ignored, and nothing past its end is read.
  std::vector<uint8_t> full = ArpFrame(mac, ip);
  std::vector<uint8_t> short_frame(full.begin(), full.begin() + 31);
  handle(short_frame, 31);
  t->HandleCapture(nullptr, nullptr, 0);
  EXPECT_TRUE(parts.sent.empty());
  EXPECT_FALSE(files.FileExists(kTable));

  // Attributed to the Ethernet source, not the ARP sender hardware address;
  // the report saves the table.
  handle(full, 42);
  EXPECT_EQ(parts.Texts(), std::vector<std::string>{"16.0.0.10 found on 020000-000001"});
  EXPECT_EQ(files.files[kTable], "16.0.0.10\r\n 020000-000001\r\n");
  EXPECT_EQ(parts.sent[0].host, kDefaultSyslogHost);
  EXPECT_EQ(parts.sent[0].facility, syslog::sfLocalUseFive);
  EXPECT_EQ(parts.sent[0].severity, syslog::slCritical);
}

TEST_F(EthThreadTest, HandleCaptureWritesFailuresAndGoesOn) {
  auto t = Started();
  const uint8_t mac[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  const uint8_t ip1[] = {10, 0, 0, 1}, ip2[] = {10, 0, 0, 2};
  parts.fail = [](const std::string& at) {
    if (at.starts_with("send")) throw rtl::Exception("Socket Error # 11001\r\nHost not found.");
  };
  std::vector<uint8_t> f = ArpFrame(mac, ip1);
  EXPECT_NO_THROW(
      t->HandleCapture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(f.data()), 42));
  EXPECT_EQ(files.files[kErr], "some major error :Socket Error # 11001\r\nHost not found.\r\n");
  // The failed found report left 10.0.0.1 recorded; no save was tried.
  EXPECT_EQ(IpOwners(*t).size(), 1u);
  EXPECT_FALSE(files.FileExists(kTable));

  // An error file that cannot be written does not end the capture.
  files.fail = [](const std::string& op, const std::string&) { return op == "create"; };
  f = ArpFrame(mac, ip2);
  EXPECT_NO_THROW(
      t->HandleCapture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(f.data()), 42));
}

// Where each start-up failure leaves the error file, the reports and the
// capture component.
TEST_F(EthThreadTest, StartUpStages) {
  struct Case {
    const char* fail_at;     // "" for a clean start
    const char* error_file;  // nullptr: none written
    std::vector<std::string> sent;
    bool table_loaded;
    bool capture_created;
  } cases[] = {
      {"", nullptr, {"starting up"}, true, true},
      {"CreateSysLog", "\r\n", {}, false, false},
      {"SetActive", "\r\n", {}, false, false},
      {"send starting up", "registerring\r\n", {}, false, false},
      {"CreateCapture", "configuring snoop\r\n", {"starting up"}, true, false},
      {"SetAdapterIndex", "configuring snoop\r\n", {"starting up"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail_at);
    parts = FakeParts();
    files.files = {{kTable, "10.0.0.1\r\n 02AA00-000001\r\n"}, {kErr, "earlier failure\r\n"}};
    if (*c.fail_at) parts.fail = FailAt(c.fail_at);
    bool idle = false;
    std::string err_at_idle;
    clock.on_sleep = [&] {
      idle = true;
      err_at_idle = files.files[kErr];
    };
    auto t = NewThread();
    t->Run();
    EXPECT_EQ(parts.Texts(), c.sent);
    if (c.error_file) {
      EXPECT_FALSE(idle);
      EXPECT_EQ(files.files[kErr], c.error_file);
    } else {
      ASSERT_TRUE(idle);
      EXPECT_EQ(err_at_idle, "earlier failure\r\n");
    }
    if (!c.sent.empty()) {
      EXPECT_EQ(parts.sent[0].host, kDefaultSyslogHost);
      EXPECT_TRUE(t->StartupSent);
    }
    EXPECT_EQ(t->IpIndex && t->IpIndex->Count() == 1, c.table_loaded);
    EXPECT_EQ(parts.capture != nullptr, c.capture_created);
    if (!*c.fail_at) {
      EXPECT_FALSE(parts.capture->thread_safe);
      EXPECT_EQ(parts.capture->adapter, 0);
      EXPECT_TRUE(parts.capture->started);
      ASSERT_TRUE(parts.capture->on_capture);
      // The bound handler is this thread's HandleCapture.
      const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x02};
      const uint8_t ip[] = {10, 0, 0, 2};
      std::vector<uint8_t> f = ArpFrame(mac, ip);
      parts.capture->on_capture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(f.data()), 42);
      EXPECT_EQ(parts.sent.back().text, "10.0.0.2 found on 02AA00-000002");
    }
  }
}

TEST_F(EthThreadTest, NotifyChoosesTheHost) {
  registry.present = true;
  registry.host = "10.9.9.9";
  auto t = NewThread();
  t->Run();  // the start-up report ignores the registry
  auto report = [&] {
    t->Notify("x");
    return parts.sent.back().host;
  };
  EXPECT_EQ(parts.sent.at(0).host, "127.0.0.1");
  EXPECT_EQ(report(), "10.9.9.9");
  registry.host = "logs.example";
  EXPECT_EQ(report(), "logs.example");
  registry.host = "";  // handed on unchanged
  EXPECT_EQ(report(), "");
  registry.present = false;  // key deleted, or a value that is not a string
  EXPECT_EQ(report(), "127.0.0.1");
  for (const Sent& s : parts.sent) {
    EXPECT_EQ(s.facility, syslog::sfLocalUseFive);
    EXPECT_EQ(s.severity, syslog::slCritical);
  }
}

TEST_F(EthThreadTest, TableFileRoundTrip) {
  auto t = Started();
  const uint8_t A[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  const uint8_t B[] = {0x00, 0x00, 0x0C, 0x07, 0xAC, 0x01};
  t->UpdateAddress(A, 0x0A000002);
  t->UpdateAddress(A, 0x0A00000A);
  t->UpdateAddress(B, 0x0A000002);  // moved to B
  t->SaveTable();
  EXPECT_EQ(files.files[kTable], "10.0.0.10\r\n 00A0C9-1234EF\r\n10.0.0.2\r\n 00000C-07AC01\r\n");
  EXPECT_FALSE(files.FileExists(kTemp));

  auto loaded = Started();
  EXPECT_EQ(IpOwners(*loaded), IpOwners(*t));
  // Only owned addresses come back.
  auto* a = static_cast<Tarp_registry*>(loaded->MacIndex->ObjectOf("00A0C9-1234EF"));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Addresses.CommaText(), "10.0.0.10");
  EXPECT_TRUE(parts.sent.empty());
}

TEST_F(EthThreadTest, LoadTableTakesLinesAsTheyAre) {
  files.files[kTable] =
      "10.0.0.1\r\n  00a0c9-1234ef \t\r\n"  // lower case, padded
      "10.0.0.2  \r\n 00000C-07AC01\r\n"    // padded IPv4 text keeps its spaces
      "10.0.0.1\r\n 00000C-07AC01\r\n"      // second owner of 10.0.0.1
      "10.0.0.3\r\n";                       // odd line: empty MAC text
  auto t = Started();
  EXPECT_EQ(IpOwners(*t),
            (std::vector<std::pair<std::string, std::string>>{
                {"10.0.0.1", "00a0c9-1234ef"}, {"10.0.0.2  ", "00000C-07AC01"}, {"10.0.0.3", ""}}));
  auto* b = static_cast<Tarp_registry*>(t->MacIndex->ObjectOf("00000C-07AC01"));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->Addresses.Count(), 2);  // "10.0.0.1" and "10.0.0.2  "

  // The upper-case MAC text from a frame finds the lower-case record, and
  // reports show the text as loaded.
  const uint8_t A[] = {0x00, 0xA0, 0xC9, 0x12, 0x34, 0xEF};
  EXPECT_EQ(t->UpdateAddress(A, 0x0A000001), "");
  EXPECT_EQ(t->UpdateAddress(A, 0x0A000002), "10.0.0.2 found on 00a0c9-1234ef");
  EXPECT_EQ(parts.Texts().front(), "2 addresses on MAC 00a0c9-1234ef");
}

// Enough MAC addresses for the look-up table in front of MacIndex to grow
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
  ASSERT_EQ(t->MacIndex->Count(), static_cast<int>(kMacs));
  parts.sent.clear();
  for (uint32_t n = 0; n < kMacs; ++n) ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip(n)), "") << n;
  EXPECT_TRUE(parts.sent.empty());

  // Each MAC address takes its neighbour's address.
  for (uint32_t n = 0; n < kMacs; ++n) {
    parts.sent.clear();
    const uint32_t next = (n + 1) % kMacs;
    t->UpdateAddress(mac(n).bytes, ip(next));
    ASSERT_EQ(parts.Texts(),
              (std::vector<std::string>{
                  "2 addresses on MAC " + stored(n),
                  IpText(ip(next)) + " moved from " + stored(next) + " to " + stored(n)}))
        << n;
  }
  parts.sent.clear();
  for (uint32_t n = 0; n < kMacs; ++n) {
    ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip(n)), "") << n;
    ASSERT_EQ(t->UpdateAddress(mac(n).bytes, ip((n + 1) % kMacs)), "") << n;
  }
  EXPECT_TRUE(parts.sent.empty());
  EXPECT_EQ(t->MacIndex->Count(), static_cast<int>(kMacs));
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
  EXPECT_EQ(empty->IpIndex->Count(), 0);
}

TEST_F(EthThreadTest, SaveIsThrottledToOncePerFiveSeconds) {
  auto t = Started();
  int saves = 0;
  files.fail = [&](const std::string& op, const std::string&) {
    if (op == "replace") ++saves;
    return false;
  };
  t->SaveIfDue();  // LastSave starts at 0
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(t->LastSave, clock.now);
  struct Step {
    double advance_seconds;
    int saves;
  } steps[] = {
      {2, 1},      // 2 s after the save
      {3, 1},      // exactly 5 s
      {0.001, 2},  // 5.001 s
      {-3600, 2},  // clock set back an hour
      {3604, 2},   // 4 s past the last save
      {1.001, 3},  // 5.001 s past it
  };
  for (const Step& s : steps) {
    clock.Advance(s.advance_seconds);
    t->SaveIfDue();
    EXPECT_EQ(saves, s.saves) << "after " << s.advance_seconds;
  }
}

// A save that fails at any step leaves the previous table loadable.
TEST_F(EthThreadTest, InterruptedSaveKeepsTheTable) {
  const std::string previous = "10.0.0.1\r\n 02AA00-000001\r\n";
  struct Case {
    const char* op;
    int nth;  // fail the nth such operation on the temporary file
  } cases[] = {{"create", 1}, {"write", 1}, {"write", 2},
               {"write", 3},  {"close", 1}, {"replace", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.op) + " " + std::to_string(c.nth));
    files.files = {{kTable, previous}, {kTemp, "stale"}};
    files.fail = nullptr;
    auto t = Started();
    const uint8_t mac[] = {0x02, 0xAA, 0x00, 0x00, 0x00, 0x09};
    t->UpdateAddress(mac, 0x0A000009);
    int seen = 0;
    files.fail = [&](const std::string& op, const std::string&) {
      return op == c.op && ++seen == c.nth;
    };
    t->SaveTable();
    files.fail = nullptr;
    EXPECT_EQ(files.files[kTable], previous);
    EXPECT_FALSE(files.FileExists(kTemp));
    EXPECT_EQ(IpOwners(*Started()).size(), 1u);
  }
}

}  // namespace
}  // namespace watch
