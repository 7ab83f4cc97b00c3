#include "watch/ethread.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace watch {
namespace {

// The watch thread, written once by StartWatch; nothing stops, waits for or
// frees it.
TEthThread* EthThread = nullptr;

constexpr uint16_t kEtherTypeArp = 0x0806;
// Bytes an ARP frame needs: the Ethernet header and the ARP header up to
// the sender's protocol address (offsets 28 to 31).
constexpr int kArpFrameMinimum = 32;
constexpr int kSaveIntervalMs = 5000;
constexpr uint32_t kIdleSleepMs = 5000;

const char kHexDigits[] = "0123456789ABCDEF";

uint64_t MacValue(const uint8_t* bytes) {
  uint64_t v = 0;
  for (int i = 0; i < 6; ++i) v = (v << 8) | bytes[i];
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The address a MAC text stands for, in either letter case: the texts that
// compare equal to a MacText. Other texts give no address.
bool ParseMac(std::string_view text, uint64_t& value) {
  if (text.size() != 13 || text[6] != '-') return false;
  uint64_t v = 0;
  for (size_t i = 0; i < 13; ++i) {
    if (i == 6) continue;
    const int d = HexDigit(text[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<unsigned>(d);
  }
  value = v;
  return true;
}

// Without leading and trailing characters of code 32 or below.
std::string_view TrimBlank(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  return s.substr(b, e - b);
}

// The message of the exception being handled, for the error file.
std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const rtl::Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return std::string();
  }
}

}  // namespace

namespace {

// Fixed-size slots carved from larger heap blocks, with a free list. The
// blocks are kept for the life of the process. Locked, because a test may
// make records on several threads.
//
// A slot's handle is its block's number times kSlotsPerChunk plus its place
// in the block. The block table is fixed in size and its entries are
// written once, so turning a handle back into a record takes no lock.
class RecordPool {
 public:
  static constexpr uint32_t kChunkBits = 9;
  static constexpr uint32_t kSlotsPerChunk = 1u << kChunkBits;
  static constexpr uint32_t kHandleBits = 26;
  static constexpr uint32_t kMaxChunks = 1u << (kHandleBits - kChunkBits);

  // Sets *handle, when given, to the slot's handle.
  void* Allocate(uint32_t* handle = nullptr) {
    std::lock_guard<std::mutex> lock(mu_);
    if (free_) {
      Slot* s = free_;
      free_ = s->next;
      if (handle) *handle = Locate(s);
      return s;
    }
    if (left_ == 0) {
      if (chunk_count_ == kMaxChunks) throw std::bad_alloc();
      auto chunk = std::make_unique<Slot[]>(kSlotsPerChunk);
      const auto base = reinterpret_cast<uintptr_t>(chunk.get());
      by_address_.insert(std::upper_bound(by_address_.begin(), by_address_.end(),
                                          std::make_pair(base, uint32_t{0})),
                         {base, chunk_count_});
      chunks_[chunk_count_++] = chunk.release();
      next_ = chunks_[chunk_count_ - 1];
      left_ = kSlotsPerChunk;
    }
    --left_;
    if (handle) {
      *handle = ((chunk_count_ - 1) << kChunkBits) |
                (kSlotsPerChunk - 1 - static_cast<uint32_t>(left_));
    }
    return next_++;
  }
  void Release(void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = static_cast<Slot*>(p);
    s->next = free_;
    free_ = s;
  }
  uint32_t HandleOf(const void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    return Locate(p);
  }
  void* FromHandle(uint32_t handle) const noexcept {
    return &chunks_[handle >> kChunkBits][handle & (kSlotsPerChunk - 1)];
  }

 private:
  union Slot {
    Slot* next;
    alignas(Tarp_registry) unsigned char bytes[sizeof(Tarp_registry)];
  };
  uint32_t Locate(const void* p) const {
    const auto at = reinterpret_cast<uintptr_t>(p);
    auto it = std::upper_bound(by_address_.begin(), by_address_.end(),
                               std::make_pair(at, ~uint32_t{0}));
    if (it == by_address_.begin()) return Tarp_registry::kNoHandle;
    --it;
    const uintptr_t offset = at - it->first;
    if (offset >= kSlotsPerChunk * sizeof(Slot) || offset % sizeof(Slot) != 0) {
      return Tarp_registry::kNoHandle;
    }
    return (it->second << kChunkBits) | static_cast<uint32_t>(offset / sizeof(Slot));
  }

