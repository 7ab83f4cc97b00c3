// Stand-ins for what the watch works with, shared by the watch's tests, the
// service's tests and the benchmarks: an in-memory directory whose every
// step can fail, a clock, a registry, a syslog sender that records (or
// drops) what it is given, a capture component driven by the test, and an
// event log that keeps its entries.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "watch/WatchEvents.h"
#include "watch/WatchFactory.h"

namespace watch::testing {

// An in-memory directory. fail returns true to make an operation fail:
// "remove", "create", "write", "close", "open", "read", "replace".
class FakeFiles : public platform::FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::function<bool(const std::string& op, const std::string& path)> fail;

  bool Fails(const char* op, const std::string& path) { return fail && fail(op, path); }
  std::string Content(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu);
    return files.count(path) ? files[path] : std::string();
  }
  bool Has(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu);
    return files.count(path) != 0;
  }

  bool FileExists(const std::string& path) override { return Has(path); }
  bool RemoveFile(const std::string& path) override {
    if (Fails("remove", path)) return false;
    std::lock_guard<std::mutex> lock(mu);
    return files.erase(path) != 0;
  }
  std::unique_ptr<platform::TextFileWriter> CreateTextFile(const std::string& path) override {
    if (Fails("create", path)) throw rtl::EInOutError("open(" + path + ") failed");
    std::lock_guard<std::mutex> lock(mu);
    files[path].clear();
    return std::make_unique<Writer>(*this, path);
  }
  std::unique_ptr<platform::TextFileReader> OpenTextFile(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mu);
    if (Fails("open", path) || !files.count(path)) throw rtl::EInOutError("open failed");
    return std::make_unique<Reader>(*this, path, files[path]);
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    if (Fails("replace", to)) return false;
    std::lock_guard<std::mutex> lock(mu);
    if (!files.count(from)) return false;
    files[to] = files[from];
    files.erase(from);
    return true;
  }

  std::mutex mu;  // the error file and the table are written from several threads

 private:
  class Writer : public platform::TextFileWriter {
   public:
    Writer(FakeFiles& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    void WriteLine(std::string_view text) override {
      if (fs_.Fails("write", path_)) throw rtl::EInOutError("write failed");
      std::lock_guard<std::mutex> lock(fs_.mu);
      fs_.files[path_].append(text).append("\r\n");
    }
    void Close() override {
      if (fs_.Fails("close", path_)) throw rtl::EInOutError("close failed");
    }

   private:
    FakeFiles& fs_;
    std::string path_;
  };
  class Reader : public platform::TextFileReader {
   public:
    Reader(FakeFiles& fs, std::string path, std::string content)
        : fs_(fs), path_(std::move(path)), content_(std::move(content)) {}
    bool ReadLine(std::string& line) override {
      if (fs_.Fails("read", path_)) throw rtl::EInOutError("read failed");
      line.clear();
      if (pos_ >= content_.size()) return false;
      size_t end = content_.find_first_of("\r\n", pos_);
      if (end == std::string::npos) end = content_.size();
      line = content_.substr(pos_, end - pos_);
      pos_ = end;
      if (pos_ < content_.size() && content_[pos_] == '\r') ++pos_;
      if (pos_ < content_.size() && content_[pos_] == '\n') ++pos_;
      return true;
    }

   private:
    FakeFiles& fs_;
    std::string path_;
    std::string content_;
    size_t pos_ = 0;
  };
};

class FakeClock : public platform::Clock {
 public:
  rtl::TDateTime now = 46000.5;
  rtl::TDateTime Now() override { return now; }
  void Sleep(uint32_t) override {}
};

// A monotonic clock the test moves by hand.
struct FakeTicks {
  // Read by the threads under test while the test advances it.
  std::shared_ptr<std::atomic<int64_t>> ms = std::make_shared<std::atomic<int64_t>>(1000000);
  TickSource Source() const {
    auto p = ms;
    return [p] { return p->load(); };
  }
  void Advance(int64_t by) { *ms += by; }
};

