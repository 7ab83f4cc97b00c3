// The address registry: which MAC address has claimed which IPv4 address.
//
// A record per MAC address ever seen or loaded, the IPv4 addresses ever
// seen with each (its count is the count report's number), and per IPv4
// address the record that owns it now (the IPv4 index, which the table
// file holds). Addresses from frames are kept as integers, a MAC address
// as 48 bits and an IPv4 address as 32, in open-addressing hash tables
// (HashSlots.h), so that a sighting costs the same whatever the registry's
// size; their texts are AddressText.h's (MacText, IpText). The sorted
// order that the table file needs is made by a sort when the table is
// copied out. Texts from the table file that frames never give (a MAC text
// with lower-case letters, an IPv4 text with blanks or leading zeros, any
// other text) are kept as texts beside the tables. Every text compares
// without regard to letter case (rtl::CompareText): a lower-case MAC text
// names the same record as the upper-case one, and reports show it as it
// was first recorded.
//
// Invariants:
// - every owner in the IPv4 index is a record;
// - the owner of an address has that address among its own;
// - a record's addresses may also hold addresses now owned by others;
// - nothing is ever removed: records and addresses only grow; an IPv4
//   entry only changes its owner;
// - at most MaxPairs() (record, address) pairs are kept. A sighting of a
//   new pair past that is reported as if it were kept, and counted in
//   PairsNotKept(); the registry stays as it was.
//
// Threads. One writer at a time changes the registry: the watch thread
// while it loads the table, then the capture reader through Sight. Other
// threads only read it, through CopyTable and the counters. The writer
// takes the registry's lock only to change the IPv4 index and the kept
// texts, which are all a copy reads; CopyTable takes the lock one slice at
// a time, so the writer never waits for more than a slice. The MAC table
// and the pair set are the writer's own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rtl/Mutex.h"
#include "watch/AddressText.h"

namespace watch {

template <class Slot>
class HashSlots;

class AddressRegistry {
 public:
  static constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

  explicit AddressRegistry(uint64_t max_pairs = kUnbounded);
  ~AddressRegistry();
  AddressRegistry(const AddressRegistry&) = delete;
  AddressRegistry& operator=(const AddressRegistry&) = delete;

  // The reports one sighting makes, in the order they go out: the count
  // report first, then the moved or the found report. The texts are
  // composed in place, so a Reports kept from one sighting to the next
  // allocates nothing once its texts have grown to size.
  struct Reports {
    std::string text[2];
    int count = 0;
    const std::string& Last() const { return text[count - 1]; }
    std::string& Next() {
      std::string& t = text[count++];
      t.clear();
      return t;
    }
  };

  // Applies one sighting (the frame's Ethernet source, its ARP sender IPv4
  // address with the first number in the most significant byte) and says
  // what it reports. The registry is complete before this returns, so a
  // report that later fails to go out loses nothing. Writer only.
  void Sight(const uint8_t* mac_bytes, uint32_t address, Reports& reports) EXCLUDES(mu_);

  // Adds one pair of the table file: the IPv4 text as it stands, the MAC
  // text trimmed of blanks and control characters. An IPv4 text listed
  // twice keeps its first owner. Writer only.
  void Load(std::string_view ip, std::string_view mac_line) EXCLUDES(mu_);

 private:
  struct PlainPair {
    uint64_t key;  // the record's key: the MAC address, flags above
    uint32_t ip;
    uint32_t place;  // which run of slots its own lies in, while sorting
  };

 public:
  // Loads the pairs of a table file in bulk, to the same end as Load for
  // each pair in turn. Plain pairs (an IPv4 text as IpText writes it, a
  // MAC text as MacText writes it) are gathered and put into the tables in
  // the order of their slots, a sweep through memory instead of a cache
  // miss per pair; any other pair first puts in those gathered before it,
  // then goes in as Load puts it. Nothing is in the registry before
  // Flush(). Writer only.
  class Loader {
   public:
    // Pairs gathered before they go in together: a batch's sort buffers
    // are 16 bytes a pair, twice.
    static constexpr size_t kBatch = size_t{1} << 18;
    explicit Loader(AddressRegistry& registry, size_t batch = kBatch)
        : registry_(registry), batch_(batch) {}
    void Add(std::string_view ip, std::string_view mac_line);
    // Puts in the pairs gathered so far.
    void Flush();

   private:
    AddressRegistry& registry_;
    const size_t batch_;
    std::vector<PlainPair> pending_;  // gathered, in file order
    std::vector<PlainPair> scratch_;
  };

  // Makes room for about this many pairs (at most MaxPairs()) of as many
  // MAC and IPv4 addresses, so that a load of a large table does not grow
  // the tables step by step. Writer only.
  void Reserve(uint64_t pairs) EXCLUDES(mu_);

  // A copy of the IPv4 index in the table file's order (ascending
  // rtl::CompareText order of the IPv4 texts): per entry the IPv4 text and
  // the owner's MAC text as recorded.
  class Copy {
   public:
    size_t Count() const noexcept { return entries_.size(); }
    std::string Ip(size_t i) const;
    std::string Mac(size_t i) const;
    // Appends the table file's lines of entries [from, to): the IPv4 text,
    // CR LF, a space, the owner's MAC text, CR LF.
    void AppendLines(size_t from, size_t to, std::string& out) const;
    // The longest the copy held the registry's lock for one slice.
    std::chrono::steady_clock::duration LongestHold() const noexcept { return longest_hold_; }

