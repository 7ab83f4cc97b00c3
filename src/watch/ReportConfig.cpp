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

// The configuration key's path, made once: every report reads values.
const std::string& ConfigKey() {
  static const std::string key = kConfigKey;
  return key;
}

bool ReadValue(platform::Registry& registry, const char* name, std::string& out) {
  try {
    return registry.ReadString(platform::kHKeyLocalMachine, ConfigKey(), name, out);
  } catch (...) {
    return false;
  }
}

// Several values in one go (a registry file is looked at once for them all).
template <size_t N>
void ReadValues(platform::Registry& registry, platform::RegistryQuery (&queries)[N]) {
  try {
    registry.ReadStrings(platform::kHKeyLocalMachine, ConfigKey(), queries, N);
  } catch (...) {
    for (platform::RegistryQuery& q : queries) q.found = false;
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
  c.transport = Transport::kUdp;
  c.rate = kDefaultSyslogRate;
  std::string transport, port_text, rate_text;
  platform::RegistryQuery values[] = {{kSyslogHostValue, &c.host},
                                      {kSyslogTransportValue, &transport},
                                      {kSyslogPortValue, &port_text},
                                      {kSyslogRateValue, &rate_text}};
  ReadValues(registry, values);
  c.host_configured = values[0].found;
  if (!c.host_configured) c.host = kDefaultSyslogHost;

  if (values[1].found && !transport.empty()) {
    const std::string_view name = rtl::TrimView(transport);
    if (rtl::SameText(name, "tcp")) {
      c.transport = Transport::kTcp;
    } else if (rtl::SameText(name, "tls")) {
      c.transport = Transport::kTls;
    } else if (!rtl::SameText(name, "udp")) {
      AddProblem(c.problem, std::string(kSyslogTransportValue) + " \"" + transport +
                                "\" is not udp, tcp or tls: reports go over udp");
    }
  }
  c.port = c.transport == Transport::kTls ? kDefaultTlsPort : kDefaultSyslogPort;
  if (values[2].found && !port_text.empty()) {
    double port = 0;
    if (ParseNumber(rtl::Trim(port_text), port) && port >= 1 && port <= 65535 &&
        port == static_cast<int>(port)) {
      c.port = static_cast<int>(port);
    } else {
      AddProblem(c.problem, std::string(kSyslogPortValue) + " \"" + port_text +
                                "\" is not a port number: reports go to port " +
                                std::to_string(c.port));
    }
  }
  if (values[3].found && !rate_text.empty()) {
    double rate = 0;
    if (ParseNumber(rtl::Trim(rate_text), rate) && rate <= 1e7) {
      c.rate = rate;
    } else {
      AddProblem(c.problem, std::string(kSyslogRateValue) + " \"" + rate_text +
                                "\" is not a number of reports per second: " +
                                std::to_string(static_cast<int>(kDefaultSyslogRate)) +
                                " a second are sent");
    }
  }
  platform::RegistryQuery files[] = {{kSyslogCAFileValue, &c.ca_file},
                                     {kSyslogCertFileValue, &c.cert_file},
                                     {kSyslogKeyFileValue, &c.key_file}};
  const bool tls = c.transport == Transport::kTls;
  if (tls) ReadValues(registry, files);
  for (const platform::RegistryQuery& q : files) {
    if (!tls || !q.found) q.out->clear();
  }
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
