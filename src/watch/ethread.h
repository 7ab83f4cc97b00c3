// The address watch: the watch thread TEthThread, the address registry
// (MacIndex, IpIndex and their Tarp_registry records), the ARP table file,
// the reports and the error file.
//
// Threads and ownership. StartWatch creates the watch thread, which owns
// the syslog sender, the capture component, both indexes and the records.
// Run builds them in a fixed order (start-up report, indexes, table load,
// capture start) and then idles; in the program none of them is ever
// stopped or freed. Once StartCapture has been called, only the capture
// reader thread touches the registry, the sender and LastSave, through
// HandleCapture, one frame at a time; nothing is locked.
//
// The sender and the capture component are reached through SysLogSender
// and CaptureSource, made by a WatchParts factory; the files, the clock and
// the registry through the platform interfaces. WatchEnvironment bundles
// them; a default-constructed one means the real program's parts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "capture/Ndis_def.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "rtl/Classes.h"
#include "rtl/Thread.h"
#include "syslog/IdSysLogMessage.h"

namespace watch {

// The capture component's frame event: Sender is the component,
// EthernetHeader byte 0 of the frame, Length the frame's length. The bytes
// stay valid until the event returns.
using TOnCaptureEvent =
    std::function<void(rtl::TObject* Sender, capture::PETHERNET_HDR EthernetHeader, int Length)>;

// The syslog sender as the watch uses it. SendText raises on failure.
class SysLogSender {
 public:
  virtual ~SysLogSender() = default;
  virtual void SetActive(bool value) = 0;
  virtual void SetHost(const std::string& host) = 0;
  virtual void SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                        syslog::TIdSyslogSeverity severity) = 0;
};

// The capture component as the watch uses it. Creating or configuring it
// may raise; StartCapture raises nothing.
class CaptureSource {
 public:
  virtual ~CaptureSource() = default;
  virtual void SetThreadSafe(bool value) = 0;
  virtual void SetOnCapture(TOnCaptureEvent handler) = 0;
  virtual void SetAdapterIndex(int index) = 0;
  virtual void StartCapture() = 0;
};

// Makes the sender and the capture component, each with no owner. Either
// may raise.
class WatchParts {
 public:
  virtual ~WatchParts() = default;
  virtual std::unique_ptr<SysLogSender> CreateSysLog() = 0;
  virtual std::unique_ptr<CaptureSource> CreateCapture() = 0;
};

// The program's parts: the real sender and capture component.
WatchParts& DefaultWatchParts();

// What the watch works with. Null pointers and an empty data directory
// stand for the process defaults.
struct WatchEnvironment {
  WatchParts* parts = nullptr;
  platform::FileSystem* files = nullptr;
  platform::Clock* clock = nullptr;
  platform::Registry* registry = nullptr;
  std::string data_directory;  // with its trailing separator
};

// The built-in syslog server: the start-up report goes here, and so does
// every report while the registry holds no usable SyslogHost.
inline constexpr char kDefaultSyslogHost[] = "127.0.0.1";

// Where the syslog server host is configured: under HKEY_LOCAL_MACHINE.
inline constexpr char kConfigKey[] = "\\Software\\quillmere\\harbrook\\Tessalin";
inline constexpr char kSyslogHostValue[] = "SyslogHost";

// One record per MAC address. Addresses holds every IPv4 text ever seen
// with it (sorted, case-insensitive, each once), including those since
// claimed by another MAC address.
// Records come from a pool of their own: there is one per MAC address
// ever seen, and the heap's per-block overhead would add a quarter. A pooled
// record also has a 32-bit handle, which is what the watch's MAC hash keeps.
class Tarp_registry : public rtl::TObject {
 public:
  explicit Tarp_registry(std::string mac);
  std::string Mac;
  rtl::TStringList Addresses;

  static void* operator new(size_t size);
  static void operator delete(void* p, size_t size) noexcept;

