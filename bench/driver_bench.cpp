// The Linux capture driver at full rate: in a private network namespace a
// sender thread pushes minimum-size ARP frames (60 bytes) into one end of a
// veth pair with sendmmsg for a bounded time, while this thread reads the
// other end through libpacket.so's PacketReceivePacket, bound by the capture
// layer, into a 256,000-byte buffer, as the program does. Reported: the sender's and the receiver's
// frame rates, frames sent and received, and the ring's drop count from
// PacketGetStats.
//
// Needs CAP_SYS_ADMIN and CAP_NET_RAW (root); skips otherwise.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/Packet32.h"
#include "capture/bpf.h"

namespace {

using namespace capture;
using Clock = std::chrono::steady_clock;

constexpr auto kSendTime = std::chrono::seconds(3);
constexpr uint32_t kUserBuffer = 256000;
constexpr unsigned kBatch = 256;  // frames per sendmmsg

// The capture layer's binding of libpacket.so beside this program, as the
// program binds it.
std::string LoadDriver() {
  return BindPacketDriver() ? "" : "libpacket.so cannot be loaded or lacks an entry point";
}

// Moves this process into a new network namespace with the veth pair
// bsend/brecv, both up, IPv6 off so that only the sender's frames flow.
std::string MakeNamespace() {
  if (unshare(CLONE_NEWNET) != 0) {
    return std::string("cannot create a network namespace: ") + std::strerror(errno);
  }
  for (const char* p : {"/proc/sys/net/ipv6/conf/all/disable_ipv6",
                        "/proc/sys/net/ipv6/conf/default/disable_ipv6"}) {
    std::ofstream f(p);
    if (f) f << "1";
  }
  if (std::system("ip link add name bsend type veth peer name brecv && ip link set bsend up && "
                  "ip link set brecv up") != 0) {
    return "cannot create the veth pair with ip(8)";
  }
  return "";
}

std::vector<uint8_t> MinimumArpFrame() {
  std::vector<uint8_t> f = {
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0x54, 0x53, 0x00, 0x00, 0x01,  // MACs
      0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,              // ARP request
      0x02, 0x54, 0x53, 0x00, 0x00, 0x01, 10,   0,    0,    1,                 // sender
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 10,   0,    0,    2,                 // target
  };
  f.resize(60, 0);
  return f;
}

// Sends until stop is set; returns the frames the kernel took.
uint64_t SendFrames(const std::atomic<bool>& stop) {
  int fd = socket(AF_PACKET, SOCK_RAW, 0);
  if (fd < 0) return 0;
  int one = 1;
  setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_ifindex = static_cast<int>(if_nametoindex("bsend"));
  bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll);

  std::vector<uint8_t> frame = MinimumArpFrame();
  iovec iov{frame.data(), frame.size()};
  std::vector<mmsghdr> msgs(kBatch);
  for (mmsghdr& m : msgs) {
    m = {};
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
  }
  uint64_t sent = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    int n = sendmmsg(fd, msgs.data(), kBatch, 0);
    if (n > 0) sent += static_cast<uint64_t>(n);
  }
  close(fd);
  return sent;
}

// Counts the records of one batch, walking it as the program does.
uint64_t CountRecords(const uint8_t* batch, uint32_t length) {
  uint64_t count = 0;
  uint32_t at = 0;
  while (at < length) {
    bpf_hdr h;
    std::memcpy(&h, batch + at, sizeof h);
    at += BPF_WORDALIGN(h.bh_hdrlen + h.bh_caplen);
    ++count;
  }
  return count;
}

// Opens brecv and sets it up as the program does: promiscuous, a
// 1,000,000-byte driver buffer, a 100 ms read timeout, a 256,000-byte user
// buffer. False (the benchmark skipped) when the adapter cannot be opened.
bool OpenAsTheProgramDoes(benchmark::State& state, void*& adapter, LPPACKET& packet,
                          std::vector<uint8_t>& buffer) {
  char name[] = "brecv";
  adapter = PacketDriver.PacketOpenAdapter(name);
  if (!adapter) {
    state.SkipWithError("PacketOpenAdapter failed");
    return false;
  }
  buffer.assign(kUserBuffer, 0);
  PacketDriver.PacketSetHwFilter(adapter, 0x20);
  packet = PacketDriver.PacketAllocatePacket();
  PacketDriver.PacketInitPacket(packet, buffer.data(), static_cast<uint32_t>(buffer.size()));
  PacketDriver.PacketSetBuff(adapter, 1000000);
  PacketDriver.PacketSetReadTimeout(adapter, 100);
  return true;
}

