// Service registration facility: the service manager's database of
// installed services.
//
// Windows: the service control manager (OpenSCManagerA, CreateServiceA,
// OpenServiceA, DeleteService, ChangeServiceConfig2A, CloseServiceHandle),
// and the event log's registration of a source's message file in the
// registry. Linux: systemd unit
// files. Opening the manager needs root (otherwise error 5). CreateServiceA
// writes /etc/systemd/system/<name>.service, a Type=notify unit that starts
// the given path (quoted or not, as Windows takes it)
// with only the capabilities packet capture needs, a system
// that is read-only but for /var/lib/harbrook, and no new privileges; an
// automatic start enables it through a multi-user.target.wants link. An
// existing unit is error 1073; OpenServiceA of a missing unit is 1060;
// DeleteService removes the unit and its link. Where systemd runs, it is
// asked to reload after every change. A description, failure actions and an
// event source registration are accepted and change nothing: the unit's
// text is fixed, and the journal needs no message files.
//
// Failures answer 0 or false and set the last error (platform/SystemError.h).
// ServiceManager is an interface so that tests can pass a fake;
// DefaultServiceManager() is the system's. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Manager or service handle, aliased once; 0 is no handle.
using ScHandle = uintptr_t;

constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// Start types.
constexpr uint32_t kServiceBootStart = 0;
constexpr uint32_t kServiceSystemStart = 1;
constexpr uint32_t kServiceAutoStart = 2;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceDisabled = 4;

// Error controls.
constexpr uint32_t kServiceErrorIgnore = 0;
constexpr uint32_t kServiceErrorNormal = 1;
constexpr uint32_t kServiceErrorSevere = 2;
constexpr uint32_t kServiceErrorCritical = 3;

// Failure action types (SC_ACTION_TYPE).
constexpr uint32_t kScActionNone = 0;
constexpr uint32_t kScActionRestart = 1;

// SERVICE_CONFIG_DESCRIPTION: the text the service manager shows beside the
// display name.
struct ServiceDescription {
  const char* Description = nullptr;
};

// SERVICE_CONFIG_FAILURE_ACTIONS without reboot message and command: after
// the Nth failure the manager takes Actions[N-1], the last one for every
// later failure; the count goes back to 0 after ResetPeriod seconds without
// a failure.
struct ServiceAction {
  uint32_t Type = kScActionNone;
  uint32_t Delay = 0;  // milliseconds
};
struct ServiceFailureActions {
  uint32_t ResetPeriod = 0;  // seconds
  std::vector<ServiceAction> Actions;
};

// Event types an event source declares (TypesSupported).
constexpr uint32_t kEventSourceTypesErrorWarningInformation = 0x7;

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // machine and database null: the local computer's active database.
  virtual ScHandle OpenSCManagerA(const char* machine, const char* database,
                                  uint32_t desired_access) = 0;
  // Why a service that this manager starts could not run the program at
  // binary_path (a full path), or empty when it can. Linux: the unit's
  // sandbox hides /home, /root and /run/user (ProtectHome=yes) and gives
  // the service a /tmp and /var/tmp of its own (PrivateTmp=yes). Windows
  // hides nothing from a service.
  virtual std::string HiddenFromServices(const std::string& binary_path) const {
    (void)binary_path;
    return std::string();
  }
  // dependencies: names each ended by a NUL, the list by one more NUL; a
  // group name starts with '+'. start_name null: the local system account.
  // tag_id null: no tag requested.
  virtual ScHandle CreateServiceA(ScHandle manager, const char* service_name,
                                  const char* display_name, uint32_t desired_access,
                                  uint32_t service_type, uint32_t start_type,
                                  uint32_t error_control, const char* binary_path,
                                  const char* load_order_group, uint32_t* tag_id,
                                  const char* dependencies, const char* start_name,
                                  const char* password) = 0;
  virtual ScHandle OpenServiceA(ScHandle manager, const char* service_name,
                                uint32_t desired_access) = 0;
  virtual bool DeleteService(ScHandle service) = 0;
  virtual bool ChangeServiceConfig2A(ScHandle service, const ServiceDescription& info) = 0;
  virtual bool ChangeServiceConfig2A(ScHandle service, const ServiceFailureActions& info) = 0;
  // Registers the message table of the event source `source` in the
  // Application log: the file that holds it (an executable's full path)
  // and the event types the source writes. Creates or overwrites the
  // source's registration.
  virtual bool InstallEventSource(const char* source, const char* message_file,
                                  uint32_t types_supported) = 0;
  // Removes the source's registration; one that does not exist counts as
  // removed.
  virtual bool UninstallEventSource(const char* source) = 0;
  virtual bool CloseServiceHandle(ScHandle handle) = 0;
};

ServiceManager& DefaultServiceManager();

// Owns one open handle of a manager and closes it through that manager when
// it goes out of scope. Holds 0 (nothing to close) when the open failed.
class ScopedScHandle {
 public:
  ScopedScHandle(ServiceManager& manager, ScHandle handle) noexcept
      : manager_(manager), handle_(handle) {}
  ~ScopedScHandle() {
    if (handle_) manager_.CloseServiceHandle(handle_);
  }
  ScopedScHandle(const ScopedScHandle&) = delete;
  ScopedScHandle& operator=(const ScopedScHandle&) = delete;

  ScHandle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != 0; }

 private:
  ServiceManager& manager_;
  const ScHandle handle_;
};

}  // namespace platform
