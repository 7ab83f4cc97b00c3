#include "platform/Memory.h"

namespace platform {

// Large pages on Windows need a privilege that a service rarely holds, and
// memory allocated for them up front; the hint is not worth that.
void AdviseLargePages(void*, size_t) noexcept {}

}  // namespace platform
