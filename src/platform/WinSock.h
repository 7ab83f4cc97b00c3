// Socket library shapes: the Windows Sockets 2 types and the calling
// convention that the syslog client's run-time binding of "WS2_32.DLL" is
// written against, aliased here once.
//
// On Windows the real library is loaded by platform::LoadLibraryA. On Linux
// "WS2_32.DLL" is a built-in module of this layer: RegisterWinSockModule()
// registers it (the syslog client calls it before its first load) and its
// look-ups answer Winsock-shaped functions over BSD sockets. Those keep
// their own per-thread last error (WSAGetLastError) in Windows Sockets
// numbers. Everything here may be called from any thread.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define WINSOCK_API __stdcall
#else
#define WINSOCK_API
#endif

namespace platform {

// The library's socket handle (SOCKET): pointer-wide on Win64. The Linux
// module hands out file descriptors in the same type.
using SocketHandle = uintptr_t;
constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);
constexpr int kSocketError = -1;

// sockaddr: 16 bytes, the family as a 16-bit number in host order.
struct WinSockAddr {
  uint16_t sa_family;
  char sa_data[14];
};

// sockaddr_in: the port in network byte order, the address bytes in
// network (text) order, eight zero bytes.
struct WinSockAddrIn {
  uint16_t sin_family;
  uint16_t sin_port;
  uint8_t sin_addr[4];
  char sin_zero[8];
};
static_assert(sizeof(WinSockAddr) == 16 && sizeof(WinSockAddrIn) == 16);

// hostent: the address list ends with a null entry.
struct WinSockHostEnt {
  char* h_name;
  char** h_aliases;
  int16_t h_addrtype;
  int16_t h_length;
  char** h_addr_list;
};

// WSADATA, in the field order of the library's own build width.
#if defined(_WIN32) && !defined(_WIN64)
struct WinSockData {
  uint16_t wVersion;
  uint16_t wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};
#else
struct WinSockData {
  uint16_t wVersion;
  uint16_t wHighVersion;
  uint16_t iMaxSockets;
  uint16_t iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[257];
  char szSystemStatus[129];
};
#endif

// One datagram of a batch send.
struct WinSockDatagram {
  const char* buffer;
  int length;
};

// The Linux module's one function that the Windows library has no match
// for: "sendtomany" sends count datagrams, in order, to one address in as
// few system calls as it can, and returns how many were sent, or
// kSocketError with the last error set when the first could not be. A
// failure after the first returns the count sent so far; the next call
// meets it again. The Windows library lacks it: callers look it up and,
// without it, send one datagram at a time.
constexpr const char* kSendToManyExport = "sendtomany";
using SendToManyProc = int(WINSOCK_API*)(SocketHandle s, const WinSockDatagram* datagrams,
                                         int count, int flags, const WinSockAddr* to,
                                         int to_length);

// Numbers of the Windows Sockets interface that callers pass or test.
constexpr int kAfInet = 2;
constexpr int kSockDgram = 2;
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoBroadcast = 0x0020;
constexpr int kSdSend = 1;

// Linux: registers the built-in "WS2_32.DLL" module with the dynamic
// library facility (idempotent). Windows: nothing to do.
void RegisterWinSockModule();

}  // namespace platform
