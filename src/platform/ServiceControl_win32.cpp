#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
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

}  // namespace

ServiceControl& DefaultServiceControl() {
  static WindowsServiceControl* control = new WindowsServiceControl;
  return *control;
}

}  // namespace platform
