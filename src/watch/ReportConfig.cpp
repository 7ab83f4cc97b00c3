#include "watch/ReportConfig.h"

#include <cerrno>
#include <cstdlib>

#include "rtl/SysUtils.h"

namespace watch {
namespace {

void AddProblem(std::string& problem, const std::string& text) {
  if (!problem.empty()) problem += "; ";
  problem += text;
}

bool ReadValue(platform::Registry& registry, const char* name, std::string& out) {
  // Made once: every report reads several values.
  static const std::string key = kConfigKey;
  try {
    return registry.ReadString(platform::kHKeyLocalMachine, key, name, out);
  } catch (...) {
    return false;
  }
}

// A whole decimal number, no sign, no spaces.
bool ParseNumber(const std::string& text, double& out) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text) {
    if ((c < '0' || c > '9') && c != '.') return false;
  }
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return errno == 0 && end == text.c_str() + text.size();
}

}  // namespace

const char* TransportName(Transport transport) {
  switch (transport) {
    case Transport::kTcp:
      return "tcp";
    case Transport::kTls:
      return "tls";
    default:
      return "udp";
  }
}

bool ReportConfig::SameDestination(const ReportConfig& other) const {
  return host == other.host && transport == other.transport && port == other.port &&
         ca_file == other.ca_file && cert_file == other.cert_file && key_file == other.key_file;
}

std::string ReportConfig::DestinationText() const {
  return std::string(TransportName(transport)) + " to " + host + ":" + std::to_string(port);
}

uint64_t ReadMaxAddresses(platform::Registry& registry, std::string& problem) {
  std::string text;
  if (!ReadValue(registry, kMaxAddressesValue, text)) return kDefaultMaxAddresses;
  const std::string_view digits = rtl::TrimView(text);
  uint64_t value = 0;
  bool ok = !digits.empty() && digits.size() <= 15;
  for (char c : digits) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (ok && value > 0) return value;
  problem = std::string(kMaxAddressesValue) + " \"" + text +
            "\" is not a number of address pairs from 1 up; the registry keeps at most " +
            std::to_string(kDefaultMaxAddresses) + " pairs";
  return kDefaultMaxAddresses;
}

std::string ReadAdapter(platform::Registry& registry) {
  std::string name;
  if (!ReadValue(registry, kAdapterValue, name)) name.clear();
  return name;
}

ReportConfig ReadReportConfig(platform::Registry& registry) {
  ReportConfig c;
  ReadReportConfig(registry, c);
  return c;
}

void ReadReportConfig(platform::Registry& registry, ReportConfig& c) {
  // Every field is set anew; the texts are read into the buffers they have.
  c.problem.clear();
  c.host_configured = ReadValue(registry, kSyslogHostValue, c.host);
  if (!c.host_configured) c.host = kDefaultSyslogHost;
  c.transport = Transport::kUdp;
  c.rate = kDefaultSyslogRate;
  std::string value;

  if (ReadValue(registry, kSyslogTransportValue, value) && !value.empty()) {
    const std::string_view name = rtl::TrimView(value);
    if (rtl::SameText(name, "tcp")) {
      c.transport = Transport::kTcp;
    } else if (rtl::SameText(name, "tls")) {
      c.transport = Transport::kTls;
    } else if (!rtl::SameText(name, "udp")) {
      AddProblem(c.problem, std::string(kSyslogTransportValue) + " \"" + value +
                                "\" is not udp, tcp or tls: reports go over udp");
    }
  }
  c.port = c.transport == Transport::kTls ? kDefaultTlsPort : kDefaultSyslogPort;
  if (ReadValue(registry, kSyslogPortValue, value) && !value.empty()) {
    double port = 0;
    if (ParseNumber(rtl::Trim(value), port) && port >= 1 && port <= 65535 &&
        port == static_cast<int>(port)) {
      c.port = static_cast<int>(port);
    } else {
      AddProblem(c.problem, std::string(kSyslogPortValue) + " \"" + value +
                                "\" is not a port number: reports go to port " +
                                std::to_string(c.port));
    }
  }
  if (ReadValue(registry, kSyslogRateValue, value) && !value.empty()) {
    double rate = 0;
    if (ParseNumber(rtl::Trim(value), rate) && rate <= 1e7) {
      c.rate = rate;
    } else {
      AddProblem(c.problem, std::string(kSyslogRateValue) + " \"" + value +
                                "\" is not a number of reports per second: " +
                                std::to_string(static_cast<int>(kDefaultSyslogRate)) +
                                " a second are sent");
    }
  }
  const bool tls = c.transport == Transport::kTls;
  if (!tls || !ReadValue(registry, kSyslogCAFileValue, c.ca_file)) c.ca_file.clear();
  if (!tls || !ReadValue(registry, kSyslogCertFileValue, c.cert_file)) c.cert_file.clear();
  if (!tls || !ReadValue(registry, kSyslogKeyFileValue, c.key_file)) c.key_file.clear();
}

std::string ReadSyslogHost() { return ReadSyslogHost(platform::DefaultRegistry()); }

std::string ReadSyslogHost(platform::Registry& registry) {
  std::string host = kDefaultSyslogHost;
  try {
    std::string value;
    if (registry.ReadString(platform::kHKeyLocalMachine, kConfigKey, kSyslogHostValue, value)) {
      host = std::move(value);
    }
  } catch (...) {
  }
  return host;
}

}  // namespace watch
