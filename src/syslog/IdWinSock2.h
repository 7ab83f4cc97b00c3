// Run-time binding of the socket library "WS2_32.DLL". The library is not
// linked to the program: StartSocketLibrary loads it and runs its start-up
// call, and each function is looked up by name the first time it is called
// through its row of the entry-point table. A row's target starts at the
// row's binder; the binder looks the name up, stores the function as the
// target and continues into it, so later calls go straight to the library.
//
// Every socket call of the client goes through Call<Row::name>(...). Rows
// may be called from any thread; two threads binding one row at the same
// time both store the same target. A function the library lacks fails in
// order with EIdWS2StubError naming it; no call goes through a null target.
#pragma once

#include <cstdint>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/WinSock.h"

namespace syslog {
namespace ws2 {

using TSocket = platform::SocketHandle;
using TSockAddr = platform::WinSockAddr;
using TSockAddrIn = platform::WinSockAddrIn;
using THostEnt = platform::WinSockHostEnt;
using TWSAData = platform::WinSockData;
using THandle = void*;
using TWindow = void*;
using TBool = int32_t;
using TDWord = uint32_t;
using TULong = uint32_t;
using TWideChar = uint16_t;
using TDatagram = platform::WinSockDatagram;

constexpr TSocket kInvalidSocket = platform::kInvalidSocket;
constexpr int kSocketError = platform::kSocketError;

// The library's own name for its functions' types. Structures the client
// never looks into are passed as untyped pointers.
using TWSACleanupProc = int(WINSOCK_API*)();
using TAcceptProc = TSocket(WINSOCK_API*)(TSocket, TSockAddr*, int*);
using TBindProc = int(WINSOCK_API*)(TSocket, const TSockAddr*, int);
using TCloseSocketProc = int(WINSOCK_API*)(TSocket);
using TConnectProc = int(WINSOCK_API*)(TSocket, const TSockAddr*, int);
using TIoctlSocketProc = int(WINSOCK_API*)(TSocket, int32_t, TULong*);
using TGetPeerNameProc = int(WINSOCK_API*)(TSocket, TSockAddr*, int*);
using TGetSockNameProc = int(WINSOCK_API*)(TSocket, TSockAddr*, int*);
using TGetSockOptProc = int(WINSOCK_API*)(TSocket, int, int, char*, int*);
using THToNLProc = TULong(WINSOCK_API*)(TULong);
using THToNSProc = uint16_t(WINSOCK_API*)(uint16_t);
using TInetAddrProc = TULong(WINSOCK_API*)(const char*);
using TInetNToAProc = char*(WINSOCK_API*)(TULong);
using TListenProc = int(WINSOCK_API*)(TSocket, int);
using TNToHLProc = TULong(WINSOCK_API*)(TULong);
using TNToHSProc = uint16_t(WINSOCK_API*)(uint16_t);
using TRecvProc = int(WINSOCK_API*)(TSocket, char*, int, int);
using TRecvFromProc = int(WINSOCK_API*)(TSocket, char*, int, int, TSockAddr*, int*);
using TSelectProc = int(WINSOCK_API*)(int, void*, void*, void*, const void*);
using TSendProc = int(WINSOCK_API*)(TSocket, const char*, int, int);
using TSendToProc = int(WINSOCK_API*)(TSocket, const char*, int, int, const TSockAddr*, int);
using TSetSockOptProc = int(WINSOCK_API*)(TSocket, int, int, const char*, int);
using TShutdownProc = int(WINSOCK_API*)(TSocket, int);
using TSocketProc = TSocket(WINSOCK_API*)(int, int, int);
using TGetHostByAddrProc = THostEnt*(WINSOCK_API*)(const char*, int, int);
using TGetHostByNameProc = THostEnt*(WINSOCK_API*)(const char*);
using TGetHostNameProc = int(WINSOCK_API*)(char*, int);
using TGetServByPortProc = void*(WINSOCK_API*)(int, const char*);
using TGetServByNameProc = void*(WINSOCK_API*)(const char*, const char*);
using TGetProtoByNumberProc = void*(WINSOCK_API*)(int);
using TGetProtoByNameProc = void*(WINSOCK_API*)(const char*);
using TWSASetLastErrorProc = void(WINSOCK_API*)(int);
using TWSAGetLastErrorProc = int(WINSOCK_API*)();
using TWSAIsBlockingProc = TBool(WINSOCK_API*)();
using TWSAUnhookBlockingHookProc = int(WINSOCK_API*)();
using TWSASetBlockingHookProc = void*(WINSOCK_API*)(void*);
using TWSACancelBlockingCallProc = int(WINSOCK_API*)();
using TWSAAsyncGetServByNameProc = THandle(WINSOCK_API*)(TWindow, unsigned, const char*,
                                                         const char*, char*, int);
using TWSAAsyncGetServByPortProc = THandle(WINSOCK_API*)(TWindow, unsigned, int, const char*, char*,
                                                         int);
using TWSAAsyncGetProtoByNameProc = THandle(WINSOCK_API*)(TWindow, unsigned, const char*, char*,
                                                          int);
using TWSAAsyncGetProtoByNumberProc = THandle(WINSOCK_API*)(TWindow, unsigned, int, char*, int);
using TWSAAsyncGetHostByNameProc = THandle(WINSOCK_API*)(TWindow, unsigned, const char*, char*,
                                                         int);
using TWSAAsyncGetHostByAddrProc = THandle(WINSOCK_API*)(TWindow, unsigned, const char*, int, int,
                                                         char*, int);
using TWSACancelAsyncRequestProc = int(WINSOCK_API*)(THandle);
using TWSAAsyncSelectProc = int(WINSOCK_API*)(TSocket, TWindow, unsigned, int32_t);
using TWSAFDIsSetProc = int(WINSOCK_API*)(TSocket, void*);
using TWSAAcceptProc = TSocket(WINSOCK_API*)(TSocket, TSockAddr*, int*, void*, uintptr_t);
using TWSACloseEventProc = TBool(WINSOCK_API*)(THandle);
using TWSAConnectProc = int(WINSOCK_API*)(TSocket, const TSockAddr*, int, void*, void*, void*,
                                          void*);
using TWSACreateEventProc = THandle(WINSOCK_API*)();
using TWSADuplicateSocketProc = int(WINSOCK_API*)(TSocket, TDWord, void*);
using TWSAEnumNetworkEventsProc = int(WINSOCK_API*)(TSocket, THandle, void*);
using TWSAEnumProtocolsProc = int(WINSOCK_API*)(int*, void*, TDWord*);
using TWSAEventSelectProc = int(WINSOCK_API*)(TSocket, THandle, int32_t);
using TWSAGetOverlappedResultProc = TBool(WINSOCK_API*)(TSocket, void*, TDWord*, TBool, TDWord*);
using TWSAGetQosByNameProc = TBool(WINSOCK_API*)(TSocket, void*, void*);
using TWSAHToNLProc = int(WINSOCK_API*)(TSocket, TULong, TULong*);
using TWSAHToNSProc = int(WINSOCK_API*)(TSocket, uint16_t, uint16_t*);
using TWSAIoctlProc = int(WINSOCK_API*)(TSocket, TDWord, void*, TDWord, void*, TDWord, TDWord*,
                                        void*, void*);
using TWSAJoinLeafProc = TSocket(WINSOCK_API*)(TSocket, const TSockAddr*, int, void*, void*, void*,
                                               void*, TDWord);
using TWSANToHLProc = int(WINSOCK_API*)(TSocket, TULong, TULong*);
using TWSANToHSProc = int(WINSOCK_API*)(TSocket, uint16_t, uint16_t*);
using TWSARecvProc = int(WINSOCK_API*)(TSocket, void*, TDWord, TDWord*, TDWord*, void*, void*);
using TWSARecvDisconnectProc = int(WINSOCK_API*)(TSocket, void*);
using TWSARecvFromProc = int(WINSOCK_API*)(TSocket, void*, TDWord, TDWord*, TDWord*, TSockAddr*,
                                           int*, void*, void*);
using TWSAResetEventProc = TBool(WINSOCK_API*)(THandle);
using TWSASendProc = int(WINSOCK_API*)(TSocket, void*, TDWord, TDWord*, TDWord, void*, void*);
using TWSASendDisconnectProc = int(WINSOCK_API*)(TSocket, void*);
using TWSASendToProc = int(WINSOCK_API*)(TSocket, void*, TDWord, TDWord*, TDWord, const TSockAddr*,
                                         int, void*, void*);
using TWSASetEventProc = TBool(WINSOCK_API*)(THandle);
using TWSASocketProc = TSocket(WINSOCK_API*)(int, int, int, void*, uint32_t, TDWord);
using TWSAWaitForMultipleEventsProc = TDWord(WINSOCK_API*)(TDWord, const THandle*, TBool, TDWord,
                                                           TBool);
using TWSAAddressToStringAProc = int(WINSOCK_API*)(TSockAddr*, TDWord, void*, char*, TDWord*);
using TWSAAddressToStringWProc = int(WINSOCK_API*)(TSockAddr*, TDWord, void*, TWideChar*, TDWord*);
using TWSAStringToAddressAProc = int(WINSOCK_API*)(char*, int, void*, TSockAddr*, int*);
using TWSAStringToAddressWProc = int(WINSOCK_API*)(TWideChar*, int, void*, TSockAddr*, int*);
using TWSALookupServiceBeginProc = int(WINSOCK_API*)(void*, TDWord, THandle*);
using TWSALookupServiceNextProc = int(WINSOCK_API*)(THandle, TDWord, TDWord*, void*);
using TWSALookupServiceEndProc = int(WINSOCK_API*)(THandle);
using TWSAInstallServiceClassProc = int(WINSOCK_API*)(void*);
using TWSARemoveServiceClassProc = int(WINSOCK_API*)(void*);
using TWSAGetServiceClassInfoProc = int(WINSOCK_API*)(void*, void*, TDWord*, void*);
using TWSAEnumNameSpaceProvidersProc = int(WINSOCK_API*)(TDWord*, void*);
using TWSAGetServiceClassNameByClassIdAProc = int(WINSOCK_API*)(void*, char*, TDWord*);
using TWSAGetServiceClassNameByClassIdWProc = int(WINSOCK_API*)(void*, TWideChar*, TDWord*);
using TWSASetServiceProc = int(WINSOCK_API*)(void*, int, TDWord);
using TWSAProviderConfigChangeProc = int(WINSOCK_API*)(THandle*, void*, void*);
using TTransmitFileProc = TBool(WINSOCK_API*)(TSocket, THandle, TDWord, TDWord, void*, void*,
                                              TDWord);
using TAcceptExProc = TBool(WINSOCK_API*)(TSocket, TSocket, void*, TDWord, TDWord, TDWord, TDWord*,
                                          void*);
using TGetAcceptExSockaddrsProc = void(WINSOCK_API*)(void*, TDWord, TDWord, TDWord, TSockAddr**,
                                                     int*, TSockAddr**, int*);
using TWSARecvExProc = int(WINSOCK_API*)(TSocket, char*, int, int*);
using TWSAStartupProc = int(WINSOCK_API*)(uint16_t, TWSAData*);

// The entry-point table, in its order: X(row id, exported name, type).
// The twelve narrow-character functions that appear twice have a second
// row (id suffix _2) with a target of its own.
#define IDWS2_ENTRY_POINTS(X)                                                                   \
  X(WSACleanup, "WSACleanup", TWSACleanupProc)                                                  \
  X(accept, "accept", TAcceptProc)                                                              \
  X(bind, "bind", TBindProc)                                                                    \
  X(closesocket, "closesocket", TCloseSocketProc)                                               \
  X(connect, "connect", TConnectProc)                                                           \
  X(ioctlsocket, "ioctlsocket", TIoctlSocketProc)                                               \
  X(getpeername, "getpeername", TGetPeerNameProc)                                               \
  X(getsockname, "getsockname", TGetSockNameProc)                                               \
  X(getsockopt, "getsockopt", TGetSockOptProc)                                                  \
  X(htonl, "htonl", THToNLProc)                                                                 \
  X(htons, "htons", THToNSProc)                                                                 \
  X(inet_addr, "inet_addr", TInetAddrProc)                                                      \
  X(inet_ntoa, "inet_ntoa", TInetNToAProc)                                                      \
  X(listen, "listen", TListenProc)                                                              \
  X(ntohl, "ntohl", TNToHLProc)                                                                 \
  X(ntohs, "ntohs", TNToHSProc)                                                                 \
  X(recv, "recv", TRecvProc)                                                                    \
  X(recvfrom, "recvfrom", TRecvFromProc)                                                        \
  X(select, "select", TSelectProc)                                                              \
  X(send, "send", TSendProc)                                                                    \
  X(sendto, "sendto", TSendToProc)                                                              \
  X(setsockopt, "setsockopt", TSetSockOptProc)                                                  \
  X(shutdown, "shutdown", TShutdownProc)                                                        \
  X(socket, "socket", TSocketProc)                                                              \
  X(gethostbyaddr, "gethostbyaddr", TGetHostByAddrProc)                                         \
  X(gethostbyname, "gethostbyname", TGetHostByNameProc)                                         \
  X(gethostname, "gethostname", TGetHostNameProc)                                               \
  X(getservbyport, "getservbyport", TGetServByPortProc)                                         \
  X(getservbyname, "getservbyname", TGetServByNameProc)                                         \
  X(getprotobynumber, "getprotobynumber", TGetProtoByNumberProc)                                \
  X(getprotobyname, "getprotobyname", TGetProtoByNameProc)                                      \
  X(WSASetLastError, "WSASetLastError", TWSASetLastErrorProc)                                   \
  X(WSAGetLastError, "WSAGetLastError", TWSAGetLastErrorProc)                                   \
  X(WSAIsBlocking, "WSAIsBlocking", TWSAIsBlockingProc)                                         \
  X(WSAUnhookBlockingHook, "WSAUnhookBlockingHook", TWSAUnhookBlockingHookProc)                 \
  X(WSASetBlockingHook, "WSASetBlockingHook", TWSASetBlockingHookProc)                          \
  X(WSACancelBlockingCall, "WSACancelBlockingCall", TWSACancelBlockingCallProc)                 \
  X(WSAAsyncGetServByName, "WSAAsyncGetServByName", TWSAAsyncGetServByNameProc)                 \
  X(WSAAsyncGetServByPort, "WSAAsyncGetServByPort", TWSAAsyncGetServByPortProc)                 \
  X(WSAAsyncGetProtoByName, "WSAAsyncGetProtoByName", TWSAAsyncGetProtoByNameProc)              \
  X(WSAAsyncGetProtoByNumber, "WSAAsyncGetProtoByNumber", TWSAAsyncGetProtoByNumberProc)        \
  X(WSAAsyncGetHostByName, "WSAAsyncGetHostByName", TWSAAsyncGetHostByNameProc)                 \
  X(WSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr", TWSAAsyncGetHostByAddrProc)                 \
  X(WSACancelAsyncRequest, "WSACancelAsyncRequest", TWSACancelAsyncRequestProc)                 \
  X(WSAAsyncSelect, "WSAAsyncSelect", TWSAAsyncSelectProc)                                      \
  X(WSAFDIsSet, "__WSAFDIsSet", TWSAFDIsSetProc)                                                \
  X(WSAAccept, "WSAAccept", TWSAAcceptProc)                                                     \
  X(WSACloseEvent, "WSACloseEvent", TWSACloseEventProc)                                         \
  X(WSAConnect, "WSAConnect", TWSAConnectProc)                                                  \
  X(WSACreateEvent, "WSACreateEvent", TWSACreateEventProc)                                      \
  X(WSADuplicateSocketA, "WSADuplicateSocketA", TWSADuplicateSocketProc)                        \
  X(WSADuplicateSocketW, "WSADuplicateSocketW", TWSADuplicateSocketProc)                        \
  X(WSAEnumNetworkEvents, "WSAEnumNetworkEvents", TWSAEnumNetworkEventsProc)                    \
  X(WSAEnumProtocolsA, "WSAEnumProtocolsA", TWSAEnumProtocolsProc)                              \
  X(WSAEnumProtocolsW, "WSAEnumProtocolsW", TWSAEnumProtocolsProc)                              \
  X(WSAEventSelect, "WSAEventSelect", TWSAEventSelectProc)                                      \
  X(WSAGetOverlappedResult, "WSAGetOverlappedResult", TWSAGetOverlappedResultProc)              \
  X(WSAGetQosByName, "WSAGetQosByName", TWSAGetQosByNameProc)                                   \
  X(WSAHtonl, "WSAHtonl", TWSAHToNLProc)                                                        \
  X(WSAHtons, "WSAHtons", TWSAHToNSProc)                                                        \
  X(WSAIoctl, "WSAIoctl", TWSAIoctlProc)                                                        \
  X(WSAJoinLeaf, "WSAJoinLeaf", TWSAJoinLeafProc)                                               \
  X(WSANtohl, "WSANtohl", TWSANToHLProc)                                                        \
  X(WSANtohs, "WSANtohs", TWSANToHSProc)                                                        \
  X(WSARecv, "WSARecv", TWSARecvProc)                                                           \
  X(WSARecvDisconnect, "WSARecvDisconnect", TWSARecvDisconnectProc)                             \
  X(WSARecvFrom, "WSARecvFrom", TWSARecvFromProc)                                               \
  X(WSAResetEvent, "WSAResetEvent", TWSAResetEventProc)                                         \
  X(WSASend, "WSASend", TWSASendProc)                                                           \
  X(WSASendDisconnect, "WSASendDisconnect", TWSASendDisconnectProc)                             \
  X(WSASendTo, "WSASendTo", TWSASendToProc)                                                     \
  X(WSASetEvent, "WSASetEvent", TWSASetEventProc)                                               \
  X(WSASocketA, "WSASocketA", TWSASocketProc)                                                   \
  X(WSASocketW, "WSASocketW", TWSASocketProc)                                                   \
  X(WSAWaitForMultipleEvents, "WSAWaitForMultipleEvents", TWSAWaitForMultipleEventsProc)        \
  X(WSAAddressToStringA, "WSAAddressToStringA", TWSAAddressToStringAProc)                       \
  X(WSAAddressToStringW, "WSAAddressToStringW", TWSAAddressToStringWProc)                       \
  X(WSAStringToAddressA, "WSAStringToAddressA", TWSAStringToAddressAProc)                       \
  X(WSAStringToAddressW, "WSAStringToAddressW", TWSAStringToAddressWProc)                       \
  X(WSALookupServiceBeginA, "WSALookupServiceBeginA", TWSALookupServiceBeginProc)               \
  X(WSALookupServiceBeginW, "WSALookupServiceBeginW", TWSALookupServiceBeginProc)               \
  X(WSALookupServiceNextA, "WSALookupServiceNextA", TWSALookupServiceNextProc)                  \
  X(WSALookupServiceNextW, "WSALookupServiceNextW", TWSALookupServiceNextProc)                  \
  X(WSALookupServiceEnd, "WSALookupServiceEnd", TWSALookupServiceEndProc)                       \
  X(WSAInstallServiceClassA, "WSAInstallServiceClassA", TWSAInstallServiceClassProc)            \
  X(WSAInstallServiceClassW, "WSAInstallServiceClassW", TWSAInstallServiceClassProc)            \
  X(WSARemoveServiceClass, "WSARemoveServiceClass", TWSARemoveServiceClassProc)                 \
  X(WSAGetServiceClassInfoA, "WSAGetServiceClassInfoA", TWSAGetServiceClassInfoProc)            \
  X(WSAGetServiceClassInfoW, "WSAGetServiceClassInfoW", TWSAGetServiceClassInfoProc)            \
  X(WSAEnumNameSpaceProvidersA, "WSAEnumNameSpaceProvidersA", TWSAEnumNameSpaceProvidersProc)   \
  X(WSAEnumNameSpaceProvidersW, "WSAEnumNameSpaceProvidersW", TWSAEnumNameSpaceProvidersProc)   \
  X(WSAGetServiceClassNameByClassIdA, "WSAGetServiceClassNameByClassIdA",                       \
    TWSAGetServiceClassNameByClassIdAProc)                                                      \
  X(WSAGetServiceClassNameByClassIdW, "WSAGetServiceClassNameByClassIdW",                       \
    TWSAGetServiceClassNameByClassIdWProc)                                                      \
  X(WSASetServiceA, "WSASetServiceA", TWSASetServiceProc)                                       \
  X(WSASetServiceW, "WSASetServiceW", TWSASetServiceProc)                                       \
  X(WSAProviderConfigChange, "WSAProviderConfigChange", TWSAProviderConfigChangeProc)           \
  X(WSADuplicateSocketA_2, "WSADuplicateSocketA", TWSADuplicateSocketProc)                      \
  X(WSAEnumProtocolsA_2, "WSAEnumProtocolsA", TWSAEnumProtocolsProc)                            \
  X(WSASocketA_2, "WSASocketA", TWSASocketProc)                                                 \
  X(WSAAddressToStringA_2, "WSAAddressToStringA", TWSAAddressToStringAProc)                     \
  X(WSAStringToAddressA_2, "WSAStringToAddressA", TWSAStringToAddressAProc)                     \
  X(WSALookupServiceBeginA_2, "WSALookupServiceBeginA", TWSALookupServiceBeginProc)             \
  X(WSALookupServiceNextA_2, "WSALookupServiceNextA", TWSALookupServiceNextProc)                \
  X(WSAInstallServiceClassA_2, "WSAInstallServiceClassA", TWSAInstallServiceClassProc)          \
  X(WSAGetServiceClassInfoA_2, "WSAGetServiceClassInfoA", TWSAGetServiceClassInfoProc)          \
  X(WSAEnumNameSpaceProvidersA_2, "WSAEnumNameSpaceProvidersA", TWSAEnumNameSpaceProvidersProc) \
  X(WSAGetServiceClassNameByClassIdA_2, "WSAGetServiceClassNameByClassIdA",                     \
    TWSAGetServiceClassNameByClassIdAProc)                                                      \
  X(WSASetServiceA_2, "WSASetServiceA", TWSASetServiceProc)                                     \
  X(TransmitFile, "TransmitFile", TTransmitFileProc)                                            \
  X(AcceptEx, "AcceptEx", TAcceptExProc)                                                        \
  X(GetAcceptExSockaddrs, "GetAcceptExSockaddrs", TGetAcceptExSockaddrsProc)                    \
  X(WSARecvEx, "WSARecvEx", TWSARecvExProc)

enum class Row : int {
#define IDWS2_ROW_ID(id, name, proc) id,
  IDWS2_ENTRY_POINTS(IDWS2_ROW_ID)
#undef IDWS2_ROW_ID
};

constexpr int kEntryPointCount = 0
#define IDWS2_ROW_COUNT(id, name, proc) +1
    IDWS2_ENTRY_POINTS(IDWS2_ROW_COUNT)
#undef IDWS2_ROW_COUNT
    ;
static_assert(kEntryPointCount == 112);

template <Row R>
struct RowTraits;
#define IDWS2_ROW_TRAITS(id, name, proc) \
  template <>                            \
  struct RowTraits<Row::id> {            \
    using Proc = proc;                   \
  };
IDWS2_ENTRY_POINTS(IDWS2_ROW_TRAITS)
#undef IDWS2_ROW_TRAITS

// The exported name of a row, and whether the row's target is still its
// binder (false once the row has been bound).
const char* EntryPointName(int row);
bool EntryPointAtBinder(int row);

// The row's current target (its binder until bound).
void* EntryPointTarget(int row);

// Looks a row's name up in the loaded library and stores it as the row's
// target. Raises EIdWS2StubError when no library is loaded (10093) or the
// library lacks the function (the look-up's error, 127).
void* BindEntryPoint(int row);

// A call through a row: runs its current target with the arguments.
template <Row R, typename... Args>
auto Call(Args... args) {
  using Proc = typename RowTraits<R>::Proc;
  return reinterpret_cast<Proc>(EntryPointTarget(static_cast<int>(R)))(args...);
}

// Loads the library (once) and runs its start-up call with the version and
// the reply record, returning the start-up call's result. Returns 0 at once
// when the library is already loaded and started. When the library is
// loaded but its start-up failed, the start-up call is made again.
// Raises EIdWS2StubError when the library cannot be loaded or lacks its
// start-up function.
int StartSocketLibrary(uint16_t version, TWSAData* data);

// Frees the library when it is loaded (only one caller does) and resets
// the table.
void UnloadSocketLibrary();

// Points every row back at its binder.
void ResetEntryPoints();

// The loaded library, or null.
platform::LibraryHandle LibraryHandle();

// The loaded library's batch send (platform::kSendToManyExport), or null
// when it has none or no library is loaded. Looked up once per loaded
// library; the thread's last error is left as it was.
platform::SendToManyProc SendToManyEntry();

// The library's file name, "WS2_32.DLL". Tests load a stand-in library by
// changing it while no library is loaded.
const std::string& SocketLibraryName();
void SetSocketLibraryName(const std::string& name);

}  // namespace ws2
}  // namespace syslog