  std::mutex mu_;
  Slot* chunks_[kMaxChunks];  // the first chunk_count_ are set
  uint32_t chunk_count_ = 0;
  std::vector<std::pair<uintptr_t, uint32_t>> by_address_;  // block start -> number
  Slot* free_ = nullptr;
  Slot* next_ = nullptr;
  size_t left_ = 0;
};

RecordPool& Records() {
  // Outlives every record; its block table is static storage, not heap.
  alignas(RecordPool) static unsigned char storage[sizeof(RecordPool)];
  static RecordPool* pool = new (storage) RecordPool;
  return *pool;
}

}  // namespace

void* Tarp_registry::operator new(size_t size) {
  if (size != sizeof(Tarp_registry)) return ::operator new(size);
  return Records().Allocate();
}

void Tarp_registry::operator delete(void* p, size_t size) noexcept {
  if (!p) return;
  if (size != sizeof(Tarp_registry)) return ::operator delete(p);
  Records().Release(p);
}

Tarp_registry* Tarp_registry::Create(std::string mac, uint32_t& handle) {
  void* place = Records().Allocate(&handle);
  try {
    return ::new (place) Tarp_registry(std::move(mac));
  } catch (...) {
    Records().Release(place);
    throw;
  }
}

uint32_t Tarp_registry::HandleOf(const Tarp_registry* record) {
  return Records().HandleOf(record);
}

Tarp_registry* Tarp_registry::FromHandle(uint32_t handle) noexcept {
  return static_cast<Tarp_registry*>(Records().FromHandle(handle));
}

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

std::string ReadSyslogHost() { return ReadSyslogHost(platform::DefaultRegistry()); }

std::string ReadSyslogHost(platform::Registry& registry) {
  std::string host = kDefaultSyslogHost;
  try {
    std::string value;
    if (registry.ReadString(platform::kHKeyLocalMachine, kConfigKey, kSyslogHostValue, value)) {
      host = std::move(value);
    }
  } catch (...) {
  }
  return host;
}

void WriteErrorFile(const std::string& Text) {
  WriteErrorFile(platform::DefaultFileSystem(), platform::DataDirectory(), Text);
}

void WriteErrorFile(platform::FileSystem& files, const std::string& directory,
                    const std::string& Text) {
  const std::string path = directory + "tessalin.err";
  if (files.FileExists(path)) files.RemoveFile(path);
  std::unique_ptr<platform::TextFileWriter> file = files.CreateTextFile(path);
  file->WriteLine(Text);
  file->Close();
}

// MAC address -> record, and one IPv4 address known to be among the
// record's Addresses, so that a sighting of a known pair reads one slot and
// not the record. Linear probing over a power-of-two table at most three
// quarters full (four slots to a cache line keep the probes short). A slot
// holds the whole address, so that neither a look-up nor a growing table
// reads a record. Kept for one MacIndex: a different or shrunken index
// starts a new table. It relies on the registry never removing anything.
struct TEthThread::MacHashSlot {
  static constexpr uint64_t kUsed = uint64_t{1} << 48;
  static constexpr uint64_t kHasIp = uint64_t{1} << 49;
  static constexpr uint64_t kMac = kUsed - 1;

  uint64_t key;     // 0: free; else the address, kUsed and maybe kHasIp
  uint32_t handle;  // of the record
  uint32_t ip;      // in the record's Addresses, when kHasIp is set

  bool Knows(uint32_t address) const { return (key & kHasIp) != 0 && ip == address; }
  void Remember(uint32_t address) {
    ip = address;
    key |= kHasIp;
  }
};

class TEthThread::MacHash {
 public:
  using Slot = MacHashSlot;

  explicit MacHash(const rtl::TStringList* index) : index_(index) {}

  bool For(const rtl::TStringList* index) const {
    return index == index_ && count_ <= static_cast<size_t>(index->Count());
  }

  Slot* Find(uint64_t mac) {
    if (count_ == 0) return nullptr;
    const uint64_t key = mac | kUsed;
    for (size_t i = Mix(mac) & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == 0) return nullptr;
      if ((slot.key & ~kHasIp) == key) return &slot;
    }
  }

  // Adds the record of handle under mac, the address its Mac text gives;
  // null when the record is not from the record pool.
  Slot* Add(uint64_t mac, uint32_t handle) {
    if (handle == Tarp_registry::kNoHandle) return nullptr;
    if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
    Slot& slot = Place(Slot{mac | kUsed, handle, 0});
    ++count_;
    return &slot;
  }

 private:
  static constexpr uint64_t kUsed = Slot::kUsed;
  static constexpr uint64_t kHasIp = Slot::kHasIp;
  static constexpr uint64_t kMac = Slot::kMac;

