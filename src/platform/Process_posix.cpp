#include <limits.h>
#include <unistd.h>

#include "platform/Process.h"

namespace platform {

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace platform
