// The replay run's whole path, as "/read FILE" runs it: the capture file
// streams from the disk (the page cache, after the first pass), every frame
// goes through the watch's frame handler, and reports go through the real
// syslog sender to a datagram sink on the loopback address, printed on
// standard output (sent to /dev/null here) as the program prints them. The
// configured host is read from a registry file for every report, as in the
// program, and the table is saved once at the end.
//   BM_ReadCapture  1,000,000 ARP frames from 10,000 hosts (a 76 MB pcap
//                   file; host n has MAC 02:00:n and address 10.x.y.z from
//                   n, frame i comes from host i mod 10,000): one report per
//                   host, then known pairs. Frames per second.
//
// "read_bench --write-capture FILE FRAMES" writes such a file of FRAMES
// frames and exits, for measuring the program itself (read_measure.py).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "platform/Registry.h"
#include "platform/WinSockProbe.h"
#include "service/ReadMode.h"
#include "syslog/IdSysLog.h"

namespace {

constexpr uint32_t kHosts = 10000;
constexpr uint32_t kFrame = 60;

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// Little-endian pcap, microsecond timestamps, one 60-byte ARP request per
// record (16 + 60 bytes).
bool WriteCapture(const std::string& path, uint64_t frames) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  uint8_t header[24] = {};
  Put32(header, 0xa1b2c3d4);
  header[4] = 2, header[6] = 4;
  Put32(header + 16, 65535);
  Put32(header + 20, 1);
  std::fwrite(header, 1, sizeof header, out);
  std::vector<uint8_t> chunk;
  for (uint64_t i = 0; i < frames; ++i) {
    uint8_t r[16 + kFrame] = {};
    Put32(r, uint32_t(1700000000 + i / 100000));
    Put32(r + 4, uint32_t(i % 100000) * 10);
    Put32(r + 8, kFrame);
    Put32(r + 12, kFrame);
    uint8_t* f = r + 16;
    const uint32_t n = uint32_t(i % kHosts);
    const uint8_t mac[6] = {0x02,      0x00, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                            uint8_t(n)};
    const uint32_t ip = 0x0A000000u | (n & 0xFFFFFF);
    std::memset(f, 0xFF, 6);
    std::memcpy(f + 6, mac, 6);
    f[12] = 0x08, f[13] = 0x06;                              // ARP
    f[14] = 0x00, f[15] = 0x01, f[16] = 0x08, f[17] = 0x00;  // Ethernet, IPv4
    f[18] = 6, f[19] = 4, f[20] = 0x00, f[21] = 0x01;        // request
    std::memcpy(f + 22, mac, 6);
    f[28] = uint8_t(ip >> 24), f[29] = uint8_t(ip >> 16), f[30] = uint8_t(ip >> 8),
    f[31] = uint8_t(ip);
    f[38] = 10, f[41] = 1;  // target 10.0.0.1
    chunk.insert(chunk.end(), r, r + sizeof r);
    if (chunk.size() >= (1u << 20)) {
      std::fwrite(chunk.data(), 1, chunk.size(), out);
      chunk.clear();
    }
  }
  std::fwrite(chunk.data(), 1, chunk.size(), out);
  return std::fclose(out) == 0;
}

using bench::Sink;
using bench::TempDir;

// The program's sender, aimed at the sink's port.
class BenchParts : public watch::WatchFactory {
 public:
  explicit BenchParts(int port) : port_(port) {}
  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return bench::SenderToPort(port_);
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    throw rtl::Exception("the replay brings its own capture");
  }

 private:
  int port_;
};

void BM_ReadCapture(benchmark::State& state) {
  const uint64_t frames = uint64_t(state.range(0));
  const std::string dir = TempDir();
  const std::string capture = dir + "capture.pcap";
  if (!WriteCapture(capture, frames)) return state.SkipWithError("cannot write the capture file");
  std::ofstream(dir + "registry.reg") << "Windows Registry Editor Version 5.00\r\n\r\n"
                                         "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\"
                                         "Tessalin]\r\n\"SyslogHost\"=\"127.0.0.1\"\r\n";
  // The replayed watches idle on to the end of the process: what they use
  // stays.
  static auto* sink = new Sink;
  static auto* parts = new BenchParts(sink->Port());
  static auto* registry = new platform::RegistryFile(dir + "registry.reg");
  const int null = ::open("/dev/null", O_WRONLY);
  const int saved_stdout = ::dup(1);
  int run = 0;
  int code = 0;
  for (auto _ : state) {
    // A new data folder each time: an empty table, so every host is new.
    const std::string data = dir + "run" + std::to_string(run++) + "/";
    ::mkdir(data.c_str(), 0755);
    watch::WatchEnvironment env;
    env.parts = parts;
    env.registry = registry;
    env.data_directory = data;
    std::fflush(stdout);
    ::dup2(null, 1);
    const int this_code = service::RunReadMode(capture, env);
    if (code == 0) code = this_code;
    std::fflush(stdout);
    ::dup2(saved_stdout, 1);
  }
  ::close(null);
  ::close(saved_stdout);
  if (code != 0) state.SkipWithError("a read did not end with 0");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // datagrams in flight
  state.SetItemsProcessed(int64_t(state.iterations() * frames));
  state.counters["datagrams"] = double(sink->received.load());
  std::remove(capture.c_str());
}
BENCHMARK(BM_ReadCapture)->Arg(1000000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--write-capture") == 0) {
    return WriteCapture(argv[2], std::strtoull(argv[3], nullptr, 10)) ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
