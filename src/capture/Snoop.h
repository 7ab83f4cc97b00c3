// The capture component: lists the driver's adapters when it is built, lets
// its user choose one by index or by name, and once started runs a reader
// thread that reads batches through the capture layer and raises OnCapture
// once per frame, in the order the driver delivered them.
//
// The component owns its adapter list, its reader thread and its capture
// handle. One controlling thread builds it, sets its properties and starts
// and stops it. OnCapture runs on the reader thread (ThreadSafe false) or
// on the main thread through the framework's synchronised calls (ThreadSafe
// true, the default), which the main thread must serve; the reader's
// termination notice always runs on the main thread. StopCapture and the
// destructor wait for the reader thread, so neither may be called from
// within OnCapture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "capture/Ndis_def.h"
#include "capture/Pcap.h"
#include "rtl/Classes.h"
#include "rtl/Mutex.h"
#include "rtl/Thread.h"

namespace capture {

// Sender is the component; EthernetHeader points at byte 0 of the captured
// frame inside the capture layer's buffer, valid until the event returns;
// Length is the frame's wire length, but never more than the bytes captured.
using TOnCaptureEvent =
    std::function<void(rtl::TObject* Sender, PETHERNET_HDR EthernetHeader, int Length)>;

class TSnoopThread;

class TCustomSnoop : public rtl::TComponent {
 public:
  // Binds the driver and lists its adapters. Raises rtl::Exception "Fail to
  // initilize Packet32" when the driver cannot be bound and "No Adpaters"
  // when it lists none.
  explicit TCustomSnoop(rtl::TComponent* owner);
  // Stops a running capture and frees what the component holds.
  ~TCustomSnoop() override;

  int AdapterIndex() const noexcept { return adapter_index_; }
  // Selects list entry value, or none (-1, empty name) when out of range.
  void SetAdapterIndex(int value) EXCLUDES(name_mu_);
  // The selected adapter's name; while capturing, the name it was last
  // opened under (see OnCaptureResumed). Any thread.
  std::string AdapterName() const EXCLUDES(name_mu_);
  // Selects the first entry equal to value, case included, or none.
  void SetAdapterName(const std::string& value) EXCLUDES(name_mu_);
  bool ThreadSafe() const noexcept { return thread_safe_.load(std::memory_order_relaxed); }
  void SetThreadSafe(bool value) noexcept { thread_safe_.store(value, std::memory_order_relaxed); }

  // Opens the selected adapter and starts the reader thread. Does nothing
  // while capturing, or when the driver cannot be bound or the adapter
  // cannot be opened; LastError then says why. Raises nothing. A reader
  // that ended by itself is cleaned up first.
  void StartCapture();
  // Why the last StartCapture did not start, or "".
  const std::string& LastError() const noexcept { return last_error_; }

  // While capturing: a read that fails (the driver's error, the interface
  // gone) calls OnCaptureLost once with the cause; the reader then closes
  // the adapter and opens it again by name, about once a second, and calls
  // OnCaptureResumed with the adapter's name once it is open. When the name
  // is gone but the interface it named lives on under another name (it was
  // renamed), the adapter is opened under the new name, which the
  // component keeps from then on. Both run on the reader thread and must
  // not call StopCapture.
  std::function<void(const std::string& cause)> OnCaptureLost;
  std::function<void(const std::string& adapter)> OnCaptureResumed;
  // The reader is alive: called on the reader thread after each read that
  // returned frames or timed out normally, and at each attempt to open a
  // lost adapter again; a reader that hangs stops calling it. The watch
  // feeds the service manager's watchdog from it. Cheap and frequent: the
  // handler must not block.
  std::function<void()> OnAlive;
  // Stops the reader thread and closes the adapter; nothing while idle.
  // Also cleans up a reader thread that ended by itself. Raises
  // rtl::Exception "No thread to stop" when capturing without a thread.
  void StopCapture();

  // Frames the driver dropped because its buffer was full (the reader did
  // not keep up) since the component was built, read from the driver about
  // once a second while capturing. Any thread.
  uint64_t FramesDropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

