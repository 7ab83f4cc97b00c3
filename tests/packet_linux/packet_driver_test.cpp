// libpacket.so on real packet sockets. The test process moves into a
// network namespace of its own with two veth pairs: tcap0/tcap1 up (frames
// are sent on tcap0 and captured on tcap1) and tdn0/tdn1 down. IPv6 is off
// in the namespace, so the links stay quiet apart from what the test sends.
// The driver is bound through the capture layer from beside this
// executable, as the program binds it.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "capture/Packet32.h"
#include "capture/bpf.h"

namespace {

using namespace capture;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kUserBuffer = 256000;

// Every frame the test sends comes from this MAC prefix.
const uint8_t kTestMac[6] = {0x02, 0x54, 0x53, 0x00, 0x00, 0x00};

void WriteProc(const char* path, const char* value) {
  std::ofstream f(path);
  if (f) f << value;
}

bool Run(const std::string& command) { return std::system((command + " 2>&1").c_str()) == 0; }

// Moves this process into a new network namespace and builds the links.
// Returns why it could not, or "".
std::string MakeNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    return std::string("cannot create a network namespace (unshare: ") + std::strerror(errno) +
           "); run as root or with CAP_SYS_ADMIN";
  }
  WriteProc("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
  WriteProc("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
  if (!Run("ip link add name tdn0 type veth peer name tdn1") ||
      !Run("ip link add name tcap0 type veth peer name tcap1") || !Run("ip link set tcap0 up") ||
      !Run("ip link set tcap1 up")) {
    return "cannot create the veth pairs with ip(8)";
  }
  return "";
}

// Frames as they go on the wire.
Bytes ArpFrame(uint8_t id, size_t length) {
  Bytes f = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  f.insert(f.end(), kTestMac, kTestMac + 5);
  f.push_back(id);
  const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
  f.insert(f.end(), arp, arp + sizeof arp);
  f.insert(f.end(), kTestMac, kTestMac + 5);
  f.push_back(id);
  const uint8_t rest[] = {10, 0, 0, id, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1};
  f.insert(f.end(), rest, rest + sizeof rest);
  f.resize(std::max(length, f.size()), 0);
  return f;
}

// Inserts an 802.1Q/802.1ad tag after the source MAC.
Bytes Tagged(Bytes f, uint16_t tpid, uint16_t tci) {
  const uint8_t tag[] = {uint8_t(tpid >> 8), uint8_t(tpid), uint8_t(tci >> 8), uint8_t(tci)};
  f.insert(f.begin() + 12, tag, tag + 4);
  return f;
}

class Sender {
 public:
  explicit Sender(const char* interface) {
    fd_ = socket(AF_PACKET, SOCK_RAW, 0);
    to_.sll_family = AF_PACKET;
    to_.sll_ifindex = static_cast<int>(if_nametoindex(interface));
    to_.sll_halen = 6;
  }
  ~Sender() {
    if (fd_ >= 0) close(fd_);
  }
  void Send(const Bytes& f) {
    ASSERT_EQ(sendto(fd_, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_),
              static_cast<ssize_t>(f.size()))
        << std::strerror(errno);
  }

 private:
  int fd_ = -1;
  sockaddr_ll to_{};
};

struct Record {
  bpf_hdr header;
  Bytes data;
};

// Every frame read, in order, whole and with the lengths it had on the wire.
void ExpectFramesAsSent(const std::vector<Record>& got, const std::vector<Bytes>& frames) {
  ASSERT_EQ(got.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].data, frames[i]);
    EXPECT_EQ(got[i].header.bh_caplen, frames[i].size());
    EXPECT_EQ(got[i].header.bh_datalen, frames[i].size());
  }
}

// Walks one batch as the program does, checking the layout on the way:
// header length 20, records on 4-byte boundaries, nothing past the batch,
// and the batch ending where its last record's padding ends.
std::vector<Record> ParseBatch(const uint8_t* batch, uint32_t length) {
  std::vector<Record> out;
  uint32_t at = 0;
  while (at < length) {
    EXPECT_EQ(at % 4, 0u);
    EXPECT_LE(at + sizeof(bpf_hdr), length);
    if (at + sizeof(bpf_hdr) > length) break;
    Record r;
    std::memcpy(&r.header, batch + at, sizeof r.header);
    EXPECT_EQ(r.header.bh_hdrlen, sizeof(bpf_hdr));
    EXPECT_LE(at + r.header.bh_hdrlen + r.header.bh_caplen, length);
    if (at + r.header.bh_hdrlen + r.header.bh_caplen > length) break;
    const uint8_t* data = batch + at + r.header.bh_hdrlen;
    r.data.assign(data, data + r.header.bh_caplen);
    out.push_back(std::move(r));
    at += BPF_WORDALIGN(r.header.bh_hdrlen + r.header.bh_caplen);
  }
  EXPECT_EQ(at, length) << "the byte count ends inside a record's padding";
  return out;
}

