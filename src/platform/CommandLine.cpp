#include "platform/CommandLine.h"

namespace platform {

std::vector<std::string> SplitCommandLine(std::string_view text) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  auto separator = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  for (;;) {
    while (i < n && separator(text[i])) ++i;
    if (i >= n) break;
    std::string arg;
    while (i < n && !separator(text[i])) {
      if (text[i] == '"') {
        ++i;
        while (i < n && text[i] != '"') arg += text[i++];
        if (i < n) ++i;  // the closing quote
      } else {
        arg += text[i++];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

}  // namespace platform
