#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ServiceControl.h"

namespace platform {
namespace {

// The dispatcher table as the program gave it. The manager calls one
// service main for all entries, which finds the program's function by the
// service name in argv[0].
std::mutex g_mu;
std::vector<std::string> g_names;
std::vector<ServiceMainFunction> g_mains;

void WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv) {
  ServiceMainFunction target = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    for (size_t i = 0; i < g_names.size(); ++i) {
      if (argc > 0 && argv && argv[0] && ::lstrcmpiA(argv[0], g_names[i].c_str()) == 0) {
        target = g_mains[i];
      }
    }
    if (!target && g_mains.size() == 1) target = g_mains[0];
  }
  if (target) target(argc, argv);
}

// RegisterServiceCtrlHandlerA passes no context, so each registration gets
// a slot with a trampoline of its own.
constexpr int kSlots = 8;
ServiceControlHandler g_handlers[kSlots];
int g_used = 0;

template <int N>
void WINAPI HandlerSlot(DWORD control) {
  if (ServiceControlHandler h = g_handlers[N]) h(control);
}

template <int... N>
constexpr LPHANDLER_FUNCTION MakeSlots(int i, std::integer_sequence<int, N...>) {
  constexpr LPHANDLER_FUNCTION slots[] = {&HandlerSlot<N>...};
  return slots[i];
}

class WindowsServiceControl : public ServiceControl {
 public:
  bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table) override {
    std::vector<SERVICE_TABLE_ENTRYA> entries;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      g_names.clear();
      g_mains.clear();
      for (const ServiceTableEntry* e = table; e && e->ServiceName; ++e) {
        g_names.emplace_back(e->ServiceName);
        g_mains.push_back(e->ServiceProc);
      }
      for (std::string& name : g_names) {
        entries.push_back(SERVICE_TABLE_ENTRYA{name.data(), &ServiceMainTrampoline});
      }
    }
    entries.push_back(SERVICE_TABLE_ENTRYA{nullptr, nullptr});
    return ::StartServiceCtrlDispatcherA(entries.data()) != FALSE;
  }

  ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* service_name,
                                                  ServiceControlHandler handler) override {
    int slot;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      slot = -1;
      for (int i = 0; i < g_used; ++i) {
        if (g_handlers[i] == handler) slot = i;
      }
      if (slot < 0) {
        if (g_used == kSlots) {
          ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
          return 0;
        }
        slot = g_used++;
        g_handlers[slot] = handler;
      }
    }
    LPHANDLER_FUNCTION fn = MakeSlots(slot, std::make_integer_sequence<int, kSlots>());
    return reinterpret_cast<ServiceStatusHandle>(::RegisterServiceCtrlHandlerA(service_name, fn));
  }

  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    SERVICE_STATUS s;
    s.dwServiceType = status.ServiceType;
    s.dwCurrentState = status.CurrentState;
    s.dwControlsAccepted = status.ControlsAccepted;
    s.dwWin32ExitCode = status.Win32ExitCode;
    s.dwServiceSpecificExitCode = status.ServiceSpecificExitCode;
    s.dwCheckPoint = status.CheckPoint;
    s.dwWaitHint = status.WaitHint;
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != FALSE;
  }
};

// The foreground run: the service main on a thread of its own, Ctrl-C,
// Ctrl-Break and closing the console window as stop requests delivered on
// the dispatcher thread, status reports printed.
class ConsoleControl : public ServiceControl {
 public:
  bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table) override {
    if (!table || !table[0].ServiceName || !table[0].ServiceProc) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (active_) {
        ::SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
      }
      active_ = true;
      name_ = table[0].ServiceName;
      handler_ = nullptr;
      last_ = ServiceStatus{};
      controls_.clear();
      gate_.Clear();
      stopped_ = main_returned_ = false;
    }
    ::SetConsoleCtrlHandler(&ConsoleEvent, TRUE);
    ServiceMainFunction service_main = table[0].ServiceProc;
    std::thread main_thread([this, service_main] {
      std::string name = name_;
      char* argv[] = {name.data(), nullptr};
      service_main(1, argv);
      {
        std::lock_guard<std::mutex> lock(mu_);
        main_returned_ = true;
      }
      cv_.notify_all();
    });
    for (;;) {
      ServiceControlHandler handler = nullptr;
      uint32_t deliver = 0;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [&] {
          return stopped_ || main_returned_ || !controls_.empty() || gate_.HeldAccepted(last_);
        });
        if (stopped_ || main_returned_) break;
        if (!controls_.empty()) {
          deliver = gate_.Arrive(controls_.front(), last_);
          controls_.pop_front();
        } else {
          deliver = gate_.Release(last_);
        }
        handler = handler_;
      }
      if (deliver != 0 && handler) handler(deliver);
    }
    main_thread.join();
    ::SetConsoleCtrlHandler(&ConsoleEvent, FALSE);
    std::lock_guard<std::mutex> lock(mu_);
    active_ = false;
    return true;
  }

  ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* service_name,
                                                  ServiceControlHandler handler) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!active_ || !service_name || !handler || ::lstrcmpiA(service_name, name_.c_str()) != 0) {
      ::SetLastError(ERROR_SERVICE_NOT_IN_EXE);
      return 0;
    }
    handler_ = handler;
    return 1;
  }

  bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!active_ || handle != 1) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
      }
      last_ = status;
      if (status.CurrentState == kServiceStopped) stopped_ = true;
      std::printf("%s: %s\n", name_.c_str(), StateName(status.CurrentState));
      std::fflush(stdout);
    }
    cv_.notify_all();
    return true;
  }

  void Control(uint32_t code) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!active_) return;
      controls_.push_back(code);
    }
    cv_.notify_all();
  }

  bool Stopped() {
    std::lock_guard<std::mutex> lock(mu_);
    return !active_ || stopped_;
  }

 private:
  static BOOL WINAPI ConsoleEvent(DWORD type);

  std::mutex mu_;
  std::condition_variable cv_;
  bool active_ = false;
  std::string name_;
  ServiceControlHandler handler_ = nullptr;
  ServiceStatus last_{};
  std::deque<uint32_t> controls_;
  ControlGate gate_;
  bool stopped_ = false;
  bool main_returned_ = false;
};

ConsoleControl* g_console = nullptr;

// Runs on a thread the system makes for the event.
BOOL WINAPI ConsoleControl::ConsoleEvent(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_console->Control(kServiceControlStop);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The process ends when this returns: give the service a moment to
      // stop first.
      g_console->Control(kServiceControlStop);
      for (int i = 0; i < 50 && !g_console->Stopped(); ++i) ::Sleep(100);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

ServiceControl& DefaultServiceControl() {
  static WindowsServiceControl* control = new WindowsServiceControl;
  return *control;
}

ServiceControl& ConsoleServiceControl() {
  static ConsoleControl* control = g_console = new ConsoleControl;
  return *control;
}

}  // namespace platform