bool FromTest(const Record& r) {
  return r.data.size() >= 12 && std::memcmp(r.data.data() + 6, kTestMac, 5) == 0;
}

int Promiscuity(const char* interface) {
  std::string cmd = std::string("ip -d -o link show dev ") + interface;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) text.append(buf, n);
  pclose(p);
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("promiscuity ([0-9]+)"))) return -1;
  return std::stoi(m[1]);
}

class PacketDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_ = MakeNamespace();
    // The capture layer's own binding of the fifteen entry points, from
    // libpacket.so beside this executable, as the program binds them.
    if (skip_.empty() && !BindPacketDriver()) {
      load_error_ = "libpacket.so beside the test lacks an entry point or cannot be loaded";
    }
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_EQ(load_error_, "");
  }

  void TearDown() override {
    if (packet_) PacketDriver.PacketFreePacket(packet_);
    if (adapter_) PacketDriver.PacketCloseAdapter(adapter_);
  }

  // Opens tcap1 the way the program does: promiscuous, 1,000,000-byte
  // driver buffer, 100 ms read timeout, a 256,000-byte user buffer.
  void OpenCapture(uint32_t user_buffer = kUserBuffer) {
    char name[] = "tcap1";
    adapter_ = PacketDriver.PacketOpenAdapter(name);
    ASSERT_NE(adapter_, nullptr);
    ASSERT_NE(PacketDriver.PacketSetHwFilter(adapter_, 0x20), 0);
    NetType type{};
    ASSERT_NE(PacketDriver.PacketGetNetType(adapter_, &type), 0);
    packet_ = PacketDriver.PacketAllocatePacket();
    ASSERT_NE(packet_, nullptr);
    buffer_.assign(user_buffer, 0);
    PacketDriver.PacketInitPacket(packet_, buffer_.data(), user_buffer);
    ASSERT_NE(PacketDriver.PacketSetBuff(adapter_, 1000000), 0);
    ASSERT_NE(PacketDriver.PacketSetReadTimeout(adapter_, 100), 0);
  }

  // One read; the records it delivered.
  std::vector<Record> Read() {
    EXPECT_NE(PacketDriver.PacketReceivePacket(adapter_, packet_, 1), 0);
    EXPECT_LE(packet_->ulBytesReceived, packet_->Length);
    return ParseBatch(buffer_.data(), packet_->ulBytesReceived);
  }

  // Reads until count test frames have come or two seconds have passed.
  // Each inner vector is what one read delivered.
  std::vector<std::vector<Record>> ReadTestFrames(size_t count) {
    std::vector<std::vector<Record>> reads;
    size_t got = 0;
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (got < count && Clock::now() < deadline) {
      std::vector<Record> batch;
      for (Record& r : Read()) {
        if (FromTest(r)) batch.push_back(std::move(r));
      }
      got += batch.size();
      if (!batch.empty()) reads.push_back(std::move(batch));
    }
    return reads;
  }

  static std::vector<Record> Flatten(const std::vector<std::vector<Record>>& reads) {
    std::vector<Record> all;
    for (const auto& r : reads) all.insert(all.end(), r.begin(), r.end());
    return all;
  }

  static inline std::string skip_;
  static inline std::string load_error_;
  void* adapter_ = nullptr;
  LPPACKET packet_ = nullptr;
  Bytes buffer_;
};

// The list holds the Ethernet links, those that are up first, each group in
// index order, as 16-bit little-endian text. Loopback carries no ARP and is
// not listed.
TEST_F(PacketDriverTest, AdapterNamesListEthernetLinksUpFirst) {
  auto by_index = [](const char* a, const char* b) {
    return if_nametoindex(a) < if_nametoindex(b) ? std::vector<std::string>{a, b}
                                                 : std::vector<std::string>{b, a};
  };
  std::vector<std::string> expected = by_index("tcap0", "tcap1");
  for (auto& n : by_index("tdn0", "tdn1")) expected.push_back(n);

  std::vector<char> buffer(40960, 0);
  uint32_t size = 20480;
  EXPECT_NE(PacketDriver.PacketGetAdapterNames(buffer.data(), &size), 0);

  std::vector<std::string> names(1);
  uint32_t i = 0;
  for (; i < size; ++i) {
    uint16_t c = uint8_t(buffer[2 * i]) | uint8_t(buffer[2 * i + 1]) << 8;
    if (c == 0 && names.back().empty()) break;
    if (c == 0) {
      names.emplace_back();
    } else {
      names.back().push_back(static_cast<char>(c));
    }
  }
  names.pop_back();
  EXPECT_EQ(names, expected);
  EXPECT_EQ(i + 1, size) << "size counts the characters up to the closing NUL";
}

