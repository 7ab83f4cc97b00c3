// The replay capture driver, loaded by name as the program loads the real
// one, and read through its entry points.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capture/Packet32.h"
#include "capture/PcapWriter_test.h"
#include "capture/bpf.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"

namespace capture {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Folder() {
  std::string exe = platform::ExecutablePath();
  return exe.substr(0, exe.find_last_of("\\/") + 1);
}

Bytes Frame(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + 3 * i);
  return b;
}

// Frames of 42, 41 (header plus data 61: the next record 64 bytes on) and
// 60 bytes, the second with a wire length larger than what was captured.
const std::vector<Bytes> kFrames = {Frame(42, 1), Frame(41, 2), Frame(60, 3)};

class ReplayPacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = platform::LoadLibraryA("Packet.dll");
    ASSERT_NE(library_, nullptr);
    Bind(names_, "PacketGetAdapterNames");
    Bind(open_, "PacketOpenAdapter");
    Bind(close_, "PacketCloseAdapter");
    Bind(allocate_, "PacketAllocatePacket");
    Bind(init_, "PacketInitPacket");
    Bind(free_, "PacketFreePacket");
    Bind(receive_, "PacketReceivePacket");
    Bind(timeout_, "PacketSetReadTimeout");
    WriteCapture("replay_test.pcap");
  }
  void TearDown() override {
    std::remove((Folder() + "Packet.replay").c_str());
    std::remove((Folder() + "replay_test.pcap").c_str());
  }

  template <typename F>
  void Bind(F& fn, const char* name) {
    fn = reinterpret_cast<F>(platform::GetProcAddress(library_, name));
    ASSERT_NE(fn, nullptr) << name;
  }

  void WriteCapture(const std::string& name) {
    testing::PcapWriter pcap;
    uint32_t second = 1700000000;
    for (const auto& f : kFrames) {
      pcap.Record(second++, 250000, f, uint32_t(f.size() == 41 ? 64 : f.size()));
    }
    std::ofstream(Folder() + name, std::ios::binary) << pcap.bytes();
  }
  void WriteControl(const std::string& text) { std::ofstream(Folder() + "Packet.replay") << text; }

  // The replay adapter under the control text, with a read timeout; null
  // (and a failed check) when it does not open.
  LPADAPTER OpenReplay(const std::string& control, int timeout_ms) {
    WriteControl(control);
    std::string name = AdapterName();
    LPADAPTER adapter = open_(name.data());
    EXPECT_NE(adapter, nullptr);
    if (adapter) timeout_(adapter, timeout_ms);
    return adapter;
  }

  std::string AdapterName() {
    std::vector<char> buffer(40960, 0);
    uint32_t size = 20480;
    EXPECT_TRUE(names_(buffer.data(), &size));
    const auto* wide = reinterpret_cast<const uint16_t*>(buffer.data());
    std::string name;
    for (size_t i = 0; wide[i] != 0; ++i) name += char(wide[i]);
    EXPECT_EQ(wide[name.size() + 1], 0) << "list ends with a second NUL";
    EXPECT_LE(size, 20480u);
    return name;
  }

  // Reads batches until n records have come or reads stop bringing any;
  // returns the records' frames and checks every record's layout.
  std::vector<Bytes> ReadRecords(LPADAPTER adapter, uint32_t buffer_size, size_t n,
                                 std::vector<size_t>* per_read = nullptr) {
    std::vector<uint8_t> buffer(buffer_size);
    LPPACKET packet = allocate_();
    init_(packet, buffer.data(), buffer_size);
    std::vector<Bytes> got;
    for (int empty = 0; got.size() < n && empty < 40;) {
      EXPECT_TRUE(receive_(adapter, packet, 1));
      const uint32_t received = packet->ulBytesReceived;
      EXPECT_LE(received, buffer_size);
      size_t records = 0;
      for (uint32_t at = 0; at < received;) {
        EXPECT_EQ(at % 4, 0u);
        bpf_hdr h;
        std::memcpy(&h, buffer.data() + at, sizeof h);
        EXPECT_EQ(h.bh_hdrlen, sizeof(bpf_hdr));
        EXPECT_LE(at + h.bh_hdrlen + h.bh_caplen, received);
        const uint8_t* data = buffer.data() + at + h.bh_hdrlen;
        got.emplace_back(data, data + h.bh_caplen);
        EXPECT_EQ(h.bh_datalen, h.bh_caplen == 41 ? 64u : h.bh_caplen);
        at = BPF_WORDALIGN(at + h.bh_hdrlen + h.bh_caplen);
        ++records;
      }
      if (received == 0) ++empty;
      if (per_read) per_read->push_back(records);
    }
    free_(packet);
    return got;
  }

  platform::LibraryHandle library_ = nullptr;
  PacketGetAdapterNamesFn names_;
  PacketOpenAdapterFn open_;
  PacketCloseAdapterFn close_;
  PacketAllocatePacketFn allocate_;
  PacketInitPacketFn init_;
  PacketFreePacketFn free_;
  PacketReceivePacketFn receive_;
  PacketSetReadTimeoutFn timeout_;
};

