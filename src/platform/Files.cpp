#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

// Buffered reader over stdio; splits at CR LF, LF or CR.
class StdioReader : public TextFileReader {
 public:
  StdioReader(std::FILE* f, std::string path) : f_(f), path_(std::move(path)) {}
  ~StdioReader() override { std::fclose(f_); }

  bool ReadLine(std::string& line) override {
    line.clear();
    bool any = false;
    for (;;) {
      int c = std::getc(f_);
      if (c == EOF) {
        if (std::ferror(f_)) {
          throw rtl::EInOutError(
              rtl::Format("read(%s) failed: %s", path_.c_str(), std::strerror(errno)));
        }
        return any;
      }
      any = true;
      if (c == '\n') return true;
      if (c == '\r') {
        int d = std::getc(f_);
        if (d != '\n' && d != EOF) std::ungetc(d, f_);
        return true;
      }
      line.push_back(static_cast<char>(c));
    }
  }

 private:
  std::FILE* f_;
  std::string path_;
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
