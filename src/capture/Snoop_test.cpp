#include "capture/Snoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestDriver.h"
#include "rtl/Messages.h"

namespace capture {
namespace {

using capture_test::BatchBuilder;
using capture_test::BoundTestDriver;
using capture_test::TestDriver;

// Waits up to 5 s for done(), serving synchronised calls meanwhile, as the
// main thread's loop does.
template <class Pred>
bool WaitUntil(Pred done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    rtl::CheckSynchronize(5);
  }
  return true;
}

struct Event {
  rtl::TObject* sender;
  std::vector<uint8_t> bytes;
  int length;
  rtl::ThreadId thread;
};

class SnoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rtl::SetMainThread();
    driver_ = BoundTestDriver();
    ASSERT_NE(driver_, nullptr) << "test driver " << capture_test::TestDriverPath()
                                << " cannot be loaded";
    driver_->Reset();
    SetNames(std::u16string(u"eth0\0eth1\0\0", 11));
  }

  void SetNames(const std::u16string& list) {
    driver_->SetAdapterNames(list.data(), static_cast<uint32_t>(list.size() * 2), 20480);
  }

  // Records every event with a copy of the bytes the handler may read.
  TOnCaptureEvent Recorder() {
    return [this](rtl::TObject* sender, PETHERNET_HDR frame, int length) {
      const auto* p = reinterpret_cast<const uint8_t*>(frame);
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(
          Event{sender, std::vector<uint8_t>(p, p + length), length, rtl::CurrentThreadId()});
    };
  }
  size_t EventCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_.size();
  }

  TestDriver* driver_ = nullptr;
  std::mutex mu_;
  std::vector<Event> events_;
};

TEST_F(SnoopTest, ConstructionListsAdaptersWithDefaults) {
  TSnoop snoop(nullptr);
  ASSERT_EQ(snoop.Adapters().Count(), 2);
  EXPECT_EQ(snoop.Adapters().Strings(0), "eth0");
  EXPECT_EQ(snoop.Adapters().Strings(1), "eth1");
  EXPECT_EQ(snoop.AdapterIndex(), -1);
  EXPECT_EQ(snoop.AdapterName(), "");
  EXPECT_TRUE(snoop.ThreadSafe());
  EXPECT_FALSE(snoop.OnCapture());
  EXPECT_FALSE(snoop.Capturing());
}

