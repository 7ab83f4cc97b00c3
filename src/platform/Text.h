// Text conversion facility: 16-bit text to 8-bit text in the system's
// default code page (the ANSI code page on Windows). On Linux characters
// outside ASCII become '?'. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace platform {

std::string WideToAnsi(std::u16string_view text);

}  // namespace platform
