#include "platform/Text.h"

namespace platform {

std::string WideToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace platform
