// The program's own description of its command line: the usage text that
// --help prints and the version text that --version prints. The switches
// themselves are read in Switches.h. Portable; any thread.
#pragma once

#include <string>

namespace service {

// The usage text, ending in a line feed.
const char* UsageText();

// "tessalin " and the version, without a line end.
std::string VersionText();

// The version alone, as the build sets it ("1.0.0").
const char* Version();

}  // namespace service
