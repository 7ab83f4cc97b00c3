#include "platform/ServiceControl.h"

namespace platform {

bool ControlAccepted(uint32_t control, const ServiceStatus& last) {
  if (last.CurrentState == kServiceStopped) return false;
  switch (control) {
    case kServiceControlStop:
      return (last.ControlsAccepted & kServiceAcceptStop) != 0;
    case kServiceControlPause:
    case kServiceControlContinue:
      return (last.ControlsAccepted & kServiceAcceptPauseContinue) != 0;
    case kServiceControlShutdown:
      return (last.ControlsAccepted & kServiceAcceptShutdown) != 0;
    default:
      return true;
  }
}

const char* StateName(uint32_t state) {
  static const char* const kNames[] = {"Stopped", "Start pending",    "Stop pending",
                                       "Running", "Continue pending", "Pause pending",
                                       "Paused"};
  return state >= 1 && state <= 7 ? kNames[state - 1] : "Unknown";
}

}  // namespace platform
