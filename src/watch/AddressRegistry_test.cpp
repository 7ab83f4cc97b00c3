#include "watch/AddressRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "rtl/SysUtils.h"
#include "watch/TextRegistry_test.h"

namespace watch {
namespace {

struct Sighting {
  uint8_t mac[6];
  uint32_t ip;
};

Sighting Of(uint64_t mac, uint32_t ip) {
  Sighting s;
  for (int i = 0; i < 6; ++i) s.mac[i] = static_cast<uint8_t>(mac >> (40 - 8 * i));
  s.ip = ip;
  return s;
}

std::vector<std::string> ReportsOf(const AddressRegistry::Reports& r) {
  return std::vector<std::string>(r.text, r.text + r.count);
}

// The same table lines and the same frames through the registry and
// through the text-list registry it replaces: every sighting must make the
// same reports, and the table written must be the same bytes.
TEST(AddressRegistryTest, SameReportsAndTableAsTheTextLists) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> table;  // IPv4 line, MAC line
    std::function<std::vector<Sighting>()> frames;
  } cases[] = {
      {"hosts that change addresses and take each other's",
       {},
       [] {
         std::mt19937 rng(1);
         std::vector<Sighting> out;
         for (int i = 0; i < 20000; ++i) {
           out.push_back(Of(0x02AA00000000ull + rng() % 40, 0x0A000000u + rng() % 60));
         }
         return out;
       }},
      {"a flood of new pairs over the whole address space",
       {},
       [] {
         std::mt19937_64 rng(2);
         std::vector<Sighting> out;
         for (int i = 0; i < 60000; ++i) {
           out.push_back(Of(rng() & 0xFFFFFFFFFFFFull, static_cast<uint32_t>(rng())));
         }
         return out;
       }},
      {"edge addresses",
       {},
       [] {
         return std::vector<Sighting>{Of(0, 0),
                                      Of(0, 0xFFFFFFFF),
                                      Of(0xFFFFFFFFFFFFull, 0),
                                      Of(0, 0x01010101),
                                      Of(0xFFFFFFFFFFFFull, 0x0A0A0A0A),
                                      Of(0x0000000000FFull, 0x01010101),
                                      Of(0, 0x0A000001),
                                      Of(0, 0x0A00000A),
                                      Of(0, 0x0A000064),
                                      Of(0, 0x64000000),
                                      Of(0, 0x0A000002),
                                      Of(1, 0x0A00000A)};
       }},
      {"a table with texts frames never give, then frames",
       {
           {"10.0.0.1", "  00a0c9-1234ef \t"},  // lower case, padded
           {"10.0.0.2  ", " 00000C-07AC01"},    // padded IPv4 text keeps its blanks
           {"10.0.0.1", " 00000C-07AC01"},      // a second owner: the first stays
           {"010.0.0.3", " 00A0c9-1234EF"},     // leading zero; mixed case, same record
           {"10.0.0.4", ""},                    // odd last line: empty MAC text
           {"host.example", " abc"},            // no MAC address at all
           {"HOST.EXAMPLE", " ABC"},            // same texts, other case
           {"10.0.0.5", " Abc"},                // the same text record
           {"a", " 02AA00-00000A"},
           {"10.0.0.5.1", " 02AA00-00000B"},
           {"1.2.3.4", " 02aa00-00000c"},
           {"10.0.0.9", " 02AA00-00000C"},  // the record of the line before
           {"", " 02AA00-00000D"},
           {"255.255.255.255", " 02AA00-00000D"},
           {"256.0.0.1", " 02AA00-00000E"},
           {"1.2.3", " 02AA00-00000E"},
           {"1.2.3.4\x7F", " 02AA00-00000E"},
       },
       [] {
         std::vector<Sighting> out;
         const uint64_t macs[] = {0x00A0C91234EFull, 0x00000C07AC01ull, 0x02AA0000000Aull,
                                  0x02AA0000000Cull, 0x02AA0000000Dull, 0x02AA0000000Full};
         const uint32_t ips[] = {0x0A000001, 0x0A000002, 0x0A000003, 0x0A000004, 0x0A000005,
                                 0x01020304, 0x0A000009, 0xFFFFFFFF, 0x0A00000A};
         for (uint64_t m : macs) {
           for (uint32_t ip : ips) out.push_back(Of(m, ip));
         }
         for (uint64_t m : macs) out.push_back(Of(m, 0x0A000001));
         return out;
       }},
      {"a table of plain lines, sorted in bulk, among odd ones",
       [] {
         std::vector<std::pair<std::string, std::string>> t = {
             {"10.1.0.1", " 02aa00-000001"},  // spelled first: plain lines keep its spelling
             {"10.1.0.2", " 02AA00-000001"},
             {"10.1.0.1", " 02AA00-000002"},  // a second owner: the first stays
         };
         std::mt19937 rng(4);
         for (int i = 0; i < 3000; ++i) {
           // Few MAC and IPv4 addresses: records of many addresses, owners
           // listed twice in and across batches.
           const std::string mac = MacText(Of(0x02AA00000000ull + rng() % 700, 0).mac);
           t.emplace_back(IpText(0x0A010000u + rng() % 2000), " " + mac);
           if (i % 500 == 0) t.emplace_back(" 10.1.0.3", " " + mac);
           if (i % 700 == 0) t.emplace_back("10.1.0.4", "\t" + mac + "  ");
         }
         t.emplace_back("10.1.0.5", "");
         return t;
       }(),
       [] {
         std::mt19937 rng(5);
         std::vector<Sighting> out;
         for (int i = 0; i < 3000; ++i) {
           out.push_back(Of(0x02AA00000000ull + rng() % 800, 0x0A010000u + rng() % 2200));
         }
         return out;
       }},
  };
  // Loaded as the watch loads a table: in one batch, and in batches small
  // enough that many end within the table.
  for (const size_t batch : {AddressRegistry::Loader::kBatch, size_t{5}})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", batches of " + std::to_string(batch));
      AddressRegistry registry;
      testing::TextRegistry reference;
      {
        AddressRegistry::Loader loader(registry, batch);
        for (const auto& [ip, mac] : c.table) {
          loader.Add(ip, mac);
          reference.Load(ip, mac);
        }
        loader.Flush();
      }
      ASSERT_EQ(registry.TableText(), reference.TableText());
      AddressRegistry::Reports reports;
      std::set<std::string> macs;
      int n = 0;
      for (const Sighting& s : c.frames()) {
        registry.Sight(s.mac, s.ip, reports);
        ASSERT_EQ(ReportsOf(reports), reference.Sight(s.mac, s.ip)) << "sighting " << n;
        macs.insert(MacText(s.mac));
        ++n;
      }
      EXPECT_EQ(registry.TableText(), reference.TableText());
      EXPECT_EQ(registry.AddressCount(), reference.AddressCount());
      EXPECT_EQ(registry.MacCount(), static_cast<size_t>(reference.MacCount()));
      for (const auto& [ip, mac] : c.table) macs.insert(std::string(rtl::TrimView(mac)));
      for (const std::string& mac : macs) {
        EXPECT_EQ(registry.AddressesOf(mac), reference.AddressesOf(mac)) << mac;
      }
    }
}