TEST_F(SnoopTest, DriverWithoutAdaptersFailsConstruction) {
  SetNames(std::u16string(u"\0\0", 2));
  rtl::TComponent owner(nullptr);
  try {
    new TSnoop(&owner);
    ADD_FAILURE() << "built without adapters";
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(e.Message(), "No Adpaters");
  }
  // The partly built component is gone, also from its owner.
  EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST_F(SnoopTest, SelectingTheAdapter) {
  TSnoop snoop(nullptr);
  struct Step {
    const char* what;
    int index;  // written when name is null
    const char* name;
    int expected_index;
    const char* expected_name;
  };
  const Step steps[] = {
      {"index 1", 1, nullptr, 1, "eth1"},  {"index -5", -5, nullptr, -1, ""},
      {"index 0", 0, nullptr, 0, "eth0"},  {"index = count", 2, nullptr, -1, ""},
      {"name eth1", 0, "eth1", 1, "eth1"}, {"name differing in case", 0, "ETH0", -1, ""},
      {"name eth0", 0, "eth0", 0, "eth0"}, {"unknown name", 0, "eth9", -1, ""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.name)
      snoop.SetAdapterName(s.name);
    else
      snoop.SetAdapterIndex(s.index);
    EXPECT_EQ(snoop.AdapterIndex(), s.expected_index);
    EXPECT_EQ(snoop.AdapterName(), s.expected_name);
  }
}

TEST_F(SnoopTest, StartAndStopInEachState) {
  auto* snoop = new TSnoop(nullptr);
  snoop->StopCapture();  // idle: nothing

  // No adapter selected: an empty name is opened; the driver refuses it.
  driver_->Fail("PacketOpenAdapter");
  snoop->StartCapture();
  EXPECT_STREQ(driver_->OpenedName(), "");
  EXPECT_FALSE(snoop->Capturing());
  EXPECT_EQ(snoop->LastError(), "Cannot Open Adapter \"\"");
  EXPECT_EQ(driver_->Live("adapters"), 0);

  driver_->Reset();
  SetNames(std::u16string(u"eth0\0eth1\0\0", 11));
  snoop->SetAdapterIndex(1);
  snoop->StartCapture();
  EXPECT_TRUE(snoop->Capturing());
  EXPECT_STREQ(driver_->OpenedName(), "eth1");
  EXPECT_EQ(driver_->LastArg("PacketSetReadTimeout"), 100u);
  snoop->StartCapture();  // capturing: nothing
  EXPECT_EQ(driver_->Calls("PacketOpenAdapter"), 1u);

  snoop->StopCapture();
  EXPECT_FALSE(snoop->Capturing());
  EXPECT_EQ(driver_->Live("adapters"), 0);
  EXPECT_EQ(driver_->Live("packets"), 0);

  // Destruction stops a running capture.
  snoop->StartCapture();
  EXPECT_EQ(driver_->Live("adapters"), 1);
  delete snoop;
  EXPECT_EQ(driver_->Live("adapters"), 0);
  EXPECT_EQ(driver_->Live("packets"), 0);
}

TEST_F(SnoopTest, OnCaptureGetsEachFrameInOrderOnTheChosenThread) {
  for (bool thread_safe : {false, true}) {
    SCOPED_TRACE(thread_safe ? "ThreadSafe" : "not ThreadSafe");
    driver_->Reset();
    SetNames(std::u16string(u"eth0\0\0", 6));
    events_.clear();
    TSnoop snoop(nullptr);
    snoop.SetThreadSafe(thread_safe);
    snoop.SetOnCapture(Recorder());
    snoop.SetAdapterIndex(0);
    BatchBuilder b;
    b.Add(60, 0x11, 60);
    b.Add(42, 0x22, 1514);  // cut short by the driver: only 42 bytes are there
    b.Add(64, 0x33, 60);    // wire length below the captured length
    driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
    snoop.StartCapture();
    ASSERT_TRUE(WaitUntil([&] { return EventCount() >= 3; }));
    snoop.StopCapture();

    ASSERT_EQ(events_.size(), 3u);
    const uint8_t fills[] = {0x11, 0x22, 0x33};
    const int lengths[] = {60, 42, 60};
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      const Event& e = events_[i];
      EXPECT_EQ(e.sender, &snoop);
      EXPECT_EQ(e.length, lengths[i]);
      EXPECT_EQ(e.bytes, std::vector<uint8_t>(static_cast<size_t>(lengths[i]), fills[i]));
      if (thread_safe)
        EXPECT_EQ(e.thread, rtl::CurrentThreadId());
      else
        EXPECT_NE(e.thread, rtl::CurrentThreadId());
    }
  }
}

TEST_F(SnoopTest, FramesWithoutHandlerAreDropped) {
  TSnoop snoop(nullptr);
  snoop.SetAdapterIndex(0);
  BatchBuilder b;
  b.Add(60, 0x44);
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  snoop.StartCapture();
  // A second read means the batch has been walked.
  ASSERT_TRUE(WaitUntil([&] { return driver_->Calls("PacketReceivePacket") >= 2; }));
  snoop.StopCapture();
  EXPECT_FALSE(snoop.Capturing());
}

