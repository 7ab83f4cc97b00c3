#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/InputStream.h"

namespace platform {
namespace {

std::string Failure(const char* call, const std::string& name) {
  return rtl::Format("%s(%s) failed: %s", call, name.c_str(), std::strerror(errno));
}

class PosixInputStream : public InputStream {
 public:
  PosixInputStream(int fd, std::string name, bool owned)
      : fd_(fd), name_(std::move(name)), owned_(owned) {}
  ~PosixInputStream() override {
    if (owned_) ::close(fd_);
  }

  size_t Read(void* buffer, size_t count) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw rtl::EInOutError(Failure("read", name_));
    }
  }
  const std::string& Name() const override { return name_; }

 private:
  int fd_;
  std::string name_;
  bool owned_;
};

}  // namespace

std::unique_ptr<InputStream> OpenInputFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw rtl::EInOutError(Failure("open", path));
  // The file is read once, front to back.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<PosixInputStream>(fd, path, true);
}

std::unique_ptr<InputStream> OpenStandardInput() {
  return std::make_unique<PosixInputStream>(STDIN_FILENO, "-", false);
}

}  // namespace platform