// The namespace and the driver, once per process; false after a skip.
bool Prepare(benchmark::State& state) {
  static const std::string setup = MakeNamespace();
  std::string why = setup.empty() ? LoadDriver() : setup;
  if (!why.empty()) {
    state.SkipWithError(why.c_str());
    return false;
  }
  return true;
}

void BM_DriverReceivesWhatTheSenderSends(benchmark::State& state) {
  if (!Prepare(state)) return;

  for (auto _ : state) {
    void* adapter;
    LPPACKET packet;
    std::vector<uint8_t> buffer;
    if (!OpenAsTheProgramDoes(state, adapter, packet, buffer)) return;

    // Each sender thread has its own socket; the receive path of the
    // frames it sends runs on its CPU, so one sender is bounded by the
    // kernel's per-frame cost and a second raises the offered rate.
    const int senders = static_cast<int>(state.range(0));
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0};
    std::atomic<int64_t> send_ns{0};
    auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < senders; ++i) {
      threads.emplace_back([&] {
        sent += SendFrames(stop);
        int64_t ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        int64_t seen = send_ns.load();
        while (ns > seen && !send_ns.compare_exchange_weak(seen, ns)) {
        }
      });
    }

    uint64_t received = 0, reads = 0;
    auto last_frame = start;
    auto deadline = start + kSendTime;
    for (;;) {
      bool sending = Clock::now() < deadline;
      if (!sending) stop.store(true);
      if (!PacketDriver.PacketReceivePacket(adapter, packet, 1)) break;
      ++reads;
      if (packet->ulBytesReceived == 0) {
        if (!sending) break;  // drained
        continue;
      }
      received += CountRecords(buffer.data(), packet->ulBytesReceived);
      last_frame = Clock::now();
    }
    for (std::thread& t : threads) t.join();

    uint32_t stats[2] = {0, 0};
    PacketDriver.PacketGetStats(adapter, stats);
    PacketDriver.PacketFreePacket(packet);
    PacketDriver.PacketCloseAdapter(adapter);

    double send_s = send_ns.load() / 1e9;
    double recv_s = std::chrono::duration<double>(last_frame - start).count();
    state.counters["sent"] = static_cast<double>(sent.load());
    state.counters["received"] = static_cast<double>(received);
    state.counters["sender_fps"] = send_s > 0 ? sent.load() / send_s : 0;
    state.counters["receiver_fps"] = recv_s > 0 ? received / recv_s : 0;
    state.counters["kernel_drops"] = stats[1];
    state.counters["frames_per_read"] = reads ? static_cast<double>(received) / reads : 0;
  }
}
BENCHMARK(BM_DriverReceivesWhatTheSenderSends)
    ->ArgName("senders")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// How fast the receiver empties a ring that the kernel has filled: the
// driver's own cost per frame, with nobody sending meanwhile.
void BM_DriverDrainsAFilledRing(benchmark::State& state) {
  if (!Prepare(state)) return;
  constexpr int32_t kRing = 96 * 1000 * 1000;  // ~650,000 minimum-size frames
  for (auto _ : state) {
    void* adapter;
    LPPACKET packet;
    std::vector<uint8_t> buffer;
    if (!OpenAsTheProgramDoes(state, adapter, packet, buffer)) return;
    PacketDriver.PacketSetBuff(adapter, kRing);

    std::atomic<bool> stop{false};
    std::thread sender([&] { SendFrames(stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    stop.store(true);
    sender.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // last block retired

    uint64_t received = 0;
    auto start = Clock::now();
    while (PacketDriver.PacketReceivePacket(adapter, packet, 0) && packet->ulBytesReceived > 0) {
      received += CountRecords(buffer.data(), packet->ulBytesReceived);
    }
    double s = std::chrono::duration<double>(Clock::now() - start).count();
    uint32_t stats[2] = {0, 0};
    PacketDriver.PacketGetStats(adapter, stats);
    PacketDriver.PacketFreePacket(packet);
    PacketDriver.PacketCloseAdapter(adapter);
    state.counters["received"] = static_cast<double>(received);
    state.counters["drain_fps"] = s > 0 ? received / s : 0;
    state.counters["kernel_drops"] = stats[1];
  }
}
BENCHMARK(BM_DriverDrainsAFilledRing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
