#include "service/Usage.h"

#ifndef TESSALIN_VERSION
#error "the build sets TESSALIN_VERSION"
#endif

namespace service {

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
