// The program's service module Wirevane and the program's main body.
//
// TWirevane's behaviour is its start and execute handlers: start the watch
// and report running only once it watches (or stopped, with the cause, when
// it could not start), then serve control requests on the control thread
// until the service is told to stop. The module is created and owned by the
// service application on the main thread; ServiceControlEntry reaches it on
// the dispatcher thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "rtl/Mutex.h"
#include "service/SvcMgr.h"
#include "watch/ethread.h"

namespace service {

class TWirevane : public TService {
 public:
  explicit TWirevane(rtl::TComponent* Owner);
  ~TWirevane() override;

  // The OnStart handler, on the control thread while start is pending:
  // starts the watch once and waits until its start-up has ended, raising
  // the start-pending check-point every half wait hint meanwhile. Started
  // stays true when the watch watches (the running report then names the
  // adapter); when it could not start, Started becomes false and the
  // service's exit code and status text say the stage and cause, so that
  // the service goes from start pending to stopped, failed.
  void ServiceStart(TService* Sender, bool& Started) EXCLUDES(start_mu_);
  // The OnExecute handler, on the control thread once running: handles
  // control requests until StopRequested, then ends the watch (the last
  // save, then the last reports) and waits up to WatchStopWait for it; a
  // watch that has not ended by then is left behind with a warning entry
  // that says how many reports were still queued.
  void ServiceExecute(TService* Sender);
  // Milliseconds the stop waits for the watch to end.
  int WatchStopWait = 20000;

  // What the watch calls, on its own thread, when its start-up has ended:
  // Started with the adapter it watches, or Failed with why it could not
  // start. Exactly one of them, once.
  struct TWatchStart {
    std::function<void(const std::string& Adapter)> Started;
    std::function<void(const watch::StartFailure&)> Failed;
  };
  // Starts the watch thread and returns it (null: nothing to end at stop);
  // the program's is watch::StartWatch.
  using TStartWatch = std::function<watch::TEthThread*(TWatchStart)>;
  TStartWatch StartWatch;

  void WatchStarted(const std::string& Adapter) EXCLUDES(start_mu_);
  void WatchFailed(const watch::StartFailure& Failure) EXCLUDES(start_mu_);

 protected:
  platform::ServiceControlHandler ControlCallback() override;

 private:
  enum class WatchState { kNone, kStarting, kWatching, kFailed };
  rtl::Mutex start_mu_;
  rtl::CondVar start_cv_;
  WatchState watch_state_ GUARDED_BY(start_mu_) = WatchState::kNone;
  std::string adapter_ GUARDED_BY(start_mu_);
  watch::StartFailure failure_ GUARDED_BY(start_mu_);
  watch::TEthThread* watch_ = nullptr;  // control thread only
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

}  // namespace service
