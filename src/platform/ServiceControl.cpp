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

uint32_t ControlGate::Arrive(uint32_t control, const ServiceStatus& last) {
  if (ControlAccepted(control, last)) return control;
  if (control == kServiceControlStop || control == kServiceControlShutdown) held_ = control;
  return 0;
}

bool ControlGate::HeldAccepted(const ServiceStatus& last) const {
  return held_ != 0 && ControlAccepted(held_, last);
}

uint32_t ControlGate::Release(const ServiceStatus& last) {
  if (!HeldAccepted(last)) return 0;
  const uint32_t control = held_;
  held_ = 0;
  return control;
}

const char* StateName(uint32_t state) {
  static const char* const kNames[] = {"Stopped", "Start pending",    "Stop pending",
                                       "Running", "Continue pending", "Pause pending",
                                       "Paused"};
  return state >= 1 && state <= 7 ? kNames[state - 1] : "Unknown";
}

}  // namespace platform
