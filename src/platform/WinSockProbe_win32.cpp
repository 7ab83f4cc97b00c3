// Uses the system's socket library directly, loaded on first use, apart
// from the syslog client's own binding of it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/WinSockProbe.h"
#include "rtl/SysUtils.h"

namespace platform {
namespace {

struct Library {
  decltype(&::WSAStartup) startup;
  decltype(&::WSACleanup) cleanup;
  decltype(&::WSAGetLastError) last_error;
  decltype(&::socket) socket;
  decltype(&::bind) bind;
  decltype(&::getsockname) getsockname;
  decltype(&::select) select;
  decltype(&::recv) recv;
  decltype(&::closesocket) closesocket;
  decltype(&::getsockopt) getsockopt;
};

template <typename Proc>
void Find(HMODULE module, const char* name, Proc& proc) {
  proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
  if (!proc) throw rtl::EOSError(rtl::Format("GetProcAddress %s failed", name));
}

const Library& Ws2() {
  static const Library library = [] {
    HMODULE module = ::LoadLibraryA("ws2_32.dll");
    if (!module) throw rtl::EOSError("LoadLibraryA ws2_32.dll failed");
    Library l;
    Find(module, "WSAStartup", l.startup);
    Find(module, "WSACleanup", l.cleanup);
    Find(module, "WSAGetLastError", l.last_error);
    Find(module, "socket", l.socket);
    Find(module, "bind", l.bind);
    Find(module, "getsockname", l.getsockname);
    Find(module, "select", l.select);
    Find(module, "recv", l.recv);
    Find(module, "closesocket", l.closesocket);
    Find(module, "getsockopt", l.getsockopt);
    return l;
  }();
  return library;
}

[[noreturn]] void Fail(const char* call, int error) {
  throw rtl::EOSError(rtl::Format("%s failed: error %d", call, error));
}

}  // namespace

LoopbackDatagramReceiver::LoopbackDatagramReceiver() {
  const Library& ws = Ws2();
  WSADATA data;
  if (int rc = ws.startup(MAKEWORD(2, 2), &data); rc != 0) Fail("WSAStartup", rc);
  SOCKET s = ws.socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) {
    int e = ws.last_error();
    ws.cleanup();
    Fail("socket", e);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = 0x0100007F;  // 127.0.0.1 in network order
  int len = sizeof addr;
  if (ws.bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ws.getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int e = ws.last_error();
    ws.closesocket(s);
    ws.cleanup();
    Fail("bind", e);
  }
  socket_ = static_cast<SocketHandle>(s);
  port_ = ((addr.sin_port & 0xFF) << 8) | (addr.sin_port >> 8);
}

LoopbackDatagramReceiver::~LoopbackDatagramReceiver() {
  const Library& ws = Ws2();
  ws.closesocket(static_cast<SOCKET>(socket_));
  ws.cleanup();
}

bool LoopbackDatagramReceiver::Receive(std::string& datagram, int timeout_ms) {
  const Library& ws = Ws2();
  SOCKET s = static_cast<SOCKET>(socket_);
  fd_set set;
  set.fd_count = 1;
  set.fd_array[0] = s;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int ready = ws.select(0, &set, nullptr, nullptr, &tv);
  if (ready == SOCKET_ERROR) Fail("select", ws.last_error());
  if (ready == 0) return false;
  datagram.resize(65536);
  int n = ws.recv(s, datagram.data(), static_cast<int>(datagram.size()), 0);
  if (n == SOCKET_ERROR) Fail("recv", ws.last_error());
  datagram.resize(static_cast<size_t>(n));
  return true;
}

int ReadBroadcastOption(SocketHandle socket) {
  BOOL value = 0;
  int len = sizeof value;
  if (Ws2().getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_BROADCAST,
                       reinterpret_cast<char*>(&value), &len) != 0) {
    return -1;
  }
  return value;
}

}  // namespace platform
