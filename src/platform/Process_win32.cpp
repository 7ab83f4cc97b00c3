#include <windows.h>

#include "platform/Process.h"

namespace platform {

std::string ExecutablePath() {
  char buffer[MAX_PATH + 1] = {0};
  DWORD n = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return std::string(buffer, n);
}

}  // namespace platform
