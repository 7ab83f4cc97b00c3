// One report through the syslog sender to a datagram receiver on the
// loopback address, reports in a row sent together, and a report's parts
// measured apart: the local address look-up (every message asks; the answer
// stands for a second), host resolution, formatting and the send. Then the
// whole way of a report after the registry: queued by the capture reader,
// taken by the report sender's thread, sent as a datagram or written as a
// stream frame.
//
// Every benchmark counts the heap allocations its reports cost
// (CountingAllocations.h): allocs_per_report, over the measured loop only,
// on both threads.
#include <benchmark/benchmark.h>
#include <utime.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CountingAllocations.h"
#include "platform/WinSockProbe.h"
#include "syslog/IdStack.h"
#include "syslog/IdSysLog.h"
#include "watch/ReportConfig.h"
#include "watch/ReportSender.h"

namespace {

const char kReport[] = "10.0.0.5 found on 001122-334455";

struct Target {
  platform::LoopbackDatagramReceiver receiver;
  syslog::TIdSysLog sender{nullptr};
  Target() {
    sender.SetHost("127.0.0.1");
    sender.SetPort(receiver.Port());
    sender.SetActive(true);
  }
};

void BM_SendText(benchmark::State& state) {
  Target t;
  const std::string report = kReport;
  bench::AllocationCount allocations;
  for (auto _ : state) t.sender.SendText(report, syslog::sfLocalUseFive, syslog::slCritical);
  allocations.Report(state, "allocs_per_report", state.iterations());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendText)->MinTime(1.0);

// Reports in a row for one host, as the report sender hands them over: one
// host resolution and, on Linux, one system call for the lot.
void BM_SendTexts(benchmark::State& state) {
  Target t;
  const std::vector<std::string> texts(static_cast<size_t>(state.range(0)), kReport);
  // The first call makes what later ones reuse.
  t.sender.SendTexts(texts.data(), static_cast<int>(texts.size()), syslog::sfLocalUseFive,
                     syslog::slCritical);
  bench::AllocationCount allocations;
  for (auto _ : state) {
    t.sender.SendTexts(texts.data(), static_cast<int>(texts.size()), syslog::sfLocalUseFive,
                       syslog::slCritical);
  }
  allocations.Report(state, "allocs_per_report", state.iterations() * state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SendTexts)->Arg(8)->Arg(64)->MinTime(1.0);

void BM_LocalAddressLookup(benchmark::State& state) {
  Target t;
  for (auto _ : state) benchmark::DoNotOptimize(syslog::SharedStack()->FirstLocalAddress());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocalAddressLookup)->MinTime(0.5);

void BM_HostResolution(benchmark::State& state) {
  Target t;
  const std::string host = state.range(0) ? "LOCALHOST" : "127.0.0.1";
  for (auto _ : state) benchmark::DoNotOptimize(syslog::SharedStack()->HostToAddress(host));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HostResolution)->Arg(0)->Arg(1)->MinTime(0.5);

void BM_FormatWireText(benchmark::State& state) {
  Target t;
  syslog::TIdSysLogMessage message(nullptr);
  message.Msg()->SetText(kReport);
  message.SetFacility(syslog::sfLocalUseFive);
  message.SetSeverity(syslog::slCritical);
  message.SetEventTime(platform::DefaultClock().Now());
  bench::AllocationCount allocations;
  for (auto _ : state) benchmark::DoNotOptimize(message.FormatWireText());
  allocations.Report(state, "allocs_per_report", state.iterations());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatWireText)->MinTime(0.5);

void BM_Send(benchmark::State& state) {
  Target t;
  const std::string wire = "<170>Dec  8 20:57:06 192.168.1.20 10.0.0.5 found on 001122-334455";
  for (auto _ : state) t.sender.SendString(wire);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Send)->MinTime(0.5);

// A registry file as an administrator writes it, dated a minute back (a
// file written within the last seconds is read at every query).
std::unique_ptr<platform::RegistryFile> RegistryFor(const char* transport, int port) {
  const std::string path = bench::TempDir() + "registry.reg";
  {
    std::ofstream out(path);
    out << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE" << watch::kConfigKey
        << "]\n\"SyslogHost\"=\"127.0.0.1\"\n\"SyslogTransport\"=\"" << transport
        << "\"\n\"SyslogPort\"=\"" << port << "\"\n\"SyslogRate\"=\"0\"\n";
  }
  const time_t back = time(nullptr) - 60;
  const struct utimbuf times = {back, back};
  utime(path.c_str(), &times);
  return std::make_unique<platform::RegistryFile>(path);
}

// A stream connection that takes every byte at once.
class NullStream : public platform::ReportStream {
 public:
  void WriteAll(const char*, size_t size, const std::atomic<bool>&) override { bytes += size; }
  bool PeerClosed() override { return false; }
  size_t bytes = 0;
};

// The program's syslog sender towards the datagram sink, and a stream
// connection that is a NullStream.
class PathSender : public bench::PortSender {
 public:
  using PortSender::PortSender;
  std::unique_ptr<platform::ReportStream> OpenStream(const std::string&, platform::StreamTarget,
                                                     const std::atomic<bool>&) override {
    return std::make_unique<NullStream>();
  }
};

class NoEvents : public watch::EventSink {
 public:
  void WriteEvent(uint16_t, uint32_t, const std::string&) override {}
};

// Reports queued as the capture reader queues them (a copy of the
// registry's report text), 1024 at a time, each batch until it has all
// gone out: over UDP unpaced to the sink (first argument 0), or as frames
// of a stream connection (1); the configuration read from a registry file
// as on Linux (second argument 0: a look at the file system per value and
// report) or held in memory (1: the sender's own work alone).
void BM_ReportPath(benchmark::State& state) {
  bench::Sink sink;
  const bool stream = state.range(0) != 0;
  const char* transport = stream ? "tcp" : "udp";
  std::unique_ptr<platform::RegistryFile> file = RegistryFor(transport, sink.Port());
  bench::MemoryRegistry memory;
  memory.values = {{"SyslogHost", "127.0.0.1"},
                   {"SyslogTransport", transport},
                   {"SyslogPort", std::to_string(sink.Port())},
                   {"SyslogRate", "0"}};
  platform::Registry& registry =
      state.range(1) == 0 ? static_cast<platform::Registry&>(*file) : memory;
  PathSender sender(sink.Port());
  NoEvents events;
  watch::TReportSender reports(sender, registry, events, [](const std::string&) {});
  reports.Resume();
  std::vector<std::string> texts;
  for (int i = 0; i < 1024; ++i) {
    texts.push_back("10.0." + std::to_string(i >> 8) + "." + std::to_string(i & 255) +
                    " found on 02CC00-00" + std::to_string(1000 + i));
  }
  auto batch = [&] {
    for (const std::string& text : texts) reports.Queue(text);
    reports.Drain(60000);
  };
  // The first batches make what later ones reuse.
  for (int i = 0; i < 4; ++i) batch();
  bench::AllocationCount allocations;
  for (auto _ : state) batch();
  allocations.Report(state, "allocs_per_report", state.iterations() * 1024);
  reports.Stop();
  state.SetItemsProcessed(state.iterations() * 1024);
  if (reports.Failed() > 0) state.SkipWithError("reports failed");
}
BENCHMARK(BM_ReportPath)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"stream", "memory"})
    ->MinTime(1.0)
    ->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