// The configuration values: SyslogHost and Adapter, when present.
class FakeRegistry : public platform::Registry {
 public:
  std::map<std::string, std::string> values;
  bool ReadString(platform::RegistryRoot root, const std::string& key, const std::string& name,
                  std::string& out) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (root != platform::kHKeyLocalMachine || key != "\\Software\\quillmere\\harbrook\\Tessalin" ||
        !values.count(name)) {
      return false;
    }
    out = values[name];
    return true;
  }
  void Set(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(mu_);
    values[name] = value;
  }
  void Erase(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    values.erase(name);
  }
  platform::RegistrySource LastSource() override { return source; }
  platform::RegistrySource source = platform::RegistrySource::kUsable;

 private:
  std::mutex mu_;
};

struct Sent {
  std::string host, text;
  syslog::TIdSyslogFacility facility;
  syslog::TIdSyslogSeverity severity;
};

// Records the entries written.
class FakeEvents : public EventSink {
 public:
  struct Entry {
    uint16_t type;
    uint32_t id;
    std::string text;
  };
  void WriteEvent(uint16_t type, uint32_t id, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back({type, id, text});
  }
  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.clear();
  }
  std::vector<Entry> WithId(uint32_t id) {
    std::vector<Entry> out;
    for (const Entry& e : Entries()) {
      if (e.id == id) out.push_back(e);
    }
    return out;
  }

 private:
  std::mutex mu_;
  std::vector<Entry> entries_;
};

class FakeParts;

// Raises rtl::Exception from the named step through FakeParts::fail.
class FakeSender : public SysLogSender {
 public:
  explicit FakeSender(FakeParts& parts) : parts_(parts) {}
  void SetActive(bool value) override;
  void SetHost(const std::string& h) override { host_ = h; }
  void SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                syslog::TIdSyslogSeverity severity) override;
  // As the real sender: the host is resolved once ("resolve <host>"), then
  // the texts go out one by one ("send <text>").
  size_t SendTexts(const std::string* texts, size_t count, syslog::TIdSyslogFacility facility,
                   syslog::TIdSyslogSeverity severity) override;
  void SetPort(int port) override { port_ = port; }
  // The report text itself, so that tests read the frames easily.
  void AppendWireText(const std::string& text, syslog::TIdSyslogFacility, syslog::TIdSyslogSeverity,
                      std::string& out) override {
    out += text;
  }
  // "connect <host>:<port>" may fail; the stream's writes are "write"
  // steps and land in FakeParts::stream.
  std::unique_ptr<platform::ReportStream> OpenStream(const std::string& host,
                                                     platform::StreamTarget target,
                                                     const std::atomic<bool>& abandon) override;

 private:
  FakeParts& parts_;
  std::string host_;
  int port_ = 514;
};

// The capture component as the test drives it: Frame hands a frame to the
// bound handler; Lose and Resume raise the reader's events.
class FakeCapture : public CaptureSource {
 public:
  explicit FakeCapture(FakeParts& parts) : parts_(parts) {}
  bool thread_safe = true;
  // Set on the watch thread, looked at from the test's.
  std::atomic<bool> started{false}, stopped{false};
  int adapter = -1;
  std::string adapter_name;
  std::vector<std::string> adapters{"eth0", "eth1"};
  std::string open_error;  // non-empty: StartCapture does not start
  TOnCaptureEvent on_capture;
  std::function<void(const std::string&)> on_lost;
  std::function<void(const std::string&)> on_resumed;
  std::function<void()> on_alive;

