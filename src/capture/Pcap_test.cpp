#include "capture/Pcap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestDriver.h"
#include "platform/SystemError.h"

namespace capture {
namespace {

using capture_test::BatchBuilder;
using capture_test::BoundTestDriver;
using capture_test::TestDriver;

class FakeOsVersion : public platform::OsVersion {
 public:
  FakeOsVersion(bool answers, uint32_t platform_id) : answers_(answers), id_(platform_id) {}
  bool GetVersionExA(platform::OsVersionInfo& info) override {
    info.PlatformId = id_;
    return answers_;
  }

 private:
  bool answers_;
  uint32_t id_;
};

// What a read handed to the handler.
struct Delivered {
  size_t record_offset;
  size_t data_offset;
  uint32_t caplen;
  uint8_t first_byte;
};

struct Collector {
  const uint8_t* base = nullptr;
  std::vector<Delivered> records;

  static void Handle(void* user, const bpf_hdr* record, const uint8_t* data) {
    auto* self = static_cast<Collector*>(user);
    const auto* r = reinterpret_cast<const uint8_t*>(record);
    self->records.push_back(Delivered{static_cast<size_t>(r - self->base),
                                      static_cast<size_t>(data - self->base), record->bh_caplen,
                                      record->bh_caplen ? data[0] : uint8_t{0}});
  }
};

class PcapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_ = BoundTestDriver();
    ASSERT_NE(driver_, nullptr) << "test driver " << capture_test::TestDriverPath()
                                << " cannot be loaded";
    driver_->Reset();
  }
  void TearDown() override { CaptureClose(handle_); }

  // The system's words for the error a failing driver call leaves.
  std::string Cause(uint32_t code) {
    platform::ClearLibraryError();
    driver_->SetSystemError(code);
    return platform::LibraryErrorText();
  }
  // An error number that means "no permission" to Linux (EPERM) and
  // something else, but with a text, to Windows.
  static constexpr uint32_t kDriverError = 1;

  TCaptureHandle* Open() {
    std::string error;
    handle_ = CaptureOpen("eth-test", 1514, true, error);
    EXPECT_NE(handle_, nullptr) << error;
    if (handle_) collector_.base = handle_->Buffer;
    return handle_;
  }
  int32_t Read(int32_t count) {
    return CaptureRead(handle_, count, &Collector::Handle, &collector_);
  }

  TestDriver* driver_ = nullptr;
  TCaptureHandle* handle_ = nullptr;
  Collector collector_;
};

TEST_F(PcapTest, AdapterNameWalks) {
  struct Case {
    const char* name;
    uint32_t platform_id;
    bool version_answers;
    std::vector<uint8_t> list;
    uint32_t size;
    std::string expected;
  };
  auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
  auto wide = [](const std::u16string& s) {
    std::vector<uint8_t> out(s.size() * 2);
    std::memcpy(out.data(), s.data(), out.size());
    return out;
  };
  auto concat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    for (uint8_t x : b) a.push_back(x);
    return a;
  };
  const Case cases[] = {
      {"8-bit, space splits a name", 1, true, bytes(std::string("eth0\0eth1 eth2\0\0", 16)), 20480,
       "eth0,eth1,eth2"},
      {"8-bit empty list", 1, true, bytes(std::string("\0\0", 2)), 20480, ""},
      {"8-bit, size bounds the walk", 1, true, bytes(std::string("a\0b\0\0", 5)), 1, "a"},
      {"8-bit, list fills the buffer", 1, true, bytes(std::string(40960, 'x')), 40960,
       std::string(40960, 'x')},
      // The NT driver follows the 16-bit names with 8-bit descriptions.
      {"16-bit with descriptions after", 2, true,
       concat(wide(std::u16string(u"\\Device\\A\0\\Device\\B\0\0", 22)),
              bytes(std::string("Desc A\0Desc B\0\0", 15))),
       20480, "\\Device\\A,\\Device\\B"},
      {"16-bit empty list", 2, true, wide(std::u16string(u"\0\0", 2)), 20480, ""},
      {"failed version query means 16-bit", 1, false, wide(std::u16string(u"a\0b\0\0", 5)), 20480,
       "a,b"},
      {"16-bit, list fills the buffer", 2, true, wide(std::u16string(20480, u'y')), 20480,
       std::string(20480, 'y')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver_->SetAdapterNames(c.list.data(), static_cast<uint32_t>(c.list.size()), c.size);
    FakeOsVersion os(c.version_answers, c.platform_id);
    EXPECT_EQ(CaptureAdapterNames(',', os), c.expected);
  }
}

