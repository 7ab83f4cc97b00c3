// Service notify facility: liveness and a status line for the service
// manager, from the watch's own threads.
//
// ServiceHeartbeat tells the manager that the watch is alive. The watch
// calls it (through its environment's heartbeat) from the capture reader's
// loop, after each read that returned frames or timed out normally, so that a reader that hangs or
// has died stops the heartbeat and the manager's watchdog restarts the service. It may be called at
// any rate: only a few heartbeats per watchdog period leave the process, and a call that is not due
// costs one clock read, no system call.
//
// ServiceStatusText sets the line the manager shows for the service (on
// Linux, `systemctl status`), after the service's reported state, as in
// "Running: <text>". At most one text a second goes out; a text that comes
// sooner, or that would show the same line again, is dropped, so callers
// update it from a loop of their own.
//
// Linux: the systemd notify protocol (WATCHDOG=1 and STATUS=) over
// NOTIFY_SOCKET; the heartbeat only when WATCHDOG_USEC is set (and
// WATCHDOG_PID, when set, names this process). Outside systemd both do
// nothing. Windows: both do nothing; the service control manager has no
// watchdog, and its status carries no text.
//
// Both may be called from any thread. Failures are swallowed: a manager
// that does not hear the heartbeat acts on that by itself.
#pragma once

#include <string>

namespace platform {

void ServiceHeartbeat();
void ServiceStatusText(const std::string& text);

}  // namespace platform
