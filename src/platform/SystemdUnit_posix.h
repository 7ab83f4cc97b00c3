// The systemd unit of a service, as the Linux service manager facility
// writes it for CreateServiceA (platform/ServiceManager.h). The packages
// ship the same text, made by the same function, so that the unit a package
// installs and the one /install writes never drift apart. Linux only; any
// thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// binary_path: the program's absolute path, unquoted. dependencies: names
// each ended by a NUL, the list by one more NUL (may be null). start_name:
// the account, null or empty for root. An automatic start type adds the
// [Install] section that enables it in multi-user.target.
std::string SystemdUnitText(const char* name, const char* display_name, uint32_t start_type,
                            const char* binary_path, const char* dependencies,
                            const char* start_name);

}  // namespace platform
