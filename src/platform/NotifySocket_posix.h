// The systemd notify protocol, Linux side: the socket that status reports,
// the heartbeat and the status line go out through, and the notifier behind
// platform/ServiceNotify.h. Used by the service control module (state
// reports) and by ServiceNotify (heartbeat, status line); tests make their
// own notifier over a socket they bind.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "rtl/Mutex.h"

namespace platform {

// A datagram socket aimed at the manager's notify socket. Owns its
// descriptor. Send may be called from several threads at once.
class NotifySocket {
 public:
  NotifySocket() = default;
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  // address is NOTIFY_SOCKET's value: a path, or an abstract name after
  // '@'. False when it is neither or no socket can be made.
  bool Open(const char* address);
  bool IsOpen() const { return fd_ >= 0; }
  // One message. With wait false a manager whose queue is full costs the
  // message instead of blocking the caller. False with errno set.
  bool Send(const std::string& message, bool wait) const;

 private:
  int fd_ = -1;
  sockaddr_un addr_{};
  socklen_t addr_len_ = 0;
};

// Nanoseconds on a monotonic clock; read through the vDSO, no system call.
int64_t MonotonicNanoseconds();

// What ServiceHeartbeat and ServiceStatusText do (see there), over one
// notify socket.
class ServiceNotifier {
 public:
  using MonotonicClock = int64_t (*)();

  // notify_address: NOTIFY_SOCKET's value, null when unset. watchdog_usec:
  // the manager's watchdog period, 0 when it keeps none.
  ServiceNotifier(const char* notify_address, uint64_t watchdog_usec,
                  MonotonicClock clock = &MonotonicNanoseconds);

  // Heartbeats go out at most four times per watchdog period. Each says
  // whether it sent a message to the manager: false when there is no
  // manager's socket (no or an unusable NOTIFY_SOCKET), when nothing was due
  // or the send failed.
  bool Heartbeat();
  bool StatusText(const std::string& text) EXCLUDES(mu_);
  // The state of the service's last status report (ServiceControl), whose
  // name leads the status line. That report replaced the line at the
  // manager, so the next text goes out even when it is unchanged.
  void NoteState(uint32_t state) EXCLUDES(mu_);

 private:
  NotifySocket socket_;
  MonotonicClock clock_;
  int64_t heartbeat_interval_ = 0;  // 0: no heartbeat
  // The earliest time of the next heartbeat. Lock-free, for the capture
  // reader's loop: the caller that moves it on sends.
  std::atomic<int64_t> next_heartbeat_{INT64_MIN};

  rtl::Mutex mu_;
  uint32_t state_ GUARDED_BY(mu_) = 0;
  std::string shown_ GUARDED_BY(mu_);  // the line last sent
  int64_t next_status_ GUARDED_BY(mu_) = INT64_MIN;
};

// The process's notifier, made from the environment on first use.
ServiceNotifier& DefaultServiceNotifier();

}  // namespace platform
