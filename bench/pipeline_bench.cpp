// The whole path from the capture driver to syslog datagrams: the scripted
// test driver (bin/testdriver) serves batches from memory, the capture
// component's reader thread hands each frame to the watch's frame handler,
// and reports go through the real syslog sender to a datagram sink on the
// loopback address. The configured host is read from a registry file for
// every report, as in the program.
//   BM_KnownPairs      a steady stream over 1,024 pairs already in the table:
//                      frames handled per second (no reports)
//   BM_NewAddressScan  65,536 or 524,288 frames, each a new MAC and address: one report
//                      each; new pairs per second with every report sent
//                      (until the report sender has sent the last one)
// Both count the heap allocations per frame (CountingAllocations.h), all
// threads, over the measured run: start and stop of the watch included.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CountingAllocations.h"
#include "capture/Packet32.h"
#include "capture/Snoop.h"
#include "capture/bpf.h"
#include "platform/DynamicLibrary.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/WinSockProbe.h"
#include "syslog/IdSysLog.h"
#include "watch/ethread.h"

namespace {

constexpr uint32_t kFrame = 60;
constexpr uint16_t kHeader = 20;
constexpr uint32_t kBatchLimit = 256000;

struct Driver {
  using QueueFn = void (*)(const void*, uint32_t, uint32_t);
  using RepeatFn = void (*)(int);
  using ResetFn = void (*)();
  using NamesFn = void (*)(const void*, uint32_t, uint32_t);
  QueueFn Queue = nullptr;
  RepeatFn Repeat = nullptr;
  ResetFn Reset = nullptr;
  NamesFn Names = nullptr;
  bool ok = false;
};

Driver& TestDriver() {
  static Driver d = [] {
    Driver r;
    const std::string exe = platform::ExecutablePath();
    const std::string path = exe.substr(0, exe.find_last_of('/') + 1) + "testdriver/libpacket.so";
    platform::LibraryHandle lib = platform::LoadLibraryA(path.c_str());
    if (!lib) return r;
    r.Queue =
        reinterpret_cast<Driver::QueueFn>(platform::GetProcAddress(lib, "TestDriverQueueBatch"));
    r.Repeat =
        reinterpret_cast<Driver::RepeatFn>(platform::GetProcAddress(lib, "TestDriverRepeat"));
    r.Reset = reinterpret_cast<Driver::ResetFn>(platform::GetProcAddress(lib, "TestDriverReset"));
    r.Names = reinterpret_cast<Driver::NamesFn>(
        platform::GetProcAddress(lib, "TestDriverSetAdapterNames"));
    capture::SetPacketDriverLibrary(path);
    r.ok = r.Queue && r.Repeat && r.Reset && r.Names && capture::BindPacketDriver();
    return r;
  }();
  return d;
}

void MacOf(uint32_t n, uint8_t mac[6]) {
  const uint8_t m[6] = {0x02,      0x00, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                        uint8_t(n)};
  std::copy(m, m + 6, mac);
}

// Batches of ARP records, one per (MAC n, address 10.x.y.z from n).
std::vector<std::vector<uint8_t>> Batches(uint32_t first, uint32_t count) {
  std::vector<std::vector<uint8_t>> out(1);
  const uint32_t step = capture::BPF_WORDALIGN(kHeader + kFrame);
  for (uint32_t i = 0; i < count; ++i) {
    if (out.back().size() + step > kBatchLimit) out.emplace_back();
    std::vector<uint8_t>& b = out.back();
    const size_t at = b.size();
    b.resize(at + step, 0);
    capture::bpf_hdr h{};
    h.bh_caplen = kFrame;
    h.bh_datalen = kFrame;
    h.bh_hdrlen = kHeader;
    std::memcpy(b.data() + at, &h, sizeof h);
    uint8_t* f = b.data() + at + kHeader;
    const uint32_t n = first + i;
    std::memset(f, 0xFF, 6);
    MacOf(n, f + 6);
    f[12] = 0x08, f[13] = 0x06;                              // ARP
    f[14] = 0x00, f[15] = 0x01, f[16] = 0x08, f[17] = 0x00;  // Ethernet, IPv4
    f[18] = 6, f[19] = 4, f[20] = 0x00, f[21] = 0x01;        // request
    const uint32_t ip = 0x0A000000u | (n & 0xFFFFFF);
    f[28] = uint8_t(ip >> 24), f[29] = uint8_t(ip >> 16), f[30] = uint8_t(ip >> 8),
    f[31] = uint8_t(ip);
  }
  return out;
}

using bench::Sink;
using bench::TempDir;

// The program's parts, but with the sender aimed at the sink's port and the
// frame handler counted.
class BenchParts : public watch::WatchFactory {
 public:
  BenchParts(int port, std::atomic<uint64_t>* frames) : port_(port), frames_(frames) {}
  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return bench::SenderToPort(port_);
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    // The program's capture component, with the frames it hands on counted.
    struct Source : watch::CaptureSource {
      Source(std::unique_ptr<watch::CaptureSource> real, std::atomic<uint64_t>* n)
          : inner(std::move(real)), frames(n) {}
      void SetThreadSafe(bool v) override { inner->SetThreadSafe(v); }
      void SetOnCapture(watch::TOnCaptureEvent h) override {
        inner->SetOnCapture([this, h](rtl::TObject* s, capture::PETHERNET_HDR e, int l) {
          h(s, e, l);
          frames->fetch_add(1, std::memory_order_relaxed);
        });
      }
      void SetOnCaptureLost(std::function<void(const std::string&)> h) override {
        inner->SetOnCaptureLost(std::move(h));
      }
      void SetOnCaptureResumed(std::function<void(const std::string&)> h) override {
        inner->SetOnCaptureResumed(std::move(h));
      }
      void SetAdapterIndex(int i) override { inner->SetAdapterIndex(i); }
      bool SelectAdapter(const std::string& n) override { return inner->SelectAdapter(n); }
      std::string AdapterName() const override { return inner->AdapterName(); }
      std::vector<std::string> AdapterNames() const override { return inner->AdapterNames(); }
      void StartCapture() override { inner->StartCapture(); }
      void StopCapture() override { inner->StopCapture(); }
      bool Capturing() const override { return inner->Capturing(); }
      std::string LastError() const override { return inner->LastError(); }
      std::unique_ptr<watch::CaptureSource> inner;
      std::atomic<uint64_t>* frames;
    };
    auto source = std::make_unique<Source>(watch::DefaultWatchFactory().CreateCapture(), frames_);
    capture_ = source.get();
    return source;
  }
  watch::CaptureSource* capture_ = nullptr;

