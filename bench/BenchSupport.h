// What the benchmarks that send real datagrams share: a sink on the
// loopback address that counts what arrives, and the program's syslog
// sender aimed at the sink's port.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/Registry.h"
#include "platform/WinSockProbe.h"
#include "syslog/IdSysLog.h"
#include "watch/WatchFactory.h"

namespace bench {

// A datagram sink on the loopback address, drained by its own thread.
class Sink {
 public:
  Sink()
      : thread_([this] {
          while (!stop_) received += receiver_.Drain(50);
        }) {}
  ~Sink() {
    stop_ = true;
    thread_.join();
  }
  int Port() const { return receiver_.Port(); }
  std::atomic<uint64_t> received{0};

 private:
  platform::LoopbackDatagramReceiver receiver_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A registry of values held in memory, whatever the key.
class MemoryRegistry : public platform::Registry {
 public:
  std::map<std::string, std::string> values;
  bool ReadString(platform::RegistryRoot, const std::string&, const std::string& name,
                  std::string& out) override {
    auto it = values.find(name);
    if (it == values.end()) return false;
    out = it->second;
    return true;
  }
};

// A new folder of the benchmark's own under /tmp, with its trailing "/".
inline std::string TempDir() {
  char name[] = "/tmp/tessalin-bench-XXXXXX";
  return std::string(mkdtemp(name)) + "/";
}

// The program's syslog sender, sending to port (the port it is told to
// use is ignored).
class PortSender : public watch::SysLogSender {
 public:
  explicit PortSender(int port) { s_.SetPort(port); }
  void SetActive(bool v) override { s_.SetActive(v); }
  void SetHost(const std::string& h) override { s_.SetHost(h); }
  void SendText(const std::string& t, syslog::TIdSyslogFacility f,
                syslog::TIdSyslogSeverity v) override {
    s_.SendText(t, f, v);
  }
  size_t SendTexts(const std::string* t, size_t n, syslog::TIdSyslogFacility f,
                   syslog::TIdSyslogSeverity v) override {
    return static_cast<size_t>(s_.SendTexts(t, static_cast<int>(n), f, v));
  }
  void AppendWireText(const std::string& t, syslog::TIdSyslogFacility f,
                      syslog::TIdSyslogSeverity v, std::string& out) override {
    s_.AppendWireText(t, f, v, out);
  }

 private:
  syslog::TIdSysLog s_{nullptr};
};

inline std::unique_ptr<watch::SysLogSender> SenderToPort(int port) {
  return std::make_unique<PortSender>(port);
}

}  // namespace bench
