#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/WinSock.h"

namespace platform {
namespace {

// The built-in "WS2_32.DLL" module, reached as the syslog client reaches it:
// by loading the library and looking its functions up by name.
class WinSockModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterWinSockModule();
    library = LoadLibraryA("ws2_32.dll");
    ASSERT_NE(library, nullptr);
  }

  template <typename Proc>
  Proc Find(const char* name) {
    void* p = GetProcAddress(library, name);
    EXPECT_NE(p, nullptr) << name;
    return reinterpret_cast<Proc>(p);
  }

  int LastError() { return Find<int (*)()>("WSAGetLastError")(); }

  LibraryHandle library = nullptr;
};

TEST_F(WinSockModuleTest, AnswersOnlyTheFunctionsTheClientCalls) {
  for (const char* name :
       {"WSAStartup", "WSACleanup", "socket", "setsockopt", "sendto", "shutdown", "closesocket",
        "gethostname", "gethostbyname", "htons", "WSAGetLastError", kSendToManyExport}) {
    EXPECT_NE(GetProcAddress(library, name), nullptr) << name;
  }
  for (const char* name : {"getsockopt", "bind", "recvfrom", "WSARecvEx", "SOCKET", ""}) {
    EXPECT_EQ(GetProcAddress(library, name), nullptr) << name;
  }
}

TEST_F(WinSockModuleTest, StartupFillsTheReplyRecord) {
  auto startup = Find<int (*)(uint16_t, WinSockData*)>("WSAStartup");
  auto cleanup = Find<int (*)()>("WSACleanup");
  WinSockData data;
  std::memset(&data, 0x55, sizeof data);
  ASSERT_EQ(startup(0x0202, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0202);
  EXPECT_EQ(data.wHighVersion, 0x0202);
  EXPECT_STREQ(data.szSystemStatus, "Running");
  EXPECT_EQ(cleanup(), 0);
  EXPECT_EQ(startup(0x0000, &data), 10092);  // no such version
  EXPECT_EQ(Find<uint16_t (*)(uint16_t)>("htons")(0x0102), 0x0201);
}

TEST_F(WinSockModuleTest, FailuresSetWindowsSocketsNumbers) {
  auto make = Find<SocketHandle (*)(int, int, int)>("socket");
  auto setopt = Find<int (*)(SocketHandle, int, int, const char*, int)>("setsockopt");
  auto close = Find<int (*)(SocketHandle)>("closesocket");

  EXPECT_EQ(make(99, kSockDgram, 0), kInvalidSocket);
  EXPECT_EQ(LastError(), 10047);

  SocketHandle s = make(kAfInet, kSockDgram, 0);
  ASSERT_NE(s, kInvalidSocket);
  int on = -1;
  EXPECT_EQ(setopt(s, kSolSocket, kSoBroadcast, reinterpret_cast<const char*>(&on), 4), 0);
  EXPECT_EQ(setopt(s, kSolSocket, 0x7777, reinterpret_cast<const char*>(&on), 4), -1);
  EXPECT_EQ(LastError(), 10042);

  // A batch send checks everything before it sends anything.
  auto many = reinterpret_cast<SendToManyProc>(GetProcAddress(library, kSendToManyExport));
  ASSERT_NE(many, nullptr);
  WinSockAddrIn to{static_cast<uint16_t>(kAfInet), 0x0900, {127, 0, 0, 1}, {}};
  WinSockAddrIn other_family = to;
  other_family.sin_family = 23;
  const WinSockDatagram fine[] = {{"a", 1}, {"b", 1}};
  const WinSockDatagram negative[] = {{"a", 1}, {"b", -1}};
  const auto* addr = reinterpret_cast<const WinSockAddr*>(&to);
  const struct {
    const WinSockDatagram* datagrams;
    int count;
    const WinSockAddr* to;
    int to_length;
    int error;
  } kBadBatches[] = {
      {fine, -1, addr, 16, 10022},
      {nullptr, 2, addr, 16, 10022},
      {negative, 2, addr, 16, 10022},
      {fine, 2, nullptr, 16, 10014},
      {fine, 2, addr, 8, 10014},
      {fine, 2, reinterpret_cast<const WinSockAddr*>(&other_family), 16, 10047},
  };
  for (const auto& b : kBadBatches) {
    EXPECT_EQ(many(s, b.datagrams, b.count, 0, b.to, b.to_length), -1);
    EXPECT_EQ(LastError(), b.error);
  }
  EXPECT_EQ(many(s, fine, 0, 0, addr, 16), 0);
  EXPECT_EQ(close(s), 0);
  EXPECT_EQ(close(s), -1);
  EXPECT_EQ(LastError(), 10038);
}

TEST_F(WinSockModuleTest, HostLookupGivesIPv4AddressListOrHostNotFound) {
  auto lookup = Find<WinSockHostEnt* (*)(const char*)>("gethostbyname");
  WinSockHostEnt* host = lookup("127.0.0.1");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->h_addrtype, kAfInet);
  EXPECT_EQ(host->h_length, 4);
  ASSERT_NE(host->h_addr_list[0], nullptr);
  EXPECT_EQ(std::memcmp(host->h_addr_list[0], "\x7f\x00\x00\x01", 4), 0);
  EXPECT_EQ(host->h_addr_list[1], nullptr);

  // The machine's own name, and the empty name that stands for it.
  char name[250] = {};
  ASSERT_EQ(Find<int (*)(char*, int)>("gethostname")(name, sizeof name), 0);
  for (const char* own : {static_cast<const char*>(name), ""}) {
    host = lookup(own);
    ASSERT_NE(host, nullptr) << own;
    EXPECT_NE(host->h_addr_list[0], nullptr) << own;
  }

  EXPECT_EQ(lookup("no-such-host.invalid"), nullptr);
  EXPECT_EQ(LastError(), 11001);
}