// A copy taken while the writer adds pairs fast enough to grow the tables
// under it: each copy is in order, holds each address once, and misses
// nothing that was there before it began.
TEST(AddressRegistryTest, CopyWhileTheWriterGrowsTheTable) {
  AddressRegistry registry;
  AddressRegistry::Reports reports;
  constexpr uint32_t kPairs = 400000;
  std::atomic<uint32_t> written{0};
  std::atomic<int> copies{0};
  std::thread writer([&] {
    for (uint32_t n = 0; n < kPairs; ++n) {
      const Sighting s = Of(0x020000000000ull + n, 0x0A000000u + n * 7);
      registry.Sight(s.mac, s.ip, reports);
      written.store(n + 1, std::memory_order_release);
      // Now and then the next copy is awaited, so that however the threads
      // are scheduled, copies run all through the growth.
      if (n % 40000 == 39999 && n + 1 < kPairs) {
        const int seen = copies.load();
        while (copies.load() < seen + 2) std::this_thread::yield();
      }
    }
  });
  std::string fault;
  while (written.load(std::memory_order_acquire) < kPairs) {
    const uint32_t before = written.load(std::memory_order_acquire);
    const AddressRegistry::Copy copy = registry.CopyTable();
    if (copy.Count() < before || copy.Count() > kPairs) fault = "a copy of the wrong size";
    std::string last;
    for (size_t i = 0; i < copy.Count() && fault.empty(); ++i) {
      const std::string ip = copy.Ip(i);
      if (rtl::CompareText(last, ip) >= 0) fault = "out of order or twice: " + ip;
      last = ip;
    }
    copies.fetch_add(1);
  }
  writer.join();
  EXPECT_EQ(fault, "");
  EXPECT_GE(copies.load(), 18);
  EXPECT_EQ(registry.CopyTable().Count(), kPairs);
}

