#include "platform/ServiceNotify.h"

namespace platform {

void ServiceHeartbeat() {}

void ServiceStatusText(const std::string&) {}

}  // namespace platform
