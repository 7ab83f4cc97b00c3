#include "platform/Files.h"

namespace platform {
namespace {

// Reader with a buffer of its own; splits at CR LF, LF or CR.
class RegularFileReader : public TextFileReader {
 public:
  RegularFileReader(std::unique_ptr<RegularFile> file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}

  bool ReadLine(std::string& line) override {
    line.clear();
    if (too_long_) TooLong();
    bool any = false;
    for (;;) {
      if (pos_ == end_ && !Fill()) return any;
      any = true;
      const char* start = buffer_ + pos_;
      const size_t left = end_ - pos_;
      const char* stop = start;
      const char* limit = start + left;
      while (stop < limit && *stop != '\n' && *stop != '\r') ++stop;
      if (line.size() + static_cast<size_t>(stop - start) > kMaxTextLine) {
        // Nothing of the line is kept, and nothing after it is read.
        line.clear();
        too_long_ = true;
        TooLong();
      }
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
  [[noreturn]] void TooLong() const {
    throw rtl::EInOutError(rtl::Format("read(%s) failed: a line longer than %d characters",
                                       path_.c_str(), static_cast<int>(kMaxTextLine)));
  }

  bool Fill() {
    pos_ = end_ = 0;
    end_ = file_->Read(buffer_, sizeof buffer_);
    return end_ > 0;
  }

  std::unique_ptr<RegularFile> file_;
  std::string path_;
  char buffer_[64 * 1024];
  size_t pos_ = 0;
  size_t end_ = 0;
  bool too_long_ = false;  // every later read fails too
};

}  // namespace

std::unique_ptr<TextFileReader> OpenRegularTextFile(const std::string& path) {
  OpenProblem problem;
  std::string error;
  std::unique_ptr<RegularFile> file = OpenRegularFile(path, problem, error);
  if (!file) throw rtl::EInOutError(error);
  return std::make_unique<RegularFileReader>(std::move(file), path);
}

}  // namespace platform
