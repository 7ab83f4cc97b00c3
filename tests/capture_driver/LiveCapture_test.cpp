// The capture component over the real Linux driver (libpacket.so beside this
// program, found as the program finds it): ARP frames, tagged and untagged,
// injected on tcap0 reach OnCapture on tcap1 in order, with their bytes and
// wire length; a renamed interface is followed. Run by live_capture.sh inside
// a network namespace of its own.
//   capture_live_tests ARPINJECT
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "capture/Snoop.h"
#include "rtl/Messages.h"

namespace capture {
namespace {

std::string g_inject;

using Bytes = std::vector<uint8_t>;

// The ARP request arpinject sends for mac 02:54:53:00:00:<n>, sender
// 10.0.0.<n>, with an 802.1Q tag when vlan >= 0, padded to 60 bytes.
Bytes ArpFrame(uint8_t n, int vlan) {
  const uint8_t mac[6] = {0x02, 0x54, 0x53, 0x00, 0x00, n};
  Bytes f(6, 0xff);
  f.insert(f.end(), mac, mac + 6);
  if (vlan >= 0) {
    f.insert(f.end(), {0x81, 0x00, static_cast<uint8_t>(vlan >> 8), static_cast<uint8_t>(vlan)});
  }
  f.insert(f.end(), {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01});
  f.insert(f.end(), mac, mac + 6);
  f.insert(f.end(), {10, 0, 0, n, 0, 0, 0, 0, 0, 0, 10, 0, 0, 254});
  f.resize(60, 0);
  return f;
}

TEST(LiveCaptureTest, FramesArriveInOrderWithBytesAndWireLength) {
  rtl::SetMainThread();
  TSnoop snoop(nullptr);
  snoop.SetAdapterName("tcap1");
  ASSERT_NE(snoop.AdapterIndex(), -1) << "tcap1 is not among the adapters";
  std::mutex mu;
  std::vector<Bytes> frames;
  snoop.SetThreadSafe(false);
  snoop.SetOnCapture([&](rtl::TObject* sender, PETHERNET_HDR header, int length) {
    // Only what the test sent: source 02:54:53:...
    if (sender != &snoop || length < 12 || header->Source[0] != 0x02 || header->Source[1] != 0x54)
      return;
    const auto* p = reinterpret_cast<const uint8_t*>(header);
    std::lock_guard<std::mutex> lock(mu);
    frames.emplace_back(p, p + length);
  });
  snoop.StartCapture();
  ASSERT_TRUE(snoop.Capturing());

  const std::string command = g_inject +
                              " tcap0 02:54:53:00:00:01/10.0.0.1 02:54:53:00:00:02/10.0.0.2/5"
                              " 02:54:53:00:00:03/10.0.0.3";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::vector<Bytes> expected = {ArpFrame(1, -1), ArpFrame(2, 5), ArpFrame(3, -1)};

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (frames.size() >= expected.size()) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "frames missing";
    rtl::CheckSynchronize(10);
  }
  snoop.StopCapture();
  EXPECT_EQ(frames, expected);
}

// The watched interface is renamed while down, then its link flaps: the
// capture is lost under the old name and resumes under the new one, which
// the component keeps.
TEST(LiveCaptureTest, RenamedAdapterIsFollowedByItsIndex) {
  rtl::SetMainThread();
  TSnoop snoop(nullptr);
  snoop.SetAdapterName("tcap1");
  ASSERT_NE(snoop.AdapterIndex(), -1) << "tcap1 is not among the adapters";
  std::mutex mu;
  std::vector<std::string> events;
  int frames = 0;
  snoop.SetThreadSafe(false);
  snoop.SetOnCapture([&](rtl::TObject*, PETHERNET_HDR header, int length) {
    if (length < 12 || header->Source[0] != 0x02 || header->Source[1] != 0x54) return;
    std::lock_guard<std::mutex> lock(mu);
    ++frames;
  });
  snoop.OnCaptureLost = [&](const std::string&) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back("lost");
  };
  snoop.OnCaptureResumed = [&](const std::string& name) {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back("resumed " + name);
  };
  snoop.StartCapture();
  ASSERT_TRUE(snoop.Capturing());
  auto wait = [&](auto done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu);
        if (done()) return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      rtl::CheckSynchronize(10);
    }
  };
  ASSERT_EQ(std::system("ip link set tcap1 down && ip link set tcap1 name tcapr &&"
                        " ip link set tcapr up && sleep 0.3 &&"
                        " ip link set tcapr down && ip link set tcapr up"),
            0);
  EXPECT_TRUE(wait([&] { return !events.empty() && events.back() == "resumed tcapr"; }));
  EXPECT_EQ(events, (std::vector<std::string>{"lost", "resumed tcapr"}));
  EXPECT_EQ(snoop.AdapterName(), "tcapr");
  const std::string command = g_inject + " tcap0 02:54:53:00:00:09/10.0.0.9";
  EXPECT_TRUE(wait([&] { return frames > 0 || std::system(command.c_str()) != 0; }));
  EXPECT_GT(frames, 0) << "no frame after the capture resumed";
  snoop.StopCapture();
  std::system("ip link set tcapr down; ip link set tcapr name tcap1; ip link set tcap1 up");
}

}  // namespace
}  // namespace capture

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ARPINJECT\n", argv[0]);
    return 2;
  }
  capture::g_inject = argv[1];
  return RUN_ALL_TESTS();
}
