// The address registry: which MAC address has claimed which IPv4 address.
//
// One Tarp_registry record per MAC address ever seen or loaded. MacIndex
// maps each MAC text to its record and owns the records; IpIndex maps each
// IPv4 text to the record that owns it now. Both are sorted, compare
// without regard to case and hold each key once. Invariants:
// - every record in IpIndex is also in MacIndex;
// - the owner of an IPv4 text has that text in its Addresses;
// - a record's Addresses may also hold texts now owned by other records;
// - nothing is ever removed: records, index entries and addresses only
//   grow; an IpIndex entry only changes its owner.
//
// Threads. One writer at a time changes the registry: the watch thread
// while it loads the table, then the capture reader through Sight. Other
// threads only read it, through TableText and AddressCount, which take the
// registry's lock; the writer holds that lock while it changes anything, but
// not for a sighting of a known pair, which reads only the writer's own MAC
// hash and changes nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "rtl/Classes.h"

namespace watch {

// One record per MAC address. Addresses holds every IPv4 text ever seen
// with it (sorted, case-insensitive, each once), including those since
// claimed by another MAC address.
class Tarp_registry : public rtl::TObject {
 public:
  explicit Tarp_registry(std::string mac);
  std::string Mac;
  rtl::TStringList Addresses;

 private:
  friend class AddressRegistry;
  uint32_t pool_handle_ = 0;  // its slot in the registry's record pool
};

// "00A0C9-1234EF": two upper-case hex digits per byte, "-" after the third.
std::string MacText(const uint8_t* bytes);
// "192.168.0.7" from 0xC0A80007 (first number in the most significant byte).
std::string IpText(uint32_t address);

class AddressRegistry {
 public:
  AddressRegistry();
  ~AddressRegistry();
  AddressRegistry(const AddressRegistry&) = delete;
  AddressRegistry& operator=(const AddressRegistry&) = delete;

  // The reports one sighting makes, in the order they go out: the count
  // report first, then the moved or the found report.
  struct Reports {
    std::string text[2];
    int count = 0;
    void Add(std::string t) { text[count++] = std::move(t); }
    const std::string& Last() const { return text[count - 1]; }
  };

  // Applies one sighting (the frame's Ethernet source, its ARP sender IPv4
  // address with the first number in the most significant byte) and says
  // what it reports. The registry is complete before this returns, so a
  // report that later fails to go out loses nothing. Writer only.
  void Sight(const uint8_t* mac_bytes, uint32_t address, Reports& reports);

  // Adds one pair of the table file: the IPv4 text as it stands, the MAC
  // text trimmed of blanks and control characters. An IPv4 text listed
  // twice keeps its first owner. Writer only.
  void Load(const std::string& ip, std::string_view mac_line);

  // The table file's content: per IpIndex entry, in order, the IPv4 text
  // and CR LF, then a space, the owner's Mac and CR LF. Any thread.
  std::string TableText() const;

  // Counts changes; a save compares it with the count it wrote. Any thread.
  uint64_t Version() const noexcept { return version_.load(std::memory_order_acquire); }
  // IpIndex entries. Any thread.
  int AddressCount() const noexcept { return address_count_.load(std::memory_order_relaxed); }

  // The indexes, for the writer and for tests that look inside.
  const rtl::TStringList& MacIndex() const noexcept { return mac_index_; }
  const rtl::TStringList& IpIndex() const noexcept { return ip_index_; }

 private:
  class MacHash;

  // The record of mac in MacIndex, made and added when there is none;
  // value is mac's 48-bit address when mac is a MAC text in either case,
  // else kNotMac. Called with mu_ held.
  Tarp_registry* RecordOf(std::string_view mac, uint64_t value);
  void Changed();
  static constexpr uint64_t kNotMac = ~uint64_t{0};

  mutable std::mutex mu_;          // held by the writer while it changes anything
  rtl::TStringList mac_index_;     // guarded by mu_ for readers; owns the records
  rtl::TStringList ip_index_;      // guarded by mu_ for readers
  std::unique_ptr<MacHash> hash_;  // the writer's own
  std::atomic<uint64_t> version_{0};
  std::atomic<int> address_count_{0};
};

}  // namespace watch
