// The end-to-end test's syslog server: a UDP listener for the host (Linux),
// compiled by the test script. Writes each datagram received as one line of
// the output file, "\\", "\r" and "\n" escaped as \\, \r and \n, flushed at
// once. Ends after the given number of seconds.
//   udp_listen ADDRESS PORT OUTFILE SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: udp_listen ADDRESS PORT OUTFILE SECONDS\n");
    return 2;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(std::atoi(argv[2])));
  if (fd < 0 || inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("udp_listen: bind");
    return 1;
  }
  FILE* out = std::fopen(argv[3], "a");
  if (!out) {
    std::perror("udp_listen: output");
    return 1;
  }
  // Ready: the test waits for this line before it starts anything.
  std::printf("listening\n");
  std::fflush(stdout);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[4]));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) continue;
    std::string line;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c == '\\') {
        line += "\\\\";
      } else if (c == '\r') {
        line += "\\r";
      } else if (c == '\n') {
        line += "\\n";
      } else {
        line += c;
      }
    }
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
  }
  std::fclose(out);
  close(fd);
  return 0;
}
