#include "service/Switches.h"

#include "rtl/SysUtils.h"

namespace service {
namespace {

constexpr std::string_view kSwitches[] = {
    kSwitchInstall, kSwitchUninstall, kSwitchSilent, kSwitchConsole, kSwitchRead,
};
constexpr std::string_view kHelpSwitches[] = {"-HELP", "HELP", "H", "?"};
constexpr std::string_view kVersionSwitches[] = {"-VERSION", "VERSION"};

bool IsNamed(std::string_view argument, std::string_view name) {
  return IsSwitch(argument) && rtl::SameText(argument.substr(1), name);
}

template <size_t N>
bool OneOf(std::string_view argument, const std::string_view (&names)[N]) {
  for (std::string_view name : names) {
    if (IsNamed(argument, name)) return true;
  }
  return false;
}

}  // namespace

bool IsSwitch(std::string_view Argument) {
  return !Argument.empty() && (Argument[0] == '-' || Argument[0] == '/');
}

bool HasSwitch(const std::vector<std::string>& Arguments, std::string_view SwitchName) {
  for (const std::string& arg : Arguments) {
    if (IsNamed(arg, SwitchName)) return true;
  }
  return false;
}

bool SwitchValue(const std::vector<std::string>& Arguments, std::string_view SwitchName,
                 std::string& Value) {
  for (size_t i = 0; i + 1 < Arguments.size(); ++i) {
    if (IsNamed(Arguments[i], SwitchName)) {
      Value = Arguments[i + 1];
      return true;
    }
  }
  return false;
}

TCommandLineRequest CheckCommandLine(const std::vector<std::string>& Arguments,
                                     std::string* Unknown) {
  bool help = false;
  bool version = false;
  for (size_t i = 0; i < Arguments.size(); ++i) {
    const std::string& arg = Arguments[i];
    if (!IsSwitch(arg)) continue;  // words without a prefix are not looked at
    if (IsNamed(arg, kSwitchRead)) {
      ++i;  // the file's name, "-" and paths that begin with "/" included
    } else if (OneOf(arg, kHelpSwitches)) {
      help = true;
    } else if (OneOf(arg, kVersionSwitches)) {
      version = true;
    } else if (!OneOf(arg, kSwitches)) {
      if (Unknown) *Unknown = arg;
      return TCommandLineRequest::kUnknownSwitch;
    }
  }
  if (help) return TCommandLineRequest::kHelp;
  if (version) return TCommandLineRequest::kVersion;
  return TCommandLineRequest::kRun;
}

}  // namespace service
