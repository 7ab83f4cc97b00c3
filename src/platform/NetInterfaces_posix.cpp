#include <net/if.h>

#include "platform/NetInterfaces.h"

namespace platform {

uint32_t InterfaceIndex(const std::string& name) {
  if (name.empty() || name.size() >= IF_NAMESIZE) return 0;
  return if_nametoindex(name.c_str());
}

std::string InterfaceName(uint32_t index) {
  char name[IF_NAMESIZE] = {};
  if (index == 0 || !if_indextoname(index, name)) return std::string();
  return name;
}

}  // namespace platform
