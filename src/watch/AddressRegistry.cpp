#include "watch/AddressRegistry.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace watch {
namespace {

const char kHexDigits[] = "0123456789ABCDEF";

uint64_t MacValue(const uint8_t* bytes) {
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | bytes[i];
  return v;
}

// The address a MAC text stands for, in either letter case: the texts that
// compare equal to a MacText. Other texts give no address.
bool ParseMac(std::string_view text, uint64_t& value) {
  if (text.size() != 13 || text[6] != '-') return false;
  uint64_t v = 0;
  for (size_t i = 0; i < 13; ++i) {
    if (i == 6) continue;
    const int d = rtl::HexDigit(text[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<unsigned>(d);
  }
  value = v;
  return true;
}

// Records come from a pool of their own: there is one per MAC address ever
// seen, and the heap's per-block overhead would add a quarter. A pooled
// record also has a 32-bit handle, which is what the MAC hash keeps, so that
// four hash slots fit a cache line.
//
// Fixed-size slots carved from larger blocks, with a free list; the blocks
// are kept for the life of the process. Locked, because several registries
// (tests) may make records on several threads. A slot's handle is its
// block's number times kSlotsPerChunk plus its place in the block; the
// block table is written once per entry, so a handle turns back into a
// record without the lock.
class RecordPool {
 public:
  static constexpr uint32_t kChunkBits = 9;
  static constexpr uint32_t kSlotsPerChunk = 1u << kChunkBits;
  static constexpr uint32_t kHandleBits = 26;
  static constexpr uint32_t kMaxChunks = 1u << (kHandleBits - kChunkBits);

  void* Allocate(uint32_t& handle) {
    std::lock_guard<std::mutex> lock(mu_);
    if (free_) {
      Slot* s = free_;
      free_ = s->next;
      handle = s->handle;
      return s;
    }
    if (left_ == 0) {
      if (chunk_count_ == kMaxChunks) throw std::bad_alloc();
      chunks_[chunk_count_++] = new Slot[kSlotsPerChunk];
      next_ = chunks_[chunk_count_ - 1];
      left_ = kSlotsPerChunk;
    }
    --left_;
    handle = ((chunk_count_ - 1) << kChunkBits) | (kSlotsPerChunk - 1 - left_);
    return next_++;
  }
  void Release(void* p, uint32_t handle) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = static_cast<Slot*>(p);
    s->next = free_;
    s->handle = handle;
    free_ = s;
  }
  void* FromHandle(uint32_t handle) const noexcept {
    return &chunks_[handle >> kChunkBits][handle & (kSlotsPerChunk - 1)];
  }

 private:
  union Slot {
    struct {
      Slot* next;
      uint32_t handle;
    };
    alignas(Tarp_registry) unsigned char bytes[sizeof(Tarp_registry)];
  };

  std::mutex mu_;
  Slot* chunks_[kMaxChunks];  // the first chunk_count_ are set
  uint32_t chunk_count_ = 0;
  Slot* free_ = nullptr;
  Slot* next_ = nullptr;
  uint32_t left_ = 0;
};

RecordPool& Records() {
  // Outlives every record; its block table is static storage, not heap.
  alignas(RecordPool) static unsigned char storage[sizeof(RecordPool)];
  static RecordPool* pool = new (storage) RecordPool;
  return *pool;
}

Tarp_registry* FromHandle(uint32_t handle) {
  return static_cast<Tarp_registry*>(Records().FromHandle(handle));
}

}  // namespace

Tarp_registry::Tarp_registry(std::string mac) : Mac(std::move(mac)) { Addresses.SetSorted(true); }

std::string MacText(const uint8_t* bytes) {
  char text[13];
  char* p = text;
  for (int i = 0; i < 6; ++i) {
    *p++ = kHexDigits[bytes[i] >> 4];
    *p++ = kHexDigits[bytes[i] & 0x0F];
    if (i == 2) *p++ = '-';
  }
  return std::string(text, sizeof text);
}

std::string IpText(uint32_t address) {
  char text[15];
  char* p = text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    unsigned n = (address >> shift) & 0xFF;
    if (n >= 100) {
      *p++ = static_cast<char>('0' + n / 100);
      *p++ = static_cast<char>('0' + n / 10 % 10);
    } else if (n >= 10) {
      *p++ = static_cast<char>('0' + n / 10);
    }
    *p++ = static_cast<char>('0' + n % 10);
    if (shift) *p++ = '.';
  }
  return std::string(text, static_cast<size_t>(p - text));
}

// MAC address -> record handle, and one IPv4 address known to be among the
// record's Addresses, so that a sighting of a known pair reads one slot and
// not the record. Linear probing over a power-of-two table at most three
// quarters full (four slots to a cache line keep the probes short). A slot
// holds the whole address, so that neither a look-up nor a growing table
// reads a record. It holds only records whose Mac is a MAC text (any
// case); it relies on the registry never removing anything.
class AddressRegistry::MacHash {
 public:
  struct Slot {
    uint64_t key;     // 0: free; else the address, kUsed and maybe kHasIp
    uint32_t handle;  // of the record
    uint32_t ip;      // in the record's Addresses, when kHasIp is set
  };
  static constexpr uint64_t kUsed = uint64_t{1} << 48;
  static constexpr uint64_t kHasIp = uint64_t{1} << 49;
  static constexpr uint64_t kMac = kUsed - 1;

