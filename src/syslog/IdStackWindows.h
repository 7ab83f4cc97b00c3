// The socket stack over the Windows Sockets 2 library, bound at run time
// (IdWinSock2). Creating the first stack of the process loads the library
// and runs its start-up call; the start-up is made once per process, and
// FinalizeSocketLibrary undoes it at program end.
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
  int WSSendTo(ws2::TSocket socket, const void* buffer, int count, int flags,
               const std::string& address, int port) override;
  int WSSetSockOpt(ws2::TSocket socket, int level, int option, const void* value,
                   int length) override;
  ws2::TSocket WSSocket(int family, int socket_type, int protocol) override;
  int WSShutdown(ws2::TSocket socket, int how) override;
  std::string SocketErrorText(int code) override;
  int WSGetLastError() override;
};

// Whether the library's start-up call has succeeded in this process.
bool SocketsStarted();

// Program end: the library's clean-up call (once, when it was started),
// then UnloadSocketLibrary. Swallows failures, so that it is safe at exit;
// also registered with atexit at the first successful start-up. The
// program entry calls it before returning. Idempotent.
void FinalizeSocketLibrary() noexcept;

}  // namespace syslog
