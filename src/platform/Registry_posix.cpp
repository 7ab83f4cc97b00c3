#include "platform/Registry.h"

namespace platform {

Registry& DefaultRegistry() {
  static RegistryFile registry("/etc/harbrook/registry.reg");
  return registry;
}

}  // namespace platform
