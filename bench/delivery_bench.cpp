// Reports a second delivered to a real rsyslog on the loopback address,
// counted where an administrator looks: the lines rsyslog has written. The
// program's report sender and syslog sender carry a burst of reports over
// UDP paced at the default rate, over TCP and over TLS; each run times the
// burst from its first report queued to its last line written by rsyslog.
// Needs rsyslogd (with its OpenSSL driver for TLS) and openssl; as any
// user. The listeners use ports 15514 (UDP, TCP) and 16514 (TLS).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "watch/ReportConfig.h"
#include "watch/ReportSender.h"

namespace {

constexpr int kPlainPort = 15514;
constexpr int kTlsPort = 16514;

class NullEvents : public watch::EventSink {
 public:
  void WriteEvent(uint16_t, uint32_t, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    last = text;
  }
  std::string last;

 private:
  std::mutex mu_;
};

// rsyslogd with a UDP, a TCP and a TLS listener, each writing the raw
// messages to a file of its own.
class Rsyslog {
 public:
  Rsyslog() : dir_(bench::TempDir()) {
    const std::string openssl =
        "cd " + dir_ +
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=bench-ca -keyout "
        "ca.key -out ca.pem 2>/dev/null"
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key "
        "-out server.csr 2>/dev/null"
        " && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext"
        " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out server.pem 2>/dev/null";
    ok_ = std::system(openssl.c_str()) == 0;
    std::ofstream conf(dir_ + "rsyslog.conf");
    conf << "global(workDirectory=\"" << dir_ << "\" DefaultNetstreamDriverCAFile=\"" << dir_
         << "ca.pem\" DefaultNetstreamDriverCertFile=\"" << dir_
         << "server.pem\" DefaultNetstreamDriverKeyFile=\"" << dir_ << "server.key\")\n"
         << "module(load=\"imudp\")\nmodule(load=\"imtcp\")\n"
         << "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n";
    for (const char* name : {"udp", "tcp", "tls"}) {
      conf << "ruleset(name=\"" << name << "\") { action(type=\"omfile\" file=\"" << dir_ << name
           << ".log\" template=\"raw\") }\n";
    }
    conf << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << kPlainPort
         << "\" ruleset=\"udp\")\n"
         << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << kPlainPort
         << "\" ruleset=\"tcp\")\n"
         << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << kTlsPort
         << "\" ruleset=\"tls\" StreamDriver.Name=\"ossl\" StreamDriver.Mode=\"1\" "
            "StreamDriver.AuthMode=\"anon\")\n";
    conf.close();
    pid_ = fork();
    if (pid_ == 0) {
      const std::string file = dir_ + "rsyslog.conf", pid = dir_ + "rsyslog.pid";
      freopen("/dev/null", "w", stdout);
      freopen((dir_ + "rsyslog.out").c_str(), "w", stderr);
      execlp("rsyslogd", "rsyslogd", "-n", "-f", file.c_str(), "-i", pid.c_str(), nullptr);
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  ~Rsyslog() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Ready() const { return ok_ && pid_ > 0 && kill(pid_, 0) == 0; }
  const std::string& Dir() const { return dir_; }
  uint64_t Lines(const std::string& name) const {
    std::ifstream in(dir_ + name + ".log");
    uint64_t n = 0;
    std::string line;
    while (std::getline(in, line)) ++n;
    return n;
  }

 private:
  std::string dir_;
  bool ok_ = false;
  pid_t pid_ = -1;
};

Rsyslog& Server() {
  static Rsyslog* server = new Rsyslog;  // ended with the process
  return *server;
}

// One burst of `count` reports over `transport`; the time until the last
// line is at rsyslog.
void Deliver(benchmark::State& state, const char* transport, int port, int count) {
  Rsyslog& server = Server();
  if (!server.Ready()) {
    state.SkipWithError("rsyslogd (with rsyslog-openssl) and openssl are needed");
    return;
  }
  bench::MemoryRegistry registry;
  registry.values = {{"SyslogHost", std::string(transport) == "tls" ? "localhost" : "127.0.0.1"},
                     {"SyslogTransport", transport},
                     {"SyslogPort", std::to_string(port)},
                     {"SyslogCAFile", server.Dir() + "ca.pem"}};
  NullEvents events;
  std::unique_ptr<watch::SysLogSender> sender = watch::DefaultWatchFactory().CreateSysLog();
  watch::TReportSender reports(*sender, registry, events, [](const std::string&) {});
  reports.Resume();
  uint64_t lost = 0;
  for (auto _ : state) {
    const uint64_t before = server.Lines(transport);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
      reports.Queue("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." +
                    std::to_string(i & 255) + " found on 02CC00-000001");
    }
    reports.Drain(600000);
    auto last = start;
    uint64_t lines = before, previous = before;
    // Until every report is written, or nothing more arrives for 2 s.
    for (auto idle = std::chrono::steady_clock::now();
         lines < before + count &&
         std::chrono::steady_clock::now() - idle < std::chrono::seconds(2);
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      lines = server.Lines(transport);
      if (lines != previous) {
        previous = lines;
        idle = last = std::chrono::steady_clock::now();
      }
    }
    lost += before + count - lines;
    state.SetIterationTime(std::chrono::duration<double>(last - start).count());
  }
  reports.Stop(true);
  state.SetItemsProcessed(state.iterations() * count);
  state.counters["lost"] = static_cast<double>(lost);
  if (!events.last.empty()) state.SetLabel(events.last.substr(0, 60));
}

void BM_DeliverUdpPaced(benchmark::State& state) {
  Deliver(state, "udp", kPlainPort, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_DeliverUdpPaced)->Arg(10000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void BM_DeliverTcp(benchmark::State& state) {
  Deliver(state, "tcp", kPlainPort, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_DeliverTcp)->Arg(100000)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);

void BM_DeliverTls(benchmark::State& state) {
  Deliver(state, "tls", kTlsPort, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_DeliverTls)->Arg(100000)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
