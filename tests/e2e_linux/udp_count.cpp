// Test tool: a UDP listener that only counts what it receives, fast enough
// for a flood of reports (recvmmsg batches, a 64 MB receive buffer).
//   udp_count ADDRESS PORT COUNTFILE SECONDS
// Prints "listening" once bound. While datagrams arrive, COUNTFILE is
// replaced at most every 50 ms by one line "DATAGRAMS FOUND" (FOUND: the
// datagrams whose text holds " found on "). Ends after SECONDS, or at
// SIGTERM / SIGINT, with the file written a last time. The resolver test
// binds it to port 53 as a name server that never answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stop = 0;
void OnSignal(int) { stop = 1; }

bool WriteCount(const std::string& path, unsigned long long datagrams, unsigned long long found) {
  const std::string temp = path + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return false;
  std::fprintf(f, "%llu %llu\n", datagrams, found);
  if (std::fclose(f) != 0) return false;
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: udp_count ADDRESS PORT COUNTFILE SECONDS\n");
    return 2;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  if (fd < 0 || inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
    std::fprintf(stderr, "udp_count: bad address %s\n", argv[1]);
    return 2;
  }
  // Room for the whole burst while this process waits for a core. The
  // forced size needs CAP_NET_ADMIN; without it the ordinary limit applies.
  int size = 64 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    std::perror("udp_count: SO_RCVBUFFORCE");
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("udp_count: bind");
    return 1;
  }
  const std::string path = argv[3];
  if (!WriteCount(path, 0, 0)) {
    std::perror("udp_count: count file");
    return 1;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::printf("listening\n");
  std::fflush(stdout);

  constexpr int kBatch = 256;
  constexpr int kSize = 2048;
  std::vector<char> buffers(static_cast<size_t>(kBatch) * kSize);
  std::vector<iovec> iov(kBatch);
  std::vector<mmsghdr> msgs(kBatch);
  unsigned long long datagrams = 0, found = 0, written = 0;
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::seconds(std::atoi(argv[4]));
  auto last_write = Clock::now();
  while (!stop && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {buffers.data() + static_cast<size_t>(i) * kSize, kSize - 1};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = recvmmsg(fd, msgs.data(), kBatch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n; ++i) {
        char* text = static_cast<char*>(iov[i].iov_base);
        text[msgs[i].msg_len] = '\0';
        ++datagrams;
        if (std::strstr(text, " found on ")) ++found;
      }
    }
    const auto now = Clock::now();
    if (datagrams != written && now - last_write >= std::chrono::milliseconds(50)) {
      WriteCount(path, datagrams, found);
      written = datagrams;
      last_write = now;
    }
  }
  WriteCount(path, datagrams, found);
  close(fd);
  return 0;
}
