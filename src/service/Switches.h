// The program's command-line switches, read here and nowhere else: their
// names, what counts as a switch ("-" or "/" and the name in any letter
// case, in any position), the value after a switch ("/read FILE"), and the
// check that every switch given is one the program knows, so that a
// mistyped switch never passes for a service run. The service application
// (install, remove, console), the program's main body (read, console) and
// the usage text all go through it. Portable; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace service {

// The switches, by name after their "-" or "/". A new switch is added here,
// to kSwitches and to the usage text.
inline constexpr char kSwitchInstall[] = "INSTALL";
inline constexpr char kSwitchUninstall[] = "UNINSTALL";
inline constexpr char kSwitchSilent[] = "SILENT";
inline constexpr char kSwitchConsole[] = "CONSOLE";
inline constexpr char kSwitchRead[] = "READ";  // takes the next argument, the file

// An argument that begins with "-" or "/".
bool IsSwitch(std::string_view Argument);

// Whether any argument is "-" or "/" followed by SwitchName, compared
// without regard to letter case.
bool HasSwitch(const std::vector<std::string>& Arguments, std::string_view SwitchName);

// The argument after the first switch SwitchName, as in "/read FILE";
// false when there is no such switch or nothing follows it.
bool SwitchValue(const std::vector<std::string>& Arguments, std::string_view SwitchName,
                 std::string& Value);

// What the command line asks of the program before anything else.
enum class TCommandLineRequest {
  kRun,            // none of the below: install, remove, read or run as usual
  kHelp,           // --help, -h, /? (and -help, /help): the usage on standard output
  kVersion,        // --version (and -version, /version): the version on standard output
  kUnknownSwitch,  // a switch the program does not know: the usage on standard error
};

// Looks at every argument. The argument after "/read" is its file, never a
// switch. An unknown switch wins over help, help over the version. Unknown,
// when not null, receives the first unknown switch as given.
TCommandLineRequest CheckCommandLine(const std::vector<std::string>& Arguments,
                                     std::string* Unknown = nullptr);

}  // namespace service