TEST_F(PcapTest, OpenSetsUpAdapterAndCloseReleasesEverything) {
  for (bool promiscuous : {true, false}) {
    SCOPED_TRACE(promiscuous ? "promiscuous" : "directed");
    driver_->Reset();
    std::string error = "untouched";
    TCaptureHandle* h = CaptureOpen("eth-test", 1514, promiscuous, error);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(error, "untouched");
    EXPECT_STREQ(driver_->OpenedName(), "eth-test");
    // Exactly one filter, no fallback to the other.
    EXPECT_EQ(driver_->Calls("PacketSetHwFilter"), 1u);
    EXPECT_EQ(driver_->LastArg("PacketSetHwFilter"), promiscuous ? 0x20u : 0x01u);
    EXPECT_EQ(driver_->LastArg("PacketInitPacket"), 256000u);
    EXPECT_EQ(driver_->LastArg("PacketSetBuff"), 1000000u);
    EXPECT_EQ(h->SnapLen, 1514);
    EXPECT_EQ(h->BufferSize, 256000);
    EXPECT_EQ(h->BytesLeft, 0);
    EXPECT_EQ(driver_->Live("adapters"), 1);
    EXPECT_EQ(driver_->Live("packets"), 1);

    CaptureClose(h);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(driver_->Live("adapters"), 0);
    EXPECT_EQ(driver_->Live("packets"), 0);
  }
  TCaptureHandle* none = nullptr;
  CaptureClose(none);
  EXPECT_EQ(driver_->Calls("PacketCloseAdapter"), 1u);
}

TEST_F(PcapTest, OpenFailureNamesTheStepAndReleasesEarlierSteps) {
  struct Case {
    const char* failing;
    bool promiscuous;
    const char* message;
  };
  const Case cases[] = {
      {"PacketOpenAdapter", true, "Cannot Open Adapter \"eth-test\""},
      {"PacketSetHwFilter", true, "Cannot set Device Filter to Promiscuous mode"},
      {"PacketSetHwFilter", false, "Cannot set Device Filter to Directed mode"},
      {"PacketGetNetType", true, "Cannot determine network type and speed"},
      {"PacketAllocatePacket", true, "Cannot allocate Global Packet Object"},
      {"PacketSetBuff", true, "Not enough memory to allocate Driver buffer"},
  };
  const std::string cause = Cause(kDriverError);
  ASSERT_FALSE(cause.empty());
  for (const Case& c : cases) {
    // A driver call that leaves a system error has it named after the
    // step's text; one that leaves none, only the text.
    for (const bool leaves_error : {false, true}) {
      SCOPED_TRACE(std::string(c.message) + (leaves_error ? ", with an error" : ""));
      driver_->Reset();
      driver_->Fail(c.failing);
      if (leaves_error) driver_->FailError(kDriverError);
      std::string error;
      EXPECT_EQ(CaptureOpen("eth-test", 1514, c.promiscuous, error), nullptr);
      EXPECT_EQ(error, leaves_error ? c.message + (": " + cause) : c.message);
      EXPECT_EQ(driver_->Live("adapters"), 0);
      EXPECT_EQ(driver_->Live("packets"), 0);
      EXPECT_EQ(driver_->Calls("PacketSetHwFilter"),
                c.failing == std::string("PacketOpenAdapter") ? 0u : 1u);
    }
  }
}

TEST_F(PcapTest, LongAdapterNameIsCutForTheDriverButReportedWhole) {
  driver_->Fail("PacketOpenAdapter");
  const std::string name(3000, 'n');
  std::string error;
  EXPECT_EQ(CaptureOpen(name, 1514, true, error), nullptr);
  EXPECT_EQ(std::string(driver_->OpenedName()), std::string(2047, 'n'));
  EXPECT_EQ(error, "Cannot Open Adapter \"" + name + "\"");
}