  static uint64_t Mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }

  Slot& Place(const Slot& slot) {
    size_t i = Mix(slot.key & kMac) & mask_;
    while (slots_[i].key != 0) i = (i + 1) & mask_;
    slots_[i] = slot;
    return slots_[i];
  }
  void Grow() {
    std::vector<Slot> old(std::max<size_t>(slots_.size() * 2, 64), Slot{0, 0, 0});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.key != 0) Place(slot);
    }
  }

  const rtl::TStringList* index_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

TEthThread::TEthThread(bool CreateSuspended, WatchEnvironment environment)
    : rtl::TThread(CreateSuspended),
      parts_(environment.parts ? *environment.parts : DefaultWatchParts()),
      files_(environment.files ? *environment.files : platform::DefaultFileSystem()),
      clock_(environment.clock ? *environment.clock : platform::DefaultClock()),
      registry_(environment.registry ? *environment.registry : platform::DefaultRegistry()),
      directory_(environment.data_directory.empty() ? platform::DataDirectory()
                                                    : environment.data_directory) {}

TEthThread::~TEthThread() {
  // The program never frees the watch thread; tests do, and take the
  // records with it, after the capture that reads them has stopped.
  Capture.reset();
  mac_hash_.reset();
  if (MacIndex) {
    for (int i = 0; i < MacIndex->Count(); ++i) delete MacIndex->Objects(i);
  }
}

std::unique_ptr<rtl::TStringList> TEthThread::NewIndex() {
  auto list = std::make_unique<rtl::TStringList>();
  list->SetSorted(true);
  return list;
}

void TEthThread::Run() {
  std::string stage;
  try {
    SysLog = parts_.CreateSysLog();
    SysLog->SetActive(true);

    stage = "registerring";
    StartupSent = false;
    Notify("starting up");
    StartupSent = true;

    stage = "allocating";
    MacIndex = NewIndex();
    IpIndex = NewIndex();
    mac_hash_.reset();  // it belonged to the previous MacIndex, if any

    stage = "loading arp table";
    LoadTable();

    stage = "configuring snoop";
    Capture = parts_.CreateCapture();
    Capture->SetThreadSafe(false);
    Capture->SetOnCapture([this](rtl::TObject* Sender, capture::PETHERNET_HDR EthernetHeader,
                                 int Length) { HandleCapture(Sender, EthernetHeader, Length); });
    Capture->SetAdapterIndex(0);
    Capture->StartCapture();

    for (;;) clock_.Sleep(kIdleSleepMs);
  } catch (...) {
    // Only the stage goes into the file, never the exception's message. A
    // failure to write it leaves the thread body.
    WriteErrorFile(files_, directory_, stage);
  }
}

void TEthThread::HandleCapture(rtl::TObject* Sender, capture::PETHERNET_HDR EthernetHeader,
                               int Length) {
  try {
    // Frames too short to hold the ARP sender's address are not read.
    if (!EthernetHeader || Length < kArpFrameMinimum) return;
    const uint8_t* frame = reinterpret_cast<const uint8_t*>(EthernetHeader);
    if (((frame[12] << 8) | frame[13]) != kEtherTypeArp) return;
    const uint32_t address = (static_cast<uint32_t>(frame[28]) << 24) |
                             (static_cast<uint32_t>(frame[29]) << 16) |
                             (static_cast<uint32_t>(frame[30]) << 8) | frame[31];
    // The Ethernet source address, not the ARP sender hardware address.
    if (!UpdateAddress(frame + 6, address).empty()) SaveIfDue();
  } catch (...) {
    try {
      WriteErrorFile(files_, directory_, "some major error :" + CurrentExceptionMessage());
    } catch (...) {
      // The capture must go on even when the error file cannot be written.
    }
  }
}

std::string TEthThread::UpdateAddress(const uint8_t* MacBytes, uint32_t Address) {
  std::string result;
  const uint64_t value = MacValue(MacBytes);
  MacHashSlot* slot = nullptr;
  if (mac_hash_ && mac_hash_->For(MacIndex.get())) {
    slot = mac_hash_->Find(value);
    // A pair seen before: nothing to do.
    if (slot && slot->Knows(Address)) return result;
  }
  const std::string mac = MacText(MacBytes);
  const std::string ip = IpText(Address);

  Tarp_registry* record;
  if (slot) {
    record = Tarp_registry::FromHandle(slot->handle);
    // A record may span two cache lines, and its texts are read through
    // pointers: ask for both lines at once rather than one after the other.
    __builtin_prefetch(reinterpret_cast<const char*>(record) + sizeof(Tarp_registry) - 1);
  } else {
    record = RecordOf(mac, value, &slot);
  }
  int index;
  if (record->Addresses.Find(ip, index)) {
    if (slot) slot->Remember(Address);
    return result;
  }
  record->Addresses.InsertFound(index, ip);
  if (slot) slot->Remember(Address);

  if (record->Addresses.Count() > 1) {
    result = rtl::IntToStr(record->Addresses.Count()) + " addresses on MAC " + record->Mac;
    Notify(result);
  }

  if (IpIndex->Find(ip, index)) {
    auto* owner = static_cast<Tarp_registry*>(IpIndex->Objects(index));
    if (owner != record) {
      result = ip + " moved from " + owner->Mac + " to " + record->Mac;
      Notify(result);
      IpIndex->SetObject(index, record);
    }
  } else {
    IpIndex->InsertFound(index, ip, record);
    result = ip + " found on " + record->Mac;
    Notify(result);
  }
  return result;
}

