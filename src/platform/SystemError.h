// System error numbers and their texts. Error numbers are the Windows ones
// on every system: the Linux side of each facility maps its failures onto
// them and records them as the thread's last error.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The calling thread's last error (GetLastError on Windows).
uint32_t GetLastError() noexcept;
void SetLastError(uint32_t code) noexcept;

// The system's text for an error code (FormatMessageA from the system,
// inserts ignored), with trailing spaces, control characters and periods
// cut off. On Linux: the Windows text for the codes the program can meet,
// otherwise empty.
std::string SystemErrorMessage(uint32_t code);

}  // namespace platform
