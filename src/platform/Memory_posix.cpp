#include <sys/mman.h>

#include <cstdint>

#include "platform/Memory.h"

namespace platform {

void* SystemAllocatePages(size_t size) noexcept {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void SystemReleasePages(void* block, size_t size, size_t from, size_t to) noexcept {
  if (to >= size) {
    ::munmap(block, size);
  } else if (to > from) {
    ::munmap(static_cast<char*>(block) + from, to - from);
  }
}

void AdviseLargePages(void* p, size_t size) noexcept {
#ifdef MADV_HUGEPAGE
  // madvise wants a page-aligned start: the whole pages of the block.
  constexpr uintptr_t kPage = 4096;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + size) & ~(kPage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

}  // namespace platform