Tarp_registry* TEthThread::RecordOf(std::string_view mac, uint64_t value, MacHashSlot** slot) {
  if (slot) *slot = nullptr;
  if (value != kNotMac) {
    if (!mac_hash_ || !mac_hash_->For(MacIndex.get())) {
      mac_hash_ = std::make_unique<MacHash>(MacIndex.get());
    }
    if (MacHashSlot* found = mac_hash_->Find(value)) {
      if (slot) *slot = found;
      return Tarp_registry::FromHandle(found->handle);
    }
  }
  int index;
  Tarp_registry* record;
  uint32_t handle = Tarp_registry::kNoHandle;
  if (MacIndex->Find(mac, index)) {
    record = static_cast<Tarp_registry*>(MacIndex->Objects(index));
    if (value == kNotMac || !record) return record;
    uint64_t own;
    if (!ParseMac(record->Mac, own) || own != value) return record;
    handle = Tarp_registry::HandleOf(record);
  } else {
    record = Tarp_registry::Create(std::string(mac), handle);
    try {
      MacIndex->InsertFound(index, mac, record);
    } catch (...) {
      delete record;
      throw;
    }
    if (value == kNotMac) return record;
  }
  MacHashSlot* added = mac_hash_->Add(value, handle);
  if (slot) *slot = added;
  return record;
}

void TEthThread::Notify(const std::string& Text) {
  if (!StartupSent) {
    SysLog->SetHost(kDefaultSyslogHost);
  } else {
    SysLog->SetHost(ReadSyslogHost(registry_));
  }
  SysLog->SendText(Text, syslog::sfLocalUseFive, syslog::slCritical);
}

void TEthThread::LoadTable() {
  try {
    const std::string path = TablePath();
    if (!files_.FileExists(path)) return;
    std::unique_ptr<platform::TextFileReader> file = files_.OpenTextFile(path);
    std::string ip, line;
    while (file->ReadLine(ip)) {
      // A last IPv4 line without its MAC line pairs with an empty MAC text.
      if (!file->ReadLine(line)) line.clear();
      const std::string_view mac = TrimBlank(line);
      uint64_t value;
      Tarp_registry* record = RecordOf(mac, ParseMac(mac, value) ? value : kNotMac, nullptr);
      int index;
      if (!record->Addresses.Find(ip, index)) record->Addresses.InsertFound(index, ip);
      // A text listed twice keeps its first owner.
      if (!IpIndex->Find(ip, index)) IpIndex->InsertFound(index, ip, record);
    }
  } catch (...) {
    // What was read before the error stays.
  }
}

void TEthThread::SaveTable() {
  const std::string temp = TempTablePath();
  try {
    if (files_.FileExists(temp)) files_.RemoveFile(temp);
    std::unique_ptr<platform::TextFileWriter> file = files_.CreateTextFile(temp);
    try {
      std::string line;
      const int count = IpIndex->Count();
      for (int i = 0; i < count; ++i) {
        file->WriteLine(IpIndex->Strings(i));
        line.assign(1, ' ');
        line += static_cast<const Tarp_registry*>(IpIndex->Objects(i))->Mac;
        file->WriteLine(line);
      }
      file->Close();
    } catch (...) {
      // Never let a partial copy take the table's place.
      file.reset();
      files_.RemoveFile(temp);
      return;
    }
    // One atomic step: the table is either the old one or the new one.
    if (!files_.ReplaceFile(temp, TablePath())) files_.RemoveFile(temp);
  } catch (...) {
  }
}

void TEthThread::SaveIfDue() {
  // Compared in whole milliseconds, the clock's resolution, so that exactly
  // 5 seconds does not count as more.
  const rtl::TDateTime now = clock_.Now();
  if (std::llround((now - LastSave) * rtl::kSecondsPerDay * 1000.0) > kSaveIntervalMs) {
    SaveTable();
    LastSave = clock_.Now();
  }
}

TEthThread* StartWatch() {
  EthThread = rtl::TThread::Create<TEthThread>(false);
  return EthThread;
}

}  // namespace watch
