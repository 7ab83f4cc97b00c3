// The program's own description of its command line: the usage text that
// --help prints, the version text that --version prints, and the check that
// every switch given is one the program knows, so that a mistyped switch
// never passes for a service run. Portable; any thread.
#pragma once

#include <string>
#include <vector>

namespace service {

// What the command line asks of the program before anything else.
enum class TCommandLineRequest {
  kRun,            // none of the below: install, remove, read or run as usual
  kHelp,           // --help, -h, /? (and -help, /help): the usage on standard output
  kVersion,        // --version (and -version, /version): the version on standard output
  kUnknownSwitch,  // a switch the program does not know: the usage on standard error
};

// Looks at every argument. A switch is an argument that begins with "-" or
// "/"; the argument after "/read" is its file, never a switch. An unknown
// switch wins over help, help over the version. Unknown, when not null,
// receives the first unknown switch as given.
TCommandLineRequest CheckCommandLine(const std::vector<std::string>& Arguments,
                                     std::string* Unknown = nullptr);

// The usage text, ending in a line feed.
const char* UsageText();

// "tessalin " and the version, without a line end.
std::string VersionText();

// The version alone, as the build sets it ("1.0.0").
const char* Version();

}  // namespace service