  // Whether the reader is behind: its last read from the driver left
  // frames waiting there. Other work on the machine that can wait (the
  // report sender) looks at it and waits while it is set, so that frames
  // never wait in the driver's buffer for it. False while not capturing.
  // Any thread.
  bool Behind() const noexcept { return behind_.load(std::memory_order_relaxed); }

  const rtl::TStringList& Adapters() const noexcept { return *adapters_; }
  bool Capturing() const noexcept { return capturing_.load(std::memory_order_relaxed); }

 protected:
  // Set by the concrete class; the reader thread passes it to CaptureRead
  // with the component as user data.
  TCaptureRecordHandler RecordHandler = nullptr;

 private:
  friend class TSnoopThread;

  void RefreshAdapters(rtl::TStringList& list);
  void ThreadTerminated(rtl::TThread* sender);
  // Ends and frees the reader thread, if any, and closes the handle.
  void ReleaseReader();

  // The open adapter. The controlling thread's while no reader runs:
  // StartCapture opens it before the reader starts, and ReleaseReader
  // closes it once the reader has ended. The reader's own while it runs:
  // it reads through it, and after a failed read closes it and opens it
  // again (CloseAdapter, OpenAdapter). No other thread touches it.
  TCaptureHandle* Handle() const noexcept { return handle_; }
  void CloseAdapter() { CaptureClose(handle_); }
  // Opens the adapter name as the handle; false (and why in error) when it
  // cannot be opened.
  bool OpenAdapter(const std::string& name, std::string& error);
  // The reader opened the adapter under the new name of a renamed
  // interface: the component keeps that name from now on.
  void FollowRename(const std::string& name) EXCLUDES(name_mu_);

  // Written by the controlling and main threads, read by the reader thread
  // before each frame.
  std::atomic<bool> capturing_{false};
  TSnoopThread* thread_ = nullptr;
  TCaptureHandle* handle_ = nullptr;  // see Handle()
  std::unique_ptr<rtl::TStringList> adapters_;
  int adapter_index_ = -1;
  // Written by the controlling thread, and by the reader when it follows a
  // renamed interface (FollowRename); read by any thread (AdapterName).
  mutable rtl::Mutex name_mu_;
  std::string adapter_name_ GUARDED_BY(name_mu_);
  // The system's number of the interface opened; 0: not known. Reader
  // thread while capturing.
  uint32_t interface_index_ = 0;
  std::string last_error_;
  std::atomic<bool> thread_safe_{true};
  std::atomic<uint64_t> dropped_{0};  // written by the reader thread
  std::atomic<bool> behind_{false};   // written by the reader thread
};

class TSnoop : public TCustomSnoop {
 public:
  explicit TSnoop(rtl::TComponent* owner);

  const TOnCaptureEvent& OnCapture() const noexcept { return on_capture_; }
  void SetOnCapture(TOnCaptureEvent value) { on_capture_ = std::move(value); }

 private:
  static void HandleRecord(void* user, const bpf_hdr* record, const uint8_t* data);
  void DispatchCapture();

  TOnCaptureEvent on_capture_;
  // The frame handed to the main thread; the reader waits meanwhile.
  PETHERNET_HDR pending_frame_ = nullptr;
  int pending_length_ = 0;
};

// The reader thread: reads batches until told to terminate. Created
// suspended; holds its component without owning it.
class TSnoopThread : public rtl::TThread {
 public:
  explicit TSnoopThread(TCustomSnoop* snoop);

 protected:
  void Run() override;

 private:
  // After a failed read: closes the adapter and opens it again, until it
  // opens or the thread is told to end. True when it is open again.
  bool Reopen();
  // Sleeps up to milliseconds, in steps short enough to notice a terminate
  // request.
  void Pause(int milliseconds);
  // Adds the drops the driver counted since the last look to the
  // component's total.
  void ReadStats();
  // Publishes whether the reader is behind, when that changed.
  void SetBehind(bool value);

  TCustomSnoop* snoop_;
  uint32_t drops_seen_ = 0;  // the open adapter's drop counter at the last look
};

}  // namespace capture
