// How reports leave: the syslog server, the transport and its settings, as
// the registry says at the moment a report goes out. Read anew for every
// report, so that a change takes effect with the next one.
//
// Values beside SyslogHost, all strings:
//   SyslogTransport  "udp" (default), "tcp" or "tls" (any letter case)
//   SyslogPort       1 to 65535; default 514, and 6514 for tls
//   SyslogRate       UDP reports per second, paced; "0" sends unpaced
//   SyslogCAFile     tls: PEM file of the CA that signed the server's
//                    certificate (absent: the system's trust store)
//   SyslogCertFile,
//   SyslogKeyFile    tls: a client certificate and its key, for servers that
//                    ask for one
// A value that cannot be used gives its default and a Problem text.
//
// The configuration key and the names of every value the watch reads
// (SyslogHost, Adapter, MaxAddresses and those above) live here, with
// the readers: ReadSyslogHost for the host alone, ReadReportConfig for the
// way reports leave, ReadAdapter and ReadMaxAddresses for the watch's own
// two values. Nothing else reads the configuration key.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace watch {

enum class Transport { kUdp, kTcp, kTls };

// UDP reports per second when SyslogRate is absent: a default rsyslog on a
// machine whose cores are busy receives every one of a long burst.
inline constexpr double kDefaultSyslogRate = 2000;
inline constexpr int kDefaultSyslogPort = 514;
inline constexpr int kDefaultTlsPort = 6514;

// The built-in syslog server: the start-up report goes here, and so does
// every report while the registry holds no usable SyslogHost.
inline constexpr char kDefaultSyslogHost[] = "127.0.0.1";

// Where the configuration lives: under HKEY_LOCAL_MACHINE.
inline constexpr char kConfigKey[] = "\\Software\\quillmere\\harbrook\\Tessalin";
inline constexpr char kSyslogHostValue[] = "SyslogHost";
// The adapter to watch, by name; absent or empty: the first adapter.
inline constexpr char kAdapterValue[] = "Adapter";
// The most (MAC, IPv4) address pairs the registry keeps, a decimal text;
// absent: kDefaultMaxAddresses. Past it new pairs are reported, not kept.
inline constexpr char kMaxAddressesValue[] = "MaxAddresses";
inline constexpr uint64_t kDefaultMaxAddresses = 1000000;

// The adapter to watch: the value Adapter, or "" (the first adapter) when
// it is absent or cannot be read. Never raises.
std::string ReadAdapter(platform::Registry& registry);
// The registry's bound: MaxAddresses when it is a whole number from 1 up,
// else kDefaultMaxAddresses, and then why in `problem`. Never raises.
uint64_t ReadMaxAddresses(platform::Registry& registry, std::string& problem);

// The syslog server host for reports after the start-up one: the registry
// value SyslogHost, or kDefaultSyslogHost when it cannot be read. Never
// raises.
std::string ReadSyslogHost();
std::string ReadSyslogHost(platform::Registry& registry);

inline constexpr char kSyslogTransportValue[] = "SyslogTransport";
inline constexpr char kSyslogPortValue[] = "SyslogPort";
inline constexpr char kSyslogRateValue[] = "SyslogRate";
inline constexpr char kSyslogCAFileValue[] = "SyslogCAFile";
inline constexpr char kSyslogCertFileValue[] = "SyslogCertFile";
inline constexpr char kSyslogKeyFileValue[] = "SyslogKeyFile";

struct ReportConfig {
  std::string host;
  // Whether SyslogHost itself was read (host is the default otherwise).
  bool host_configured = false;
  Transport transport = Transport::kUdp;
  int port = kDefaultSyslogPort;
  double rate = kDefaultSyslogRate;  // UDP only; 0: unpaced
  std::string ca_file, cert_file, key_file;
  // Values that could not be used, in words; empty when all could.
  std::string problem;

  // Whether two configurations reach the same server the same way (a
  // stream connection is kept while they do).
  bool SameDestination(const ReportConfig& other) const;
  // "tcp to 192.0.2.1:514"
  std::string DestinationText() const;
};

// Never raises.
ReportConfig ReadReportConfig(platform::Registry& registry);
// The same into config, every field set anew; its texts reuse their
// buffers, so that a reader that keeps one reads without allocating.
void ReadReportConfig(platform::Registry& registry, ReportConfig& config);

const char* TransportName(Transport transport);

}  // namespace watch
