// Data generator: writes a table file of PAIRS pairs, exactly as the watch
// saves one, for loads by hand and flood runs against a large table.
//   make_table PATH PAIRS [IPS_PER_MAC]
// Pair n (0 <= n < PAIRS) is the IPv4 address 11.0.0.0 + n owned by the
// MAC address 02-CC-00 + n / IPS_PER_MAC (default 1). These ranges do
// not meet the ones arpinject floods (10.64.0.0 and 10.128.0.0 with
// 02:aa:00 and 02:bb:00), so a flood against the table brings only new
// pairs. The file is written in the table's order through the registry
// the program uses, then put in place by a rename.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "watch/AddressRegistry.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s PATH PAIRS [IPS_PER_MAC]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  char* end = nullptr;
  const unsigned long long pairs = std::strtoull(argv[2], &end, 10);
  const unsigned long long per_mac = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1;
  if (*end || pairs == 0 || pairs > (1ull << 24) || per_mac == 0 || per_mac > pairs) {
    std::fprintf(stderr, "PAIRS must be 1 to 16777216, IPS_PER_MAC 1 to PAIRS\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  watch::AddressRegistry registry;
  watch::AddressRegistry::Reports reports;
  for (uint32_t n = 0; n < pairs; ++n) {
    const uint32_t m = static_cast<uint32_t>(n / per_mac);
    const uint8_t mac[6] = {0x02,
                            0xCC,
                            0x00,
                            static_cast<uint8_t>(m >> 16),
                            static_cast<uint8_t>(m >> 8),
                            static_cast<uint8_t>(m)};
    registry.Sight(mac, 0x0B000000u + n, reports);
  }
  const watch::AddressRegistry::Copy copy = registry.CopyTable();
  const std::string temp = path + ".tmp";
  std::FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    std::perror(temp.c_str());
    return 1;
  }
  std::string chunk;
  for (size_t i = 0; i < copy.Count(); i += 4096) {
    chunk.clear();
    copy.AppendLines(i, std::min(copy.Count(), i + 4096), chunk);
    if (std::fwrite(chunk.data(), 1, chunk.size(), f) != chunk.size()) {
      std::perror(temp.c_str());
      return 1;
    }
  }
  if (std::fclose(f) != 0 || std::rename(temp.c_str(), path.c_str()) != 0) {
    std::perror(path.c_str());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu pairs written to %s in %.1f s\n", copy.Count(), path.c_str(), seconds);
  return 0;
}
