#include "platform/Memory.h"

#include <algorithm>
#include <atomic>

namespace platform {

// The system's own calls, in Memory_posix.cpp and Memory_win32.cpp.
void* SystemAllocatePages(size_t size) noexcept;
void SystemReleasePages(void* block, size_t size, size_t from, size_t to) noexcept;

namespace {
std::atomic<size_t> page_bytes{0};
}  // namespace

void* AllocatePages(size_t size) noexcept {
  void* block = SystemAllocatePages(size);
  if (block) page_bytes.fetch_add(size, std::memory_order_relaxed);
  return block;
}

void ReleasePages(void* block, size_t size, size_t from, size_t to) noexcept {
  SystemReleasePages(block, size, from, to);
  page_bytes.fetch_sub(std::min(to, size) - std::min(from, to), std::memory_order_relaxed);
}

size_t PageBytesInUse() noexcept { return page_bytes.load(std::memory_order_relaxed); }

}  // namespace platform
