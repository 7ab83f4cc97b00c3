// The program's service module Wirevane and the program's main body.
//
// TWirevane's only behaviour is its execute handler: start the watch, then
// serve control requests on the control thread until the service is told
// to stop. The module is created and owned by the service application on
// the main thread; ServiceControlEntry reaches it on the dispatcher thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "service/SvcMgr.h"
#include "watch/ethread.h"

namespace service {

class TWirevane : public TService {
 public:
  explicit TWirevane(rtl::TComponent* Owner);
  ~TWirevane() override;

  // The OnExecute handler, on the control thread: starts the watch once,
  // then handles control requests until StopRequested. Then it ends the
  // watch (the last reports and the last save), or, when the watch could
  // not start, sets the service's exit code and status text to the stage
  // and cause so that the service ends as failed.
  void ServiceExecute(TService* Sender);

  // Starts the watch thread and returns it (null: nothing to end at stop);
  // the program's is watch::StartWatch. The argument is the watch's
  // start-up failure handler.
  using TStartWatch =
      std::function<watch::TEthThread*(std::function<void(const watch::StartFailure&)>)>;
  TStartWatch StartWatch;

  // Called on the watch thread when its start-up failed: ends the service.
  void WatchFailed(const watch::StartFailure& Failure);

 protected:
  platform::ServiceControlHandler ControlCallback() override;

 private:
  std::mutex failure_mu_;
  bool watch_failed_ = false;    // guarded by failure_mu_
  watch::StartFailure failure_;  // guarded by failure_mu_
};

// The module reference: the module the service application created, or
// null.
extern TWirevane* Wirevane;

// The control handler entry, on the dispatcher thread: posts Code to the
// module's control thread. Ignored while there is no module.
void ServiceControlEntry(uint32_t Code);

// The main program: creates the service application and the module, then
// installs, removes, or runs the service as the command line says.
// Returns the exit code: 0, or 1 when an install or removal failed or an
// error ended the program (after its "Application Error" report), or the
// service-specific code of a watch that could not start.
int RunProgram(THostFacilities Facilities = {});

// What the foreground and replay runs wrap around the program's parts:
// a sender that prints every report on standard output ("Report: " and the
// text) before inner sends it, and an event sink that prints every entry on
// standard error ("tessalin: " and the text) before inner writes it.
std::unique_ptr<watch::SysLogSender> PrintingSysLog(std::unique_ptr<watch::SysLogSender> inner);
std::unique_ptr<watch::EventSink> PrintingEventSink(watch::EventSink& inner);

}  // namespace service
