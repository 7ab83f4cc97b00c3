// Test tool: sends ARP frames out of one interface through a raw packet
// socket, one per argument, in order.
//   arpinject IFACE MAC/IP[/vlan] ...
// MAC as 00:11:22:33:44:55, IP dotted; with /vlan the frame carries an
// 802.1Q tag with that VLAN id. The Ethernet source and the ARP sender
// hardware address are both MAC; the frame is an ARP request from IP.
//
// Flood mode sends COUNT frames in sendmmsg batches:
//   arpinject IFACE --flood ips|macs COUNT [RATE [NEW]]
// Frame k carries pair n = k / (COUNT / NEW), so NEW distinct pairs
// (default: COUNT, every frame a new pair), each repeated in a run.
//   ips:  pair n is 02:aa:00:00:00:01 with 10.64.0.0 + n + 1 (new addresses on one MAC)
//   macs: pair n is 02:bb:00 + (n + 1) with 10.128.0.0 + n + 1 (new MACs, one address each)
// RATE is frames per second, 0 or absent: as fast as the socket takes them.
// Prints the frames sent, the seconds taken and the rate.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

static bool ParseMac(const std::string& s, unsigned char mac[6]) {
  unsigned v[6];
  if (std::sscanf(s.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
    return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(v[i]);
  return true;
}

// An ARP request from mac/ip (ip in network order), broadcast, untagged.
static std::vector<unsigned char> ArpFrame(const unsigned char mac[6], const unsigned char ip[4],
                                           int vlan) {
  std::vector<unsigned char> f;
  for (int i = 0; i < 6; ++i) f.push_back(0xff);
  f.insert(f.end(), mac, mac + 6);
  if (vlan >= 0) {
    f.insert(f.end(), {0x81, 0x00, static_cast<unsigned char>(vlan >> 8),
                       static_cast<unsigned char>(vlan & 0xff)});
  }
  f.insert(f.end(), {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01});
  f.insert(f.end(), mac, mac + 6);
  f.insert(f.end(), ip, ip + 4);
  for (int i = 0; i < 6; ++i) f.push_back(0);
  f.insert(f.end(), {10, 0, 0, 254});
  while (f.size() < 60) f.push_back(0);
  return f;
}

static int Flood(int fd, const sockaddr_ll& to, const std::string& kind, long count, long rate,
                 long distinct) {
  if ((kind != "ips" && kind != "macs") || count <= 0 || rate < 0 || distinct <= 0 ||
      distinct > count || count > (1L << 22)) {
    std::fprintf(stderr, "bad flood arguments\n");
    return 2;
  }
  const bool ips = kind == "ips";
  const long run = count / distinct;  // frames per pair
  constexpr int kBatch = 256;
  std::vector<std::vector<unsigned char>> frames(kBatch);
  std::vector<iovec> iov(kBatch);
  std::vector<mmsghdr> msgs(kBatch);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  long sent = 0;
  while (sent < count) {
    long batch = std::min<long>(kBatch, count - sent);
    if (rate > 0) {
      // Frames due by now at the given rate, in batches of at least one.
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const long due = static_cast<long>(elapsed * static_cast<double>(rate)) + 1;
      if (due <= sent) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      batch = std::min(batch, due - sent);
    }
    for (long i = 0; i < batch; ++i) {
      const long n = std::min((sent + i) / run, distinct - 1) + 1;
      const unsigned char mac[6] = {0x02,
                                    static_cast<unsigned char>(ips ? 0xaa : 0xbb),
                                    0,
                                    static_cast<unsigned char>(ips ? 0 : n >> 16),
                                    static_cast<unsigned char>(ips ? 0 : n >> 8),
                                    static_cast<unsigned char>(ips ? 1 : n)};
      const unsigned char ip[4] = {10, static_cast<unsigned char>((ips ? 64 : 128) + (n >> 16)),
                                   static_cast<unsigned char>(n >> 8),
                                   static_cast<unsigned char>(n)};
      frames[i] = ArpFrame(mac, ip, -1);
      iov[i] = {frames[i].data(), frames[i].size()};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_name = const_cast<sockaddr_ll*>(&to);
      msgs[i].msg_hdr.msg_namelen = sizeof to;
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    long done = 0;
    while (done < batch) {
      const int n = sendmmsg(fd, msgs.data() + done, static_cast<unsigned>(batch - done), 0);
      if (n < 0) {
        if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          continue;
        }
        std::perror("sendmmsg");
        return 1;
      }
      done += n;
    }
    sent += batch;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("sent %ld frames in %.3f s (%.0f frames/s)\n", sent, seconds,
              static_cast<double>(sent) / (seconds > 0 ? seconds : 1e-9));
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s IFACE MAC/IP[/vlan] ...\n"
                 "       %s IFACE --flood ips|macs COUNT [RATE [NEW]]\n",
                 argv[0], argv[0]);
    return 2;
  }
  int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (fd < 0) {
    std::perror("socket");
    return 1;
  }
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
  to.sll_halen = 6;
  if (to.sll_ifindex == 0) {
    std::fprintf(stderr, "no interface %s\n", argv[1]);
    return 1;
  }
  std::memset(to.sll_addr, 0xff, 6);
  if (std::string(argv[2]) == "--flood") {
    if (argc < 5 || argc > 7) {
      std::fprintf(stderr, "usage: %s IFACE --flood ips|macs COUNT [RATE [NEW]]\n", argv[0]);
      return 2;
    }
    const long count = std::atol(argv[4]);
    const int rc = Flood(fd, to, argv[3], count, argc > 5 ? std::atol(argv[5]) : 0,
                         argc > 6 ? std::atol(argv[6]) : count);
    close(fd);
    return rc;
  }
  for (int a = 2; a < argc; ++a) {
    std::string arg = argv[a];
    size_t p1 = arg.find('/');
    size_t p2 = arg.find('/', p1 + 1);
    unsigned char mac[6];
    in_addr ip{};
    if (p1 == std::string::npos || !ParseMac(arg.substr(0, p1), mac) ||
        inet_pton(AF_INET, arg.substr(p1 + 1, p2 - p1 - 1).c_str(), &ip) != 1) {
      std::fprintf(stderr, "bad frame argument %s\n", arg.c_str());
      return 2;
    }
    int vlan = p2 == std::string::npos ? -1 : std::atoi(arg.c_str() + p2 + 1);
    const std::vector<unsigned char> f =
        ArpFrame(mac, reinterpret_cast<const unsigned char*>(&ip.s_addr), vlan);
    if (sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
      std::perror("sendto");
      return 1;
    }
    usleep(2000);  // keep the order visible to a slow reader
  }
  close(fd);
  return 0;
}
