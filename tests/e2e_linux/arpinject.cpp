// Test tool: sends ARP frames out of one interface through a raw packet
// socket, one per argument, in order.
//   arpinject IFACE MAC/IP[/vlan] ...
// MAC as 00:11:22:33:44:55, IP dotted; with /vlan the frame carries an
// 802.1Q tag with that VLAN id. The Ethernet source and the ARP sender
// hardware address are both MAC; the frame is an ARP request from IP.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static bool ParseMac(const std::string& s, unsigned char mac[6]) {
  unsigned v[6];
  if (std::sscanf(s.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
    return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<unsigned char>(v[i]);
  return true;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IFACE MAC/IP[/vlan] ...\n", argv[0]);
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
    std::vector<unsigned char> f;
    for (int i = 0; i < 6; ++i) f.push_back(0xff);
    f.insert(f.end(), mac, mac + 6);
    if (vlan >= 0) {
      f.insert(f.end(), {0x81, 0x00, static_cast<unsigned char>(vlan >> 8),
                         static_cast<unsigned char>(vlan & 0xff)});
    }
    f.insert(f.end(), {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01});
    f.insert(f.end(), mac, mac + 6);
    const unsigned char* ipb = reinterpret_cast<const unsigned char*>(&ip.s_addr);
    f.insert(f.end(), ipb, ipb + 4);
    for (int i = 0; i < 6; ++i) f.push_back(0);
    f.insert(f.end(), {10, 0, 0, 254});
    while (f.size() < 60) f.push_back(0);
    std::memset(to.sll_addr, 0xff, 6);
    if (sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
      std::perror("sendto");
      return 1;
    }
    usleep(2000);  // keep the order visible to a slow reader
  }
  close(fd);
  return 0;
}
