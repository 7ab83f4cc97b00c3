#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

// Reader over stdio with a buffer of its own; splits at CR LF, LF or CR.
class StdioReader : public TextFileReader {
 public:
  StdioReader(std::FILE* f, std::string path) : f_(f), path_(std::move(path)) {}
  ~StdioReader() override { std::fclose(f_); }

  bool ReadLine(std::string& line) override {
    line.clear();
    bool any = false;
    for (;;) {
      if (pos_ == end_ && !Fill()) return any;
      any = true;
      const char* start = buffer_ + pos_;
      const size_t left = end_ - pos_;
      const char* stop = start;
      const char* limit = start + left;
      while (stop < limit && *stop != '\n' && *stop != '\r') ++stop;
      line.append(start, static_cast<size_t>(stop - start));
      pos_ += static_cast<size_t>(stop - start);
      if (stop == limit) continue;  // the line goes on in the next chunk
      const char c = *stop;
      ++pos_;
      if (c == '\r') {
        // CR LF counts as one line end, also across a chunk boundary.
        if (pos_ == end_ && !Fill()) return true;
        if (buffer_[pos_] == '\n') ++pos_;
      }
      return true;
    }
  }

 private:
  bool Fill() {
    pos_ = 0;
    end_ = std::fread(buffer_, 1, sizeof buffer_, f_);
    if (end_ == 0 && std::ferror(f_)) {
      throw rtl::EInOutError(
          rtl::Format("read(%s) failed: %s", path_.c_str(), std::strerror(errno)));
    }
    return end_ > 0;
  }

  std::FILE* f_;
  std::string path_;
  char buffer_[64 * 1024];
  size_t pos_ = 0;
  size_t end_ = 0;
};

}  // namespace

std::unique_ptr<TextFileReader> OpenStdioReader(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    throw rtl::EInOutError(rtl::Format("open(%s) failed: %s", path.c_str(), std::strerror(errno)));
  }
  return std::make_unique<StdioReader>(f, path);
}

}  // namespace platform
