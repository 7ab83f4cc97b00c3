// The socket stack: resolves host texts to IPv4 addresses, lists the local
// host's addresses, creates sockets, wraps the socket calls the client
// makes and turns a failed call into EIdSocketError with its text.
//
// One stack serves the process: SharedStack() exists while at least one
// socket component (TIdComponent) lives. StackLock guards the count of
// living components and the creation and freeing of the shared stack, and
// nothing else. A stack is used by one thread at a time; it refreshes its
// local address list without a lock. Nothing is cached: every local
// address query and every host text that is neither "LOCALHOST" nor a
// dotted quad asks the platform again.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "rtl/Classes.h"
#include "rtl/Mutex.h"
#include "syslog/IdWinSock2.h"

namespace syslog {

using TIdIPv4Bytes = std::array<uint8_t, 4>;

class TIdStack : public rtl::TObject {
 public:
  ~TIdStack() override;

  // The dotted-quad text for a host text: "127.0.0.1" for LOCALHOST in any
  // case, a dotted quad unchanged, anything else (the empty text included)
  // through LookupHostAddress. Raises EIdSocketError when the look-up fails.
  std::string HostToAddress(const std::string& host);
  // Four dot-separated parts, each a decimal number from 0 to 255 (leading
  // zeros allowed).
  static bool IsDottedQuad(const std::string& s);

  // Raises when Result is -1 and the platform's error is not in ignore;
  // returns true when it is, false when Result is not -1.
  bool CheckSocketResult(int result, std::initializer_list<int> ignore);
  [[noreturn]] void RaiseSocketFailure(int code);
  int LastErrorCode() const noexcept { return last_error_code_; }

  // A new IPv4 socket; raises EIdInvalidSocket "Cannot allocate socket.".
  ws2::TSocket NewSocket(int socket_type, int protocol);

  // Operations of the concrete stack, in their slot order.
  virtual void RefreshLocalAddresses() = 0;
  // Entry 0 of LocalAddressList; rtl::EListError when the list is empty.
  // Looked up at most once a second: every message asks for it.
  virtual std::string FirstLocalAddress() EXCLUDES(first_mu_);
  // Refilled on every call.
  virtual rtl::TStringList* LocalAddressList();
  virtual int WSCloseSocket(ws2::TSocket socket) = 0;
  virtual std::string LookupHostAddress(const std::string& name) = 0;
  virtual std::string LocalHostName() = 0;
  virtual uint16_t WSHToNs(uint16_t value) = 0;
  // One sendto to the IPv4 address of a dotted quad and a port.
  virtual int WSSendTo(ws2::TSocket socket, const void* buffer, int count, int flags,
                       const std::string& address, int port) = 0;
  // Sends count datagrams, in order, to one address and port; returns how
  // many were sent, or -1 (the error in WSGetLastError) when the first was
  // not. A failure after the first ends the call early. This one sends
  // them one WSSendTo at a time.
  virtual int WSSendToMany(ws2::TSocket socket, const ws2::TDatagram* datagrams, int count,
                           int flags, const std::string& address, int port);
  // Connects a socket to the IPv4 address of a dotted quad and a port (a
  // datagram socket: fixes its peer, so that the peer's refusal comes back
  // as the error of a later send).
  virtual int WSConnect(ws2::TSocket socket, const std::string& address, int port) = 0;
  virtual int WSSetSockOpt(ws2::TSocket socket, int level, int option, const void* value,
                           int length) = 0;
  virtual ws2::TSocket WSSocket(int family, int socket_type, int protocol) = 0;
  virtual int WSShutdown(ws2::TSocket socket, int how) = 0;
  // "Socket Error # %d\r\n%s" with the number and its text.
  virtual std::string SocketErrorText(int code) = 0;
  virtual int WSGetLastError() = 0;
  virtual std::string AddressToDottedQuad(const TIdIPv4Bytes& bytes);
  // The address bytes of a dotted quad, in text (network) order. Raises
  // rtl::EConvertError for a part that is not a number.
  virtual TIdIPv4Bytes DottedQuadToAddress(const std::string& s);

 protected:
  TIdStack() = default;
  rtl::TStringList* LocalAddresses();

 private:
  int last_error_code_ = 0;
  std::unique_ptr<rtl::TStringList> local_addresses_;
  rtl::Mutex first_mu_;
  std::string first_address_ GUARDED_BY(first_mu_);
  std::chrono::steady_clock::time_point first_at_ GUARDED_BY(first_mu_) = {};
};

// How the shared stack is made; TIdStackWindows unless a test says other.
using TIdStackClass = TIdStack* (*)();
TIdStackClass SharedStackClass();
void SetSharedStackClass(TIdStackClass make);

// The shared stack, or null while no socket component lives.
TIdStack* SharedStack();
int LiveComponentCount();

// Component construction and destruction: count one more living component
// and create the stack for the first (a failed creation changes nothing
// and raises); count one less and free the stack after the last.
void AcquireSharedStack();
void ReleaseSharedStack();

}  // namespace syslog
