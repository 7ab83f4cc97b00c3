// Process facility: facts about the running program.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable, as the system reports it (at most
// 260 characters on Windows).
std::string ExecutablePath();

}  // namespace platform
