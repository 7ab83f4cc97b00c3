#include <limits.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/Process.h"

namespace platform {

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

void LowerThreadPriority() {
  // On Linux a nice value belongs to the thread whose id is given.
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (current < 10) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

}  // namespace platform
