#include <windows.h>

#include "platform/Memory.h"

namespace platform {

void* SystemAllocatePages(size_t size) noexcept {
  return ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void SystemReleasePages(void* block, size_t size, size_t from, size_t to) noexcept {
  if (to >= size) {
    ::VirtualFree(block, 0, MEM_RELEASE);
  } else if (to > from) {
    ::VirtualFree(static_cast<char*>(block) + from, to - from, MEM_DECOMMIT);
  }
}

// Large pages on Windows need a privilege that a service rarely holds, and
// memory allocated for them up front; the hint is not worth that.
void AdviseLargePages(void*, size_t) noexcept {}

}  // namespace platform
