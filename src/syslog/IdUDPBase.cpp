#include "syslog/IdUDPBase.h"

#include "syslog/IdStack.h"

namespace syslog {

TIdUDPBase::TIdUDPBase(rtl::TComponent* owner) : TIdComponent(owner) {}

TIdUDPBase::~TIdUDPBase() {
  deferred_active_ = false;
  DropBinding();
}

bool TIdUDPBase::Active() { return deferred_active_ || (binding_ && binding_->SocketOpen()); }

void TIdUDPBase::SetActive(bool value) {
  if (value == Active()) return;
  if (Designing() || LoadingState()) {
    deferred_active_ = value;
    return;
  }
  if (value) {
    EnsureBinding();
  } else {
    DropBinding();
  }
}

void TIdUDPBase::Loaded() {
  TIdComponent::Loaded();
  bool held = deferred_active_;
  deferred_active_ = false;
  SetActive(held);
}

void TIdUDPBase::SetBroadcastEnabled(bool value) {
  if (value == broadcast_enabled_) return;
  broadcast_enabled_ = value;
  // Only an open socket takes the option now; a socket held as active
  // while loading gets it when it opens.
  if (binding_ && binding_->SocketOpen()) BroadcastSettingChanged();
}

void TIdUDPBase::DropBinding() { binding_.reset(); }

TIdSocketHandle* TIdUDPBase::EnsureBinding() {
  if (!binding_) binding_ = std::make_unique<TIdSocketHandle>();
  if (!binding_->SocketOpen()) {
    binding_->OpenSocket(platform::kSockDgram, 0);
    BroadcastSettingChanged();
  }
  return binding_.get();
}

TIdSocketHandle* TIdUDPBase::BindingFor(const std::string& address, int port) {
  TIdSocketHandle* binding = EnsureBinding();
  if (binding->PeerGiven() &&
      (binding->RemoteAddress() != address || binding->RemotePort() != port)) {
    // A new socket for a new peer: the old association fixed the source
    // address by the route to the old peer (loopback for a loopback peer),
    // and the system refuses to re-associate such a socket with a peer off
    // that route (EINVAL, WSAEINVAL). Dissolving the association instead
    // (AF_UNSPEC) is not defined the same way on both systems, and a new
    // socket also drops any refusal still pending from the old peer.
    binding->OpenSocket(platform::kSockDgram, 0);
    BroadcastSettingChanged();
  }
  binding->ConnectTo(address, port);
  return binding;
}

void TIdUDPBase::BroadcastSettingChanged() {
  ApplyBroadcastOption(broadcast_enabled_, binding_.get());
}

void TIdUDPBase::ApplyBroadcastOption(bool enabled, TIdSocketHandle* binding) {
  if (!binding) binding = EnsureBinding();
  int32_t value = enabled ? -1 : 0;
  TIdStack* stack = SharedStack();
  stack->CheckSocketResult(stack->WSSetSockOpt(binding->OsSocket(), platform::kSolSocket,
                                               platform::kSoBroadcast, &value, sizeof value),
                           {});
}

void TIdUDPBase::SendBytesTo(const std::string& host, int port, const void* buffer, int count) {
  std::string address = SharedStack()->HostToAddress(host);
  TIdSocketHandle* binding = BindingFor(address, port);
  binding->TransmitTo(address, port, buffer, count);
}

void TIdUDPBase::SendStringTo(const std::string& host, int port, const std::string& data) {
  SendBytesTo(host, port, data.data(), static_cast<int>(data.size()));
}

int TIdUDPBase::SendStringsTo(const std::string& host, int port, const std::string* data,
                              int count) {
  if (count <= 0) return 0;
  std::string address = SharedStack()->HostToAddress(host);
  TIdSocketHandle* binding = BindingFor(address, port);
  if (datagrams_.size() < static_cast<size_t>(count)) datagrams_.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    datagrams_[i] = {data[i].data(), static_cast<int>(data[i].size())};
  }
  return binding->TransmitManyTo(address, port, datagrams_.data(), count);
}

}  // namespace syslog
