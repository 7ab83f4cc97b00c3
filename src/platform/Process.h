// Process facility: facts about the running program.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable, as the system reports it (at most
// 260 characters on Windows).
std::string ExecutablePath();

// Lowers the calling thread's scheduling priority below the process's
// other threads (Linux: a nice value of 10; Windows: below normal), so that
// the thread yields the processor to them when both want it. Best effort.
void LowerThreadPriority();

}  // namespace platform
