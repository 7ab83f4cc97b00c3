#include <windows.h>

#include <cstdio>

#include "platform/Files.h"
#include "platform/SystemError.h"

namespace platform {

std::unique_ptr<TextFileReader> OpenStdioReader(const std::string& path);

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
    return OpenStdioReader(path);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return ::MoveFileA(from.c_str(), to.c_str()) != 0;
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    return ::MoveFileExA(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
};

}  // namespace

FileSystem& DefaultFileSystem() {
  static Win32FileSystem fs;
  return fs;
}

const std::string& DataDirectory() {
  static const std::string dir = "c:\\harbrook\\";
  return dir;
}

}  // namespace platform
