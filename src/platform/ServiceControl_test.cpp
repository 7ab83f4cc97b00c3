#include "platform/ServiceControl.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

ServiceStatus Report(uint32_t state, uint32_t accepted) {
  ServiceStatus s;
  s.CurrentState = state;
  s.ControlsAccepted = accepted;
  return s;
}

// A service life as a controller sees it: each step is a control arriving
// (or, with control 0, a new report) and what the gate delivers.
TEST(ControlGateTest, HoldsAnEarlyStopUntilAReportAcceptsIt) {
  const ServiceStatus starting = Report(kServiceStartPending, 0);
  const ServiceStatus running_no_stop = Report(kServiceRunning, kServiceAcceptShutdown);
  const ServiceStatus running =
      Report(kServiceRunning, kServiceAcceptStop | kServiceAcceptShutdown);
  const ServiceStatus stopped = Report(kServiceStopped, kServiceAcceptStop);
  struct Step {
    uint32_t control;
    const ServiceStatus* last;
    uint32_t delivered;
  } steps[] = {
      {kServiceControlInterrogate, &starting, kServiceControlInterrogate},
      {130, &starting, 130},                 // the service's own codes always pass
      {kServiceControlPause, &starting, 0},  // dropped, never held
      {kServiceControlStop, &starting, 0},   // held
      {0, &starting, 0},                     // a report that still refuses it
      {kServiceControlPause, &running, 0},   // the held stop does not go out with it
      {0, &running_no_stop, 0},              // shutdown accepted, but stop is held
      {0, &running, kServiceControlStop},    // released once
      {0, &running, 0},
      {kServiceControlStop, &running, kServiceControlStop},
      {kServiceControlShutdown, &starting, 0},  // held
      {kServiceControlStop, &starting, 0},      // takes its place
      {0, &running_no_stop, 0},
      {0, &running, kServiceControlStop},
      {kServiceControlStop, &stopped, 0},  // nothing once stopped
      {kServiceControlInterrogate, &stopped, 0},
      {0, &stopped, 0},
  };
  ControlGate gate;
  int i = 0;
  for (const Step& s : steps) {
    const uint32_t got = s.control != 0 ? gate.Arrive(s.control, *s.last) : gate.Release(*s.last);
    EXPECT_EQ(got, s.delivered) << "step " << i;
    ++i;
  }
  gate.Arrive(kServiceControlStop, starting);
  EXPECT_TRUE(gate.HeldAccepted(running));
  gate.Clear();
  EXPECT_FALSE(gate.HeldAccepted(running));
}

}  // namespace
}  // namespace platform
