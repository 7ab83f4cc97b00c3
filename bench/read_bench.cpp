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

#include "BenchSupport.h"
#include "capture/PcapWriter_test.h"
#include "platform/Registry.h"
#include "platform/WinSockProbe.h"
#include "service/ReadMode.h"
#include "syslog/IdSysLog.h"

namespace {

constexpr uint32_t kHosts = 10000;
constexpr uint32_t kFrame = 60;

// Little-endian pcap, microsecond timestamps, one 60-byte ARP request per
// record (16 + 60 bytes).
bool WriteCapture(const std::string& path, uint64_t frames) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  capture::testing::PcapWriter pcap;
  for (uint64_t i = 0; i < frames; ++i) {
    const uint32_t n = uint32_t(i % kHosts);
    const uint8_t mac[6] = {0x02,      0x00, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                            uint8_t(n)};
    const uint32_t ip = 0x0A000000u | (n & 0xFFFFFF);
    pcap.Record(uint32_t(1700000000 + i / 100000), uint32_t(i % 100000) * 10,
                capture::testing::ArpRequest(mac, ip, 0x0A000001, kFrame));  // asks for 10.0.0.1
    if (pcap.bytes().size() >= (1u << 20)) {
      std::fwrite(pcap.bytes().data(), 1, pcap.bytes().size(), out);
      pcap.bytes().clear();
    }
  }
  std::fwrite(pcap.bytes().data(), 1, pcap.bytes().size(), out);
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
