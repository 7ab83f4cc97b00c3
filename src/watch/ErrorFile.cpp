#include "watch/ErrorFile.h"

#include <memory>

#include "rtl/Mutex.h"

namespace watch {
namespace {

// One writer at a time, whichever thread it is on. Never freed: a thread
// may still write while the process ends.
rtl::Mutex& ErrorFileLock() {
  static rtl::Mutex* mu = new rtl::Mutex;
  return *mu;
}

}  // namespace

void WriteErrorFile(const std::string& Text) {
  WriteErrorFile(platform::DefaultFileSystem(), platform::DataDirectory(), Text);
}

void WriteErrorFile(platform::FileSystem& files, const std::string& directory,
                    const std::string& Text) {
  rtl::MutexLock lock(ErrorFileLock());
  const std::string path = directory + kErrorFileName;
  if (files.FileExists(path)) files.RemoveFile(path);
  std::unique_ptr<platform::TextFileWriter> file = files.CreateTextFile(path);
  file->WriteLine(Text);
  file->Close();
}

}  // namespace watch
