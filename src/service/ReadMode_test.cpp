#include "service/ReadMode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "capture/PcapWriter_test.h"
#include "watch/WatchFakes_test.h"

namespace service {
namespace {

using watch::testing::FakeEvents;
using watch::testing::FakeParts;

using capture::testing::Pcap;
using capture::testing::PcapNg;

// An ARP request whose Ethernet source is 00A0C9-00000<mac> and whose
// sender address is 10.0.0.<ip>.
std::string Arp(uint8_t mac, uint8_t ip) {
  const uint8_t src[6] = {0x00, 0xA0, 0xC9, 0, 0, mac};
  return capture::testing::ArpRequest(src, 0x0A000000u | ip, 0x0A000001);
}

// The replayed watch's thread object is never freed: its clock must
// outlive every static object.
class IdleClock : public platform::Clock {
 public:
  rtl::TDateTime Now() override { return 0; }
  void Sleep(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};

const char kTable[] = "10.0.0.9\r\n 00A0C9-000009\r\n";

class ReadModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessalin-read-" + std::to_string(rtl::CurrentThreadId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    Write("arptable", kTable);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  int Run(const std::string& file) {
    watch::WatchEnvironment env;
    env.parts = &parts_;
    env.events = &events_;
    static IdleClock* clock = new IdleClock;
    env.clock = clock;
    env.data_directory = (dir_ / "").string();
    return RunReadMode((dir_ / file).string(), env);
  }

  std::filesystem::path dir_;
  // The shared fakes: the sender records what the replay sends; the
  // replay brings its own capture, so the fake capture is never made.
  FakeParts parts_;
  FakeEvents events_;
  std::vector<std::string> EventTexts() {
    std::vector<std::string> texts;
    for (const FakeEvents::Entry& e : events_.Entries()) texts.push_back(e.text);
    return texts;
  }
};

// Frames in file order after the table load: the known address is quiet,
// a new one is found, then it moves; a frame that is not ARP is passed
// over. The table saved at the end holds every pair the file brought.
TEST_F(ReadModeTest, ReplaysFramesThroughTheWatch) {
  std::string other = Arp(1, 2);
  other[13] = 0x00;  // IPv4, not ARP
  Write("capture.pcap", Pcap({Arp(9, 9), Arp(1, 1), other, Arp(2, 1)}));
  EXPECT_EQ(Run("capture.pcap"), kReadComplete);
  EXPECT_EQ(parts_.Texts(),
            (std::vector<std::string>{"starting up", "10.0.0.1 found on 00A0C9-000001",
                                      "10.0.0.1 moved from 00A0C9-000001 to 00A0C9-000002"}));
  EXPECT_EQ(Read("arptable"), "10.0.0.1\r\n 00A0C9-000002\r\n10.0.0.9\r\n 00A0C9-000009\r\n");
}

// How a file ends decides the exit code; the frames before a damaged end
// count in full (reports and table), and a file the program does not read
// changes nothing. Frame n (1 to 3) reports 10.0.0.n, and the table then
// holds it beside the table's 10.0.0.9.
TEST_F(ReadModeTest, TailsDecideTheExitCode) {
  const std::vector<std::string> frames = {Arp(1, 1), Arp(2, 2), Arp(3, 3)};
  const std::string pcap = Pcap(frames);
  const std::string ng = PcapNg(frames);
  const size_t record = 16 + 42, block = 12 + 20 + 44;
  struct Case {
    const char* name;
    std::string file;
    int handled;  // frames whose reports were sent
    int exit;
  };
  const Case cases[] = {
      {"whole pcap", pcap, 3, kReadComplete},
      {"whole pcapng", ng, 3, kReadComplete},
      {"cut inside a pcap record header", pcap.substr(0, 24 + 2 * record + 9), 2, kReadDamaged},
      {"cut inside a pcap record's data", pcap.substr(0, pcap.size() - 5), 2, kReadDamaged},
      {"cut inside a pcapng block", ng.substr(0, ng.size() - block + 30), 2, kReadDamaged},
      {"garbage record after good ones", pcap + std::string(16, '\x7F'), 3, kReadDamaged},
      {"garbage block after good ones", ng + std::string(12, '\x07'), 3, kReadDamaged},
      {"pcap header only", pcap.substr(0, 24), 0, kReadComplete},
      {"pcapng header only", ng.substr(0, 28 + 20), 0, kReadComplete},
      {"empty file", "", 0, kReadNotCapture},
      {"not a capture file", "not a capture file at all", 0, kReadNotCapture},
      {"cut file header", pcap.substr(0, 20), 0, kReadNotCapture},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("arptable", kTable);
    Write("capture", c.file);
    parts_.Clear();
    EXPECT_EQ(Run("capture"), c.exit);
    std::vector<std::string> reports;
    std::string table;
    for (int n = 1; n <= c.handled; ++n) {
      reports.push_back("10.0.0." + std::to_string(n) + " found on 00A0C9-00000" +
                        std::to_string(n));
      table += "10.0.0." + std::to_string(n) + "\r\n 00A0C9-00000" + std::to_string(n) + "\r\n";
    }
    if (c.exit != kReadNotCapture) reports.insert(reports.begin(), "starting up");
    EXPECT_EQ(parts_.Texts(), reports);
    EXPECT_EQ(Read("arptable"), table + kTable);
  }
  EXPECT_EQ(Run("missing"), kReadNotCapture);
  EXPECT_EQ(Read("arptable"), kTable);
}

// The final save fails (here a folder stands where the table's new copy
// would be written): the reports were sent, the old table stays, the cause
// is told, and the exit code says the table is not saved.
TEST_F(ReadModeTest, FailedFinalSaveGivesThree) {
  std::filesystem::create_directories(dir_ / "arptable.tmp");
  Write("capture", Pcap({Arp(1, 1)}));
  EXPECT_EQ(Run("capture"), kReadSaveFailed);
  EXPECT_EQ(parts_.Texts(),
            (std::vector<std::string>{"starting up", "10.0.0.1 found on 00A0C9-000001"}));
  EXPECT_EQ(Read("arptable"), kTable);
  const std::vector<std::string> entries = EventTexts();
  ASSERT_FALSE(entries.empty());
  EXPECT_NE(entries.front().find("arptable.tmp"), std::string::npos) << entries.front();
}

}  // namespace
}  // namespace service