// A read that fills the user buffer leaves frames in the driver: the reader
// says it is behind until a read comes back with room to spare.
TEST_F(SnoopTest, BehindWhileReadsComeBackFull) {
  TSnoop snoop(nullptr);
  snoop.SetAdapterIndex(0);
  snoop.SetThreadSafe(false);
  std::mutex mu;
  std::vector<std::pair<uint8_t, bool>> seen;  // first byte, Behind() meanwhile
  snoop.SetOnCapture([&](rtl::TObject*, PETHERNET_HDR frame, int) {
    std::lock_guard<std::mutex> lock(mu);
    seen.emplace_back(*reinterpret_cast<const uint8_t*>(frame), snoop.Behind());
  });
  BatchBuilder full;
  while (full.Size() + 1516 <= kCaptureBufferSize) full.Add(1496, 0xF0);
  BatchBuilder a, b;
  a.Add(60, 0xA0);
  b.Add(60, 0xB0);
  driver_->QueueBatch(full.bytes.data(), full.Size(), full.Size());
  driver_->QueueBatch(a.bytes.data(), a.Size(), a.Size());
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  EXPECT_FALSE(snoop.Behind());
  snoop.StartCapture();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mu);
    return !seen.empty() && seen.back().first == 0xB0;
  }));
  ASSERT_TRUE(WaitUntil([&] { return driver_->Calls("PacketReceivePacket") >= 4; }));
  EXPECT_FALSE(snoop.Behind());
  snoop.StopCapture();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_FALSE(seen.front().second);  // the full batch: nothing read before it
  EXPECT_EQ(seen[seen.size() - 2], std::make_pair(uint8_t{0xA0}, true));
  EXPECT_EQ(seen.back(), std::make_pair(uint8_t{0xB0}, false));
  EXPECT_FALSE(snoop.Behind());
}

// The driver's drop counter, read about once a second, adds up across its
// 32-bit wrap; a driver that cannot say changes nothing.
TEST_F(SnoopTest, FramesDroppedFollowTheDriversCounter) {
  TSnoop snoop(nullptr);
  snoop.SetAdapterIndex(0);
  snoop.StartCapture();
  struct Step {
    uint32_t driver_count;
    bool fail;
    uint64_t total;
  };
  const Step steps[] = {
      {5, false, 5},
      {0xFFFFFFFEu, false, 0xFFFFFFFEu},
      {3, false, 0x100000003u},  // wrapped
      {9, true, 0x100000003u},   // not answered
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.driver_count);
    const uint32_t calls = driver_->Calls("PacketGetStats");
    driver_->SetStats(100, s.driver_count);
    if (s.fail) driver_->Fail("PacketGetStats");
    ASSERT_TRUE(WaitUntil([&] { return driver_->Calls("PacketGetStats") >= calls + 2; }));
    EXPECT_EQ(snoop.FramesDropped(), s.total);
  }
  snoop.StopCapture();
}

// A handler that raises ends the reader thread; the component then counts
// as idle and both stop and a new start recover from the ended reader.
TEST_F(SnoopTest, ReaderEndedByItsHandlerIsCleanedUp) {
  TSnoop snoop(nullptr);
  snoop.SetThreadSafe(false);
  snoop.SetAdapterIndex(0);
  snoop.SetOnCapture([](rtl::TObject*, PETHERNET_HDR, int) { throw rtl::Exception("bad frame"); });
  BatchBuilder b;
  b.Add(60, 0x55);
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  snoop.StartCapture();
  ASSERT_TRUE(WaitUntil([&] { return !snoop.Capturing(); }));

  // A new start closes the ended reader's adapter and opens afresh.
  snoop.SetOnCapture(Recorder());
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  snoop.StartCapture();
  EXPECT_TRUE(snoop.Capturing());
  EXPECT_EQ(driver_->Calls("PacketOpenAdapter"), 2u);
  EXPECT_EQ(driver_->Live("adapters"), 1);
  ASSERT_TRUE(WaitUntil([&] { return EventCount() == 1; }));

  // Stop after the reader ended by itself releases what it left.
  snoop.SetOnCapture([](rtl::TObject*, PETHERNET_HDR, int) { throw rtl::Exception("bad frame"); });
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  ASSERT_TRUE(WaitUntil([&] { return !snoop.Capturing(); }));
  snoop.StopCapture();
  EXPECT_EQ(driver_->Live("adapters"), 0);
  EXPECT_EQ(driver_->Live("packets"), 0);
}

}  // namespace
}  // namespace capture
