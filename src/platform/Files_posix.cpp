#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Files.h"

namespace platform {

std::unique_ptr<TextFileReader> OpenRegularTextFile(const std::string& path);

namespace {

std::string Failure(const char* call, const std::string& path) {
  return rtl::Format("%s(%s) failed: %s", call, path.c_str(), std::strerror(errno));
}

class PosixWriter : public TextFileWriter {
 public:
  PosixWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixWriter() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void WriteLine(std::string_view text) override {
    buffer_.append(text);
    buffer_.append("\r\n");
    if (buffer_.size() >= 64 * 1024) Flush();
  }

  void Close() override {
    if (fd_ < 0) return;
    Flush();
    if (::fsync(fd_) != 0) throw rtl::EInOutError(Failure("fsync", path_));
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw rtl::EInOutError(Failure("close", path_));
  }

 private:
  void Flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
      ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        buffer_.clear();
        throw rtl::EInOutError(Failure("write", path_));
      }
      done += static_cast<size_t>(n);
    }
    buffer_.clear();
  }

  int fd_;
  std::string path_;
  std::string buffer_;
};

class PosixRegularFile : public RegularFile {
 public:
  PosixRegularFile(int fd, std::string path, const FileStamp& stamp)
      : fd_(fd), path_(std::move(path)), stamp_(stamp) {}
  ~PosixRegularFile() override { ::close(fd_); }
  const FileStamp& Stamp() const override { return stamp_; }
  size_t Read(void* buffer, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw rtl::EInOutError(Failure("read", path_));
    }
  }

 private:
  int fd_;
  std::string path_;
  FileStamp stamp_;
};

FileStamp StampOf(const struct stat& st) {
  FileStamp s;
  s.device = static_cast<uint64_t>(st.st_dev);
  s.file = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<uint64_t>(st.st_size);
  s.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return s;
}

void SyncDirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

class PosixFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  }
  bool RemoveFile(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
  std::unique_ptr<TextFileWriter> CreateTextFile(const std::string& path) override {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw rtl::EInOutError(Failure("open", path));
    return std::make_unique<PosixWriter>(fd, path);
  }
  std::unique_ptr<TextFileReader> OpenTextFile(const std::string& path) override {
    return OpenRegularTextFile(path);
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    SyncDirectoryOf(to);
    return true;
  }
};

}  // namespace

bool RegularFileStamp(const std::string& path, FileStamp& stamp) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp = StampOf(st);
  return true;
}

std::unique_ptr<RegularFile> OpenRegularFile(const std::string& path, OpenProblem& problem,
                                             std::string& error) {
  auto fail = [&](OpenProblem p, std::string message) {
    problem = p;
    error = std::move(message);
    return nullptr;
  };
  auto failed_call = [&](const char* call) {
    const OpenProblem p =
        errno == ENOENT || errno == ENOTDIR ? OpenProblem::kMissing : OpenProblem::kUnreadable;
    return fail(p, Failure(call, path));
  };
  auto not_regular = [&] {
    return fail(OpenProblem::kNotRegular,
                rtl::Format("open(%s) failed: not a regular file", path.c_str()));
  };
  // A FIFO or a device is refused before it is opened, so that opening it
  // has no effect on it; the check after opening covers a swap in between.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return failed_call("stat");
  if (!S_ISREG(st.st_mode)) return not_regular();
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return failed_call("open");
  if (::fstat(fd, &st) != 0) {
    auto r = failed_call("fstat");
    ::close(fd);
    return r;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return not_regular();
  }
  problem = OpenProblem::kNone;
  return std::make_unique<PosixRegularFile>(fd, path, StampOf(st));
}

FileSystem& DefaultFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

const std::string& DataDirectory() {
  static const std::string dir = "/var/lib/harbrook/";
  return dir;
}

}  // namespace platform
