#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>

#include "platform/ReportStream.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

// The longest single wait before the abandon flag is looked at again.
constexpr int kSliceMs = 250;

std::string SocketError(const std::string& call, int code) {
  return call + ": " + SystemErrorMessage(static_cast<uint32_t>(code)) + " (" +
         std::to_string(code) + ")";
}

// The stream's own start-up of the socket library, once per process; the
// library counts it beside the syslog client's.
void StartWinSock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

class Socket {
 public:
  explicit Socket(SOCKET s) : s_(s) {}
  ~Socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const noexcept { return s_; }

 private:
  SOCKET s_;
};

// Waits until s is writable (or readable) or the deadline passes; raises
// when it passes, on a socket error, or when abandon is set.
void WaitFor(SOCKET s, bool write, std::chrono::steady_clock::time_point deadline, bool timed,
             const std::atomic<bool>& abandon, const std::string& what) {
  for (;;) {
    if (abandon.load(std::memory_order_relaxed)) {
      throw EConnectionError(what + ": given up at the stop");
    }
    int wait = kSliceMs;
    if (timed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) throw EConnectionError(what + ": timed out");
      if (left < wait) wait = static_cast<int>(left);
    }
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv{wait / 1000, (wait % 1000) * 1000};
    const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
    if (n == SOCKET_ERROR) throw EConnectionError(SocketError("select", WSAGetLastError()));
    if (n > 0 && FD_ISSET(s, &failed)) {
      int error = 0;
      int length = sizeof error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      throw EConnectionError(SocketError(what, error ? error : WSAECONNRESET));
    }
    if (n > 0) return;
  }
}

class TcpStream : public ReportStream {
 public:
  TcpStream(const StreamTarget& target, int timeout_ms, const std::atomic<bool>& abandon)
      : s_((StartWinSock(), socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))),
        peer_(target.address + ":" + std::to_string(target.port)) {
    if (s_.get() == INVALID_SOCKET)
      throw EConnectionError(SocketError("socket", WSAGetLastError()));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(target.port));
    if (inet_pton(AF_INET, target.address.c_str(), &to.sin_addr) != 1) {
      throw EConnectionError("connect: \"" + target.address + "\" is not an IPv4 address");
    }
    u_long nonblocking = 1;
    ioctlsocket(s_.get(), FIONBIO, &nonblocking);
    const BOOL one = TRUE;
    setsockopt(s_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    setsockopt(s_.get(), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (connect(s_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK)
        throw EConnectionError(SocketError("connect to " + peer_, error));
      WaitFor(s_.get(), true, deadline, true, abandon, "connect to " + peer_);
    }
  }

  void WriteAll(const char* data, size_t size, const std::atomic<bool>& abandon) override {
    while (size > 0) {
      const int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
      const int n = send(s_.get(), data, chunk, 0);
      if (n > 0) {
        data += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      const int error = n == SOCKET_ERROR ? WSAGetLastError() : WSAECONNRESET;
      if (error == WSAEWOULDBLOCK) {
        WaitFor(s_.get(), true, {}, false, abandon, "send to " + peer_);
        continue;
      }
      throw EConnectionError(SocketError("send to " + peer_, error));
    }
  }

  bool PeerClosed() override {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s_.get(), &ready);
    timeval tv{0, 0};
    if (select(0, &ready, nullptr, nullptr, &tv) <= 0) return false;
    char byte;
    const int n = recv(s_.get(), &byte, 1, MSG_PEEK);
    return n == 0 || (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK);
  }

  SOCKET socket_handle() const noexcept { return s_.get(); }
  const std::string& peer() const noexcept { return peer_; }

 private:
  Socket s_;
  std::string peer_;
};

}  // namespace

std::unique_ptr<ReportStream> OpenReportStream(const StreamTarget& target, int timeout_ms,
                                               const std::atomic<bool>& abandon) {
  if (target.tls) {
    throw EConnectionError("TLS to " + target.address + ":" + std::to_string(target.port) +
                           ": this build has no TLS");
  }
  return std::make_unique<TcpStream>(target, timeout_ms, abandon);
}

}  // namespace platform