// Past the bound a new pair is reported as if it were kept, once while it
// is recent, and the registry and its table stay as they were.
TEST(AddressRegistryTest, PairsPastTheBoundAreReportedNotKept) {
  AddressRegistry registry(3);
  AddressRegistry::Reports r;
  const Sighting a1 = Of(0xA, 0x0A000001), a2 = Of(0xA, 0x0A000002), b1 = Of(0xB, 0x0A000001);
  registry.Load("10.0.0.9", "00000C-07AC01");
  registry.Sight(a1.mac, a1.ip, r);
  registry.Sight(a2.mac, a2.ip, r);
  const std::string table = registry.TableText();
  EXPECT_EQ(registry.PairCount(), 3u);

  struct Step {
    Sighting s;
    std::vector<std::string> reports;
  } steps[] = {
      {Of(0xA, 0x0A000003),
       {"3 addresses on MAC 000000-00000A", "10.0.0.3 found on 000000-00000A"}},
      {b1, {"10.0.0.1 moved from 000000-00000A to 000000-00000B"}},
      {b1, {}},  // reported a moment ago
      {a1, {}},  // kept before the bound
      {Of(0xC, 0x0A000004), {"10.0.0.4 found on 000000-00000C"}},
  };
  for (const Step& step : steps) {
    registry.Sight(step.s.mac, step.s.ip, r);
    EXPECT_EQ(ReportsOf(r), step.reports);
  }
  registry.Load("10.0.0.8", "00000C-07AC01");
  EXPECT_EQ(registry.PairsNotKept(), 4u);
  EXPECT_EQ(registry.PairCount(), 3u);
  EXPECT_EQ(registry.TableText(), table);
  EXPECT_EQ(registry.AddressesOf("000000-00000B"), std::vector<std::string>{});
}

// A table larger than the bound keeps its first pairs, as loading each
// pair in turn does, whatever the batches.
TEST(AddressRegistryTest, LoaderKeepsTheFirstPairsUpToTheBound) {
  std::vector<std::pair<std::string, std::string>> table;
  for (uint32_t n = 0; n < 40; ++n) {
    table.emplace_back(IpText(0x0A000000u + n % 30), " " + MacText(Of(0xA0 + n % 7, 0).mac));
    if (n % 9 == 0) table.emplace_back("x" + std::to_string(n), " 00000C-07AC01");
  }
  for (size_t batch : {1, 4, 16, 1000}) {
    SCOPED_TRACE(batch);
    AddressRegistry one(25), bulk(25);
    AddressRegistry::Loader loader(bulk, batch);
    for (const auto& [ip, mac] : table) {
      one.Load(ip, mac);
      loader.Add(ip, mac);
    }
    loader.Flush();
    EXPECT_EQ(bulk.TableText(), one.TableText());
    EXPECT_EQ(bulk.PairCount(), 25u);
    EXPECT_EQ(bulk.PairsNotKept(), one.PairsNotKept());
    EXPECT_EQ(bulk.AddressesOf("000000-0000A3"), one.AddressesOf("000000-0000A3"));
  }
}

}  // namespace
}  // namespace watch
