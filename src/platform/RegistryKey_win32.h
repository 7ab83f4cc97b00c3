// An open registry key that closes itself: the one owner of an HKEY for the
// Windows side of the platform layer. Included only by *_win32.cpp files.
#pragma once

#include <windows.h>

namespace platform {

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (key_) ::RegCloseKey(key_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  HKEY* Receive() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace platform
