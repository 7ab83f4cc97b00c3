#include "service/Usage.h"

#include <string_view>

#include "service/SvcMgr.h"

#ifndef TESSALIN_VERSION
#error "the build sets TESSALIN_VERSION"
#endif

namespace service {
namespace {

// Every switch the program reads, by name after its "-" or "/". A new
// switch is added here and to the usage text below.
constexpr std::string_view kSwitches[] = {
    "INSTALL", "UNINSTALL", "SILENT", "CONSOLE", "READ",
};
constexpr std::string_view kHelpSwitches[] = {"-HELP", "HELP", "H", "?"};
constexpr std::string_view kVersionSwitches[] = {"-VERSION", "VERSION"};

bool IsSwitch(const std::string& arg) { return !arg.empty() && (arg[0] == '-' || arg[0] == '/'); }

template <size_t N>
bool OneOf(const std::string& arg, const std::string_view (&names)[N]) {
  for (std::string_view name : names) {
    if (HasSwitch({arg}, name)) return true;
  }
  return false;
}

}  // namespace

TCommandLineRequest CheckCommandLine(const std::vector<std::string>& Arguments,
                                     std::string* Unknown) {
  bool help = false;
  bool version = false;
  for (size_t i = 0; i < Arguments.size(); ++i) {
    const std::string& arg = Arguments[i];
    if (!IsSwitch(arg)) continue;  // words without a prefix are not looked at
    if (HasSwitch({arg}, "READ")) {
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

const char* UsageText() {
  return "Usage: tessalin\n"
         "       tessalin /install [/silent]\n"
         "       tessalin /uninstall [/silent]\n"
         "       tessalin /console\n"
         "       tessalin /read FILE\n"
         "       tessalin --help | --version\n"
         "\n"
         "Watches ARP traffic on the first network adapter and reports new, moved and\n"
         "multi-homed IPv4 addresses as syslog messages. Without switches it runs as\n"
         "the service Wirevane under the service manager.\n"
         "\n"
         "  /install     register the service Wirevane for automatic start\n"
         "  /uninstall   remove the service registration\n"
         "  /silent      with /install or /uninstall: no success message\n"
         "  /console     run the service in the foreground; Ctrl-C stops it\n"
         "  /read FILE   run the watch over a capture file (pcap or pcapng) and end;\n"
         "               FILE - reads it from standard input\n"
         "  --help       this text (also -h and /?)\n"
         "  --version    the program's version\n"
         "\n"
         "Switches take / or - and any letter case. The syslog server is the\n"
         "registry value SyslogHost under\n"
         "HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin (on Linux in\n"
         "/etc/harbrook/registry.reg); without it reports go to 127.0.0.1.\n";
}

const char* Version() { return TESSALIN_VERSION; }

std::string VersionText() { return std::string("tessalin ") + Version(); }

}  // namespace service
