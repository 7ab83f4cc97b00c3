#include <gtest/gtest.h>

#include <cstring>

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
        "gethostname", "gethostbyname", "htons", "WSAGetLastError"}) {
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

}  // namespace
}  // namespace platform
