#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/Files.h"
#include "platform/SystemError.h"

namespace platform {

std::unique_ptr<TextFileReader> OpenRegularTextFile(const std::string& path);

namespace {

std::string Failure(const char* call, const std::string& path) {
  DWORD code = ::GetLastError();
  return rtl::Format("%s(%s) failed: %s", call, path.c_str(), SystemErrorMessage(code).c_str());
}

class Win32Writer : public TextFileWriter {
 public:
  Win32Writer(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
  ~Win32Writer() override {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }

  void WriteLine(std::string_view text) override {
    buffer_.append(text);
    buffer_.append("\r\n");
    if (buffer_.size() >= 64 * 1024) Flush();
  }

  void Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return;
    Flush();
    if (!::FlushFileBuffers(h_)) throw rtl::EInOutError(Failure("FlushFileBuffers", path_));
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(h)) throw rtl::EInOutError(Failure("CloseHandle", path_));
  }

 private:
  void Flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
      DWORD n = 0;
      DWORD chunk = static_cast<DWORD>(buffer_.size() - done);
      if (!::WriteFile(h_, buffer_.data() + done, chunk, &n, nullptr)) {
        buffer_.clear();
        throw rtl::EInOutError(Failure("WriteFile", path_));
      }
      done += n;
    }
    buffer_.clear();
  }

  HANDLE h_;
  std::string path_;
  std::string buffer_;
};

class Win32RegularFile : public RegularFile {
 public:
  Win32RegularFile(HANDLE h, std::string path, const FileStamp& stamp)
      : h_(h), path_(std::move(path)), stamp_(stamp) {}
  ~Win32RegularFile() override { ::CloseHandle(h_); }
  const FileStamp& Stamp() const override { return stamp_; }
  size_t Read(void* buffer, size_t size) override {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!::ReadFile(h_, buffer, chunk, &n, nullptr)) {
      throw rtl::EInOutError(Failure("ReadFile", path_));
    }
    return n;
  }

 private:
  HANDLE h_;
  std::string path_;
  FileStamp stamp_;
};

class Win32FileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool RemoveFile(const std::string& path) override { return ::DeleteFileA(path.c_str()) != 0; }
  std::unique_ptr<TextFileWriter> CreateTextFile(const std::string& path) override {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw rtl::EInOutError(Failure("CreateFileA", path));
    return std::make_unique<Win32Writer>(h, path);
  }
  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override {
    return OpenRegularTextFile(path);
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    return ::MoveFileExA(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
};

}  // namespace

bool RegularFileStamp(const std::string&, FileStamp&) {
  // The file's number needs the file open: callers open it.
  return false;
}

std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path, OpenProblem& problem,
                                             std::string& error) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    problem = OpenProblem::kNotRegular;
    error = rtl::Format("CreateFileA(%s) failed: not a regular file", path.c_str());
    return nullptr;
  }
  // Sharing everything: the program never keeps others from replacing the
  // file while it reads.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    problem = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                  ? OpenProblem::kMissing
                  : OpenProblem::kUnreadable;
    ::SetLastError(code);
    error = Failure("CreateFileA", path);
    return nullptr;
  }
  // A pipe or a character device (CON, NUL, COM1) is no file to read.
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    problem = OpenProblem::kNotRegular;
    error = rtl::Format("CreateFileA(%s) failed: not a regular file", path.c_str());
    return nullptr;
  }
  FileStamp stamp;
  stamp.device = info.dwVolumeSerialNumber;
  stamp.file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  stamp.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  // FILETIME counts 100 ns steps since 1601-01-01.
  const uint64_t ticks =
      (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
  stamp.modified_ns = (static_cast<int64_t>(ticks) - 116444736000000000LL) * 100;
  problem = OpenProblem::kNone;
  return std::make_unique<Win32RegularFile>(h, path, stamp);
}

FileSystem& DefaultFileSystem() {
  static Win32FileSystem fs;
  return fs;
}

const std::string& DataDirectory() {
  static const std::string dir = "c:\\harbrook\\";
  return dir;
}

}  // namespace platform