TEST_F(PcapTest, CountZeroDeliversWholeBatchInPlace) {
  BatchBuilder b;
  b.Add(60, 0xA1);
  b.Add(41, 0xA2);  // 20 + 41 = 61 bytes: the next record starts 64 bytes on
  b.Add(1514, 0xA3);
  b.Add(60, 0xA4, 60, 24);  // a longer header moves the frame data
  b.Add(3, 0xA5, 3, 20, false);
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  ASSERT_NE(Open(), nullptr);

  EXPECT_EQ(Read(0), 5);
  const std::vector<size_t> starts = {0, 80, 144, 1680, 1764};
  ASSERT_EQ(collector_.records.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const Delivered& d = collector_.records[i];
    EXPECT_EQ(d.record_offset, starts[i]);
    EXPECT_EQ(d.data_offset, starts[i] + (i == 3 ? 24 : 20));
    EXPECT_EQ(d.first_byte, 0xA1 + i);
  }
  EXPECT_EQ(handle_->BytesLeft, 0);
  EXPECT_EQ(driver_->Calls("PacketReceivePacket"), 1u);
}

TEST_F(PcapTest, CountResumesTheBatchWithoutCallingTheDriver) {
  BatchBuilder b;
  for (uint8_t i = 0; i < 5; ++i) b.Add(60, static_cast<uint8_t>(0xB0 + i));
  driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
  ASSERT_NE(Open(), nullptr);

  EXPECT_EQ(Read(2), 2);
  EXPECT_EQ(handle_->BytesLeft, 3 * 80);
  EXPECT_EQ(Read(2), 2);
  EXPECT_EQ(Read(2), 1);
  EXPECT_EQ(handle_->BytesLeft, 0);
  EXPECT_EQ(driver_->Calls("PacketReceivePacket"), 1u);
  ASSERT_EQ(collector_.records.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(collector_.records[i].first_byte, 0xB0 + i);

  // Nothing pending: the next read asks the driver again.
  driver_->QueueBatch(nullptr, 0, 0);
  EXPECT_EQ(Read(2), 0);
  EXPECT_EQ(driver_->Calls("PacketReceivePacket"), 2u);
}

TEST_F(PcapTest, ZeroByteReadAndFailedRead) {
  ASSERT_NE(Open(), nullptr);
  driver_->QueueBatch(nullptr, 0, 0);
  EXPECT_EQ(Read(0), 0);
  EXPECT_TRUE(collector_.records.empty());

  driver_->Fail("PacketReceivePacket");
  EXPECT_EQ(Read(0), -1);
  const char expected[] = "Read Error: PacketRecievePacket failed";
  EXPECT_STREQ(handle_->ErrorText, expected);
  for (size_t i = sizeof(expected); i < sizeof(handle_->ErrorText); ++i)
    ASSERT_EQ(handle_->ErrorText[i], '\0') << i;
  EXPECT_EQ(handle_->BytesLeft, 0);

  // The system's error that the failed read left follows the text.
  driver_->FailError(kDriverError);
  EXPECT_EQ(Read(0), -1);
  EXPECT_EQ(std::string(handle_->ErrorText), expected + (": " + Cause(kDriverError)));
}

// Records the driver should never write: each ends the walk of its batch
// after the good records before it, without looping or reading past the
// batch.
TEST_F(PcapTest, MalformedRecordEndsTheBatch) {
  struct Case {
    const char* name;
    void (*tail)(BatchBuilder&);
    int32_t count;
  };
  const Case cases[] = {
      {"empty record", [](BatchBuilder& b) { b.Header(0, 0, 0); }, 0},
      {"empty record, read by count", [](BatchBuilder& b) { b.Header(0, 0, 0); }, 1},
      {"frame data past the end", [](BatchBuilder& b) { b.Header(1000, 1000, 20); }, 0},
      {"header length past the end", [](BatchBuilder& b) { b.Header(0, 0, 0xFFFF); }, 0},
      {"captured length wraps", [](BatchBuilder& b) { b.Header(0xFFFFFFF0u, 60, 20); }, 0},
      {"header cut short", [](BatchBuilder& b) { b.bytes.resize(b.bytes.size() + 12, 0xEE); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    driver_->Reset();
    collector_.records.clear();
    BatchBuilder b;
    b.Add(60, 0xC1);
    b.Add(60, 0xC2);
    c.tail(b);
    driver_->QueueBatch(b.bytes.data(), b.Size(), b.Size());
    if (!handle_) {
      ASSERT_NE(Open(), nullptr);
    }
    int32_t total = 0;
    for (int i = 0; i < 3 && total < 2; ++i) total += Read(c.count);
    EXPECT_EQ(total, 2);
    // What remains of the batch is dropped, not delivered later.
    EXPECT_EQ(Read(c.count), 0);
    EXPECT_EQ(handle_->BytesLeft, 0);
    ASSERT_EQ(collector_.records.size(), 2u);
    EXPECT_EQ(collector_.records[1].first_byte, 0xC2);
  }
}

// A received-byte count beyond the user buffer is cut to the buffer.
TEST_F(PcapTest, ReceivedCountBeyondTheBufferIsCut) {
  BatchBuilder b;
  while (b.Size() + 80 <= 256000) b.Add(60, 0xD0);
  const size_t records = b.bytes.size() / 80;
  b.Header(0, 0, 0);  // garbage past the end that a full walk would reach
  b.bytes.resize(256000, 0x55);
  driver_->QueueBatch(b.bytes.data(), b.Size(), 300000);
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(Read(0), static_cast<int32_t>(records));
}

// A driver that reads in place, standing in for our Linux driver's entry
// point: frames 1, 2, 3... of a fixed length, the driver's place kept
// across calls; a failure on request.
struct InPlaceDriver {
  static inline std::vector<std::vector<uint8_t>> frames;
  static inline size_t next = 0;
  static inline bool fail = false;

  static BOOLEAN Receive(LPADAPTER, BOOLEAN, PacketFrameHandlerFn handler, void* user,
                         BOOLEAN* backlog) {
    *backlog = 0;
    if (fail) return 0;
    // At most three frames a call, as a driver hands over at most so much.
    for (int n = 0; n < 3 && next < frames.size(); ++n) {
      const std::vector<uint8_t>& f = frames[next++];
      bpf_hdr h{};
      h.bh_caplen = static_cast<uint32_t>(f.size());
      h.bh_datalen = h.bh_caplen;
      h.bh_hdrlen = sizeof(bpf_hdr);
      if (!handler(user, &h, f.data())) break;
    }
    *backlog = next < frames.size() ? 1 : 0;
    return 1;
  }
};

// With a driver that reads in place, records come from the driver one call
// at a time: count stops it where the next call goes on; the driver's
// backlog becomes the handle's; a handler's exception comes out of the
// read (the frame counts as delivered), and a failed read returns -1.
TEST_F(PcapTest, ReadInPlaceKeepsTheDriversPlace) {
  ASSERT_NE(Open(), nullptr);
  InPlaceDriver::frames.clear();
  for (uint8_t i = 1; i <= 8; ++i) InPlaceDriver::frames.push_back(std::vector<uint8_t>(60, i));
  InPlaceDriver::next = 0;
  InPlaceDriver::fail = false;
  struct Restore {
    ~Restore() { PacketDriver.PacketReceiveFrames = saved; }
    PacketReceiveFramesFn saved = PacketDriver.PacketReceiveFrames;
  } restore;
  PacketDriver.PacketReceiveFrames = &InPlaceDriver::Receive;
  const uint32_t received_before = driver_->Calls("PacketReceivePacket");

  std::vector<uint8_t> seen;
  bool throw_on_5 = true;
  auto handler = [&](const bpf_hdr* record, const uint8_t* data) {
    EXPECT_EQ(record->bh_caplen, 60u);
    seen.push_back(data[0]);
    if (data[0] == 5 && throw_on_5) {
      throw_on_5 = false;
      throw std::runtime_error("handler failed");
    }
  };
  using Handler = decltype(handler);
  auto trampoline = [](void* user, const bpf_hdr* record, const uint8_t* data) {
    (*static_cast<Handler*>(user))(record, data);
  };
  EXPECT_EQ(CaptureRead(handle_, 2, trampoline, &handler), 2);
  EXPECT_TRUE(handle_->Backlog);
  // 3, 4 and 5, whose handler raises.
  EXPECT_THROW(CaptureRead(handle_, 0, trampoline, &handler), std::runtime_error);
  EXPECT_EQ(CaptureRead(handle_, 0, trampoline, &handler), 3);  // 6, 7, 8
  EXPECT_FALSE(handle_->Backlog);
  EXPECT_EQ(seen, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  InPlaceDriver::fail = true;
  EXPECT_EQ(CaptureRead(handle_, 0, trampoline, &handler), -1);
  EXPECT_STREQ(handle_->ErrorText, "Read Error: PacketRecievePacket failed");
  EXPECT_EQ(driver_->Calls("PacketReceivePacket"), received_before);
}

}  // namespace
}  // namespace capture
