// File facility: the few file operations the watch needs, over single-byte
// text files whose lines end in CR LF. FileSystem is an interface so that
// tests can fail any step; DefaultFileSystem() is the real one. Failures of
// the create, write, close and read operations throw rtl::EInOutError whose
// message names the call that failed; the others answer false.
// Safe to use from any thread, one file object per thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "rtl/SysUtils.h"

namespace platform {

class TextFileWriter {
 public:
  virtual ~TextFileWriter() = default;
  // Writes text and a CR LF.
  virtual void WriteLine(std::string_view text) = 0;
  // Writes out what is buffered, forces it to the disk and closes. A writer
  // destroyed without Close() closes quietly.
  virtual void Close() = 0;
};

class TextFileReader {
 public:
  virtual ~TextFileReader() = default;
  // Reads the next line without its end (CR LF, LF or CR). False at the end
  // of the file. A last line without a line end is still a line.
  virtual bool ReadLine(std::string& line) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Creates (or truncates) a file for writing.
  virtual std::unique_ptr<TextFileWriter> CreateTextFile(const std::string& path) = 0;
  virtual std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) = 0;
  // Renames; fails when the target exists.
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  // Puts from in to's place in one atomic step, replacing to if present,
  // and makes the change durable.
  virtual bool ReplaceFile(const std::string& from, const std::string& to) = 0;
};

FileSystem& DefaultFileSystem();

// The program's data folder, with its trailing separator: "c:\harbrook\" on
// Windows, "/var/lib/harbrook/" on Linux. The program never creates it.
const std::string& DataDirectory();

}  // namespace platform
