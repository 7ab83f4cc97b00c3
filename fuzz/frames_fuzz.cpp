// Ethernet frames through the watch's frame handler into the address
// registry. The input is a sequence of frames, each one length byte and
// that many bytes. The reports must be those of a plain model of the
// registry (found, moved, count of addresses per MAC), and after the input
// the registry keeps its invariants, holds the model's owners, writes the
// same table as the text-list registry, and save, load, save is a fixed
// point.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "watch/TextRegistry_test.h"

namespace {

struct Model {
  std::map<std::string, std::set<std::string>> addresses;  // MAC text -> IPv4 texts
  std::map<std::string, std::string> owner;                // IPv4 text -> MAC text
  std::vector<std::string> reports;

  void See(const std::string& mac, const std::string& ip) {
    auto& seen = addresses[mac];
    if (!seen.insert(ip).second) return;
    if (seen.size() > 1) {
      reports.push_back(std::to_string(seen.size()) + " addresses on MAC " + mac);
    }
    auto it = owner.find(ip);
    if (it == owner.end()) {
      owner[ip] = mac;
      reports.push_back(ip + " found on " + mac);
    } else if (it->second != mac) {
      reports.push_back(ip + " moved from " + it->second + " to " + mac);
      it->second = mac;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::FakeWatch* fakes = new fuzz::FakeWatch;
  fakes->parts.Clear();
  auto t = fakes->NewWatch();
  Model model;
  watch::testing::TextRegistry reference;
  size_t pos = 0;
  while (pos < size) {
    const size_t length = std::min<size_t>(data[pos], size - pos - 1);
    // A copy of exactly the frame's bytes, so that reading past it is seen.
    std::vector<uint8_t> frame(data + pos + 1, data + pos + 1 + length);
    pos += 1 + length;
    t->HandleCapture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(frame.data()),
                     static_cast<int>(length));
    // ARP over Ethernet and IPv4 only: hardware type 1, protocol 0x0800,
    // address lengths 6 and 4.
    static const uint8_t kArp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04};
    if (length >= 32 && std::equal(kArp, kArp + sizeof kArp, frame.begin() + 12)) {
      const uint32_t ip = uint32_t(frame[28]) << 24 | uint32_t(frame[29]) << 16 |
                          uint32_t(frame[30]) << 8 | frame[31];
      model.See(watch::MacText(frame.data() + 6), watch::IpText(ip));
      reference.Sight(frame.data() + 6, ip);
    }
  }
  FUZZ_CHECK(fakes->parts.Texts() == model.reports, "reports as the model gives them");
  fuzz::CheckRegistry(*t);
  const watch::AddressRegistry::Copy copy = t->Registry()->CopyTable();
  FUZZ_CHECK(copy.Count() == model.owner.size(), "table size");
  size_t i = 0;
  for (const auto& [ip, mac] : model.owner) {
    // std::map's order is the table's for these texts (digits and dots).
    FUZZ_CHECK(copy.Ip(i) == ip, "address in the table");
    FUZZ_CHECK(copy.Mac(i) == mac, "owner as in the model");
    ++i;
  }
  FUZZ_CHECK(t->Registry()->TableText() == reference.TableText(), "the text-list registry's table");
  fuzz::CheckSaveLoadSave(*t, *fakes);
  return 0;
}
