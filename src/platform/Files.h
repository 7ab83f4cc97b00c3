// File facility: the few file operations the watch needs, over single-byte
// text files whose lines end in CR LF. FileSystem is an interface so that
// tests can fail any step; DefaultFileSystem() is the real one. Failures of
// the create, write, close and read operations throw rtl::EInOutError whose
// message names the call that failed; the others answer false.
// Safe to use from any thread, one file object per thread.
//
// The files the program reads (the table, the Linux registry file) are
// nobody's promise: they are read only when they are regular files, opened
// without blocking, and text lines have a length limit.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The longest text line a reader accepts, without its line end.
constexpr size_t kMaxTextLine = 4096;

class TextFileReader {
 public:
  virtual ~TextFileReader() = default;
  // Reads the next line without its end (CR LF, LF or CR). False at the end
  // of the file. A last line without a line end is still a line. A line
  // longer than kMaxTextLine throws EInOutError (the lines before it have
  // been returned), so that an endless line cannot take all memory.
  virtual bool ReadLine(std::string& line) = 0;
};

// What tells one state of a file from another without reading it: the file
// (device and file number), its size and its last write (nanoseconds since
// 1970-01-01 UTC).
struct FileStamp {
  uint64_t device = 0;
  uint64_t file = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

// A regular file open for reading; closed when destroyed.
class RegularFile {
 public:
  virtual ~RegularFile() = default;
  // As it was when opened.
  virtual const FileStamp& Stamp() const = 0;
  // Reads up to size bytes; 0 at the end of the file. Throws EInOutError
  // naming the call that failed.
  virtual size_t Read(void* buffer, size_t size) = 0;
};

enum class OpenProblem {
  kNone,
  kMissing,     // no such file or folder
  kNotRegular,  // a FIFO, device, socket or folder: never read
  kUnreadable,  // any other failure to open
};

// The stamp of path when it is a regular file (after symbolic links), with
// one look at the file system and without opening it; false otherwise or
// where the system cannot tell it so cheaply.
bool RegularFileStamp(const std::string& path, FileStamp& stamp);

// Opens path for reading if it is a regular file (after symbolic links).
// Never blocks: the type is checked before and after opening, and a FIFO
// or device is refused without being read. Returns null with problem set,
// and error set to a message naming the call, when it cannot; never throws.
std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path, OpenProblem& problem,
                                             std::string& error);

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Creates (or truncates) a file for writing.
  virtual std::unique_ptr<TextFileWriter> CreateTextFile(const std::string& path) = 0;
  // Opens a regular file for reading (OpenRegularFile); anything else, a
  // FIFO or a device included, throws EInOutError at once.
  virtual std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) = 0;
  // Puts from in to's place in one atomic step, replacing to if present,
  // and makes the change durable.
  virtual bool ReplaceFile(const std::string& from, const std::string& to) = 0;
};

FileSystem& DefaultFileSystem();

// The program's data folder, with its trailing separator: "c:\harbrook\" on
// Windows, "/var/lib/harbrook/" on Linux. The program never creates it.
const std::string& DataDirectory();

}  // namespace platform
