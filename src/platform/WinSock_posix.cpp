// The built-in "WS2_32.DLL" module: the Windows Sockets calls the syslog
// client binds, over BSD sockets. Handles are file descriptors; failures
// set a per-thread last error in Windows Sockets numbers.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/WinSock.h"
#include "rtl/SysUtils.h"

namespace platform {
namespace {

// Windows Sockets error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

thread_local int t_last_error = 0;
std::atomic<int> g_startups{0};

int SetError(int code) {
  t_last_error = code;
  return kSocketError;
}

int WinSockErrorFromErrno(int e) {
  switch (e) {
    case EINTR:
      return WSAEINTR;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case EBADF:
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
    case EPIPE:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    default:
      return WSAEINVAL;
  }
}

int FailFromErrno() { return SetError(WinSockErrorFromErrno(errno)); }

int WinSockErrorFromResolver(int rc) {
  switch (rc) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_FAMILY:
      return WSAEAFNOSUPPORT;
    case EAI_SYSTEM:
      return WinSockErrorFromErrno(errno);
    default:
      return WSANO_RECOVERY;
  }
}

// A descriptor lives in the handle as its plain value.
int Fd(SocketHandle s) {
  if (s > static_cast<SocketHandle>(INT32_MAX)) return -1;
  return static_cast<int>(s);
}

// ---- start-up and clean-up

int WINSOCK_API Ws_WSAStartup(uint16_t version, WinSockData* data) {
  if ((version & 0xFF) == 0) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;
  std::memset(data, 0, sizeof(*data));
  uint16_t high = 0x0202;
  // Major version in the low byte, minor in the high byte.
  bool above = (version & 0xFF) > 2 || ((version & 0xFF) == 2 && (version >> 8) > 2);
  data->wVersion = above ? high : version;
  data->wHighVersion = high;
  std::strcpy(data->szDescription, "WinSock 2.0");
  std::strcpy(data->szSystemStatus, "Running");
  g_startups.fetch_add(1);
  return 0;
}

int WINSOCK_API Ws_WSACleanup() {
  int n = g_startups.load();
  while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
  }
  if (n <= 0) return SetError(WSANOTINITIALISED);
  return 0;
}

int WINSOCK_API Ws_WSAGetLastError() { return t_last_error; }

// ---- sockets

SocketHandle WINSOCK_API Ws_socket(int af, int type, int protocol) {
  int family;
  switch (af) {
    case 0:
      family = AF_UNSPEC;
      break;
    case 2:
      family = AF_INET;
      break;
    case 23:
      family = AF_INET6;
      break;
    default:
      SetError(WSAEAFNOSUPPORT);
      return kInvalidSocket;
  }
  // Type numbers 1 to 5 (stream, datagram, raw, rdm, seqpacket) agree.
  if (type < 1 || type > 5) {
    SetError(WSAESOCKTNOSUPPORT);
    return kInvalidSocket;
  }
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailFromErrno();
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(fd);
}

// Maps a Windows (level, option) pair; false when there is no counterpart.
bool MapSocketOption(int level, int option, int& posix_level, int& posix_option) {
  if (level == kSolSocket) {
    posix_level = SOL_SOCKET;
    switch (option) {
      case 0x0004:
        posix_option = SO_REUSEADDR;
        return true;
      case 0x0008:
        posix_option = SO_KEEPALIVE;
        return true;
      case 0x0010:
        posix_option = SO_DONTROUTE;
        return true;
      case kSoBroadcast:
        posix_option = SO_BROADCAST;
        return true;
      case 0x0100:
        posix_option = SO_OOBINLINE;
        return true;
      case 0x1001:
        posix_option = SO_SNDBUF;
        return true;
      case 0x1002:
        posix_option = SO_RCVBUF;
        return true;
      default:
        return false;
    }
  }
  if (level == IPPROTO_TCP && option == 0x0001) {
    posix_level = IPPROTO_TCP;
    posix_option = TCP_NODELAY;
    return true;
  }
  return false;
}

int WINSOCK_API Ws_setsockopt(SocketHandle s, int level, int option, const char* value,
                              int length) {
  int posix_level = 0, posix_option = 0;
  if (!MapSocketOption(level, option, posix_level, posix_option)) return SetError(WSAENOPROTOOPT);
  // Every option mapped here takes a 32-bit integer (a BOOL or a size).
  if (!value || length < static_cast<int>(sizeof(int))) return SetError(WSAEFAULT);
  int v;
  std::memcpy(&v, value, sizeof v);
  if (::setsockopt(Fd(s), posix_level, posix_option, &v, sizeof v) != 0) return FailFromErrno();
  return 0;
}

// The IPv4 destination of a Windows Sockets address, or a Windows Sockets
// error number.
int PosixDestination(const WinSockAddr* to, int to_length, sockaddr_in& addr) {
  if (!to || to_length < static_cast<int>(sizeof(WinSockAddrIn))) return WSAEFAULT;
  if (to->sa_family != kAfInet) return WSAEAFNOSUPPORT;
  WinSockAddrIn in;
  std::memcpy(&in, to, sizeof in);
  addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = in.sin_port;
  std::memcpy(&addr.sin_addr, in.sin_addr, 4);
  return 0;
}

