// Memory facility: hints about how a large block of memory will be used.
// Only hints: where the system has nothing of the kind they do nothing, and
// they never fail. Any thread.
#pragma once

#include <cstddef>

namespace platform {

// Asks the system to back [p, p + size) with large pages where it can, so
// that a large table read at random costs fewer misses of the processor's
// address cache. Call it before the block is first written.
void AdviseLargePages(void* p, size_t size) noexcept;

}  // namespace platform
