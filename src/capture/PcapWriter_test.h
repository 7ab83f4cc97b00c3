// Test support: capture files written in memory, for the tests that feed a
// capture file to the program (the replay, the file reader). Frames are
// Ethernet frames as bytes; every record has the same fixed time stamp and
// its full length captured. Test-only: never linked into the
// program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace capture::testing {

// v as four little-endian bytes.
inline std::string U32(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// A classic little-endian pcap file with one Ethernet frame per record.
inline std::string Pcap(const std::vector<std::string>& frames) {
  std::string file =
      U32(0xA1B2C3D4) + std::string("\x02\x00\x04\x00", 4) + U32(0) + U32(0) + U32(65535) + U32(1);
  for (const std::string& f : frames) file += U32(1) + U32(0) + U32(f.size()) + U32(f.size()) + f;
  return file;
}

// A little-endian pcapng file: section header, one Ethernet interface, one
// enhanced packet block per frame.
inline std::string PcapNg(const std::vector<std::string>& frames) {
  auto block = [](uint32_t type, std::string body) {
    body.resize((body.size() + 3) & ~size_t(3), '\0');
    const uint32_t total = uint32_t(body.size() + 12);
    return U32(type) + U32(total) + body + U32(total);
  };
  std::string file = block(
      0x0A0D0D0A, U32(0x1A2B3C4D) + std::string("\x01\x00\x00\x00", 4) + std::string(8, '\xFF'));
  file += block(1, std::string("\x01\x00\x00\x00", 4) + U32(0));
  for (const std::string& f : frames) {
    file += block(6, U32(0) + U32(0) + U32(1) + U32(f.size()) + U32(f.size()) + f);
  }
  return file;
}

}  // namespace capture::testing
