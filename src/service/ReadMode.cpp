#include "service/ReadMode.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>

#include "capture/CaptureFile.h"
#include "service/Printing.h"
#include "service/SvcMgr.h"
#include "watch/WatchEvents.h"

namespace service {
namespace {

// The replay run's capture component: StartCapture, on the watch thread,
// hands every frame of the file to the frame handler as it streams from
// the file and then reports that the replay is done.
class ReplayCapture : public rtl::TObject, public watch::CaptureSource {
 public:
  ReplayCapture(capture::TCaptureFileReader& reader, std::function<void()> done)
      : reader_(reader), done_(std::move(done)) {}
  void SetThreadSafe(bool) override {}
  void SetOnCapture(watch::TOnCaptureEvent handler) override { handler_ = std::move(handler); }
  void SetOnCaptureLost(std::function<void(const std::string&)>) override {}
  void SetOnCaptureResumed(std::function<void(const std::string&)>) override {}
  void SetAdapterIndex(int) override {}
  bool SelectAdapter(const std::string&) override { return true; }
  std::string AdapterName() const override { return reader_.FileName(); }
  std::vector<std::string> AdapterNames() const override { return {reader_.FileName()}; }
  void StopCapture() override {}
  bool Capturing() const override { return true; }
  std::string LastError() const override { return std::string(); }
  void StartCapture() override {
    capture::TCaptureFrameView f;
    while (reader_.Next(f)) {
      // The handler sees no more than the file holds of a frame.
      const uint32_t length = std::min(f.WireLength, f.CapturedLength);
      if (handler_ && length != 0) {
        handler_(this, reinterpret_cast<capture::PETHERNET_HDR>(f.Bytes), static_cast<int>(length));
      }
    }
    done_();
  }

 private:
  capture::TCaptureFileReader& reader_;
  std::function<void()> done_;
  watch::TOnCaptureEvent handler_;
};

// Everything the replayed watch uses. It lives as long as the watch thread,
// that is, to the end of the process.
struct Replay : watch::WatchFactory, platform::Clock {
  watch::WatchFactory* inner_parts = nullptr;
  platform::Clock* inner_clock = nullptr;
  std::unique_ptr<watch::EventSink> events;
  std::unique_ptr<capture::TCaptureFileReader> reader;
  watch::TEthThread* thread = nullptr;
  std::atomic<bool> done{false};

  std::unique_ptr<watch::SysLogSender> CreateSysLog() override {
    return PrintingSysLog(inner_parts->CreateSysLog());
  }
  std::unique_ptr<watch::CaptureSource> CreateCapture() override {
    return std::make_unique<ReplayCapture>(*reader, [this] {
      done = true;
      rtl::WakeMainThread();
    });
  }
  // The whole file is handed out inside StartCapture, that is, inside the
  // watch's start-up, before its save loop begins: the table is saved at
  // the end, not during the replay. The clock only dates the saves.
  rtl::TDateTime Now() override { return 0; }
  void Sleep(uint32_t milliseconds) override { inner_clock->Sleep(milliseconds); }
};

}  // namespace

int RunReadMode(const std::string& Path, watch::WatchEnvironment Environment) {
  auto* replay = new Replay;  // see Replay
  try {
    replay->reader =
        Path == "-" ? std::make_unique<capture::TCaptureFileReader>(platform::OpenStandardInput())
                    : std::make_unique<capture::TCaptureFileReader>(Path);
  } catch (...) {
    std::fprintf(stderr, "tessalin: %s\n", ExceptionMessage(std::current_exception()).c_str());
    delete replay;
    return kReadNotCapture;
  }
  replay->inner_parts = Environment.parts ? Environment.parts : &watch::DefaultWatchFactory();
  replay->inner_clock = Environment.clock ? Environment.clock : &platform::DefaultClock();
  // Event-log entries (a failed save among them) are printed as well.
  replay->events =
      PrintingEventSink(Environment.events ? *Environment.events : watch::DefaultEventSink());
  Environment.parts = replay;
  Environment.clock = replay;
  // No live capture to keep up with: a full report queue waits for room.
  Environment.report_wait_for_room = true;
  Environment.events = replay->events.get();
  replay->thread = rtl::TThread::Create<watch::TEthThread>(true, Environment);
  replay->thread->Resume();
  while (!replay->done && !replay->thread->Finished()) rtl::CheckSynchronize(20);
  // A failed start printed its stage and cause with its event-log entry.
  if (replay->thread->StartFailed()) return kReadDamaged;
  if (!replay->done) {
    std::fprintf(stderr, "tessalin: the watch ended before the capture file was read\n");
    return kReadDamaged;
  }
  // Every report goes out before the last save and the exit.
  replay->thread->SetStopDrain(-1);
  replay->thread->Shutdown(-1);
  std::fflush(stdout);
  const capture::TCaptureFileReader& reader = *replay->reader;
  if (reader.Damaged()) {
    std::fprintf(stderr, "tessalin: warning: %s; the %llu frames before byte %llu were handled\n",
                 reader.Damage().c_str(), static_cast<unsigned long long>(reader.FrameCount()),
                 static_cast<unsigned long long>(reader.DamageOffset()));
  }
  // The save's cause went to the event log, and so to standard error.
  if (!replay->thread->LastSaveSucceeded()) {
    std::fprintf(stderr, "tessalin: the table was not saved\n");
    return kReadSaveFailed;
  }
  return reader.Damaged() ? kReadDamaged : kReadComplete;
}

}  // namespace service
