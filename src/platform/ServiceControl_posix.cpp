#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/NotifySocket_posix.h"
#include "platform/ServiceControl.h"
#include "platform/SystemError.h"
#include "rtl/Mutex.h"

namespace platform {
namespace {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP, SIGPWR}) sigaddset(&set, s);
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
  return set;
}

uint32_t ControlCodeForSignal(int signo) {
  switch (signo) {
    case SIGTERM:
    case SIGINT:
      return kServiceControlStop;
    case SIGUSR1:
      return kServiceControlPause;
    case SIGUSR2:
      return kServiceControlContinue;
    case SIGHUP:
      return kServiceControlInterrogate;
    case SIGPWR:
      return kServiceControlShutdown;
    default:
      if (signo >= SIGRTMIN && signo <= SIGRTMAX)
        return 128 + static_cast<uint32_t>(signo - SIGRTMIN);
      return 0;
  }
}

bool Pending(uint32_t state) {
  return state == kServiceStartPending || state == kServiceStopPending ||
         state == kServiceContinuePending || state == kServicePausePending;
}

// The notify protocol's message for one status report.
std::string NotifyMessage(const ServiceStatus& status) {
  std::string m;
  if (status.CurrentState == kServiceRunning) m += "READY=1\n";
  if (status.CurrentState == kServiceStopPending) m += "STOPPING=1\n";
  m += "STATUS=";
  if (!status.Text) {
    m += StateName(status.CurrentState);
  } else if (status.CurrentState == kServiceStopped) {
    m += status.Text;  // why it failed, on its own
  } else {
    m += std::string(StateName(status.CurrentState)) + ": " + status.Text;
  }
  m += "\n";
  if (status.CurrentState == kServiceStopped && status.Win32ExitCode != 0) {
    m += "ERRNO=" +
         std::to_string(status.ServiceSpecificExitCode ? status.ServiceSpecificExitCode
                                                       : status.Win32ExitCode) +
         "\n";
  }
  if (Pending(status.CurrentState) && status.WaitHint > 0) {
    m += "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.WaitHint} * 1000) + "\n";
  }
  return m;
}

// One dispatcher run. Written by the dispatcher thread before the service
// main starts; the fields below the mutex are shared with the service main
// and the control thread, which report status.
struct Dispatch {
  bool console = false;
  std::string service_name;
  NotifySocket notify;
  int wake_fd = -1;

  rtl::Mutex mu;
  ServiceControlHandler handler GUARDED_BY(mu) = nullptr;
  ServiceStatus last GUARDED_BY(mu) = {};  // last status reported
  ControlGate gate GUARDED_BY(mu);         // stop or shutdown waiting to be accepted
  bool stopped GUARDED_BY(mu) = false;     // the stopped report has gone out
  bool main_returned GUARDED_BY(mu) = false;
};

rtl::Mutex g_mu;
Dispatch* g_dispatch GUARDED_BY(g_mu) = nullptr;

void Wake(Dispatch& d) {
  uint64_t one = 1;
  ssize_t n = ::write(d.wake_fd, &one, sizeof one);
  (void)n;
}

// Under systemd (reports through the notify socket), or on the console for
// the foreground run (reports printed on standard output).
class SystemdServiceControl : public ServiceControl {
 public:
  explicit SystemdServiceControl(bool console) : console_(console) {}

  void PrepareDispatcher() override {
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }

  bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table) override {
    const char* notify = ::getenv("NOTIFY_SOCKET");
    Dispatch d;
    d.console = console_;
    if (!table || !table[0].ServiceName || !table[0].ServiceProc ||
        (!console_ && !d.notify.Open(notify))) {
      SetLastError(kErrorFailedServiceControllerConnect);
      return false;
    }
    Fd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    Fd signal_fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (wake_fd.get() < 0 || signal_fd.get() < 0) {
      SetLastError(kErrorFailedServiceControllerConnect);
      return false;
    }
    d.service_name = table[0].ServiceName;
    d.wake_fd = wake_fd.get();
    {
      rtl::MutexLock lock(g_mu);
      if (g_dispatch) {
        SetLastError(kErrorServiceAlreadyRunning);
        return false;
      }
      g_dispatch = &d;
    }

    // Under systemd the unit is one service: the table's first.
    ServiceMainFunction service_main = table[0].ServiceProc;
    std::thread main_thread([&d, service_main] {
      std::string name = d.service_name;
      char* argv[] = {name.data(), nullptr};
      service_main(1, argv);
      {
        rtl::MutexLock lock(d.mu);
        d.main_returned = true;
      }
      Wake(d);
    });

    for (;;) {
      pollfd fds[2] = {{signal_fd.get(), POLLIN, 0}, {wake_fd.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      uint32_t control = 0;
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo info;
        if (::read(signal_fd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          control = ControlCodeForSignal(static_cast<int>(info.ssi_signo));
        }
      }
      if (fds[1].revents & POLLIN) {
        uint64_t count;
        ssize_t n = ::read(wake_fd.get(), &count, sizeof count);
        (void)n;
      }
      ServiceControlHandler handler = nullptr;
      uint32_t deliver = 0;
      {
        rtl::MutexLock lock(d.mu);
        if (d.stopped || d.main_returned) break;
        deliver = control != 0 ? d.gate.Arrive(control, d.last) : d.gate.Release(d.last);
        handler = d.handler;
      }
      // The handler posts and returns at once; it is called without the
      // lock so that it may report status itself.
      if (deliver != 0 && handler) handler(deliver);
    }
    main_thread.join();
    {
      rtl::MutexLock lock(g_mu);
      g_dispatch = nullptr;
    }
    return true;
  }

  ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* service_name,
                                                  ServiceControlHandler handler) override {
    rtl::MutexLock lock(g_mu);
    if (!g_dispatch) {
      SetLastError(kErrorFailedServiceControllerConnect);
      return 0;
    }
    if (!service_name || !handler ||
        ::strcasecmp(g_dispatch->service_name.c_str(), service_name) != 0) {
      SetLastError(kErrorServiceNotInExe);
      return 0;
    }
    rtl::MutexLock dlock(g_dispatch->mu);
    g_dispatch->handler = handler;
    return reinterpret_cast<ServiceStatusHandle>(g_dispatch);
  }

  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    rtl::MutexLock lock(g_mu);
    if (!g_dispatch || handle != reinterpret_cast<ServiceStatusHandle>(g_dispatch)) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    Dispatch& d = *g_dispatch;
    // The controls this report accepts count before the manager hears of
    // it: a control sent in answer to the report must find them.
    {
      rtl::MutexLock dlock(d.mu);
      d.last = status;
      if (status.CurrentState == kServiceStopped) d.stopped = true;
    }
    bool sent = true;
    int send_error = 0;
    if (d.console) {
      if (status.Text) {
        std::printf("%s: %s: %s\n", d.service_name.c_str(), StateName(status.CurrentState),
                    status.Text);
      } else {
        std::printf("%s: %s\n", d.service_name.c_str(), StateName(status.CurrentState));
      }
      std::fflush(stdout);
    } else {
      sent = d.notify.Send(NotifyMessage(status), true);
      send_error = errno;
      DefaultServiceNotifier().NoteState(status.CurrentState);
    }
    // The dispatcher looks again: it ends after the stopped report, and a
    // held stop may now be accepted.
    Wake(d);
    if (!sent) {
      const bool denied = send_error == EACCES || send_error == EPERM;
      SetLastError(denied ? kErrorAccessDenied : kErrorFailedServiceControllerConnect);
      return false;
    }
    return true;
  }

 private:
  const bool console_;
};

}  // namespace

ServiceControl& DefaultServiceControl() {
  static SystemdServiceControl* control = new SystemdServiceControl(false);
  return *control;
}

ServiceControl& ConsoleServiceControl() {
  static SystemdServiceControl* control = new SystemdServiceControl(true);
  return *control;
}

}  // namespace platform
