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
  // Room for a burst; the system may grant less.
  int room = 8 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
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

size_t LoopbackDatagramReceiver::Drain(int timeout_ms) {
  constexpr unsigned kMany = 256;
  static thread_local char buffer[kMany][2048];
  mmsghdr messages[kMany];
  iovec parts[kMany];
  for (unsigned i = 0; i < kMany; ++i) {
    parts[i] = {buffer[i], sizeof buffer[i]};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // Looks every millisecond rather than waiting in the socket: a sender
  // then never has to wake this thread, which would cost it more than the
  // send itself.
  size_t taken = 0;
  for (int waited = 0;;) {
    int n = ::recvmmsg(static_cast<int>(socket_), messages, kMany, MSG_DONTWAIT, nullptr);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) Fail("recvmmsg");
    if (n > 0) {
      taken += static_cast<size_t>(n);
      if (static_cast<unsigned>(n) == kMany) continue;
    }
    if (taken > 0 || waited >= timeout_ms) return taken;
    ::usleep(1000);
    ++waited;
  }
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