// Whatever room the caller gives, nothing is written past it, only whole
// names are listed, and the list stays terminated.
TEST_F(PacketDriverTest, AdapterNamesStayWithinTheGivenSize) {
  std::vector<char> full(40960, 0);
  uint32_t full_size = 20480;
  ASSERT_NE(PacketDriver.PacketGetAdapterNames(full.data(), &full_size), 0);
  uint32_t first_name = 0;
  while (full[2 * first_name] != 0) ++first_name;

  struct Case {
    uint32_t room;
    uint32_t size_after;  // characters written
    bool ok;
  } cases[] = {
      {full_size, full_size, true},
      {full_size - 1, full_size - 5, false},  // the last name, tdn0 or tdn1, no longer fits
      {first_name + 2, first_name + 2, false},
      {first_name + 1, 2, false},  // not even one name: an empty list
      {1, 1, false},
      {0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.room);
    std::vector<char> buffer(2 * full_size + 16, '\x5a');
    uint32_t size = c.room;
    EXPECT_EQ(PacketDriver.PacketGetAdapterNames(buffer.data(), &size) != 0, c.ok);
    EXPECT_EQ(size, c.size_after);
    for (size_t i = 2 * c.room; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '\x5a') << i;
    // The written part is a prefix of the full list, closed by two NULs.
    if (size >= 2) {
      size_t names = size > 2 ? size - 1 : 0;
      EXPECT_EQ(std::memcmp(buffer.data(), full.data(), 2 * names), 0);
      EXPECT_EQ(buffer[2 * size - 1], 0);
      EXPECT_EQ(buffer[2 * size - 2], 0);
    }
  }
}

