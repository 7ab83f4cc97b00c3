#include <windows.h>

#include "platform/SystemError.h"

namespace platform {

uint32_t GetLastError() noexcept { return ::GetLastError(); }
void SetLastError(uint32_t code) noexcept { ::SetLastError(code); }

std::string SystemErrorMessage(uint32_t code) {
  char buffer[256] = {0};
  DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      nullptr, code, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 32 || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

void ClearLibraryError() noexcept { ::SetLastError(0); }

std::string LibraryErrorText() {
  const DWORD code = ::GetLastError();
  if (code == 0) return std::string();
  std::string text = SystemErrorMessage(code);
  return text.empty() ? "system error " + std::to_string(code) : text;
}

}  // namespace platform
