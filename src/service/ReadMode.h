// The replay run, "/read FILE": the watch takes its frames from a capture
// file (pcap or pcapng) instead of the adapter, or from standard input when
// FILE is "-". Runs on the main thread; the watch runs on its own thread as
// in the service, and the frames stream from the file on it, one at a time.
#pragma once

#include <string>

#include "watch/ethread.h"

namespace service {

// RunReadMode's exit codes.
enum ReadModeExit : int {
  kReadComplete = 0,  // read to the end of the file
  // The frames before a damaged or cut record were handled (reports sent,
  // table saved) and the warning on standard error names its byte offset.
  // Also a watch that could not start: nothing handled, the stage and the
  // cause on standard error.
  kReadDamaged = 1,
  kReadNotCapture = 2,  // not a capture file this program reads: nothing handled
  kReadSaveFailed = 3,  // the final table save failed; the cause is on standard error
};

// Checks the file's header, then sends the start-up report, loads the
// table, hands every frame to the frame handler in file order (reports
// sent as usual and printed on standard output, event-log entries printed
// on standard error), stops the watch once every report is sent, with one
// last save of the table, and returns a ReadModeExit. A file that cannot
// be opened or whose header is not one the reader takes is named on
// standard error with what is wrong, before anything else happens: the
// table is left untouched. Main thread.
int RunReadMode(const std::string& Path, watch::WatchEnvironment Environment = {});

}  // namespace service
