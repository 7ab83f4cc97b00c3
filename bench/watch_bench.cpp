// The address watch's frame path, registry growth, table file and memory.
// The sender, capture component, registry and clock are stand-ins that do
// nothing, so the figures are the watch's own cost. Memory is the heap in
// use (mallinfo2), blocks that malloc maps on their own included, per
// address pair.
//   BM_Registry*     the address registry alone, at sizes from 10^3 to
//                    5*10^6 pairs: a new pair, a known pair, bytes per
//                    pair, the table load, and the longest a sighting
//                    waits while a save copies the table out
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "platform/Memory.h"
#include "platform/Registry.h"
#include "watch/ReportConfig.h"
#include "watch/WatchFakes_test.h"
#include "watch/ethread.h"

namespace {

constexpr int kPairs = 1000000;

// Large blocks are mapped outside the main heap: count them too, or the
// figure depends on malloc's current mapping threshold; and the registry's
// large tables are whole pages of their own.
size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd + platform::PageBytesInUse();
}

class FixedRegistry : public platform::Registry {
 public:
  bool ReadString(platform::RegistryRoot, const std::string&, const std::string&,
                  std::string& out) override {
    out = "127.0.0.1";
    return true;
  }
};

watch::testing::NullParts parts;
watch::testing::FakeClock fixed_clock;
FixedRegistry fixed_registry;

std::string BenchDirectory() {
  static const std::string dir = [] {
    auto d = std::filesystem::temp_directory_path() / "tessalin-watch-bench";
    std::filesystem::create_directories(d);
    return d.string() + "/";
  }();
  return dir;
}

// A watch past its start-up, with an empty registry; its reports go to a
// sender that drops them, and nothing saves unless the benchmark does.
std::unique_ptr<watch::TEthThread> NewWatch() {
  watch::WatchEnvironment env;
  env.parts = &parts;
  env.clock = &fixed_clock;
  env.registry = &fixed_registry;
  env.data_directory = BenchDirectory();
  std::filesystem::remove(BenchDirectory() + "arptable");
  auto t = std::make_unique<watch::TEthThread>(true, env);
  if (!t->StartUp()) std::abort();
  return t;
}

// An ARP frame from the n-th MAC address claiming the n-th IPv4 address.
struct Frame {
  uint8_t bytes[42] = {};
  void Set(uint32_t mac, uint32_t ip) {
    bytes[6] = 0x02;
    bytes[7] = 0x00;
    bytes[8] = static_cast<uint8_t>(mac >> 24);
    bytes[9] = static_cast<uint8_t>(mac >> 16);
    bytes[10] = static_cast<uint8_t>(mac >> 8);
    bytes[11] = static_cast<uint8_t>(mac);
    const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    std::memcpy(bytes + 12, arp, sizeof arp);
    bytes[28] = static_cast<uint8_t>(ip >> 24);
    bytes[29] = static_cast<uint8_t>(ip >> 16);
    bytes[30] = static_cast<uint8_t>(ip >> 8);
    bytes[31] = static_cast<uint8_t>(ip);
  }
  capture::PETHERNET_HDR Header() const { return reinterpret_cast<capture::PETHERNET_HDR>(bytes); }
};

uint32_t PairIp(uint32_t n) { return 0x0A000000u + n; }
uint32_t PairMac(uint32_t n, uint32_t ips_per_mac) { return n / ips_per_mac; }

// Fills the registry with kPairs pairs in a shuffled order.
void Fill(watch::TEthThread& t, uint32_t ips_per_mac) {
  std::vector<uint32_t> order(kPairs);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  Frame f;
  for (uint32_t n : order) {
    f.Set(PairMac(n, ips_per_mac), PairIp(n));
    t.HandleCapture(nullptr, f.Header(), 42);
  }
}

std::unique_ptr<watch::TEthThread>& Filled() {
  static std::unique_ptr<watch::TEthThread> t = [] {
    auto w = NewWatch();
    Fill(*w, 1);
    return w;
  }();
  return t;
}

void BM_HandleCaptureNonArp(benchmark::State& state) {
  auto t = NewWatch();
  Frame f;
  f.Set(1, 1);
  f.bytes[12] = 0x08;
  f.bytes[13] = 0x00;
  for (auto _ : state) t->HandleCapture(nullptr, f.Header(), 60);
}
BENCHMARK(BM_HandleCaptureNonArp);

