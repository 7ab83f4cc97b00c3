#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/WinSockProbe.h"
#include "rtl/SysUtils.h"

namespace platform {
namespace {

[[noreturn]] void Fail(const char* call) {
  throw rtl::EOSError(rtl::Format("%s failed: %s", call, std::strerror(errno)));
}

}  // namespace

LoopbackDatagramReceiver::LoopbackDatagramReceiver() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int e = errno;
    ::close(fd);
    errno = e;
    Fail("bind");
  }
  socket_ = static_cast<SocketHandle>(fd);
  port_ = ntohs(addr.sin_port);
}

LoopbackDatagramReceiver::~LoopbackDatagramReceiver() { ::close(static_cast<int>(socket_)); }

bool LoopbackDatagramReceiver::Receive(std::string& datagram, int timeout_ms) {
  pollfd p{static_cast<int>(socket_), POLLIN, 0};
  int ready = ::poll(&p, 1, timeout_ms);
  if (ready < 0) Fail("poll");
  if (ready == 0) return false;
  char buffer[65536];
  ssize_t n = ::recv(static_cast<int>(socket_), buffer, sizeof buffer, 0);
  if (n < 0) Fail("recv");
  datagram.assign(buffer, static_cast<size_t>(n));
  return true;
}

int ReadBroadcastOption(SocketHandle socket) {
  int value = 0;
  socklen_t len = sizeof value;
  if (socket > static_cast<SocketHandle>(INT32_MAX) ||
      ::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_BROADCAST, &value, &len) != 0) {
    return -1;
  }
  return value;
}

}  // namespace platform