 private:
  int port_;
  std::atomic<uint64_t>* frames_;
};

// Runs a watch over the queued batches until `frames` frames have been
// handled; returns the seconds that took. The watch thread idles for ever,
// so it is left running (a benchmark process ends soon after).
double RunWatch(const std::string& dir, uint64_t frames, Sink& sink, uint64_t* handled,
                bool until_sent = false) {
  static std::atomic<uint64_t> counter;
  counter = 0;
  static platform::RegistryFile* registry = nullptr;
  delete registry;
  registry = new platform::RegistryFile(dir + "registry.reg");
  auto* parts = new BenchParts(sink.Port(), &counter);
  watch::WatchEnvironment env;
  env.parts = parts;
  env.registry = registry;
  env.data_directory = dir;
  auto start = std::chrono::steady_clock::now();
  auto* watch = rtl::TThread::Create<watch::TEthThread>(false, env);
  while (counter.load() < frames) std::this_thread::sleep_for(std::chrono::microseconds(200));
  if (until_sent) watch->DrainReports(600000);
  auto end = std::chrono::steady_clock::now();
  *handled = counter.load();
  // Stop reading so that the next run starts from a quiet driver.
  if (parts->capture_) parts->capture_->StopCapture();
  return std::chrono::duration<double>(end - start).count();
}

