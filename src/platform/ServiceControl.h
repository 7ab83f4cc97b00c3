// Service control facility: the process's link to the service manager.
//
// StartServiceCtrlDispatcherA hands the calling thread (the dispatcher
// thread) to the manager. The manager runs each service's main function on
// a thread of its own, calls the control handler that the service main
// registers on the dispatcher thread, and takes status reports through
// SetServiceStatus. The dispatcher returns when the service has reported
// stopped (or its main has returned), or at once when the process was not
// started by the manager (last error 1063).
//
// Windows: the service control manager. Linux: systemd with a Type=notify
// unit. Started by the manager means NOTIFY_SOCKET is set; status reports
// go out through the notify protocol (READY=1 when running, STOPPING=1 on
// stop pending, STATUS= with the state's name, EXTEND_TIMEOUT_USEC= from the
// wait hint on pending states); signals become control codes on the
// dispatcher thread: SIGTERM and SIGINT stop, SIGUSR1 pause, SIGUSR2
// continue, SIGHUP interrogate, SIGPWR shutdown, SIGRTMIN+n the custom code
// 128+n. As the Windows manager does, a control that the last report does
// not accept is not passed on; a stop or shutdown that arrives too early is
// held until a report accepts it.
//
// Failures answer 0 or false and set the last error (platform/SystemError.h).
// ServiceControl is an interface so that tests can record the reports;
// DefaultServiceControl() is the system's.
#pragma once

#include <cstdint>

namespace platform {

// Status handle, aliased once; 0 is no handle.
using ServiceStatusHandle = uintptr_t;
// A service's main function and its control handler. Both run on threads
// that the manager picks (see above).
using ServiceMainFunction = void (*)(uint32_t argc, char** argv);
using ServiceControlHandler = void (*)(uint32_t control);

// One dispatcher table entry; an entry with a null name ends the table.
struct ServiceTableEntry {
  const char* ServiceName;
  ServiceMainFunction ServiceProc;
};

struct ServiceStatus {
  uint32_t ServiceType = 0;
  uint32_t CurrentState = 0;
  uint32_t ControlsAccepted = 0;
  uint32_t Win32ExitCode = 0;
  uint32_t ServiceSpecificExitCode = 0;
  uint32_t CheckPoint = 0;
  uint32_t WaitHint = 0;
  // Why the service stopped, when it failed (systemd's STATUS= text), or
  // what it does while running (the status line "Running: " and the text).
  // Windows shows neither; its event log says why a service failed. Null:
  // the state's name alone.
  const char* Text = nullptr;
};

// Service types.
constexpr uint32_t kServiceKernelDriver = 0x1;
constexpr uint32_t kServiceFileSystemDriver = 0x2;
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceWin32ShareProcess = 0x20;
constexpr uint32_t kServiceInteractiveProcess = 0x100;

// Service states, as reported.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceContinuePending = 5;
constexpr uint32_t kServicePausePending = 6;
constexpr uint32_t kServicePaused = 7;

// Control codes; 128 to 255 are the service's own.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;

// Controls accepted.
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptPauseContinue = 2;
constexpr uint32_t kServiceAcceptShutdown = 4;

class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  // Called once on the main thread before any other thread starts, when the
  // program is about to run as a service: the Linux side blocks the control
  // signals here so that every thread started later inherits the block and
  // only the dispatcher takes them.
  virtual void PrepareDispatcher() {}
  // Runs on the dispatcher thread until the service has stopped.
  virtual bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table) = 0;
  // Called by a service main; 0 on failure.
  virtual ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* service_name,
                                                          ServiceControlHandler handler) = 0;
  virtual bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
};

ServiceControl& DefaultServiceControl();

// Whether the last status report lets a control through, as the service
// control manager decides: nothing once stopped; stop, pause/continue and
// shutdown only when accepted; interrogate and the service's own codes
// always. Shared by the controllers of both systems.
bool ControlAccepted(uint32_t control, const ServiceStatus& last);

// What a controller does with the controls that arrive, as the service
// control manager does: a control that the last report accepts goes
// through; a stop or shutdown that it does not accept yet is held (a later
// one takes its place) until a report accepts it; anything else is dropped.
// Not locked: its owner guards it together with the last report.
class ControlGate {
 public:
  // A control that arrived: the code to deliver now, or 0.
  uint32_t Arrive(uint32_t control, const ServiceStatus& last);
  // Whether a control is held that last accepts.
  bool HeldAccepted(const ServiceStatus& last) const;
  // After a report: the held control when last accepts it, which is then
  // no longer held; otherwise 0.
  uint32_t Release(const ServiceStatus& last);
  void Clear() noexcept { held_ = 0; }

 private:
  uint32_t held_ = 0;
};
// "Running", "Stop pending", ... for a reported state.
const char* StateName(uint32_t state);

// An in-process controller for running the service in the foreground: the
// dispatcher starts the table's first service at once, Ctrl-C stops it (on
// Linux the other signals above act as under systemd), and every status
// report is printed on standard output as "<service>: <state>", for
// example "Wirevane: Running".
ServiceControl& ConsoleServiceControl();

}  // namespace platform