// MSG_OOB (1) and MSG_DONTROUTE (4) have the same numbers.
int PosixSendFlags(int flags) { return (flags & (MSG_OOB | MSG_DONTROUTE)) | MSG_NOSIGNAL; }

int WINSOCK_API Ws_sendto(SocketHandle s, const char* buffer, int length, int flags,
                          const WinSockAddr* to, int to_length) {
  if (length < 0) return SetError(WSAEINVAL);
  sockaddr_in addr;
  if (int error = PosixDestination(to, to_length, addr); error != 0) return SetError(error);
  ssize_t n = ::sendto(Fd(s), buffer, static_cast<size_t>(length), PosixSendFlags(flags),
                       reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (n < 0) return FailFromErrno();
  return static_cast<int>(n);
}

int WINSOCK_API Ws_connect(SocketHandle s, const WinSockAddr* to, int to_length) {
  sockaddr_in addr;
  if (int error = PosixDestination(to, to_length, addr); error != 0) return SetError(error);
  if (::connect(Fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return FailFromErrno();
  }
  return 0;
}
int WINSOCK_API Ws_sendtomany(SocketHandle s, const WinSockDatagram* datagrams, int count,
                              int flags, const WinSockAddr* to, int to_length) {
  if (count < 0 || (count > 0 && !datagrams)) return SetError(WSAEINVAL);
  for (int i = 0; i < count; ++i) {
    if (datagrams[i].length < 0) return SetError(WSAEINVAL);
  }
  sockaddr_in addr;
  if (int error = PosixDestination(to, to_length, addr); error != 0) return SetError(error);
  constexpr int kPerCall = 64;
  mmsghdr messages[kPerCall];
  iovec parts[kPerCall];
  int sent = 0;
  while (sent < count) {
    const int n = std::min(kPerCall, count - sent);
    for (int i = 0; i < n; ++i) {
      parts[i] = {const_cast<char*>(datagrams[sent + i].buffer),
                  static_cast<size_t>(datagrams[sent + i].length)};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &addr;
      messages[i].msg_hdr.msg_namelen = sizeof addr;
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int done = ::sendmmsg(Fd(s), messages, static_cast<unsigned>(n), PosixSendFlags(flags));
    if (done < 0) return sent == 0 ? FailFromErrno() : sent;
    sent += done;
    if (done < n) break;
  }
  return sent;
}

int WINSOCK_API Ws_shutdown(SocketHandle s, int how) {
  // SD_RECEIVE, SD_SEND and SD_BOTH are SHUT_RD, SHUT_WR and SHUT_RDWR.
  if (how < 0 || how > 2) return SetError(WSAEINVAL);
  if (::shutdown(Fd(s), how) != 0) return FailFromErrno();
  return 0;
}

int WINSOCK_API Ws_closesocket(SocketHandle s) {
  int fd = Fd(s);
  if (fd < 0) return SetError(WSAENOTSOCK);
  if (::close(fd) != 0) return FailFromErrno();
  return 0;
}

uint16_t WINSOCK_API Ws_htons(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// ---- names

int WINSOCK_API Ws_gethostname(char* name, int length) {
  if (!name || length <= 0) return SetError(WSAEFAULT);
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return FailFromErrno();
  size_t n = std::strlen(buffer);
  if (n + 1 > static_cast<size_t>(length)) return SetError(WSAEFAULT);
  std::memcpy(name, buffer, n + 1);
  return 0;
}

// The record gethostbyname hands out: one per thread, valid until the
// thread's next call, as the library documents for its own.
struct HostRecord {
  std::string name;
  std::vector<std::string> addresses;  // 4 bytes each
  std::vector<char*> address_list;
  char* no_aliases[1] = {nullptr};
  WinSockHostEnt entry{};

  WinSockHostEnt* Publish() {
    address_list.clear();
    for (std::string& a : addresses) address_list.push_back(a.data());
    address_list.push_back(nullptr);
    entry.h_name = name.data();
    entry.h_aliases = no_aliases;
    entry.h_addrtype = kAfInet;
    entry.h_length = 4;
    entry.h_addr_list = address_list.data();
    return &entry;
  }
};

thread_local HostRecord t_host;

void AddAddress(std::vector<std::string>& list, const in_addr& a) {
  std::string bytes(reinterpret_cast<const char*>(&a), 4);
  for (const std::string& b : list) {
    if (b == bytes) return;
  }
  list.push_back(bytes);
}

std::string OwnHostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
  return buffer;
}

bool IsLoopback(const std::string& bytes) { return static_cast<unsigned char>(bytes[0]) == 127; }

// IPv4 answers of the resolver, in its order; the resolver's error code.
int Resolve(const std::string& name, std::vector<std::string>& addresses, std::string* canonical) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = canonical ? AI_CANONNAME : 0;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0) return rc;
  for (addrinfo* a = found; a; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr) {
      AddAddress(addresses, reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
    }
  }
  if (canonical && found->ai_canonname) *canonical = found->ai_canonname;
  ::freeaddrinfo(found);
  return 0;
}

// Whether a query names this machine: its own name, or that name's fully
// qualified form (the resolver's canonical name for it).
bool IsOwnName(const std::string& query, const std::string& own) {
  if (own.empty()) return false;
  if (rtl::SameText(query, own)) return true;
  if (query.size() <= own.size() + 1 || query[own.size()] != '.' ||
      !rtl::SameText(std::string_view(query).substr(0, own.size()), own)) {
    return false;
  }
  std::vector<std::string> unused;
  std::string canonical;
  return Resolve(own, unused, &canonical) == 0 && rtl::SameText(canonical, query);
}

// The IPv4 addresses of the interfaces that are up, in interface order,
// loopback ones apart.
void InterfaceAddresses(std::vector<std::string>& outer, std::vector<std::string>& loopback) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return;
  struct Entry {
    unsigned index;
    in_addr address;
    bool loopback;
  };
  std::vector<Entry> entries;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    // The name may be a label such as eth0:1; the interface is eth0.
    std::string name = i->ifa_name ? i->ifa_name : "";
    name = name.substr(0, name.find(':'));
    entries.push_back({::if_nametoindex(name.c_str()),
                       reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr,
                       (i->ifa_flags & IFF_LOOPBACK) != 0});
  }
  ::freeifaddrs(list);
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.index < b.index; });
  for (const Entry& e : entries) AddAddress(e.loopback ? loopback : outer, e.address);
}