  void SetThreadSafe(bool value) override { thread_safe = value; }
  void SetOnCapture(TOnCaptureEvent handler) override { on_capture = std::move(handler); }
  void SetOnCaptureLost(std::function<void(const std::string&)> h) override {
    on_lost = std::move(h);
  }
  void SetOnCaptureResumed(std::function<void(const std::string&)> h) override {
    on_resumed = std::move(h);
  }
  void SetOnAlive(std::function<void()> h) override { on_alive = std::move(h); }
  void SetAdapterIndex(int index) override;
  bool SelectAdapter(const std::string& name) override {
    for (size_t i = 0; i < adapters.size(); ++i) {
      if (adapters[i] == name) {
        adapter = static_cast<int>(i);
        adapter_name = name;
        return true;
      }
    }
    return false;
  }
  std::string AdapterName() const override { return adapter_name; }
  std::vector<std::string> AdapterNames() const override { return adapters; }
  void StartCapture() override { started = open_error.empty(); }
  void StopCapture() override { stopped = true; }
  bool Capturing() const override { return started && !stopped; }
  std::string LastError() const override { return open_error; }
  uint64_t FramesDropped() const override { return dropped; }
  std::atomic<uint64_t> dropped{0};  // set by the test
  bool Behind() const override { return behind; }
  std::atomic<bool> behind{false};  // set by the test

  // One read of one frame: the frame, then the reader's sign of life.
  void Frame(const std::vector<uint8_t>& f) {
    on_capture(nullptr, reinterpret_cast<capture::PETHERNET_HDR>(const_cast<uint8_t*>(f.data())),
               static_cast<int>(f.size()));
    if (on_alive) on_alive();
  }

 private:
  FakeParts& parts_;
};

class FakeParts : public WatchFactory {
 public:
  // Raises rtl::Exception from the named step ("CreateSysLog", "SetActive",
  // "send <text>", "CreateCapture", "SetAdapterIndex"); may also be set
  // while the sender thread runs (then under mu).
  std::function<void(const std::string&)> fail;
  // Set on the capture component when it is made.
  std::string open_error;
  // The last capture made; made on the watch thread.
  std::atomic<FakeCapture*> capture{nullptr};

  std::unique_ptr<SysLogSender> CreateSysLog() override {
    Check("CreateSysLog");
    return std::make_unique<FakeSender>(*this);
  }
  std::unique_ptr<CaptureSource> CreateCapture() override {
    Check("CreateCapture");
    auto c = std::make_unique<FakeCapture>(*this);
    c->open_error = open_error;
    capture = c.get();
    return c;
  }
  void Check(const std::string& step) {
    std::function<void(const std::string&)> f;
    {
      std::lock_guard<std::mutex> lock(mu);
      f = fail;
    }
    if (f) f(step);
  }
  void SetFail(std::function<void(const std::string&)> f) {
    std::lock_guard<std::mutex> lock(mu);
    fail = std::move(f);
  }
  void Record(Sent s) {
    std::lock_guard<std::mutex> lock(mu);
    sent.push_back(std::move(s));
  }
  std::vector<Sent> Sents() {
    std::lock_guard<std::mutex> lock(mu);
    return sent;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> t;
    for (const Sent& s : Sents()) t.push_back(s.text);
    return t;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu);
    sent.clear();
  }

  std::string Stream() {
    std::lock_guard<std::mutex> lock(mu);
    return stream;
  }

  std::mutex mu;
  std::vector<Sent> sent;                        // guarded by mu
  std::string stream;                            // guarded by mu: the bytes written to streams
  std::vector<platform::StreamTarget> connects;  // guarded by mu
  bool peer_closed = false;                      // guarded by mu
  // The server, guarded by mu: with close_after > 0 it reads that many
  // bytes of each connection, then closes it; received holds what it read
  // of each connection.
  size_t close_after = 0;
  std::vector<std::string> received;
  // While 0 or more, a write waits as one the server holds back, telling
  // its wait hook every few milliseconds that it has made no progress for
  // that many seconds.
  std::atomic<int> hold_seconds{-1};
};

