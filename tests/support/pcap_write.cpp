// pcap_write: writes a capture file (pcap) for the test scripts, with the
// writer the unit tests and benchmarks use (capture/PcapWriter_test.h).
//   pcap_write [OPTIONS] OUT pairs COUNT [FIRST]
//       COUNT ARP requests, each a new pair: MAC 02:cc:00:NN:NN:NN claims
//       10.NN.NN.NN (asking for 10.0.0.254), for NN = FIRST (default 1)
//       onwards, up to 0xffffff; record NN at 1700000000 + NN / 1000 seconds
//       and NN % 1000 fractions.
//   pcap_write [OPTIONS] OUT records [IN]
//       one record per line of IN (default: standard input):
//           SECONDS FRACTION FRAME_HEX [WIRE_LENGTH]
//       the wire length is the frame's own by default; blank lines and lines
//       that start with # are skipped.
// OUT "-" is standard output. OPTIONS: --big-endian, --nanoseconds (the
// fractions are nanoseconds, else microseconds), --link-type N,
// --snap-length N.
// Exit code 0 written, 1 bad input or a failed write (the cause on standard
// error), 2 usage.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "capture/PcapWriter_test.h"

namespace {

using capture::testing::ArpRequest;
using capture::testing::PcapFormat;
using capture::testing::PcapWriter;

int Usage() {
  std::fprintf(stderr,
               "usage: pcap_write [--big-endian] [--nanoseconds] [--link-type N] "
               "[--snap-length N] OUT pairs COUNT [FIRST]\n"
               "       pcap_write [OPTIONS] OUT records [IN]   (lines: SECONDS FRACTION "
               "FRAME_HEX [WIRE_LENGTH])\n");
  return 2;
}

// A whole decimal number up to max; false for anything else.
bool Number(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0 && value <= max;
}

bool Hex(const std::string& text, std::string& bytes) {
  if (text.size() % 2 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    bytes.push_back(char(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// Writes the bytes so far and clears them; false (the cause printed) when
// the write fails.
bool Flush(PcapWriter& pcap, std::FILE* out, const std::string& name) {
  std::string& bytes = pcap.bytes();
  if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    std::fprintf(stderr, "pcap_write: writing %s: %s\n", name.c_str(), std::strerror(errno));
    return false;
  }
  bytes.clear();
  return true;
}

bool Pairs(PcapWriter& pcap, std::FILE* out, const std::string& name, uint64_t count,
           uint64_t first) {
  for (uint64_t n = first; n < first + count; ++n) {
    const uint8_t mac[6] = {2, 0xCC, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    pcap.Record(uint32_t(1700000000 + n / 1000), uint32_t(n % 1000),
                ArpRequest(mac, uint32_t(0x0A000000 | n), 0x0A0000FE));
    if (pcap.bytes().size() >= (1u << 20) && !Flush(pcap, out, name)) return false;
  }
  return true;
}

bool Records(PcapWriter& pcap, std::FILE* out, const std::string& name, std::istream& in) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::string seconds, fraction, hex, wire, extra;
    fields >> seconds >> fraction >> hex >> wire >> extra;
    if (seconds.empty() || seconds[0] == '#') continue;
    uint64_t s, f, w = 0;
    std::string frame;
    if (!Number(seconds, UINT32_MAX, s) || !Number(fraction, UINT32_MAX, f) || !Hex(hex, frame) ||
        (!wire.empty() && !Number(wire, UINT32_MAX, w)) || !extra.empty()) {
      std::fprintf(stderr,
                   "pcap_write: line %d: expected SECONDS FRACTION FRAME_HEX [WIRE_LENGTH]: %s\n",
                   number, line.c_str());
      return false;
    }
    pcap.Record(uint32_t(s), uint32_t(f), frame,
                wire.empty() ? std::nullopt : std::optional<uint32_t>(uint32_t(w)));
    if (pcap.bytes().size() >= (1u << 20) && !Flush(pcap, out, name)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  PcapFormat format;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string option = argv[i];
    uint64_t value;
    if (option == "--big-endian") {
      format.big_endian = true;
    } else if (option == "--nanoseconds") {
      format.nanoseconds = true;
    } else if ((option == "--link-type" || option == "--snap-length") && i + 1 < argc &&
               Number(argv[i + 1], UINT32_MAX, value)) {
      (option == "--link-type" ? format.link_type : format.snap_length) = uint32_t(value);
      ++i;
    } else {
      return Usage();
    }
  }
  if (argc - i < 2) return Usage();
  const std::string name = argv[i];
  const std::string mode = argv[i + 1];
  const int rest = argc - i - 2;
  char** args = argv + i + 2;

  uint64_t count = 0, first = 1;
  std::ifstream file;
  if (mode == "pairs") {
    if (rest < 1 || rest > 2 || !Number(args[0], 0xFFFFFF, count) ||
        (rest == 2 && (!Number(args[1], 0xFFFFFF, first) || first == 0))) {
      return Usage();
    }
    if (first + count - 1 > 0xFFFFFF) {
      std::fprintf(stderr, "pcap_write: pairs run past 10.255.255.255\n");
      return 1;
    }
  } else if (mode == "records") {
    if (rest > 1) return Usage();
    if (rest == 1 && std::strcmp(args[0], "-") != 0) {
      file.open(args[0]);
      if (!file) {
        std::fprintf(stderr, "pcap_write: cannot open %s: %s\n", args[0], std::strerror(errno));
        return 1;
      }
    }
  } else {
    return Usage();
  }

  std::FILE* out = name == "-" ? stdout : std::fopen(name.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "pcap_write: cannot create %s: %s\n", name.c_str(), std::strerror(errno));
    return 1;
  }
  PcapWriter pcap(format);
  bool ok = mode == "pairs" ? Pairs(pcap, out, name, count, first)
                            : Records(pcap, out, name, file.is_open() ? file : std::cin);
  ok = ok && Flush(pcap, out, name);
  if (std::fclose(out) != 0 && ok) {
    std::fprintf(stderr, "pcap_write: closing %s: %s\n", name.c_str(), std::strerror(errno));
    ok = false;
  }
  return ok ? 0 : 1;
}
