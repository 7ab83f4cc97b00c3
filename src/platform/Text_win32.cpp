#include <windows.h>

#include "platform/Text.h"

namespace platform {

std::string WideToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int n = static_cast<int>(text.size());
  int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide, n, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide, n, out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace platform