   private:
    friend class AddressRegistry;
    struct Entry {
      uint32_t ip;      // the address; for an odd text its place in odd_ips_
      uint32_t lo, hi;  // the owner's key, and kOddIp in hi for an odd text
    };
    void AppendMac(const Entry& e, std::string& out) const;
    std::vector<Entry> entries_;
    std::vector<std::string> odd_ips_;
    std::unordered_map<uint64_t, std::string> names_;  // owners whose text is kept
    std::chrono::steady_clock::duration longest_hold_{};
  };
  Copy CopyTable() const EXCLUDES(mu_);

  // The table file's content: CopyTable's lines, all of them.
  std::string TableText() const EXCLUDES(mu_);

  // Counts changes; a save compares it with the count it wrote. Any thread.
  uint64_t Version() const noexcept { return version_.load(std::memory_order_acquire); }
  // IPv4 index entries. Any thread.
  int AddressCount() const noexcept { return address_count_.load(std::memory_order_relaxed); }
  // (record, address) pairs kept, and the bound on them. Any thread.
  uint64_t PairCount() const noexcept { return pair_count_.load(std::memory_order_relaxed); }
  uint64_t MaxPairs() const noexcept { return max_pairs_; }
  // New pairs reported but not kept, since the start (a pair seen again
  // soon after is counted once). Any thread.
  uint64_t PairsNotKept() const noexcept { return not_kept_.load(std::memory_order_relaxed); }
  // New MAC addresses that frames have brought, kept or not, since the
  // start. Any thread.
  uint64_t MacsSighted() const noexcept { return macs_sighted_.load(std::memory_order_relaxed); }
  // Records. Writer only.
  size_t MacCount() const noexcept;

  // The addresses recorded with a MAC text (any letter case), in ascending
  // order; none for an unknown text. For tests: the writer's thread only,
  // and it walks the whole pair set.
  std::vector<std::string> AddressesOf(std::string_view mac) const EXCLUDES(mu_);

 private:
  struct MacSlot;
  struct IpSlot;
  struct PairSlot;
  struct CountSlot;
  struct TextLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
  };
  struct OddIp {
    std::string text;
    uint64_t owner = 0;  // a record's key; 0 while it has none
  };

  // Whether the record in mac holds address (an odd text's number when
  // odd); remembers a found one in the slot, which the next sighting of
  // the same pair then reads alone.
  bool Holds(MacSlot& mac, uint32_t address, bool odd);
  uint32_t CountOf(const MacSlot& mac) const;
  // Adds address to mac's record, which does not hold it; mac null: a new
  // record with key. Returns the record's count of addresses.
  uint32_t AddPair(MacSlot* mac, uint64_t key, uint32_t address, bool odd);
  // A new pair past the bound: the reports it would make, once while it
  // stays in the recent set.
  void NotKept(const MacSlot* mac, uint64_t key, uint32_t address, Reports& reports) EXCLUDES(mu_);
  // The three reports, each composed in the next text of reports: "N
  // addresses on MAC M", "A found on M", "A moved from OLD to M". Writer
  // only.
  void ReportCount(uint32_t count, uint64_t key, Reports& reports) const;
  void ReportFound(uint32_t address, uint64_t key, Reports& reports) const;
  void ReportMoved(uint32_t address, uint64_t owner, uint64_t key, Reports& reports) const;
  // Appends the MAC text of a record's key.
  void AppendMac(uint64_t key, std::string& out) const REQUIRES(mu_);
  // The same for the writer, which reads the kept texts without the lock:
  // only the writer changes them.
  void WriterAppendMac(uint64_t key, std::string& out) const;
  // Loader's bulk step: the pairs in file order; scratch has room for as
  // many. Leaves both in an order of their own.
  void LoadPlain(std::vector<PlainPair>& pairs, std::vector<PlainPair>& scratch) EXCLUDES(mu_);
  void Changed() { version_.fetch_add(1, std::memory_order_release); }

  const uint64_t max_pairs_;
  // Held by the writer while it changes what a copy reads, and by a copy
  // while it reads. The writer reads that without it only where it must be
  // fast (WriterAppendMac): nobody else changes it.
  mutable rtl::Mutex mu_;
  std::unique_ptr<HashSlots<MacSlot>> macs_;      // the writer's own
  std::unique_ptr<HashSlots<PairSlot>> pairs_;    // the writer's own: records of 2+ addresses
  std::unique_ptr<HashSlots<CountSlot>> counts_;  // the writer's own: their counts
  std::unique_ptr<HashSlots<IpSlot>> ips_ PT_GUARDED_BY(mu_);
  // Kept texts.
  std::vector<std::string> text_macs_ GUARDED_BY(mu_);  // records whose MAC text is no MAC address
  std::map<std::string, uint64_t, TextLess> text_mac_index_ GUARDED_BY(mu_);
  // MAC address -> its text as loaded.
  std::unordered_map<uint64_t, std::string> spelled_ GUARDED_BY(mu_);
  std::vector<OddIp> odd_ips_ GUARDED_BY(mu_);  // IPv4 texts frames never give
  std::map<std::string, uint32_t, TextLess> odd_ip_index_ GUARDED_BY(mu_);
  // Pairs lately reported but not kept (fingerprints); the writer's own.
  std::unique_ptr<uint64_t[]> recent_;

  std::atomic<uint64_t> version_{0};
  std::atomic<int> address_count_{0};
  std::atomic<uint64_t> pair_count_{0};
  std::atomic<uint64_t> not_kept_{0};
  std::atomic<uint64_t> macs_sighted_{0};
};

}  // namespace watch