// A failed open leaves its cause in errno for the capture layer to name.
TEST_F(PacketDriverTest, OpenFailsForNamesThatAreNoInterface) {
  std::string too_long(64, 'x');
  for (const char* name : {"", "nosuch0", too_long.c_str()}) {
    std::string copy = name;
    errno = 0;
    EXPECT_EQ(PacketDriver.PacketOpenAdapter(copy.data()), nullptr) << name;
    EXPECT_EQ(errno, ENODEV) << name;
  }
  errno = 0;
  EXPECT_EQ(PacketDriver.PacketOpenAdapter(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(PacketDriverTest, NetTypeAnswersMediumAndSpeed) {
  struct Case {
    const char* name;
    uint32_t speed;
  } cases[] = {
      {"tcap1", 0xFFFFFFFFu},  // veth says 10 Gb/s: more than 32 bits hold
      {"lo", 0},               // no link speed
  };
  for (const Case& c : cases) {
    std::string name = c.name;
    void* a = PacketDriver.PacketOpenAdapter(name.data());
    ASSERT_NE(a, nullptr) << c.name;
    NetType type{99, 99};
    EXPECT_NE(PacketDriver.PacketGetNetType(a, &type), 0);
    EXPECT_EQ(type.LinkType, 0u) << c.name;
    EXPECT_EQ(type.LinkSpeed, c.speed) << c.name;
    PacketDriver.PacketCloseAdapter(a);
  }
}

TEST_F(PacketDriverTest, HwFilterTurnsPromiscuousModeOnAndOff) {
  char name[] = "tcap1";
  adapter_ = PacketDriver.PacketOpenAdapter(name);
  ASSERT_NE(adapter_, nullptr);
  ASSERT_EQ(Promiscuity("tcap1"), 0);
  struct Step {
    uint32_t filter;
    bool ok;
    int promiscuity;
  } steps[] = {
      {0x20, true, 1}, {0x20, true, 1},  {0x01, true, 0},  {0x01, true, 0},
      {0x20, true, 1}, {0x02, false, 1}, {0x00, false, 1}, {0x21, false, 1},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(PacketDriver.PacketSetHwFilter(adapter_, s.filter) != 0, s.ok) << s.filter;
    EXPECT_EQ(Promiscuity("tcap1"), s.promiscuity) << s.filter;
  }
  // Closing gives the promiscuous membership back.
  PacketDriver.PacketCloseAdapter(adapter_);
  adapter_ = nullptr;
  EXPECT_EQ(Promiscuity("tcap1"), 0);
}

// Tagged frames come back as they were sent: the kernel takes the outer tag
// out of the frame, the driver puts it back with its own TPID and TCI.
TEST_F(PacketDriverTest, DeliversFramesInOrderAsOnTheWire) {
  OpenCapture();
  const std::vector<Bytes> frames = {
      ArpFrame(1, 42),                                                  // short, no padding
      Tagged(ArpFrame(2, 60), 0x8100, 0x6005),                          // 802.1Q, priority 3
      ArpFrame(3, 60),                                                  // minimum size
      Tagged(Tagged(ArpFrame(4, 46), 0x8100, 0x0007), 0x88a8, 0x0abc),  // 802.1ad over 802.1Q
      Tagged(ArpFrame(5, 300), 0x8100, 0x0fff),
  };
  Sender sender("tcap0");
  time_t now = time(nullptr);
  for (const Bytes& f : frames) sender.Send(f);

  std::vector<Record> got = Flatten(ReadTestFrames(frames.size()));
  ASSERT_NO_FATAL_FAILURE(ExpectFramesAsSent(got, frames));
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_LE(std::abs(got[i].header.bh_tstamp.tv_sec - static_cast<int32_t>(now)), 5);
    EXPECT_LT(got[i].header.bh_tstamp.tv_usec, 1000000);
  }

  uint32_t stats[2] = {0, 0};
  ASSERT_NE(PacketDriver.PacketGetStats(adapter_, stats), 0);
  EXPECT_GE(stats[0], frames.size());
  EXPECT_EQ(stats[1], 0u);
}

// A frame that does not fit stays in the driver for the next read; a frame
// larger than the whole buffer comes cut to the buffer rather than never.
TEST_F(PacketDriverTest, FrameThatDoesNotFitWaitsForTheNextRead) {
  const uint32_t record = sizeof(bpf_hdr) + 60;
  OpenCapture(2 * record - 4);
  Sender sender("tcap0");
  sender.Send(ArpFrame(1, 60));
  sender.Send(ArpFrame(2, 60));
  sender.Send(ArpFrame(3, 60));

  auto reads = ReadTestFrames(3);
  for (const auto& r : reads) EXPECT_EQ(r.size(), 1u);
  std::vector<Record> got = Flatten(reads);
  ASSERT_EQ(got.size(), 3u);
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(got[i].data, ArpFrame(i + 1, 60));
}

TEST_F(PacketDriverTest, FrameLargerThanTheBufferIsCut) {
  OpenCapture(sizeof(bpf_hdr) + 32);
  Sender sender("tcap0");
  Bytes big = ArpFrame(1, 60);
  sender.Send(big);
  sender.Send(ArpFrame(2, 60));

  std::vector<Record> got = Flatten(ReadTestFrames(2));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].header.bh_caplen, 32u);
  EXPECT_EQ(got[0].header.bh_datalen, 60u);
  EXPECT_EQ(got[0].data, Bytes(big.begin(), big.begin() + 32));
  EXPECT_EQ(got[1].header.bh_datalen, 60u);
}

// What one call of the read in place handed over: the test's frames, with
// the header each came with, and whether frames still waited after it.
struct InPlace {
  std::vector<Record> records;
  bool backlog = false;
  int calls = 0;    // handler calls, the test's frames or not
  int stop_at = 0;  // > 0: the handler asks to stop after this many calls
};

BOOLEAN KeepInPlace(void* user, const bpf_hdr* record, const uint8_t* data) {
  auto* read = static_cast<InPlace*>(user);
  Record r{*record, Bytes(data, data + record->bh_caplen)};
  if (FromTest(r)) read->records.push_back(std::move(r));
  ++read->calls;
  return read->stop_at > 0 && read->calls >= read->stop_at ? 0 : 1;
}

