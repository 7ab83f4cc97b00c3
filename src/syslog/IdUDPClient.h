// A UDP client: a UDP component with a target Host and Port. Host is
// stored as given and resolved at every send.
#pragma once

#include <string>

#include "syslog/IdUDPBase.h"

namespace syslog {

class TIdUDPClient : public TIdUDPBase {
 public:
  explicit TIdUDPClient(rtl::TComponent* owner) : TIdUDPBase(owner) {}

  const std::string& Host() const noexcept { return host_; }
  void SetHost(const std::string& host) { host_ = host; }
  int Port() const noexcept { return port_; }
  void SetPort(int port) { port_ = port; }
  int ReceiveTimeout() const noexcept { return receive_timeout_; }
  void SetReceiveTimeout(int value) { receive_timeout_ = value; }

  // Sends data as one datagram to Host:Port.
  void SendString(const std::string& data) { SendStringTo(host_, port_, data); }
  // Each string as one datagram to Host:Port; see SendStringsTo.
  int SendStrings(const std::string* data, int count) {
    return SendStringsTo(host_, port_, data, count);
  }
};

}  // namespace syslog
