// Memory facility: large blocks in whole pages, and hints about how they
// will be used. The hints never fail: where the system has nothing of the
// kind they do nothing. Any thread.
#pragma once

#include <cstddef>

namespace platform {

// A block of size bytes in whole pages that read as zero until first
// written: nothing is cleared up front, each page comes on its first touch.
// nullptr when the system has no memory for it. Give it back with
// ReleasePages.
void* AllocatePages(size_t size) noexcept;

// Gives back the pages of [from, to) of a block of size bytes from
// AllocatePages, which are not touched again; from is a multiple of
// kReleaseUnit, and so is to unless it is size, which gives back the whole
// block (parts given back before included). A block may go back in parts
// so that no single call takes long.
constexpr size_t kReleaseUnit = size_t{1} << 20;
void ReleasePages(void* block, size_t size, size_t from, size_t to) noexcept;

// Bytes of the blocks from AllocatePages not given back yet.
size_t PageBytesInUse() noexcept;

// Asks the system to back [p, p + size) with large pages where it can, so
// that a large table read at random costs fewer misses of the processor's
// address cache. Pages written before are merged into large ones in the
// background, where the system does that.
void AdviseLargePages(void* p, size_t size) noexcept;

}  // namespace platform
