#include "syslog/IdGlobal.h"

#include "rtl/SysUtils.h"

namespace syslog {

std::string TakeToken(std::string& rest, char delimiter) {
  size_t at = rest.find(delimiter);
  std::string token;
  if (at == std::string::npos) {
    token.swap(rest);
    rest.clear();
  } else {
    token = rest.substr(0, at);
    rest.erase(0, at + 1);
  }
  return token;
}

std::string KeepLeadingAlphanumerics(std::string_view s) {
  size_t n = 0;
  while (n < s.size()) {
    char c = s[n];
    bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum) break;
    ++n;
  }
  return std::string(s.substr(0, n));
}

void RaiseCannotCopy(const char* target_class) {
  throw rtl::EConvertError(rtl::Format("Cannot assign to a %s", target_class));
}

}  // namespace syslog
