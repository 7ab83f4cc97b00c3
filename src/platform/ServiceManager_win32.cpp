#include <windows.h>

#include "platform/ServiceManager.h"

namespace platform {
namespace {

SC_HANDLE Native(ScHandle h) { return reinterpret_cast<SC_HANDLE>(h); }
ScHandle Wrap(SC_HANDLE h) { return reinterpret_cast<ScHandle>(h); }

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
