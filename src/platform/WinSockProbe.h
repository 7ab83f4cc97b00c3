// Test support: looks at sockets from outside the syslog client, for its
// tests and the benchmarks: a datagram receiver on the loopback address, and
// a read-back of a socket's broadcast option. Built into the test-support
// library (tessalin_test_support), never into the program. One thread at a
// time per receiver.
#pragma once

#include <string>

#include "platform/WinSock.h"

namespace platform {

class LoopbackDatagramReceiver {
 public:
  // Binds a datagram socket to 127.0.0.1 on a port the system picks.
  // Throws rtl::EOSError naming the call that failed.
  LoopbackDatagramReceiver();
  ~LoopbackDatagramReceiver();
  LoopbackDatagramReceiver(const LoopbackDatagramReceiver&) = delete;
  LoopbackDatagramReceiver& operator=(const LoopbackDatagramReceiver&) = delete;

  int Port() const noexcept { return port_; }
  // Waits at most timeout_ms for one datagram and returns its bytes;
  // false when none came in time.
  bool Receive(std::string& datagram, int timeout_ms);
  // Waits at most timeout_ms for a datagram, then takes every datagram
  // already queued without keeping their bytes; returns how many were
  // taken. For sinks that only count what arrives.
  size_t Drain(int timeout_ms);

 private:
  SocketHandle socket_ = kInvalidSocket;
  int port_ = 0;
};

// The broadcast option of a socket as the system reads it back: 0 when
// off, nonzero when on, -1 when the handle is not an open socket.
int ReadBroadcastOption(SocketHandle socket);

}  // namespace platform
