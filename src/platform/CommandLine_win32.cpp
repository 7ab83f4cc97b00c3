#include <windows.h>

#include "platform/CommandLine.h"

namespace platform {

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args = SplitCommandLine(::GetCommandLineA());
  if (!args.empty()) args.erase(args.begin());
  return args;
}

}  // namespace platform