  Slot* Find(uint64_t mac) {
    if (count_ == 0) return nullptr;
    const uint64_t key = mac | kUsed;
    for (size_t i = Mix(mac) & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == 0) return nullptr;
      if ((slot.key & ~kHasIp) == key) return &slot;
    }
  }
  void Add(uint64_t mac, uint32_t handle) {
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    Place(Slot{mac | kUsed, handle, 0});
    ++count_;
  }
  static bool Knows(const Slot& slot, uint32_t address) {
    return (slot.key & kHasIp) != 0 && slot.ip == address;
  }
  static void Remember(Slot& slot, uint32_t address) {
    slot.ip = address;
    slot.key |= kHasIp;
  }

 private:
  static uint64_t Mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }
  void Place(const Slot& slot) {
    size_t i = Mix(slot.key & kMac) & mask_;
    while (slots_[i].key != 0) i = (i + 1) & mask_;
    slots_[i] = slot;
  }
  void Grow() {
    std::vector<Slot> old(std::max<size_t>(slots_.size() * 2, 64), Slot{0, 0, 0});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.key != 0) Place(slot);
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

AddressRegistry::AddressRegistry() : hash_(std::make_unique<MacHash>()) {
  mac_index_.SetSorted(true);
  ip_index_.SetSorted(true);
}

AddressRegistry::~AddressRegistry() {
  for (int i = 0; i < mac_index_.Count(); ++i) {
    auto* record = static_cast<Tarp_registry*>(mac_index_.Objects(i));
    if (!record) continue;
    const uint32_t handle = record->pool_handle_;
    record->~Tarp_registry();
    Records().Release(record, handle);
  }
}

void AddressRegistry::Changed() { version_.fetch_add(1, std::memory_order_release); }

Tarp_registry* AddressRegistry::RecordOf(std::string_view mac, uint64_t value) {
  if (value != kNotMac) {
    if (MacHash::Slot* found = hash_->Find(value)) return FromHandle(found->handle);
  }
  int index;
  if (mac_index_.Find(mac, index)) {
    auto* record = static_cast<Tarp_registry*>(mac_index_.Objects(index));
    // A record loaded under another spelling of the same address (lower
    // case) joins the hash on its first look-up.
    uint64_t own;
    if (value != kNotMac && ParseMac(record->Mac, own) && own == value) {
      hash_->Add(value, record->pool_handle_);
    }
    return record;
  }
  uint32_t handle;
  void* place = Records().Allocate(handle);
  Tarp_registry* record;
  try {
    record = ::new (place) Tarp_registry(std::string(mac));
  } catch (...) {
    Records().Release(place, handle);
    throw;
  }
  record->pool_handle_ = handle;
  try {
    mac_index_.InsertFound(index, mac, record);
  } catch (...) {
    record->~Tarp_registry();
    Records().Release(place, handle);
    throw;
  }
  if (value != kNotMac) hash_->Add(value, handle);
  return record;
}

void AddressRegistry::Sight(const uint8_t* mac_bytes, uint32_t address, Reports& reports) {
  reports.count = 0;
  const uint64_t value = MacValue(mac_bytes);
  MacHash::Slot* slot = hash_->Find(value);
  // A pair seen before: nothing to do, and nothing to lock.
  if (slot && MacHash::Knows(*slot, address)) return;

  const std::string ip = IpText(address);
  std::lock_guard<std::mutex> lock(mu_);
  Tarp_registry* record;
  if (slot) {
    record = FromHandle(slot->handle);
  } else {
    record = RecordOf(MacText(mac_bytes), value);
    slot = hash_->Find(value);
  }
  int index;
  if (record->Addresses.Find(ip, index)) {
    if (slot) MacHash::Remember(*slot, address);
    return;
  }
  record->Addresses.InsertFound(index, ip);
  if (slot) MacHash::Remember(*slot, address);
  if (record->Addresses.Count() > 1) {
    reports.Add(rtl::IntToStr(record->Addresses.Count()) + " addresses on MAC " + record->Mac);
  }
  if (ip_index_.Find(ip, index)) {
    auto* owner = static_cast<Tarp_registry*>(ip_index_.Objects(index));
    if (owner != record) {
      reports.Add(ip + " moved from " + owner->Mac + " to " + record->Mac);
      ip_index_.SetObject(index, record);
    }
  } else {
    ip_index_.InsertFound(index, ip, record);
    address_count_.store(ip_index_.Count(), std::memory_order_relaxed);
    reports.Add(ip + " found on " + record->Mac);
  }
  Changed();
}

void AddressRegistry::Load(const std::string& ip, std::string_view mac_line) {
  const std::string mac(rtl::Trim(mac_line));
  uint64_t value;
  std::lock_guard<std::mutex> lock(mu_);
  Tarp_registry* record = RecordOf(mac, ParseMac(mac, value) ? value : kNotMac);
  int index;
  if (!record->Addresses.Find(ip, index)) record->Addresses.InsertFound(index, ip);
  if (!ip_index_.Find(ip, index)) {
    ip_index_.InsertFound(index, ip, record);
    address_count_.store(ip_index_.Count(), std::memory_order_relaxed);
  }
  Changed();
}

std::string AddressRegistry::TableText() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string text;
  const int count = ip_index_.Count();
  text.reserve(static_cast<size_t>(count) * 34);
  for (int i = 0; i < count; ++i) {
    text += ip_index_.Strings(i);
    text += "\r\n ";
    text += static_cast<const Tarp_registry*>(ip_index_.Objects(i))->Mac;
    text += "\r\n";
  }
  return text;
}

}  // namespace watch
