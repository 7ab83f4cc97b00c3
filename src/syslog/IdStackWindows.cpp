#include "syslog/IdStackWindows.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "syslog/IdException.h"

namespace syslog {
namespace {

std::atomic<bool> g_sockets_started{false};

struct ErrorText {
  int code;
  const char* text;
};

const ErrorText kErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
    {11001, "Host not found."},
};

void FinalizeAtExit() { FinalizeSocketLibrary(); }

}  // namespace

TIdStackWindows::TIdStackWindows() {
  if (g_sockets_started.load()) return;
  ws2::TWSAData data{};
  if (ws2::StartSocketLibrary(0x0202, &data) != 0) {
    throw EIdStackInitializationFailed("Winsock Initialization Error.");
  }
  g_sockets_started.store(true);
  static std::once_flag at_exit;
  std::call_once(at_exit, [] { std::atexit(&FinalizeAtExit); });
}

TIdStackWindows::~TIdStackWindows() = default;

void TIdStackWindows::RefreshLocalAddresses() {
  rtl::TStringList* list = LocalAddresses();
  list->Clear();
  std::string name = LocalHostName();
  ws2::THostEnt* host = ws2::Call<ws2::Row::gethostbyname>(name.c_str());
  if (!host) CheckSocketResult(ws2::kSocketError, {});
  if (!host || !host->h_addr_list) return;
  for (char** a = host->h_addr_list; *a; ++a) {
    TIdIPv4Bytes bytes;
    std::memcpy(bytes.data(), *a, 4);
    list->Add(AddressToDottedQuad(bytes));
  }
}

int TIdStackWindows::WSCloseSocket(ws2::TSocket socket) {
  return ws2::Call<ws2::Row::closesocket>(socket);
}

std::string TIdStackWindows::LookupHostAddress(const std::string& name) {
  ws2::THostEnt* host = ws2::Call<ws2::Row::gethostbyname>(name.c_str());
  if (!host) CheckSocketResult(ws2::kSocketError, {});
  // An entry without any address answers nothing: no data for the name.
  if (!host || !host->h_addr_list || !host->h_addr_list[0]) RaiseSocketFailure(11004);
  TIdIPv4Bytes bytes;
  std::memcpy(bytes.data(), host->h_addr_list[0], 4);
  return AddressToDottedQuad(bytes);
}

std::string TIdStackWindows::LocalHostName() {
  char buffer[250] = {};
  ws2::Call<ws2::Row::gethostname>(buffer, static_cast<int>(sizeof buffer));
  return std::string(buffer, strnlen(buffer, sizeof buffer));
}

uint16_t TIdStackWindows::WSHToNs(uint16_t value) { return ws2::Call<ws2::Row::htons>(value); }

ws2::TSockAddrIn TIdStackWindows::Destination(const std::string& address, int port) {
  ws2::TSockAddrIn to{};
  to.sin_family = platform::kAfInet;
  to.sin_port = WSHToNs(static_cast<uint16_t>(port));
  TIdIPv4Bytes bytes = DottedQuadToAddress(address);
  std::memcpy(to.sin_addr, bytes.data(), 4);
  return to;
}

int TIdStackWindows::WSConnect(ws2::TSocket socket, const std::string& address, int port) {
  const ws2::TSockAddrIn to = Destination(address, port);
  return ws2::Call<ws2::Row::connect>(socket, reinterpret_cast<const ws2::TSockAddr*>(&to),
                                      static_cast<int>(sizeof to));
}

int TIdStackWindows::WSSendTo(ws2::TSocket socket, const void* buffer, int count, int flags,
                              const std::string& address, int port) {
  const ws2::TSockAddrIn to = Destination(address, port);
  return ws2::Call<ws2::Row::sendto>(socket, static_cast<const char*>(buffer), count, flags,
                                     reinterpret_cast<const ws2::TSockAddr*>(&to),
                                     static_cast<int>(sizeof to));
}

int TIdStackWindows::WSSendToMany(ws2::TSocket socket, const ws2::TDatagram* datagrams, int count,
                                  int flags, const std::string& address, int port) {
  const platform::SendToManyProc many = ws2::SendToManyEntry();
  if (!many) return TIdStack::WSSendToMany(socket, datagrams, count, flags, address, port);
  const ws2::TSockAddrIn to = Destination(address, port);
  return many(socket, datagrams, count, flags, reinterpret_cast<const ws2::TSockAddr*>(&to),
              static_cast<int>(sizeof to));
}

int TIdStackWindows::WSSetSockOpt(ws2::TSocket socket, int level, int option, const void* value,
                                  int length) {
  return ws2::Call<ws2::Row::setsockopt>(socket, level, option, static_cast<const char*>(value),
                                         length);
}

ws2::TSocket TIdStackWindows::WSSocket(int family, int socket_type, int protocol) {
  return ws2::Call<ws2::Row::socket>(family, socket_type, protocol);
}

int TIdStackWindows::WSShutdown(ws2::TSocket socket, int how) {
  return ws2::Call<ws2::Row::shutdown>(socket, how);
}

std::string TIdStackWindows::SocketErrorText(int code) {
  const char* text = "";
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == code) {
      text = e.text;
      break;
    }
  }
  return rtl::Format("Socket Error # %d\r\n%s", code, text);
}

int TIdStackWindows::WSGetLastError() { return ws2::Call<ws2::Row::WSAGetLastError>(); }

bool SocketsStarted() { return g_sockets_started.load(); }

void FinalizeSocketLibrary() noexcept {
  try {
    if (g_sockets_started.exchange(false)) ws2::Call<ws2::Row::WSACleanup>();
  } catch (...) {
    // At program end there is no one left to tell.
  }
  try {
    ws2::UnloadSocketLibrary();
  } catch (...) {
  }
}

}  // namespace syslog