// The machine's own name answers its interfaces' addresses, as on Windows,
// not the resolver's loopback line that a standard Debian hosts file gives
// it: every datagram names the host, and a central syslog server must tell
// the watchers apart. Run in private network, mount and host-name
// namespaces with interfaces, a hosts file and a host name of the test's own.
TEST_F(WinSockModuleTest, OwnNameResolvesToInterfaceAddressesLoopbackLast) {
  auto lookup = Find<WinSockHostEnt* (*)(const char*)>("gethostbyname");
  auto last_error = Find<int (*)()>("WSAGetLastError");
  char hosts[] = "/tmp/tessalin-hosts-XXXXXX";
  int hosts_fd = ::mkstemp(hosts);
  ASSERT_GE(hosts_fd, 0);
  ::close(hosts_fd);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    std::string report;
    auto answer = [&](const char* label, const char* name) {
      report += label;
      report += ":";
      WinSockHostEnt* host = lookup(name);
      if (!host) {
        report += " error " + std::to_string(last_error()) + "\n";
        return;
      }
      for (char** a = host->h_addr_list; *a; ++a) {
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, *a, text, sizeof text);
        report += std::string(" ") + text;
      }
      report += "\n";
    };
    auto write_file = [](const char* path, const char* text) {
      FILE* f = std::fopen(path, "w");
      return f && std::fputs(text, f) >= 0 && std::fclose(f) == 0;
    };
    auto sh = [](const std::string& command) {
      return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    };
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) != 0) {
      report = "SKIP unshare";
    } else {
      const char name[] = "tsl-own";
      char nsswitch[] = "/tmp/tessalin-nsswitch-XXXXXX";
      int fd = ::mkstemp(nsswitch);
      bool ready =
          fd >= 0 && ::close(fd) == 0 && write_file(nsswitch, "hosts: files\n") &&
          write_file(hosts, "127.0.0.1 localhost\n127.0.1.1 tsl-own.example.test tsl-own\n") &&
          ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
          ::mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0 &&
          ::mount(nsswitch, "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0 &&
          ::sethostname(name, sizeof name - 1) == 0 && sh("ip link set lo up") &&
          sh("ip link add ow0 type veth peer name ow1") &&
          sh("ip link add ow2 type veth peer name ow3");
      ::unlink(nsswitch);
      if (!ready) {
        report = "SKIP set-up";
      } else {
        // Addresses added against interface order, the first interface's
        // last; one interface down.
        std::string first = ::if_nametoindex("ow0") < ::if_nametoindex("ow1") ? "ow0" : "ow1";
        std::string second = first == "ow0" ? "ow1" : "ow0";
        ready = sh("ip addr add 192.0.2.10/24 dev " + second) &&
                sh("ip addr add 192.0.2.20/24 dev " + first) &&
                sh("ip addr add 198.51.100.1/24 dev ow2") && sh("ip link set ow0 up") &&
                sh("ip link set ow1 up");
        if (!ready) report = "SKIP addresses";
      }
      if (ready) {
        answer("own", "tsl-own");
        answer("fqdn", "TSL-OWN.example.test");
        answer("empty", "");
        answer("other domain", "tsl-own.other.test");
        sh("ip link set ow0 down");
        sh("ip link set ow1 down");
        answer("no interface", "tsl-own");
        write_file(hosts, "192.0.2.99 tsl-own\n");
        answer("resolver", "tsl-own");
      }
    }
    ssize_t n = ::write(out[1], report.data(), report.size());
    ::_exit(n == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string report;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) report.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::unlink(hosts);
  if (report.rfind("SKIP", 0) == 0) GTEST_SKIP() << report << " (needs root)";
  EXPECT_EQ(report,
            "own: 192.0.2.20 192.0.2.10 127.0.0.1\n"
            "fqdn: 192.0.2.20 192.0.2.10 127.0.0.1\n"
            "empty: 192.0.2.20 192.0.2.10 127.0.0.1\n"
            "other domain: error 11001\n"
            "no interface: 127.0.1.1 127.0.0.1\n"
            "resolver: 192.0.2.99 127.0.0.1\n");
}

}  // namespace
}  // namespace platform
