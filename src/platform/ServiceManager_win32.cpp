#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/RegistryKey_win32.h"
#include "platform/ServiceManager.h"

namespace platform {
namespace {

SC_HANDLE Native(ScHandle h) { return reinterpret_cast<SC_HANDLE>(h); }
ScHandle Wrap(SC_HANDLE h) { return reinterpret_cast<ScHandle>(h); }

const char kEventSourceRoot[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The source's key under HKEY_LOCAL_MACHINE; empty for a name that is not
// one key name.
std::string EventSourceKey(const char* source) {
  if (!source || !*source || std::strchr(source, '\\')) return std::string();
  return std::string(kEventSourceRoot) + source;
}

// The registry calls answer their error instead of setting it.
bool Succeeded(LONG rc) {
  if (rc == ERROR_SUCCESS) return true;
  ::SetLastError(static_cast<DWORD>(rc));
  return false;
}

class WindowsServiceManager : public ServiceManager {
 public:
  ScHandle OpenSCManagerA(const char* machine, const char* database,
                          uint32_t desired_access) override {
    return Wrap(::OpenSCManagerA(machine, database, desired_access));
  }

  ScHandle CreateServiceA(ScHandle manager, const char* service_name, const char* display_name,
                          uint32_t desired_access, uint32_t service_type, uint32_t start_type,
                          uint32_t error_control, const char* binary_path,
                          const char* load_order_group, uint32_t* tag_id, const char* dependencies,
                          const char* start_name, const char* password) override {
    DWORD tag = tag_id ? *tag_id : 0;
    SC_HANDLE h =
        ::CreateServiceA(Native(manager), service_name, display_name, desired_access, service_type,
                         start_type, error_control, binary_path, load_order_group,
                         tag_id ? &tag : nullptr, dependencies, start_name, password);
    if (tag_id) *tag_id = tag;
    return Wrap(h);
  }

  ScHandle OpenServiceA(ScHandle manager, const char* service_name,
                        uint32_t desired_access) override {
    return Wrap(::OpenServiceA(Native(manager), service_name, desired_access));
  }

  bool DeleteService(ScHandle service) override {
    return ::DeleteService(Native(service)) != FALSE;
  }

  bool ChangeServiceConfig2A(ScHandle service, const ServiceDescription& info) override {
    SERVICE_DESCRIPTIONA description{const_cast<char*>(info.Description)};
    return ::ChangeServiceConfig2A(Native(service), SERVICE_CONFIG_DESCRIPTION, &description) !=
           FALSE;
  }

  bool ChangeServiceConfig2A(ScHandle service, const ServiceFailureActions& info) override {
    std::vector<SC_ACTION> actions;
    for (const ServiceAction& a : info.Actions) {
      actions.push_back({static_cast<SC_ACTION_TYPE>(a.Type), a.Delay});
    }
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = info.ResetPeriod;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.empty() ? nullptr : actions.data();
    if (!::ChangeServiceConfig2A(Native(service), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
      return false;
    }
    // The actions also follow a service that reports itself stopped with an
    // error of its own (a watch that could not start), not only a crash.
    // A manager that does not take the setting (Wine's) keeps the
    // crash-only rule; the actions themselves are in place.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    ::ChangeServiceConfig2A(Native(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
    return true;
  }

  bool InstallEventSource(const char* source, const char* message_file,
                          uint32_t types_supported) override {
    const std::string path = EventSourceKey(source);
    if (path.empty() || !message_file) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    KeyHandle key;
    if (!Succeeded(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.Receive(),
                                     nullptr))) {
      return false;
    }
    const DWORD types = types_supported;
    return Succeeded(::RegSetValueExA(key.Get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                                      reinterpret_cast<const BYTE*>(message_file),
                                      static_cast<DWORD>(std::strlen(message_file) + 1))) &&
           Succeeded(::RegSetValueExA(key.Get(), "TypesSupported", 0, REG_DWORD,
                                      reinterpret_cast<const BYTE*>(&types), sizeof types));
  }

  bool UninstallEventSource(const char* source) override {
    const std::string path = EventSourceKey(source);
    if (path.empty()) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    const LONG rc = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return rc == ERROR_FILE_NOT_FOUND || Succeeded(rc);
  }

  bool CloseServiceHandle(ScHandle handle) override {
    return ::CloseServiceHandle(Native(handle)) != FALSE;
  }
};

}  // namespace

ServiceManager& DefaultServiceManager() {
  static WindowsServiceManager* manager = new WindowsServiceManager;
  return *manager;
}

}  // namespace platform
