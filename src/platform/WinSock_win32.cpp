#include "platform/WinSock.h"

namespace platform {

// The real library is loaded by LoadLibraryA; nothing to register.
void RegisterWinSockModule() {}

}  // namespace platform