TEST_F(ReplayPacketTest, ExportsAllFifteenEntryPoints) {
  for (const char* name :
       {"PacketGetAdapterNames", "PacketOpenAdapter", "PacketCloseAdapter", "PacketAllocatePacket",
        "PacketInitPacket", "PacketFreePacket", "PacketReceivePacket", "PacketSendPacket",
        "PacketSetHwFilter", "PacketRequest", "PacketSetBuff", "PacketSetBpf", "PacketGetStats",
        "PacketGetNetType", "PacketSetReadTimeout"}) {
    EXPECT_NE(platform::GetProcAddress(library_, name), nullptr) << name;
  }
}

// One batch holds every frame, records 4-byte aligned; afterwards reads
// return within the timeout with no bytes, and no frame comes twice.
TEST_F(ReplayPacketTest, ServesEachFrameOnceThenEmptyReads) {
  LPADAPTER adapter = OpenReplay("replay_test.pcap\r\n", 20);
  ASSERT_NE(adapter, nullptr);
  std::vector<size_t> per_read;
  EXPECT_EQ(ReadRecords(adapter, 256000, 99, &per_read), kFrames);
  ASSERT_FALSE(per_read.empty());
  EXPECT_EQ(per_read[0], 3u);
  close_(adapter);
}

// A buffer too small for the whole file spreads the frames over reads.
TEST_F(ReplayPacketTest, SmallBufferSpreadsFramesOverReads) {
  LPADAPTER adapter = OpenReplay(Folder() + "replay_test.pcap\n", 20);
  ASSERT_NE(adapter, nullptr);
  std::vector<size_t> per_read;
  // 64 + 64 bytes for the first two records, 80 for the third.
  EXPECT_EQ(ReadRecords(adapter, 150, 3, &per_read), kFrames);
  EXPECT_EQ(per_read, (std::vector<size_t>{2, 1}));
  close_(adapter);
}

// Frame 2 waits 100 ms, frame 3 (held by both lines) 400 ms.
TEST_F(ReplayPacketTest, HoldKeepsLaterFramesBack) {
  LPADAPTER adapter = OpenReplay("replay_test.pcap\nhold 2 100\nhold 3 400\n", 50);
  ASSERT_NE(adapter, nullptr);
  std::vector<size_t> per_read;
  EXPECT_EQ(ReadRecords(adapter, 256000, 3, &per_read), kFrames);
  ASSERT_FALSE(per_read.empty());
  EXPECT_EQ(per_read.front(), 1u);
  std::vector<size_t> batches;
  size_t empty_reads = 0;
  for (size_t n : per_read) {
    if (n) batches.push_back(n);
    empty_reads += n == 0;
  }
  EXPECT_EQ(batches, (std::vector<size_t>{1, 1, 1}));
  EXPECT_GE(empty_reads, 4u);
  close_(adapter);
}

TEST_F(ReplayPacketTest, OpenFailsWithoutUsableCaptureOrName) {
  std::string name = AdapterName();
  std::remove((Folder() + "Packet.replay").c_str());
  EXPECT_EQ(open_(name.data()), nullptr) << "no Packet.replay";
  WriteControl("no_such_file.pcap\n");
  EXPECT_EQ(open_(name.data()), nullptr) << "missing capture file";
  WriteControl("Packet.replay\n");
  EXPECT_EQ(open_(name.data()), nullptr) << "not a capture file";
  WriteControl("replay_test.pcap\n");
  char other[] = "\\Device\\NPF_Other";
  EXPECT_EQ(open_(other), nullptr) << "unknown adapter";
}

}  // namespace
}  // namespace capture