// What the library answers for the machine's own name: the addresses of
// its interfaces, so that every datagram names the machine by an address
// its peers can tell apart. The resolver is asked only when no interface
// outside the machine has one (its loopback answers, such as Debian's
// 127.0.1.1 line, join the loopback ones), and loopback comes last.
std::vector<std::string> OwnAddresses(const std::string& own) {
  std::vector<std::string> outer, loopback;
  InterfaceAddresses(outer, loopback);
  if (outer.empty()) {
    std::vector<std::string> resolved;
    Resolve(own, resolved, nullptr);
    std::vector<std::string> resolved_loopback;
    for (const std::string& b : resolved) {
      (IsLoopback(b) ? resolved_loopback : outer).push_back(b);
    }
    resolved_loopback.insert(resolved_loopback.end(), loopback.begin(), loopback.end());
    loopback.swap(resolved_loopback);
  }
  for (const std::string& b : loopback) {
    if (std::find(outer.begin(), outer.end(), b) == outer.end()) outer.push_back(b);
  }
  // The own name always resolves in the library.
  if (outer.empty()) {
    in_addr a;
    a.s_addr = htonl(INADDR_LOOPBACK);
    AddAddress(outer, a);
  }
  return outer;
}

WinSockHostEnt* WINSOCK_API Ws_gethostbyname(const char* name) {
  if (!name) {
    SetError(WSAEFAULT);
    return nullptr;
  }
  // An empty name stands for the local host, as in the library.
  std::string own = OwnHostName();
  std::string query = *name ? std::string(name) : own;
  HostRecord& r = t_host;
  r.addresses.clear();
  r.name = query;
  if (IsOwnName(query, own)) {
    r.addresses = OwnAddresses(own);
    return r.Publish();
  }
  int rc = Resolve(query, r.addresses, &r.name);
  if (rc != 0) {
    SetError(WinSockErrorFromResolver(rc));
    return nullptr;
  }
  if (r.addresses.empty()) {
    SetError(WSANO_DATA);
    return nullptr;
  }
  return r.Publish();
}

// ---- the module

struct Export {
  const char* name;
  void* entry;
};

void* LookUp(const char* name) {
  static const Export kExports[] = {
      {"WSAStartup", reinterpret_cast<void*>(&Ws_WSAStartup)},
      {"WSACleanup", reinterpret_cast<void*>(&Ws_WSACleanup)},
      {"WSAGetLastError", reinterpret_cast<void*>(&Ws_WSAGetLastError)},
      {"socket", reinterpret_cast<void*>(&Ws_socket)},
      {"setsockopt", reinterpret_cast<void*>(&Ws_setsockopt)},
      {"sendto", reinterpret_cast<void*>(&Ws_sendto)},
      {"connect", reinterpret_cast<void*>(&Ws_connect)},
      {kSendToManyExport, reinterpret_cast<void*>(&Ws_sendtomany)},
      {"shutdown", reinterpret_cast<void*>(&Ws_shutdown)},
      {"closesocket", reinterpret_cast<void*>(&Ws_closesocket)},
      {"gethostname", reinterpret_cast<void*>(&Ws_gethostname)},
      {"gethostbyname", reinterpret_cast<void*>(&Ws_gethostbyname)},
      {"htons", reinterpret_cast<void*>(&Ws_htons)},
  };
  if (!name) return nullptr;
  // Export names are case-sensitive, as in the library.
  for (const Export& e : kExports) {
    if (std::strcmp(e.name, name) == 0) return e.entry;
  }
  return nullptr;
}

}  // namespace

void RegisterWinSockModule() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterBuiltinModule("WS2_32.DLL", &LookUp); });
}

}  // namespace platform
