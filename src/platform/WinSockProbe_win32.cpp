// Uses the system's socket library directly (linked into the test and
// benchmark programs), independent of the syslog client's own binding.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/WinSockProbe.h"
#include "rtl/SysUtils.h"

namespace platform {
namespace {

[[noreturn]] void Fail(const char* call) {
  throw rtl::EOSError(rtl::Format("%s failed: error %d", call, ::WSAGetLastError()));
}

}  // namespace

LoopbackDatagramReceiver::LoopbackDatagramReceiver() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) Fail("WSAStartup");
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    ::WSACleanup();
    Fail("socket");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int e = ::WSAGetLastError();
    ::closesocket(s);
    ::WSACleanup();
    ::WSASetLastError(e);
    Fail("bind");
  }
  socket_ = static_cast<SocketHandle>(s);
  port_ = ntohs(addr.sin_port);
}

LoopbackDatagramReceiver::~LoopbackDatagramReceiver() {
  ::closesocket(static_cast<SOCKET>(socket_));
  ::WSACleanup();
}

bool LoopbackDatagramReceiver::Receive(std::string& datagram, int timeout_ms) {
  SOCKET s = static_cast<SOCKET>(socket_);
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int ready = ::select(0, &set, nullptr, nullptr, &tv);
  if (ready == SOCKET_ERROR) Fail("select");
  if (ready == 0) return false;
  datagram.resize(65536);
  int n = ::recv(s, datagram.data(), static_cast<int>(datagram.size()), 0);
  if (n == SOCKET_ERROR) Fail("recv");
  datagram.resize(static_cast<size_t>(n));
  return true;
}

int ReadBroadcastOption(SocketHandle socket) {
  BOOL value = 0;
  int len = sizeof value;
  if (::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_BROADCAST,
                   reinterpret_cast<char*>(&value), &len) != 0) {
    return -1;
  }
  return value;
}

}  // namespace platform
