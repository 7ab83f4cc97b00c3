// A UDP component: owns at most one socket object (SocketBinding), opened
// on demand and never bound explicitly; the system picks the local address
// and port on the first send. Host texts are resolved at every send.
// One thread at a time uses a component.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "syslog/IdComponent.h"
#include "syslog/IdSocketHandle.h"

namespace syslog {

class TIdUDPBase : public TIdComponent {
 public:
  explicit TIdUDPBase(rtl::TComponent* owner);
  // Sets Active to false (closing any socket) first.
  ~TIdUDPBase() override;

  // True when held as active while designing or loading, or when the
  // socket is open.
  virtual bool Active();
  // true opens the socket (EnsureBinding), false frees the socket object.
  // While the component is designed or loaded the value is only held, and
  // applied when loading completes.
  void SetActive(bool value);

  int BufferSize() const noexcept { return buffer_size_; }
  void SetBufferSize(int value) { buffer_size_ = value; }
  bool BroadcastEnabled() const noexcept { return broadcast_enabled_; }
  // Applies the option at once to an open socket; otherwise when the
  // socket is opened.
  void SetBroadcastEnabled(bool value);

  // Resolves host first (nothing is opened when that fails), then opens
  // the socket as needed, gives it host:port as its peer (so that a
  // refusal from there fails the next send) and sends count bytes as one
  // datagram. A change of peer opens a new socket, so that each datagram
  // leaves by the route to its own destination.
  void SendBytesTo(const std::string& host, int port, const void* buffer, int count);
  void SendStringTo(const std::string& host, int port, const std::string& data);
  // Each string as one datagram, in order, to host:port, which is resolved
  // once for all of them. Returns how many were sent (at least one when
  // count > 0); raises as SendStringTo when the first cannot be sent.
  int SendStringsTo(const std::string& host, int port, const std::string* data, int count);

  // Sets the broadcast option (-1 when enabled, 0 when not) on the
  // binding's socket; with no binding, on EnsureBinding's.
  void ApplyBroadcastOption(bool enabled, TIdSocketHandle* binding);

  TIdSocketHandle* SocketBinding() const noexcept { return binding_.get(); }

 protected:
  // Frees the socket object, which shuts down and closes its socket.
  virtual void DropBinding();
  // The socket object with an open socket, creating both as needed; a new
  // socket gets the broadcast option set explicitly.
  virtual TIdSocketHandle* EnsureBinding();
  virtual void BroadcastSettingChanged();
  void Loaded() override;
  // The open socket associated with address:port: the kept one when it has
  // that peer or none yet, otherwise a new one (see SendBytesTo).
  TIdSocketHandle* BindingFor(const std::string& address, int port);

  std::string host_;
  int port_ = 0;
  int receive_timeout_ = -2;

 private:
  std::unique_ptr<TIdSocketHandle> binding_;
  int buffer_size_ = 8192;
  bool deferred_active_ = false;
  bool broadcast_enabled_ = false;
  // SendStringsTo's list of datagrams, kept for its capacity.
  std::vector<ws2::TDatagram> datagrams_;
};

}  // namespace syslog
