// The socket stack over the Windows Sockets 2 library, bound at run time
// (IdWinSock2). Creating the first stack of the process loads the library
// and runs its start-up call; the start-up is made once per process.
//
// The program itself ends with _Exit while its watch thread may still be
// sending (service/tessalin.cpp), so neither FinalizeSocketLibrary nor the
// atexit registration runs there: a clean-up under a running sender could
// fail its send, or free the code it is calling. The system releases the
// library with the process. A process that ends through exit() (the tests)
// gets the clean-up from the atexit registration.
#pragma once

#include "syslog/IdStack.h"

namespace syslog {

class TIdStackWindows : public TIdStack {
 public:
  // Starts the socket library unless it is already started. Raises
  // EIdWS2StubError when the library cannot be loaded and
  // EIdStackInitializationFailed "Winsock Initialization Error." when its
  // start-up call reports an error.
  TIdStackWindows();
  ~TIdStackWindows() override;

  void RefreshLocalAddresses() override;
  int WSCloseSocket(ws2::TSocket socket) override;
  std::string LookupHostAddress(const std::string& name) override;
  // The platform's host name, up to its first zero byte (250 at most).
  std::string LocalHostName() override;
  uint16_t WSHToNs(uint16_t value) override;
  int WSConnect(ws2::TSocket socket, const std::string& address, int port) override;
  int WSSendTo(ws2::TSocket socket, const void* buffer, int count, int flags,
               const std::string& address, int port) override;
  // Through the library's batch send when it has one (the Linux module),
  // otherwise one datagram at a time.
  int WSSendToMany(ws2::TSocket socket, const ws2::TDatagram* datagrams, int count, int flags,
                   const std::string& address, int port) override;
  int WSSetSockOpt(ws2::TSocket socket, int level, int option, const void* value,
                   int length) override;
  ws2::TSocket WSSocket(int family, int socket_type, int protocol) override;
  int WSShutdown(ws2::TSocket socket, int how) override;
  std::string SocketErrorText(int code) override;
  int WSGetLastError() override;

 private:
  // The socket address of a dotted quad and a port.
  ws2::TSockAddrIn Destination(const std::string& address, int port);
};

// Whether the library's start-up call has succeeded in this process.
bool SocketsStarted();

// The library's clean-up call (once, when it was started), then
// UnloadSocketLibrary. Swallows failures, so that it is safe at exit;
// registered with atexit at the first successful start-up. No socket may be
// in use by then. Idempotent.
void FinalizeSocketLibrary() noexcept;

}  // namespace syslog
