#include "syslog/IdSocketHandle.h"

#include "syslog/IdException.h"
#include "syslog/IdGlobal.h"
#include "syslog/IdStack.h"

namespace syslog {
namespace {

constexpr int kMessageTooLong = 10040;  // WSAEMSGSIZE

}  // namespace

TIdSocketHandle::TIdSocketHandle() { ClearBinding(true); }

TIdSocketHandle::~TIdSocketHandle() { ReleaseSocket(); }

void TIdSocketHandle::CopyFrom(const rtl::TObject& source) {
  auto* other = dynamic_cast<const TIdSocketHandle*>(&source);
  if (!other) RaiseCannotCopy("TIdSocketHandle");
  ip_ = other->ip_;
  port_ = other->port_;
  remote_address_ = other->remote_address_;
  remote_port_ = other->remote_port_;
}

void TIdSocketHandle::ReleaseSocket(bool) {
  if (!socket_open_) return;
  socket_open_ = false;
  TIdStack* stack = SharedStack();
  if (!stack) return;
  try {
    stack->WSShutdown(os_socket_, platform::kSdSend);
    stack->WSCloseSocket(os_socket_);
  } catch (const rtl::Exception&) {
    // Closing is best effort; a stack that cannot reach the library has no
    // socket left to close.
  }
}

void TIdSocketHandle::OpenSocket(int socket_type, int protocol) {
  ReleaseSocket();
  remote_address_.clear();
  remote_port_ = 0;
  peer_given_ = false;
  os_socket_ = SharedStack()->NewSocket(socket_type, protocol);
  socket_open_ = true;
}

void TIdSocketHandle::ClearBinding(bool reset_local) {
  socket_open_ = false;
  peer_given_ = false;
  os_socket_ = ws2::kInvalidSocket;
  if (reset_local) {
    ip_.clear();
    port_ = 0;
  }
  remote_address_.clear();
  remote_port_ = 0;
}

void TIdSocketHandle::ConnectTo(const std::string& address, int port) {
  if (remote_address_ == address && remote_port_ == port) return;
  TIdStack* stack = SharedStack();
  remote_address_.clear();
  remote_port_ = 0;
  peer_given_ = true;
  stack->CheckSocketResult(stack->WSConnect(os_socket_, address, port), {});
  remote_address_ = address;
  remote_port_ = port;
}

void TIdSocketHandle::TransmitTo(const std::string& address, int port, const void* buffer,
                                 int count) {
  TIdStack* stack = SharedStack();
  int n = stack->WSSendTo(os_socket_, buffer, count, 0, address, port);
  if (n == ws2::kSocketError) RaiseSendFailure(stack);
  if (n != count) throw EIdNotAllBytesSent("Not all bytes sent.");
}

int TIdSocketHandle::TransmitManyTo(const std::string& address, int port,
                                    const ws2::TDatagram* datagrams, int count) {
  if (count <= 0) return 0;
  TIdStack* stack = SharedStack();
  int n = stack->WSSendToMany(os_socket_, datagrams, count, 0, address, port);
  if (n <= 0) RaiseSendFailure(stack);
  return n;
}

void TIdSocketHandle::RaiseSendFailure(TIdStack* stack) {
  if (stack->WSGetLastError() == kMessageTooLong) {
    throw EIdPackageSizeTooBig("Package Size Too Big.");
  }
  stack->CheckSocketResult(ws2::kSocketError, {});
  // Not reached: no error is ignored.
  throw EIdNotAllBytesSent("Not all bytes sent.");
}

}  // namespace syslog
