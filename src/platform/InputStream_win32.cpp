#include <windows.h>

#include "platform/InputStream.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

std::string Failure(const char* call, const std::string& name) {
  const DWORD code = ::GetLastError();
  return rtl::Format("%s(%s) failed: %s", call, name.c_str(), SystemErrorMessage(code).c_str());
}

class Win32InputStream : public InputStream {
 public:
  Win32InputStream(HANDLE h, std::string name, bool owned)
      : h_(h), name_(std::move(name)), owned_(owned) {}
  ~Win32InputStream() override {
    if (owned_) ::CloseHandle(h_);
  }

  size_t Read(void* buffer, size_t count) override {
    const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    DWORD n = 0;
    if (!::ReadFile(h_, buffer, chunk, &n, nullptr)) {
      // The writing end of a pipe closed: the end of the input.
      if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
      throw rtl::EInOutError(Failure("ReadFile", name_));
    }
    return n;
  }
  const std::string& Name() const override { return name_; }

 private:
  HANDLE h_;
  std::string name_;
  bool owned_;
};

}  // namespace

std::unique_ptr<InputStream> OpenInputFile(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw rtl::EInOutError(Failure("CreateFileA", path));
  return std::make_unique<Win32InputStream>(h, path, true);
}

std::unique_ptr<InputStream> OpenStandardInput() {
  HANDLE h = ::GetStdHandle(STD_INPUT_HANDLE);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    throw rtl::EInOutError(Failure("GetStdHandle", "-"));
  }
  return std::make_unique<Win32InputStream>(h, "-", false);
}

}  // namespace platform