void Prepare(Driver& d) {
  d.Reset();
  const char16_t names[] = u"bench\0";
  d.Names(names, sizeof names, 7);
}

void WriteRegistry(const std::string& dir) {
  std::ofstream(dir + "registry.reg")
      << "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
         "\"SyslogHost\"=\"127.0.0.1\"\r\n";
  // Written a while ago, as a deployed configuration is: a file written
  // within the last seconds is read whole at every report.
  std::filesystem::last_write_time(
      dir + "registry.reg",
      std::filesystem::file_time_type::clock::now() - std::chrono::minutes(1));
}

void BM_KnownPairs(benchmark::State& state) {
  Driver& d = TestDriver();
  if (!d.ok) return state.SkipWithError("test driver not available");
  constexpr uint32_t kPairs = 1024;
  const std::string dir = TempDir();
  WriteRegistry(dir);
  {
    std::ofstream table(dir + "arptable", std::ios::binary);
    for (uint32_t n = 0; n < kPairs; ++n) {
      uint8_t mac[6];
      MacOf(n, mac);
      char line[64];
      std::snprintf(line, sizeof line, "10.%u.%u.%u\r\n %02X%02X%02X-%02X%02X%02X\r\n",
                    (n >> 16) & 255, (n >> 8) & 255, n & 255, mac[0], mac[1], mac[2], mac[3],
                    mac[4], mac[5]);
      table << line;
    }
  }
  Sink sink;
  uint64_t total = 0;
  double seconds = 0;
  for (auto _ : state) {
    Prepare(d);
    // The same batch of known pairs (1,024 records, 81,920 bytes) three
    // times over, served again and again.
    const std::vector<uint8_t> one = Batches(0, kPairs).front();
    std::vector<uint8_t> batch;
    for (int i = 0; i < 3; ++i) batch.insert(batch.end(), one.begin(), one.end());
    d.Queue(batch.data(), static_cast<uint32_t>(batch.size()), static_cast<uint32_t>(batch.size()));
    d.Repeat(1);
    uint64_t handled = 0;
    // A warm-up million, then the measured stream.
    RunWatch(dir, 1000000, sink, &handled);
    Prepare(d);
    d.Queue(batch.data(), static_cast<uint32_t>(batch.size()), static_cast<uint32_t>(batch.size()));
    d.Repeat(1);
    const bench::AllocationCount allocations;
    seconds += RunWatch(dir, 8000000, sink, &handled);
    allocations.Report(state, "allocs_per_frame", static_cast<int64_t>(handled));
    total += handled;
    state.SetIterationTime(seconds);
  }
  state.counters["frames_per_s"] = benchmark::Counter(double(total) / seconds);
  state.counters["datagrams"] = double(sink.received.load());
}
BENCHMARK(BM_KnownPairs)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_NewAddressScan(benchmark::State& state) {
  Driver& d = TestDriver();
  if (!d.ok) return state.SkipWithError("test driver not available");
  const uint32_t kScan = static_cast<uint32_t>(state.range(0));
  const std::string dir = TempDir();
  WriteRegistry(dir);
  Sink sink;
  double seconds = 0;
  uint64_t handled = 0;
  for (auto _ : state) {
    Prepare(d);
    for (const auto& b : Batches(0x100000, kScan)) {
      d.Queue(b.data(), static_cast<uint32_t>(b.size()), static_cast<uint32_t>(b.size()));
    }
    const bench::AllocationCount allocations;
    seconds = RunWatch(dir, kScan, sink, &handled, true);
    allocations.Report(state, "allocs_per_pair", kScan);
    state.SetIterationTime(seconds);
  }
  // Let the sink catch up with what is still in flight.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  state.counters["reports_per_s"] = benchmark::Counter(double(handled) / seconds);
  state.counters["datagrams"] = double(sink.received.load());
}
BENCHMARK(BM_NewAddressScan)
    ->Arg(65536)
    ->Arg(524288)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
