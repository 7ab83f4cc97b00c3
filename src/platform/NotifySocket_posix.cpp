#include "platform/NotifySocket_posix.h"

#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "platform/ServiceControl.h"
#include "platform/ServiceNotify.h"

namespace platform {

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) ::close(fd_);
}

bool NotifySocket::Open(const char* address) {
  if (fd_ >= 0 || !address) return false;
  size_t n = std::strlen(address);
  if (n < 2 || n >= sizeof addr_.sun_path || (address[0] != '/' && address[0] != '@')) return false;
  std::memset(&addr_, 0, sizeof addr_);
  addr_.sun_family = AF_UNIX;
  std::memcpy(addr_.sun_path, address, n);
  if (address[0] == '@') addr_.sun_path[0] = '\0';
  addr_len_ =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (address[0] == '@' ? 0 : 1));
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd_ >= 0;
}

bool NotifySocket::Send(const std::string& message, bool wait) const {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
  ssize_t n;
  do {
    n = ::sendto(fd_, message.data(), message.size(), flags,
                 reinterpret_cast<const sockaddr*>(&addr_), addr_len_);
  } while (n < 0 && errno == EINTR);
  return n >= 0;
}

int64_t MonotonicNanoseconds() {
  timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

ServiceNotifier::ServiceNotifier(const char* notify_address, uint64_t watchdog_usec,
                                 MonotonicClock clock)
    : clock_(clock) {
  if (socket_.Open(notify_address) && watchdog_usec > 0) {
    heartbeat_interval_ = static_cast<int64_t>(watchdog_usec / 4) * 1000;
    if (heartbeat_interval_ == 0) heartbeat_interval_ = 1;
  }
}

bool ServiceNotifier::Heartbeat() {
  if (heartbeat_interval_ == 0) return false;
  int64_t now = clock_();
  int64_t due = next_heartbeat_.load(std::memory_order_relaxed);
  if (now < due) return false;
  if (!next_heartbeat_.compare_exchange_strong(due, now + heartbeat_interval_,
                                               std::memory_order_relaxed)) {
    return false;  // another thread sends this one
  }
  return socket_.Send("WATCHDOG=1\n", false);
}

bool ServiceNotifier::StatusText(const std::string& text) {
  if (!socket_.IsOpen()) return false;
  rtl::MutexLock lock(mu_);
  std::string line;
  if (state_ != 0) {
    line = StateName(state_);
    line += ": ";
  }
  // One line: a line break would end the STATUS= field early.
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  int64_t now = clock_();
  if (now < next_status_ || line == shown_) return false;
  next_status_ = now + 1000000000;
  shown_ = line;
  return socket_.Send("STATUS=" + line + "\n", false);
}

void ServiceNotifier::NoteState(uint32_t state) {
  rtl::MutexLock lock(mu_);
  state_ = state;
  shown_.clear();
}

namespace {

// A decimal environment value; 0 when unset or not a number.
uint64_t EnvironmentNumber(const char* name) {
  const char* text = ::getenv(name);
  if (!text || !*text) return 0;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return 0;
  return v;
}

}  // namespace

ServiceNotifier& DefaultServiceNotifier() {
  static ServiceNotifier* notifier = [] {
    uint64_t watchdog = EnvironmentNumber("WATCHDOG_USEC");
    // The watchdog is meant for another process (one this one was started
    // by, for example).
    uint64_t pid = EnvironmentNumber("WATCHDOG_PID");
    if (::getenv("WATCHDOG_PID") && pid != static_cast<uint64_t>(::getpid())) watchdog = 0;
    return new ServiceNotifier(::getenv("NOTIFY_SOCKET"), watchdog);
  }();
  return *notifier;
}

void ServiceHeartbeat() { DefaultServiceNotifier().Heartbeat(); }

void ServiceStatusText(const std::string& text) { DefaultServiceNotifier().StatusText(text); }

}  // namespace platform