  static constexpr uint32_t kNoHandle = 0xFFFFFFFFu;
  // A pooled record, and its handle.
  static Tarp_registry* Create(std::string mac, uint32_t& handle);
  // The pool handle of a record, or kNoHandle for one made elsewhere.
  static uint32_t HandleOf(const Tarp_registry* record);
  static Tarp_registry* FromHandle(uint32_t handle) noexcept;
};

// "00A0C9-1234EF": two upper-case hex digits per byte, "-" after the third.
std::string MacText(const uint8_t* bytes);
// "192.168.0.7" from 0xC0A80007 (first number in the most significant byte).
std::string IpText(uint32_t address);

// The syslog server host for reports after the start-up one: the registry
// value SyslogHost, or kDefaultSyslogHost when it cannot be read. Never
// raises.
std::string ReadSyslogHost();
std::string ReadSyslogHost(platform::Registry& registry);

// Replaces the error file (data directory + "tessalin.err") with the line
// Text and CR LF. Raises rtl::EInOutError when the file cannot be written.
void WriteErrorFile(const std::string& Text);
void WriteErrorFile(platform::FileSystem& files, const std::string& directory,
                    const std::string& Text);

class TEthThread : public rtl::TThread {
 public:
  explicit TEthThread(bool CreateSuspended, WatchEnvironment environment = {});
  // Frees the capture component first, then the records. Only for a
  // thread whose body is not running: Run never ends by itself.
  ~TEthThread() override;

  // The thread body: the start-up sequence, then sleeps of 5000 ms for
  // ever. Returns only after a failure, with the stage label written to the
  // error file. Public so that tests can run it on their own thread.
  void Run() override;

  // The frame handler bound to the capture component's OnCapture. Always
  // returns normally: a failure goes to the error file.
  void HandleCapture(rtl::TObject* Sender, capture::PETHERNET_HDR EthernetHeader, int Length);

  // Applies one sighting to the registry and sends its reports at once.
  // Returns the last report composed, or "". Raises what Notify raises.
  std::string UpdateAddress(const uint8_t* MacBytes, uint32_t Address);

  // Sends one report: to kDefaultSyslogHost until StartupSent, then to
  // ReadSyslogHost(). Raises what the sender raises.
  void Notify(const std::string& Text);

  // The ARP table file: IPv4 text, then a space and the owner's MAC text,
  // per IpIndex entry. Both swallow every error; SaveTable replaces the
  // table only with a completely written copy.
  void LoadTable();
  void SaveTable();
  // Saves when more than 5 seconds have passed since LastSave.
  void SaveIfDue();

  std::string TablePath() const { return directory_ + "arptable"; }
  std::string TempTablePath() const { return directory_ + "arptable.tmp"; }
  std::string ErrorFilePath() const { return directory_ + "tessalin.err"; }

  bool StartupSent = false;
  std::unique_ptr<CaptureSource> Capture;
  std::unique_ptr<SysLogSender> SysLog;
  std::unique_ptr<rtl::TStringList> MacIndex;  // MAC text -> Tarp_registry (owned)
  std::unique_ptr<rtl::TStringList> IpIndex;   // IPv4 text -> owning Tarp_registry
  rtl::TDateTime LastSave = 0;

 private:
  static std::unique_ptr<rtl::TStringList> NewIndex();
  // MAC address -> record and one address known to be in its Addresses,
  // in front of MacIndex.
  class MacHash;
  struct MacHashSlot;

  // The record of mac in MacIndex, made and added when there is none.
  // value is mac's 48-bit address when mac is a MAC text in either case,
  // else kNotMac; such texts are found through the MAC hash first, and
  // *slot (when slot is given) is then set to their hash slot, or null.
  Tarp_registry* RecordOf(std::string_view mac, uint64_t value, MacHashSlot** slot);
  static constexpr uint64_t kNotMac = ~uint64_t{0};

  std::unique_ptr<MacHash> mac_hash_;

  WatchParts& parts_;
  platform::FileSystem& files_;
  platform::Clock& clock_;
  platform::Registry& registry_;
  const std::string directory_;
};

// Creates the watch thread running, with the program's parts, and keeps a
// reference to it. Called once, by the service's execute handler.
TEthThread* StartWatch();

}  // namespace watch
