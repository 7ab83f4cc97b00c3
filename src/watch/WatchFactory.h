// The parts the watch is built from: the syslog sender and the capture
// component, made by a WatchFactory. The program's factory makes the
// real ones (WatchFactory.cpp); tests and the foreground and replay runs pass
// their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Ndis_def.h"
#include "platform/ReportStream.h"
#include "rtl/Classes.h"
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
  // Sends count texts in order, as SendText would one by one, and returns
  // how many were sent: at least one when count > 0, fewer than count when
  // a later one failed (the caller tries that one again). Raises as
  // SendText when the first cannot be sent. This one calls SendText.
  virtual size_t SendTexts(const std::string* texts, size_t count,
                           syslog::TIdSyslogFacility facility, syslog::TIdSyslogSeverity severity);

  // The datagrams' port (514 unless set). This one ignores it.
  virtual void SetPort(int port);
  // Appends the wire text of one report, as SendText would send it now, to
  // out (what out holds stays before it). The program's sender formats into
  // out's capacity without allocating.
  virtual void AppendWireText(const std::string& text, syslog::TIdSyslogFacility facility,
                              syslog::TIdSyslogSeverity severity, std::string& out);
  // Resolves host as a send does (raising as it would) and opens a stream
  // connection to the address at target's port (target.address is filled
  // in). Raises platform::EConnectionError and the like.
  virtual std::unique_ptr<platform::ReportStream> OpenStream(const std::string& host,
                                                             platform::StreamTarget target,
                                                             const std::atomic<bool>& abandon);
  // Tells that texts were written to a stream connection (the foreground
  // run prints them). This one does nothing.
  virtual void Written(const std::string* texts, size_t count);
};

// The capture component as the watch uses it. Creating or configuring it
// may raise; StartCapture raises nothing, and Capturing and LastError then
// say whether it runs and, if not, why. The lost and resumed events run on
// the component's reader thread when reads fail and when the adapter has
// been opened again; resumed names the adapter, which differs from the one
// lost when the capture followed a renamed interface.
class CaptureSource {
 public:
  virtual ~CaptureSource() = default;
  virtual void SetThreadSafe(bool value) = 0;
  virtual void SetOnCapture(TOnCaptureEvent handler) = 0;
  virtual void SetOnCaptureLost(std::function<void(const std::string& cause)> handler) = 0;
  virtual void SetOnCaptureResumed(std::function<void(const std::string& adapter)> handler) = 0;
  // Called on the reader thread while the reader is alive (after each
  // read that returned frames or timed out, and while it opens a lost
  // adapter again), so that a reader that hangs is noticed. Components
  // without a reader of their own never call it.
  virtual void SetOnAlive(std::function<void()> /*handler*/) {}
  virtual void SetAdapterIndex(int index) = 0;
  // Selects the adapter of that name; false when there is none.
  virtual bool SelectAdapter(const std::string& name) = 0;
  // The adapters there are, in the driver's order.
  virtual std::vector<std::string> AdapterNames() const = 0;
  virtual std::string AdapterName() const = 0;
  virtual void StartCapture() = 0;
  // Stops the reader; waits for the frame in hand.
  virtual void StopCapture() = 0;
  virtual bool Capturing() const = 0;
  virtual std::string LastError() const = 0;
  // Frames the driver dropped since the component was made because the
  // watch did not keep up. Any thread.
  virtual uint64_t FramesDropped() const { return 0; }
  // Whether the capture reader is behind the driver (frames wait there
  // for it), so that the report sender holds off. Any thread.
  virtual bool Behind() const { return false; }
};

// Makes the sender and the capture component, each with no owner. Either
// may raise.
class WatchFactory {
 public:
  virtual ~WatchFactory() = default;
  virtual std::unique_ptr<SysLogSender> CreateSysLog() = 0;
  virtual std::unique_ptr<CaptureSource> CreateCapture() = 0;
};

// The program's parts: the real sender and capture component.
WatchFactory& DefaultWatchFactory();

}  // namespace watch