// Parts that do nothing: a sender that drops every text, a capture that
// never delivers. For measuring the watch's own cost.
class NullParts : public WatchFactory {
 public:
  class Sender : public SysLogSender {
   public:
    void SetActive(bool) override {}
    void SetHost(const std::string&) override {}
    void SendText(const std::string&, syslog::TIdSyslogFacility,
                  syslog::TIdSyslogSeverity) override {}
  };
  class Capture : public CaptureSource {
   public:
    void SetThreadSafe(bool) override {}
    void SetOnCapture(TOnCaptureEvent) override {}
    void SetOnCaptureLost(std::function<void(const std::string&)>) override {}
    void SetOnCaptureResumed(std::function<void(const std::string&)>) override {}
    void SetAdapterIndex(int) override {}
    bool SelectAdapter(const std::string&) override { return true; }
    std::string AdapterName() const override { return "null"; }
    std::vector<std::string> AdapterNames() const override { return {"null"}; }
    void StartCapture() override {}
    void StopCapture() override {}
    bool Capturing() const override { return true; }
    std::string LastError() const override { return std::string(); }
  };
  std::unique_ptr<SysLogSender> CreateSysLog() override { return std::make_unique<Sender>(); }
  std::unique_ptr<CaptureSource> CreateCapture() override { return std::make_unique<Capture>(); }
};

inline std::unique_ptr<platform::ReportStream> FakeSender::OpenStream(const std::string& host,
                                                                      platform::StreamTarget target,
                                                                      const std::atomic<bool>&) {
  parts_.Check("connect " + host + ":" + std::to_string(target.port));
  target.address = host;
  {
    std::lock_guard<std::mutex> lock(parts_.mu);
    parts_.connects.push_back(target);
    parts_.peer_closed = false;
    parts_.received.emplace_back();
  }
  struct Stream : platform::ReportStream {
    explicit Stream(FakeParts& p) : parts(p) {}
    void WriteAll(const char* data, size_t size, const std::atomic<bool>&) override {
      parts.Check("write");
      for (int held; (held = parts.hold_seconds.load()) >= 0;) {
        Waiting(std::chrono::steady_clock::now() - std::chrono::seconds(held));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      std::lock_guard<std::mutex> lock(parts.mu);
      parts.stream.append(data, size);
      std::string& read = parts.received.back();
      const size_t room = parts.close_after ? parts.close_after - read.size() : size;
      read.append(data, std::min(size, room));
      if (parts.close_after && read.size() >= parts.close_after) parts.peer_closed = true;
    }
    bool PeerClosed() override {
      std::lock_guard<std::mutex> lock(parts.mu);
      return parts.peer_closed;
    }
    FakeParts& parts;
  };
  return std::make_unique<Stream>(parts_);
}

inline void FakeSender::SetActive(bool) { parts_.Check("SetActive"); }
inline void FakeSender::SendText(const std::string& text, syslog::TIdSyslogFacility facility,
                                 syslog::TIdSyslogSeverity severity) {
  parts_.Check("send " + text);
  parts_.Record({host_, text, facility, severity});
}
inline size_t FakeSender::SendTexts(const std::string* texts, size_t count,
                                    syslog::TIdSyslogFacility facility,
                                    syslog::TIdSyslogSeverity severity) {
  parts_.Check("resolve " + host_);
  return SysLogSender::SendTexts(texts, count, facility, severity);
}
inline void FakeCapture::SetAdapterIndex(int index) {
  parts_.Check("SetAdapterIndex");
  adapter = index;
  adapter_name = index >= 0 && index < static_cast<int>(adapters.size()) ? adapters[index] : "";
}

inline std::function<void(const std::string&)> FailAt(const std::string& step) {
  return [step](const std::string& at) {
    if (at == step) throw rtl::Exception("failed at " + step);
  };
}

// An ARP frame from src claiming sender_ip; the ARP sender hardware address
// is another MAC, so that the Ethernet source must be the one taken.
inline std::vector<uint8_t> ArpFrame(const uint8_t src[6], const uint8_t sender_ip[4]) {
  std::vector<uint8_t> f(42, 0);
  for (int i = 0; i < 6; ++i) f[i] = 0xFF;
  for (int i = 0; i < 6; ++i) f[6 + i] = src[i];
  const uint8_t header[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
  std::copy(std::begin(header), std::end(header), f.begin() + 12);
  for (int i = 0; i < 6; ++i) f[22 + i] = 0x42;
  for (int i = 0; i < 4; ++i) f[28 + i] = sender_ip[i];
  return f;
}

}  // namespace watch::testing
