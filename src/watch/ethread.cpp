#include "watch/ethread.h"

#include <cmath>
#include <exception>
#include <mutex>
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
class RecordPool {
 public:
  void* Allocate() {
    std::lock_guard<std::mutex> lock(mu_);
    if (free_) {
      Slot* s = free_;
      free_ = s->next;
      return s;
    }
    if (left_ == 0) {
      chunks_.push_back(std::make_unique<Slot[]>(kSlotsPerChunk));
      next_ = chunks_.back().get();
      left_ = kSlotsPerChunk;
    }
    --left_;
    return next_++;
  }
  void Release(void* p) {
    std::lock_guard<std::mutex> lock(mu_);
    Slot* s = static_cast<Slot*>(p);
    s->next = free_;
    free_ = s;
  }

 private:
  union Slot {
    Slot* next;
    alignas(Tarp_registry) unsigned char bytes[sizeof(Tarp_registry)];
  };
  static constexpr size_t kSlotsPerChunk = 512;
  std::mutex mu_;
  std::vector<std::unique_ptr<Slot[]>> chunks_;
  Slot* free_ = nullptr;
  Slot* next_ = nullptr;
  size_t left_ = 0;
};

RecordPool& Records() {
  static RecordPool* pool = new RecordPool;  // outlives every record
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
  const std::string mac = MacText(MacBytes);
  const std::string ip = IpText(Address);

  Tarp_registry* record = RecordOf(mac);
  int index;
  if (record->Addresses.Find(ip, index)) return result;
  record->Addresses.InsertFound(index, ip);

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

Tarp_registry* TEthThread::RecordOf(const std::string& mac) {
  int index;
  if (MacIndex->Find(mac, index)) return static_cast<Tarp_registry*>(MacIndex->Objects(index));
  auto fresh = std::make_unique<Tarp_registry>(mac);
  MacIndex->InsertFound(index, mac, fresh.get());
  return fresh.release();
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
      Tarp_registry* record = RecordOf(rtl::Trim(line));
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
