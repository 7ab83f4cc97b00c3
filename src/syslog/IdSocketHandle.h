// One socket of a UDP component, with its local and peer endpoint. The
// socket is opened by OpenSocket and closed by ReleaseSocket or the
// destructor. Every call goes through SharedStack(), which must exist
// while a socket is open (its component keeps it). One thread at a time.
#pragma once

#include <string>

#include "rtl/SysUtils.h"
#include "syslog/IdWinSock2.h"

namespace syslog {

class TIdSocketHandle : public rtl::TObject {
 public:
  TIdSocketHandle();
  ~TIdSocketHandle() override;
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  // Copies IP, Port, RemoteAddress and RemotePort from another socket
  // object; any other source raises rtl::EConvertError.
  virtual void CopyFrom(const rtl::TObject& source);
  // Shuts the sending side down and closes the socket when it is open,
  // ignoring both results. reset_local is not looked at.
  virtual void ReleaseSocket(bool reset_local = true);

  // Releases any open socket, then opens a new IPv4 socket. Raises
  // EIdInvalidSocket "Cannot allocate socket.".
  void OpenSocket(int socket_type, int protocol);
  void ClearBinding(bool reset_local);
  // Fixes the socket's peer (a datagram socket: the peer's refusal of an
  // earlier datagram then fails a later send instead of passing unseen).
  // Does nothing when the socket already has that peer. Raises
  // EIdSocketError. The association also fixes the socket's source address
  // by the route to that peer, so a socket that has had a peer is not
  // given another one: the caller opens a new socket (see PeerGiven).
  void ConnectTo(const std::string& address, int port);
  // True once ConnectTo has been called on the open socket, whether or not
  // it succeeded (a failed call may leave an earlier association in place).
  bool PeerGiven() const noexcept { return peer_given_; }
  // One datagram of count bytes to address:port. Raises
  // EIdPackageSizeTooBig (10040), EIdSocketError (any other error) or
  // EIdNotAllBytesSent.
  void TransmitTo(const std::string& address, int port, const void* buffer, int count);
  // Sends count datagrams, in order, to one address and port; returns how
  // many were sent (at least one). Raises as TransmitTo when the first
  // cannot be sent; a later failure ends the call early.
  int TransmitManyTo(const std::string& address, int port, const ws2::TDatagram* datagrams,
                     int count);

  ws2::TSocket OsSocket() const noexcept { return os_socket_; }
  bool SocketOpen() const noexcept { return socket_open_; }
  const std::string& IP() const noexcept { return ip_; }
  void SetIP(const std::string& ip) { ip_ = ip; }
  const std::string& RemoteAddress() const noexcept { return remote_address_; }
  int Port() const noexcept { return port_; }
  void SetPort(int port) { port_ = port; }
  int RemotePort() const noexcept { return remote_port_; }
  int ClientPortMin = 0;
  int ClientPortMax = 0;

 private:
  // EIdPackageSizeTooBig or EIdSocketError for the stack's last error.
  [[noreturn]] static void RaiseSendFailure(class TIdStack* stack);

  ws2::TSocket os_socket_ = ws2::kInvalidSocket;
  bool socket_open_ = false;
  bool peer_given_ = false;
  std::string ip_;
  std::string remote_address_;
  int port_ = 0;
  int remote_port_ = 0;
};

}  // namespace syslog
