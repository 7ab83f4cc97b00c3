// One report through the syslog sender to a datagram receiver on the
// loopback address, reports in a row sent together, and a report's parts
// measured apart: the local address look-up (every message asks; the answer
// stands for a second), host resolution, formatting and the send.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/WinSockProbe.h"
#include "syslog/IdStack.h"
#include "syslog/IdSysLog.h"

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
  for (auto _ : state) t.sender.SendText(kReport, syslog::sfLocalUseFive, syslog::slCritical);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendText)->MinTime(1.0);

// Reports in a row for one host, as the report sender hands them over: one
// host resolution and, on Linux, one system call for the lot.
void BM_SendTexts(benchmark::State& state) {
  Target t;
  const std::vector<std::string> texts(static_cast<size_t>(state.range(0)), kReport);
  for (auto _ : state) {
    t.sender.SendTexts(texts.data(), static_cast<int>(texts.size()), syslog::sfLocalUseFive,
                       syslog::slCritical);
  }
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
  for (auto _ : state) benchmark::DoNotOptimize(message.FormatWireText());
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

}  // namespace

BENCHMARK_MAIN();