// The read in place hands over the same frames, tags put back, as the
// read into the buffer; a handler that stops leaves the rest for the next
// call, which goes on with the next frame without waiting.
TEST_F(PacketDriverTest, ReadInPlaceDeliversFramesAsOnTheWire) {
  OpenCapture();
  ASSERT_NE(PacketDriver.PacketReceiveFrames, nullptr);
  const std::vector<Bytes> frames = {
      ArpFrame(1, 42),  Tagged(ArpFrame(2, 60), 0x8100, 0x6005),
      ArpFrame(3, 60),  Tagged(Tagged(ArpFrame(4, 46), 0x8100, 0x0007), 0x88a8, 0x0abc),
      ArpFrame(5, 300),
  };
  Sender sender("tcap0");
  for (const Bytes& f : frames) sender.Send(f);
  std::vector<Record> got;
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (got.size() < frames.size() && Clock::now() < deadline) {
    InPlace read;
    read.stop_at = 1;
    BOOLEAN backlog = 1;
    ASSERT_NE(PacketDriver.PacketReceiveFrames(adapter_, 1, &KeepInPlace, &read, &backlog), 0);
    EXPECT_LE(read.calls, 1);
    for (Record& r : read.records) got.push_back(std::move(r));
  }
  ASSERT_NO_FATAL_FAILURE(ExpectFramesAsSent(got, frames));
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].header.bh_hdrlen, sizeof(bpf_hdr));
  }
  // Nothing waits now: an empty read within the timeout, no backlog.
  InPlace empty;
  BOOLEAN backlog = 1;
  ASSERT_NE(PacketDriver.PacketReceiveFrames(adapter_, 1, &KeepInPlace, &empty, &backlog), 0);
  EXPECT_TRUE(empty.records.empty());
  EXPECT_EQ(backlog, 0);
}

// More frames waiting than one read in place takes: it says so, and the
// reads that follow deliver every frame once, in order.
TEST_F(PacketDriverTest, ReadInPlaceTellsOfFramesStillWaiting) {
  OpenCapture();
  constexpr int kFrames = 4000;  // a few ring blocks of minimum-size frames
  Sender sender("tcap0");
  for (int i = 0; i < kFrames; ++i) {
    Bytes f = ArpFrame(static_cast<uint8_t>(i), 60);
    f[40] = static_cast<uint8_t>(i >> 8);
    sender.Send(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // every block handed over
  std::vector<bool> backlogs;
  std::vector<Record> got;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (got.size() < kFrames && Clock::now() < deadline) {
    InPlace read;
    BOOLEAN backlog = 0;
    ASSERT_NE(PacketDriver.PacketReceiveFrames(adapter_, 1, &KeepInPlace, &read, &backlog), 0);
    backlogs.push_back(backlog != 0);
    for (Record& r : read.records) got.push_back(std::move(r));
  }
  ASSERT_EQ(got.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(got[i].data[11], static_cast<uint8_t>(i)) << i;
    ASSERT_EQ(got[i].data[40], static_cast<uint8_t>(i >> 8)) << i;
  }
  ASSERT_GE(backlogs.size(), 2u);
  EXPECT_TRUE(backlogs.front());
  EXPECT_FALSE(backlogs.back());
}

TEST_F(PacketDriverTest, ReadReturnsEmptyWithinTheTimeout) {
  OpenCapture();
  auto start = Clock::now();
  ASSERT_NE(PacketDriver.PacketReceivePacket(adapter_, packet_, 1), 0);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_EQ(packet_->ulBytesReceived, 0u);
  EXPECT_GE(waited.count(), 90);
  EXPECT_LT(waited.count(), 2000);
}

// Resizing the ring keeps the adapter capturing; a size of zero or less is
// refused.
TEST_F(PacketDriverTest, SetBuffResizesTheRing) {
  OpenCapture();
  EXPECT_EQ(PacketDriver.PacketSetBuff(adapter_, 0), 0);
  EXPECT_EQ(PacketDriver.PacketSetBuff(adapter_, -1), 0);
  Sender sender("tcap0");
  uint8_t id = 1;
  for (int32_t bytes : {32000000, 1000000}) {
    SCOPED_TRACE(bytes);
    ASSERT_NE(PacketDriver.PacketSetBuff(adapter_, bytes), 0);
    sender.Send(ArpFrame(id, 60));
    std::vector<Record> got = Flatten(ReadTestFrames(1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, ArpFrame(id, 60));
    ++id;
  }
}

TEST_F(PacketDriverTest, EntryPointsTheProgramNeverCallsAnswerFailure) {
  OpenCapture();
  EXPECT_EQ(PacketDriver.PacketSendPacket(adapter_, packet_, 1), 0);
  uint8_t oid[64] = {};
  EXPECT_EQ(PacketDriver.PacketRequest(adapter_, 0, oid), 0);
  EXPECT_EQ(PacketDriver.PacketSetBpf(adapter_, oid), 0);
}

}  // namespace
