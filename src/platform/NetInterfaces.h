// Network interfaces by their system number, so that the capture can follow
// an adapter whose name changed while the same card stays under its number.
// On Windows the capture driver names adapters by device, and a device's
// name never changes: there these answer "not known". Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The index of the interface named name, or 0 when there is none (or the
// system does not number its adapters that way).
uint32_t InterfaceIndex(const std::string& name);

// The name the interface with that index has now, or "" when there is none.
std::string InterfaceName(uint32_t index);

}  // namespace platform