// A known pair, with 10^6 pairs in the registry: the same pair again and
// again (warm caches), and a random known pair each time, drawn from 2^20
// picks so that the pairs visited are most of the registry, not a part of
// it that fits the caches.
void BM_HandleCaptureKnownPairSame(benchmark::State& state) {
  auto& t = Filled();
  Frame f;
  f.Set(PairMac(4242, 1), PairIp(4242));
  for (auto _ : state) t->HandleCapture(nullptr, f.Header(), 42);
}
BENCHMARK(BM_HandleCaptureKnownPairSame);

void BM_HandleCaptureKnownPairRandom(benchmark::State& state) {
  auto& t = Filled();
  std::vector<uint32_t> picks(1 << 20);
  std::mt19937 rng(3);
  for (auto& p : picks) p = rng() % kPairs;
  Frame f;
  size_t i = 0;
  for (auto _ : state) {
    uint32_t n = picks[i++ & (picks.size() - 1)];
    f.Set(PairMac(n, 1), PairIp(n));
    t->HandleCapture(nullptr, f.Header(), 42);
  }
}
BENCHMARK(BM_HandleCaptureKnownPairRandom);

// A pair never seen: new MAC and IPv4 address, one found report.
void BM_HandleCaptureNewPair(benchmark::State& state) {
  auto& t = Filled();
  Frame f;
  uint32_t n = kPairs + 1000000 * static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    f.Set(PairMac(n, 1), PairIp(n));
    ++n;
    t->HandleCapture(nullptr, f.Header(), 42);
  }
}
BENCHMARK(BM_HandleCaptureNewPair)->Arg(1)->Iterations(100000);

// Filling an empty registry with 10^6 distinct pairs in shuffled order,
// one MAC address per pair or 16 addresses per MAC; heap per pair.
void BM_Fill(benchmark::State& state) {
  const uint32_t ips_per_mac = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto t = NewWatch();
    const size_t before = HeapInUse();
    state.ResumeTiming();
    Fill(*t, ips_per_mac);
    state.PauseTiming();
    const size_t after = HeapInUse();
    state.counters["bytes_per_pair"] = static_cast<double>(after - before) / kPairs;
    t.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Fill)->Arg(1)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SaveTable(benchmark::State& state) {
  auto& t = Filled();
  for (auto _ : state) t->SaveTable();
}
BENCHMARK(BM_SaveTable)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_LoadTable(benchmark::State& state) {
  Filled()->SaveTable();
  for (auto _ : state) {
    state.PauseTiming();
    watch::WatchEnvironment env;
    env.parts = &parts;
    env.clock = &fixed_clock;
    env.registry = &fixed_registry;
    env.data_directory = BenchDirectory();
    auto t = std::make_unique<watch::TEthThread>(true, env);
    t->SetRegistry(std::make_unique<watch::AddressRegistry>());
    state.ResumeTiming();
    t->LoadTable();
    state.PauseTiming();
    const bool loaded = t->Registry()->AddressCount() == Filled()->Registry()->AddressCount();
    t.reset();
    state.ResumeTiming();
    if (!loaded) state.SkipWithError("table did not load");
  }
}
BENCHMARK(BM_LoadTable)->Iterations(2)->Unit(benchmark::kMillisecond);

// A registry of n pairs, one MAC address each, added in a shuffled order.
std::unique_ptr<watch::AddressRegistry> RegistryOf(uint32_t n) {
  auto r = std::make_unique<watch::AddressRegistry>();
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(11));
  watch::AddressRegistry::Reports reports;
  Frame f;
  for (uint32_t k : order) {
    f.Set(PairMac(k, 1), PairIp(k));
    r->Sight(f.bytes + 6, PairIp(k), reports);
  }
  return r;
}

double Nanoseconds(std::chrono::steady_clock::duration d) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

const std::vector<int64_t> kSizes = {1000, 10000, 100000, 1000000, 5000000};

