// Command line facility: the program's arguments, without the program path.
// A command line text splits into arguments at spaces and control
// characters; double quotes group text that contains spaces and are
// themselves dropped. Windows splits GetCommandLineA so; Linux takes the
// arguments the program was started with.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Every argument of the text, the program path (the first) included.
std::vector<std::string> SplitCommandLine(std::string_view text);

// The running program's arguments, without the program path.
std::vector<std::string> CommandLineArguments();

}  // namespace platform
