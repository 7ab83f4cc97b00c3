#include "watch/AddressRegistry.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>

#include "rtl/SysUtils.h"
#include "watch/HashSlots.h"

namespace watch {
namespace {

// A record's key: the MAC address (or a text record's number) in the low
// 48 bits, and flags above. kUsed is in every key, so that 0 is free.
constexpr uint64_t kValue = (uint64_t{1} << 48) - 1;
constexpr uint64_t kUsed = uint64_t{1} << 48;
constexpr uint64_t kText = uint64_t{1} << 49;     // its MAC text is no MAC address
constexpr uint64_t kSpelled = uint64_t{1} << 50;  // its MAC text has lower-case letters
// What tells records apart; kSpelled only says how one is written.
constexpr uint64_t kIdentity = kValue | kUsed | kText;
// The same flags in the high word of a key kept as two 32-bit halves, and
// flags of a slot that are no part of the key.
constexpr uint32_t kUsedHi = 1u << 16;
constexpr uint32_t kTextHi = 1u << 17;
constexpr uint32_t kSpelledHi = 1u << 18;
constexpr uint32_t kMultiHi = 1u << 19;  // MAC slot: 2+ addresses, in the pair set
constexpr uint32_t kOddIpHi = 1u << 20;  // the address is an odd text's number
constexpr uint32_t kKeyHi = 0xFFFFu | kUsedHi | kTextHi | kSpelledHi;
constexpr uint32_t kIdentityHi = 0xFFFFu | kUsedHi | kTextHi;

// Pairs lately reported but not kept: a direct-mapped set of this many
// fingerprints.
constexpr size_t kRecentBits = 12;

uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t Join(uint32_t lo, uint32_t hi) { return lo | (uint64_t{hi} << 32); }
uint32_t Lo(uint64_t key) { return static_cast<uint32_t>(key); }
uint32_t Hi(uint64_t key) { return static_cast<uint32_t>(key >> 32); }

// Runs of slots a bulk load sorts its pairs into: the top bits of a slot's
// number. A run of a table of 2^23 slots is 2,048 slots, 24 KiB, which
// the caches hold while the run's pairs go in.
constexpr int kPlaceBits = 12;

// Where each number 0 to 255 stands among the texts "0" to "255" in text
// order ("0" < "1" < "10" < "100" < ... < "99"), and back. The dot that
// follows a number sorts before every digit, just as the end of a text
// sorts before its extensions; so IPv4 texts compare as the ranks of their
// four numbers do, and one 32-bit rank orders the table.
struct Ranks {
  std::array<uint8_t, 256> of, number;
  Ranks() {
    std::array<std::string, 256> texts;
    for (int n = 0; n < 256; ++n) texts[n] = std::to_string(n);
    std::array<int, 256> order;
    for (int n = 0; n < 256; ++n) order[n] = n;
    std::sort(order.begin(), order.end(), [&](int a, int b) { return texts[a] < texts[b]; });
    for (int r = 0; r < 256; ++r) {
      number[r] = static_cast<uint8_t>(order[r]);
      of[order[r]] = static_cast<uint8_t>(r);
    }
  }
  uint32_t Map(uint32_t v, const std::array<uint8_t, 256>& table) const {
    return uint32_t{table[v >> 24]} << 24 | uint32_t{table[(v >> 16) & 0xFF]} << 16 |
           uint32_t{table[(v >> 8) & 0xFF]} << 8 | table[v & 0xFF];
  }
};

const Ranks& TextRanks() {
  static const Ranks* ranks = new Ranks;
  return *ranks;
}

}  // namespace

bool AddressRegistry::TextLess::operator()(std::string_view a, std::string_view b) const noexcept {
  return rtl::CompareText(a, b) < 0;
}

// A record: its key, and one of its addresses, the only one unless
// kMultiHi (then all are in the pair set, and the count in the count
// table).
struct AddressRegistry::MacSlot {
  uint32_t lo, hi, ip;
  static MacSlot Of(uint64_t key, uint32_t ip = 0, bool odd = false) {
    return MacSlot{Lo(key), Hi(key) | (odd ? kOddIpHi : 0), ip};
  }
  uint64_t Key() const { return Join(lo, hi & kKeyHi); }
  uint64_t Hash() const { return Mix(Join(lo, hi & kIdentityHi)); }
  bool Same(const MacSlot& o) const { return lo == o.lo && ((hi ^ o.hi) & kIdentityHi) == 0; }
  bool Free() const { return hi == 0; }
  bool Odd() const { return (hi & kOddIpHi) != 0; }
  bool Multi() const { return (hi & kMultiHi) != 0; }
};

// An IPv4 address and its owner's key.
struct AddressRegistry::IpSlot {
  uint32_t ip, lo, hi;
  static IpSlot Of(uint32_t ip, uint64_t owner = 0) { return IpSlot{ip, Lo(owner), Hi(owner)}; }
  uint64_t Owner() const { return Join(lo, hi); }
  uint64_t Hash() const { return Mix(ip); }
  bool Same(const IpSlot& o) const { return ip == o.ip; }
  bool Free() const { return hi == 0; }
};

// One (record, address) pair of a record with two or more addresses.
struct AddressRegistry::PairSlot {
  uint32_t ip, lo, hi;
  static PairSlot Of(uint64_t key, uint32_t ip, bool odd) {
    return PairSlot{ip, Lo(key), (Hi(key) & kIdentityHi) | (odd ? kOddIpHi : 0)};
  }
  uint64_t Hash() const { return Mix(Join(lo, hi) ^ (uint64_t{ip} * 0x9E3779B97F4A7C15ull)); }
  bool Same(const PairSlot& o) const { return ip == o.ip && lo == o.lo && hi == o.hi; }
  bool Free() const { return hi == 0; }
};

// The count of addresses of a record with two or more.
struct AddressRegistry::CountSlot {
  uint32_t lo, hi, count;
  static CountSlot Of(uint64_t key, uint32_t count = 0) {
    return CountSlot{Lo(key), Hi(key) & kIdentityHi, count};
  }
  uint64_t Hash() const { return Mix(Join(lo, hi)); }
  bool Same(const CountSlot& o) const { return lo == o.lo && hi == o.hi; }
  bool Free() const { return hi == 0; }
};

AddressRegistry::AddressRegistry(uint64_t max_pairs)
    : max_pairs_(max_pairs),
      macs_(std::make_unique<HashSlots<MacSlot>>()),
      pairs_(std::make_unique<HashSlots<PairSlot>>()),
      counts_(std::make_unique<HashSlots<CountSlot>>()),
      ips_(std::make_unique<HashSlots<IpSlot>>()) {}

AddressRegistry::~AddressRegistry() = default;

size_t AddressRegistry::MacCount() const noexcept { return macs_->Count(); }

void AddressRegistry::Reserve(uint64_t pairs) {
  const size_t n = static_cast<size_t>(std::min(pairs, max_pairs_));
  macs_->Reserve(n);
  rtl::MutexLock lock(mu_);
  ips_->Reserve(n);
}

// The writer's thread is the only one that changes the kept texts, so its
// own reads need no lock.
void AddressRegistry::WriterAppendMac(uint64_t key,
                                      std::string& out) const NO_THREAD_SAFETY_ANALYSIS {
  AppendMac(key, out);
}

void AddressRegistry::AppendMac(uint64_t key, std::string& out) const {
  if (key & kText) {
    out += text_macs_[key & kValue];
  } else if (key & kSpelled) {
    out += spelled_.at(key & kValue);
  } else {
    char text[kMacTextSize];
    out.append(text, static_cast<size_t>(PutMac(text, key) - text));
  }
}

bool AddressRegistry::Holds(MacSlot& mac, uint32_t address, bool odd) {
  if (mac.ip == address && mac.Odd() == odd) return true;
  if (!mac.Multi() || !pairs_->Find(PairSlot::Of(mac.Key(), address, odd))) return false;
  mac.ip = address;
  mac.hi = odd ? (mac.hi | kOddIpHi) : (mac.hi & ~kOddIpHi);
  return true;
}

uint32_t AddressRegistry::CountOf(const MacSlot& mac) const {
  return mac.Multi() ? counts_->Find(CountSlot::Of(mac.Key()))->count : 1;
}

uint32_t AddressRegistry::AddPair(MacSlot* mac, uint64_t key, uint32_t address, bool odd) {
  if (!mac) {
    macs_->Insert(MacSlot::Of(key, address, odd));
    return 1;
  }
  uint32_t count;
  if (!mac->Multi()) {
    pairs_->Insert(PairSlot::Of(key, mac->ip, mac->Odd()));
    counts_->Insert(CountSlot::Of(key, 2));
    mac->hi |= kMultiHi;
    count = 2;
  } else {
    count = ++counts_->Find(CountSlot::Of(key))->count;
  }
  pairs_->Insert(PairSlot::Of(key, address, odd));
  mac->ip = address;
  mac->hi = odd ? (mac->hi | kOddIpHi) : (mac->hi & ~kOddIpHi);
  return count;
}

void AddressRegistry::Sight(const uint8_t* mac_bytes, uint32_t address, Reports& reports) {
  reports.count = 0;
  const uint64_t id = MacValue(mac_bytes) | kUsed;
  MacSlot* mac = macs_->Find(MacSlot::Of(id));
  // A pair seen before: nothing to do, and nothing to lock.
  if (mac && Holds(*mac, address, false)) return;
  // The record's own key says how its text is written.
  const uint64_t key = mac ? mac->Key() : id;
  if (pair_count_.load(std::memory_order_relaxed) >= max_pairs_) {
    NotKept(mac, key, address, reports);
    return;
  }
  if (!mac) macs_sighted_.fetch_add(1, std::memory_order_relaxed);
  const uint32_t count = AddPair(mac, key, address, false);
  pair_count_.fetch_add(1, std::memory_order_relaxed);
  if (count > 1) ReportCount(count, key, reports);
  rtl::MutexLock lock(mu_);
  if (IpSlot* ip = ips_->Find(IpSlot::Of(address))) {
    const uint64_t owner = ip->Owner();
    if ((owner & kIdentity) != id) {
      ip->lo = Lo(key);
      ip->hi = Hi(key);
      lock.Unlock();
      ReportMoved(address, owner, key, reports);
    }
  } else {
    ips_->Insert(IpSlot::Of(address, key));
    address_count_.fetch_add(1, std::memory_order_relaxed);
    lock.Unlock();
    ReportFound(address, key, reports);
  }
  Changed();
}

void AddressRegistry::NotKept(const MacSlot* mac, uint64_t key, uint32_t address,
                              Reports& reports) {
  if (!recent_) recent_.reset(new uint64_t[size_t{1} << kRecentBits]());
  const uint64_t print = Mix((key & kIdentity) ^ (uint64_t{address} << 12)) | 1;
  uint64_t& slot = recent_[print >> (64 - kRecentBits)];
  if (slot == print) return;
  slot = print;
  not_kept_.fetch_add(1, std::memory_order_relaxed);
  if (!mac) macs_sighted_.fetch_add(1, std::memory_order_relaxed);
  const uint32_t count = mac ? CountOf(*mac) + 1 : 1;
  if (count > 1) ReportCount(count, key, reports);
  uint64_t owner = 0;
  {
    rtl::MutexLock lock(mu_);
    if (const IpSlot* ip = ips_->Find(IpSlot::Of(address))) owner = ip->Owner();
  }
  if (owner == 0) {
    ReportFound(address, key, reports);
  } else if ((owner & kIdentity) != (key & kIdentity)) {
    ReportMoved(address, owner, key, reports);
  }
}

void AddressRegistry::ReportCount(uint32_t count, uint64_t key, Reports& reports) const {
  std::string& text = reports.Next();
  text += std::to_string(count);
  text += " addresses on MAC ";
  WriterAppendMac(key, text);
}

void AddressRegistry::ReportFound(uint32_t address, uint64_t key, Reports& reports) const {
  std::string& text = reports.Next();
  AppendIp(address, text);
  text += " found on ";
  WriterAppendMac(key, text);
}

void AddressRegistry::ReportMoved(uint32_t address, uint64_t owner, uint64_t key,
                                  Reports& reports) const {
  std::string& text = reports.Next();
  AppendIp(address, text);
  text += " moved from ";
  WriterAppendMac(owner, text);
  text += " to ";
  WriterAppendMac(key, text);
}

void AddressRegistry::Loader::Add(std::string_view ip, std::string_view mac_line) {
  uint64_t mac;
  uint32_t address;
  if (ParsePlainMac(rtl::TrimView(mac_line), mac) && ParseIp(ip, address)) {
    pending_.push_back(PlainPair{mac | kUsed, address, 0});
    if (pending_.size() >= batch_) Flush();
    return;
  }
  // After the pairs before it, as their order may matter to it.
  Flush();
  registry_.Load(ip, mac_line);
}

void AddressRegistry::Loader::Flush() {
  if (pending_.empty()) return;
  scratch_.resize(pending_.size());
  try {
    registry_.LoadPlain(pending_, scratch_);
  } catch (...) {
    pending_.clear();
    throw;
  }
  pending_.clear();
}

namespace {

// to: the pairs of from, stably sorted by the run of slots where a
// look-up of each begins in slots (home gives it), with that slot in
// place.
template <class Pair, class Table, class Home>
void SortByPlace(std::vector<Pair>& from, std::vector<Pair>& to, const Table& slots, Home home) {
  int bits = 0;
  while ((size_t{1} << bits) < slots.Capacity()) ++bits;
  const int shift = bits > kPlaceBits ? bits - kPlaceBits : 0;
  std::array<size_t, (1 << kPlaceBits) + 1> start{};
  for (Pair& p : from) {
    p.place = static_cast<uint32_t>(home(p));
    ++start[(p.place >> shift) + 1];
  }
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  for (const Pair& p : from) to[start[p.place >> shift]++] = p;
}

}  // namespace

void AddressRegistry::LoadPlain(std::vector<PlainPair>& pairs, std::vector<PlainPair>& scratch) {
  // Look-ups a sorted sweep fetches ahead.
  constexpr size_t kAhead = 16;
  const size_t n = pairs.size();
  macs_->Reserve(1);
  size_t ip_capacity;
  {
    rtl::MutexLock lock(mu_);
    ips_->Reserve(1);
    ip_capacity = ips_->Capacity();
  }
  // Near the bound, which of them stay depends on their order; and a
  // slot's number must fit a PlainPair. One at a time then.
  if (pair_count_.load(std::memory_order_relaxed) + n > max_pairs_ ||
      std::max(macs_->Capacity(), ip_capacity) > (size_t{1} << 32)) {
    for (const PlainPair& p : pairs) {
      char mac[kMacTextSize];
      PutMac(mac, p.key);
      Load(IpText(p.ip), std::string_view(mac, sizeof mac));
    }
    return;
  }
  // The records and their addresses first: every owner is a record.
  SortByPlace(pairs, scratch, *macs_,
              [&](const PlainPair& p) { return macs_->Home(MacSlot::Of(p.key).Hash()); });
  uint64_t added = 0;
  const uint64_t mac_generation = macs_->Generation();
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) macs_->Prefetch(scratch[i + kAhead].place);
    const PlainPair& p = scratch[i];
    const MacSlot key = MacSlot::Of(p.key);
    // The slot found when sorting, unless the table grew since.
    MacSlot* mac =
        macs_->Generation() == mac_generation ? macs_->FindFrom(key, p.place) : macs_->Find(key);
    if (mac && Holds(*mac, p.ip, false)) continue;
    AddPair(mac, mac ? mac->Key() : p.key, p.ip, false);
    ++added;
  }
  pair_count_.fetch_add(added, std::memory_order_relaxed);
  // Then the owners, in file order within each run of slots, so that an
  // address listed twice keeps its first owner. A record's key is its
  // address, and says whether a line before these spelled it otherwise.
  {
    rtl::MutexLock lock(mu_);
    const HashSlots<IpSlot>* ip_slots = ips_.get();
    SortByPlace(pairs, scratch, *ip_slots,
                [&](const PlainPair& p) { return ip_slots->Home(IpSlot::Of(p.ip).Hash()); });
    const uint64_t ip_generation = ips_->Generation();
    int owned = 0;
    for (size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) ips_->Prefetch(scratch[i + kAhead].place);
      const PlainPair& p = scratch[i];
      const IpSlot key = IpSlot::Of(p.ip);
      if (ips_->Generation() == ip_generation ? ips_->FindFrom(key, p.place) : ips_->Find(key)) {
        continue;
      }
      uint64_t owner = p.key;
      if (!spelled_.empty() && spelled_.count(owner & kValue)) owner |= kSpelled;
      ips_->Insert(IpSlot::Of(p.ip, owner));
      ++owned;
    }
    address_count_.fetch_add(owned, std::memory_order_relaxed);
  }
  version_.fetch_add(n, std::memory_order_release);
}

