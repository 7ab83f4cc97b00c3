// The error file: one line in the data folder, "tessalin.err", that says
// what last went wrong with the watch: the stage label of a start-up that
// failed, or "some major error :" and the cause of a frame the capture
// reader could not handle, or of a report the report sender could not hand
// over. Each write replaces the file.
//
// Any thread: the watch thread, the capture reader and the report sender
// all write it, one at a time under one process-wide lock, which is held
// until the line has reached the file.
#pragma once

#include <string>

#include "platform/Files.h"

namespace watch {

// The error file's name in the data folder.
inline constexpr char kErrorFileName[] = "tessalin.err";

// Replaces the error file (directory + kErrorFileName) with the line Text
// and CR LF. Raises rtl::EInOutError when the file cannot be written. The
// first form writes into the program's data folder.
void WriteErrorFile(const std::string& Text);
void WriteErrorFile(platform::FileSystem& files, const std::string& directory,
                    const std::string& Text);

}  // namespace watch
