// The program's service module Wirevane and the program's main body.
//
// TWirevane's only behaviour is its execute handler: start the watch, then
// serve control requests on the control thread until the service is told
// to stop. The module is created and owned by the service application on
// the main thread; ServiceControlEntry reaches it on the dispatcher thread.
#pragma once

#include <functional>

#include "service/SvcMgr.h"

namespace service {

class TWirevane : public TService {
 public:
  explicit TWirevane(rtl::TComponent* Owner);
  ~TWirevane() override;

  // The OnExecute handler, on the control thread: starts the watch once,
  // then handles control requests until StopRequested.
  void ServiceExecute(TService* Sender);

  // Starts the watch thread; the program's is watch::StartWatch. The watch
  // is never stopped: it ends with the process.
  std::function<void()> StartWatch;

 protected:
  platform::ServiceControlHandler ControlCallback() override;
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
// error ended the program (after its "Application Error" report).
int RunProgram(THostFacilities Facilities = {});

}  // namespace service