void AddressRegistry::Load(std::string_view ip, std::string_view mac_line) {
  const std::string_view mac_text = rtl::TrimView(mac_line);
  rtl::MutexLock lock(mu_);
  // The record, when there is one.
  uint64_t value;
  uint64_t id;
  const bool is_mac = ParseMac(mac_text, value);
  bool text_known = true;
  if (is_mac) {
    id = value | kUsed;
  } else {
    auto it = text_mac_index_.find(mac_text);
    text_known = it != text_mac_index_.end();
    id = (text_known ? it->second : text_macs_.size()) | kUsed | kText;
  }
  MacSlot* mac = text_known ? macs_->Find(MacSlot::Of(id)) : nullptr;
  // The address, and whether the record holds it.
  uint32_t address;
  const bool odd = !ParseIp(ip, address);
  bool ip_known = true;
  if (odd) {
    auto it = odd_ip_index_.find(ip);
    ip_known = it != odd_ip_index_.end();
    address = ip_known ? it->second : static_cast<uint32_t>(odd_ips_.size());
  }
  uint64_t key = mac ? mac->Key() : id;
  if (!mac || !ip_known || !Holds(*mac, address, odd)) {
    if (pair_count_.load(std::memory_order_relaxed) >= max_pairs_) {
      not_kept_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (!text_known) {
      text_macs_.emplace_back(mac_text);
      text_mac_index_.emplace(std::string(mac_text), id & kValue);
    }
    if (!ip_known) {
      odd_ips_.push_back(OddIp{std::string(ip), 0});
      odd_ip_index_.emplace(std::string(ip), address);
    }
    if (!mac && is_mac) {
      char upper[kMacTextSize];
      PutMac(upper, value);
      if (std::string_view(upper, kMacTextSize) != mac_text) {
        key |= kSpelled;
        spelled_.emplace(value, std::string(mac_text));
      }
    }
    AddPair(mac, key, address, odd);
    pair_count_.fetch_add(1, std::memory_order_relaxed);
  }
  // The owner, unless the address has one.
  if (!odd) {
    if (!ips_->Find(IpSlot::Of(address))) {
      ips_->Insert(IpSlot::Of(address, key));
      address_count_.fetch_add(1, std::memory_order_relaxed);
    }
  } else if (odd_ips_[address].owner == 0) {
    odd_ips_[address].owner = key;
    address_count_.fetch_add(1, std::memory_order_relaxed);
  }
  Changed();
}

AddressRegistry::Copy AddressRegistry::CopyTable() const {
  // Slots copied under one hold of the lock: a few hundred microseconds.
  constexpr size_t kSlice = 16384;
  Copy copy;
  std::vector<Copy::Entry> odd;
  auto keep_name = [&](uint64_t owner) REQUIRES(mu_) {
    if ((owner & (kText | kSpelled)) && !copy.names_.count(owner)) {
      std::string name;
      AppendMac(owner, name);
      copy.names_.emplace(owner, std::move(name));
    }
  };
  std::vector<Copy::Entry>& entries = copy.entries_;
  for (bool done = false; !done;) {
    uint64_t generation;
    size_t used = 0, expected, room;
    {
      rtl::MutexLock lock(mu_);
      generation = ips_->Generation();
      expected = ips_->Count();
      // Entries one slice can add; the capacity stays while the generation does.
      room = std::min(kSlice, ips_->Capacity());
      // The odd texts, in their order; they only come from a load.
      copy.odd_ips_.clear();
      odd.clear();
      for (const auto& [text, number] : odd_ip_index_) {
        const OddIp& o = odd_ips_[number];
        if (o.owner == 0) continue;
        odd.push_back(Copy::Entry{static_cast<uint32_t>(copy.odd_ips_.size()), Lo(o.owner),
                                  Hi(o.owner) | kOddIpHi});
        copy.odd_ips_.push_back(o.text);
        keep_name(o.owner);
      }
    }
    // Room made (and its memory touched) while the lock is free.
    entries.resize(expected + expected / 8 + room);
    for (size_t pos = 0;;) {
      if (entries.size() < used + room) entries.resize(entries.size() + entries.size() / 2 + room);
      rtl::MutexLock lock(mu_);
      const auto held = std::chrono::steady_clock::now();
      struct Held {
        std::chrono::steady_clock::time_point since;
        std::chrono::steady_clock::duration& longest;
        ~Held() { longest = std::max(longest, std::chrono::steady_clock::now() - since); }
      } timer{held, copy.longest_hold_};
      // Grown since the copy began: its slots moved; begin again.
      if (ips_->Generation() != generation) break;
      // A growth whose slots are still moving over: this copy moves a
      // slice of them itself (the registry's content stays as it is), and
      // begins again on the grown table once all have moved.
      if (ips_->Moving()) {
        ips_->Move(kSlice);
        continue;
      }
      const size_t end = std::min(pos + kSlice, ips_->Capacity());
      const IpSlot* slots = ips_->Slots();
      for (; pos < end; ++pos) {
        const IpSlot& s = slots[pos];
        if (s.Free()) continue;
        // The rank in place of the address until the sort is done.
        entries[used++] = Copy::Entry{TextRanks().Map(s.ip, TextRanks().of), s.lo, s.hi};
        keep_name(s.Owner());
      }
      if (pos == ips_->Capacity()) {
        entries.resize(used);
        done = true;
        break;
      }
    }
  }
  // By rank: a large copy by two passes of a radix sort on 16 bits each.
  if (entries.size() < 65536) {
    std::sort(entries.begin(), entries.end(),
              [](const Copy::Entry& a, const Copy::Entry& b) { return a.ip < b.ip; });
  } else {
    std::vector<Copy::Entry> other(entries.size());
    std::vector<size_t> start(65537);
    for (int shift = 0; shift < 32; shift += 16) {
      std::fill(start.begin(), start.end(), 0);
      for (const Copy::Entry& e : entries) ++start[((e.ip >> shift) & 0xFFFF) + 1];
      for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
      for (const Copy::Entry& e : entries) other[start[(e.ip >> shift) & 0xFFFF]++] = e;
      entries.swap(other);
    }
  }
  for (Copy::Entry& e : entries) e.ip = TextRanks().Map(e.ip, TextRanks().number);
  if (!odd.empty()) {
    auto text_of = [&](const Copy::Entry& e) {
      return (e.hi & kOddIpHi) ? copy.odd_ips_[e.ip] : IpText(e.ip);
    };
    std::vector<Copy::Entry> merged;
    merged.reserve(entries.size() + odd.size());
    std::merge(entries.begin(), entries.end(), odd.begin(), odd.end(), std::back_inserter(merged),
               [&](const Copy::Entry& a, const Copy::Entry& b) {
                 return rtl::CompareText(text_of(a), text_of(b)) < 0;
               });
    entries.swap(merged);
  }
  return copy;
}

std::string AddressRegistry::TableText() const {
  const Copy copy = CopyTable();
  std::string text;
  text.reserve(copy.Count() * 32);
  copy.AppendLines(0, copy.Count(), text);
  return text;
}

std::vector<std::string> AddressRegistry::AddressesOf(std::string_view mac_text) const {
  rtl::MutexLock lock(mu_);
  uint64_t value, id;
  if (ParseMac(mac_text, value)) {
    id = value | kUsed;
  } else {
    auto it = text_mac_index_.find(mac_text);
    if (it == text_mac_index_.end()) return {};
    id = it->second | kUsed | kText;
  }
  const MacSlot* mac = macs_->Find(MacSlot::Of(id));
  if (!mac) return {};
  auto text_of = [&](uint32_t address, bool odd)
                     REQUIRES(mu_) { return odd ? odd_ips_[address].text : IpText(address); };
  std::vector<std::pair<uint32_t, bool>> held;  // address, odd
  if (!mac->Multi()) {
    held.emplace_back(mac->ip, mac->Odd());
  } else {
    pairs_->ForEach([&](const PairSlot& p) {
      if (p.lo == Lo(id) && (p.hi & kIdentityHi) == Hi(id)) {
        held.emplace_back(p.ip, (p.hi & kOddIpHi) != 0);
      }
    });
  }
  std::vector<std::string> out;
  for (const auto& [address, odd] : held) out.push_back(text_of(address, odd));
  std::sort(out.begin(), out.end(), TextLess());
  return out;
}

std::string AddressRegistry::Copy::Ip(size_t i) const {
  const Entry& e = entries_[i];
  return (e.hi & kOddIpHi) ? odd_ips_[e.ip] : IpText(e.ip);
}

void AddressRegistry::Copy::AppendMac(const Entry& e, std::string& out) const {
  const uint64_t owner = Join(e.lo, e.hi & kKeyHi);
  if (owner & (kText | kSpelled)) {
    out += names_.at(owner);
  } else {
    char text[kMacTextSize];
    out.append(text, static_cast<size_t>(PutMac(text, owner) - text));
  }
}

std::string AddressRegistry::Copy::Mac(size_t i) const {
  std::string out;
  AppendMac(entries_[i], out);
  return out;
}

void AddressRegistry::Copy::AppendLines(size_t from, size_t to, std::string& out) const {
  for (size_t i = from; i < to; ++i) {
    const Entry& e = entries_[i];
    if (e.hi & kOddIpHi) {
      out += odd_ips_[e.ip];
    } else {
      AppendIp(e.ip, out);
    }
    out += "\r\n ";
    AppendMac(e, out);
    out += "\r\n";
  }
}

}  // namespace watch