// 2^16 new pairs (new MAC, new address, one found report each) into a
// registry of n pairs; the tables' growth is part of the cost.
void BM_RegistryNewPair(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  constexpr uint32_t kNew = 1 << 16;
  for (auto _ : state) {
    state.PauseTiming();
    auto r = RegistryOf(n);
    watch::AddressRegistry::Reports reports;
    Frame f;
    state.ResumeTiming();
    for (uint32_t k = n; k < n + kNew; ++k) {
      f.Set(PairMac(k, 1), PairIp(k));
      r->Sight(f.bytes + 6, PairIp(k), reports);
    }
    // Seconds of CPU time per pair.
    state.counters["per_pair"] =
        benchmark::Counter(kNew, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.PauseTiming();
    r.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_RegistryNewPair)->ArgsProduct({kSizes})->Iterations(1)->Unit(benchmark::kMillisecond);

// A known pair drawn at random from the whole registry.
void BM_RegistryKnownPair(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  auto r = RegistryOf(n);
  std::vector<uint32_t> picks(1 << 20);
  std::mt19937 rng(5);
  for (auto& p : picks) p = rng() % n;
  watch::AddressRegistry::Reports reports;
  Frame f;
  size_t i = 0;
  for (auto _ : state) {
    const uint32_t k = picks[i++ & (picks.size() - 1)];
    f.Set(PairMac(k, 1), PairIp(k));
    r->Sight(f.bytes + 6, PairIp(k), reports);
  }
  if (reports.count != 0) state.SkipWithError("a known pair made a report");
}
BENCHMARK(BM_RegistryKnownPair)->ArgsProduct({kSizes});

// Heap per pair of a registry of n pairs, one MAC address each or 16
// addresses per MAC address.
void BM_RegistryBytes(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  const uint32_t ips_per_mac = static_cast<uint32_t>(state.range(1));
  for (auto _ : state) {
    const size_t before = HeapInUse();
    watch::AddressRegistry r;
    watch::AddressRegistry::Reports reports;
    Frame f;
    for (uint32_t k = 0; k < n; ++k) {
      f.Set(PairMac(k, ips_per_mac), PairIp(k));
      r.Sight(f.bytes + 6, PairIp(k), reports);
    }
    state.counters["bytes_per_pair"] = static_cast<double>(HeapInUse() - before) / n;
  }
}
BENCHMARK(BM_RegistryBytes)
    ->ArgsProduct({kSizes, {1, 16}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Filling an empty registry with n pairs: the longest a single sighting
// took, and how many took over a millisecond; then the same for as many
// sightings of the known pairs, which never grow a table: what the
// scheduler and the machine alone add.
void BM_RegistryLongestSighting(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    watch::AddressRegistry r;
    watch::AddressRegistry::Reports reports;
    Frame f;
    for (const char* kind : {"", "known_"}) {
      double longest = 0, over_1ms = 0;
      for (uint32_t k = 0; k < n; ++k) {
        f.Set(PairMac(k, 1), PairIp(k));
        const auto start = std::chrono::steady_clock::now();
        r.Sight(f.bytes + 6, PairIp(k), reports);
        const double took = Nanoseconds(std::chrono::steady_clock::now() - start);
        longest = std::max(longest, took);
        over_1ms += took > 1e6;
      }
      state.counters[std::string(kind) + "longest_us"] = longest / 1000;
      state.counters[std::string(kind) + "over_1ms"] = over_1ms;
    }
  }
}
BENCHMARK(BM_RegistryLongestSighting)
    ->Arg(1000000)
    ->Arg(5000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The table file of n pairs loaded by the watch, through the platform's
// text reader.
void BM_RegistryLoad(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  {
    const std::string text = RegistryOf(n)->TableText();
    std::FILE* f = std::fopen((BenchDirectory() + "arptable").c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  for (auto _ : state) {
    state.PauseTiming();
    watch::WatchEnvironment env;
    env.parts = &parts;
    env.clock = &fixed_clock;
    env.registry = &fixed_registry;
    env.data_directory = BenchDirectory();
    auto t = std::make_unique<watch::TEthThread>(true, env);
    t->SetRegistry(std::make_unique<watch::AddressRegistry>());
    state.ResumeTiming();
    t->LoadTable();
    state.PauseTiming();
    const bool loaded = t->Registry()->AddressCount() == static_cast<int>(n);
    t.reset();
    state.ResumeTiming();
    if (!loaded) state.SkipWithError("table did not load");
  }
  std::filesystem::remove(BenchDirectory() + "arptable");
}
BENCHMARK(BM_RegistryLoad)
    ->Arg(1000000)
    ->Arg(5000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A save of a registry of n pairs while a writer adds new pairs as fast as
// it can: the save's own time, the longest the copy held the registry's
// lock for one slice, and the longest a single sighting took meanwhile
// (that slice, a growth of the writer's own tables, or the scheduler).
void BM_RegistrySaveHold(benchmark::State& state) {
  const uint32_t n = static_cast<uint32_t>(state.range(0));
  watch::WatchEnvironment env;
  env.parts = &parts;
  env.clock = &fixed_clock;
  env.registry = &fixed_registry;
  env.data_directory = BenchDirectory();
  auto t = std::make_unique<watch::TEthThread>(true, env);
  t->SetRegistry(RegistryOf(n));
  for (auto _ : state) {
    std::atomic<bool> saving{true};
    double longest = 0;
    uint64_t sightings = 0;
    std::thread writer([&] {
      watch::AddressRegistry::Reports reports;
      Frame f;
      for (uint32_t k = n + 1; saving.load(std::memory_order_relaxed); ++k) {
        f.Set(PairMac(k, 1), PairIp(k));
        const auto start = std::chrono::steady_clock::now();
        t->Registry()->Sight(f.bytes + 6, PairIp(k), reports);
        longest = std::max(longest, Nanoseconds(std::chrono::steady_clock::now() - start));
        ++sightings;
      }
    });
    const auto copy = t->Registry()->CopyTable();
    const bool saved = t->SaveTable();
    saving = false;
    writer.join();
    state.counters["longest_hold_us"] = Nanoseconds(copy.LongestHold()) / 1000;
    state.counters["longest_sighting_us"] = longest / 1000;
    state.counters["pairs_added_meanwhile"] = static_cast<double>(sightings);
    if (!saved) state.SkipWithError("the save failed");
  }
  std::filesystem::remove(BenchDirectory() + "arptable");
}
BENCHMARK(BM_RegistrySaveHold)
    ->Arg(1000000)
    ->Arg(5000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// What each report after the start-up one adds on Linux: the registry
// file looked at, and read and parsed anew when it has changed. A file
// whose time of last write is recent enough that a further write could keep
// it is read at every query and compared with what was read (parsed only
// when it differs); here its time is put a minute ahead of the clock, so
// that it stays that way for the whole run, the cost per report during the
// first moments after an edit. Arguments: the file's size in KiB (a comment
// pads it), and whether its time is a minute old (settled) or ahead.
std::string WriteRegistryFile(int64_t kib, bool settled) {
  const std::string path = BenchDirectory() + "registry.reg";
  std::string content =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
      "\"SyslogHost\"=\"10.0.0.5\"\r\n\"SyslogRate\"=\"0\"\r\n";
  const size_t size = static_cast<size_t>(kib) * 1024;
  if (size > content.size() + 3)
    content += ";" + std::string(size - content.size() - 3, 'x') + "\r\n";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  const auto minute = std::chrono::minutes(1);
  std::filesystem::last_write_time(
      path, std::filesystem::last_write_time(path) + (settled ? -minute : minute));
  return path;
}

void BM_ReadSyslogHostFromFile(benchmark::State& state) {
  platform::RegistryFile registry(WriteRegistryFile(state.range(0), state.range(1) != 0));
  for (auto _ : state) benchmark::DoNotOptimize(watch::ReadSyslogHost(registry));
  state.counters["parses"] = static_cast<double>(registry.Parses());
}
BENCHMARK(BM_ReadSyslogHostFromFile)
    ->ArgNames({"KiB", "settled"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({50 * 1024, 0});

// The whole configuration a report reads (host, transport, port, rate and
// the TLS files), from the same file.
void BM_ReadReportConfigFromFile(benchmark::State& state) {
  platform::RegistryFile registry(WriteRegistryFile(0, state.range(0) != 0));
  watch::ReportConfig config;
  for (auto _ : state) {
    watch::ReadReportConfig(registry, config);
    benchmark::DoNotOptimize(config);
  }
  state.counters["parses"] = static_cast<double>(registry.Parses());
}
BENCHMARK(BM_ReadReportConfigFromFile)->ArgNames({"settled"})->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
