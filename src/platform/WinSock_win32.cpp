#include <winsock2.h>

#include <cstddef>

#include "platform/WinSock.h"

namespace platform {

// The shapes the syslog client passes to the real library.
static_assert(sizeof(WinSockData) == sizeof(WSADATA));
static_assert(offsetof(WinSockData, lpVendorInfo) == offsetof(WSADATA, lpVendorInfo));
static_assert(offsetof(WinSockData, szDescription) == offsetof(WSADATA, szDescription));
static_assert(offsetof(WinSockData, szSystemStatus) == offsetof(WSADATA, szSystemStatus));
static_assert(sizeof(WinSockAddrIn) == sizeof(sockaddr_in));
static_assert(offsetof(WinSockAddrIn, sin_port) == offsetof(sockaddr_in, sin_port));
static_assert(offsetof(WinSockAddrIn, sin_addr) == offsetof(sockaddr_in, sin_addr));
static_assert(sizeof(WinSockHostEnt) == sizeof(hostent));
static_assert(offsetof(WinSockHostEnt, h_addrtype) == offsetof(hostent, h_addrtype));
static_assert(offsetof(WinSockHostEnt, h_addr_list) == offsetof(hostent, h_addr_list));
static_assert(sizeof(SocketHandle) == sizeof(SOCKET) && kInvalidSocket == INVALID_SOCKET);

// The real library is loaded by LoadLibraryA; nothing to register.
void RegisterWinSockModule() {}

}  // namespace platform
