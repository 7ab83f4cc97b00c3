#include "syslog/IdStack.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/SystemError.h"
#include "syslog/IdException.h"
#include "syslog/IdStackWindows.h"
#include "syslog/IdSysLog.h"
#include "syslog/IdWinSock2.h"

namespace syslog {
namespace {

// A Windows stack that records the names it is asked to look up.
class CountingStack : public TIdStackWindows {
 public:
  std::vector<std::string> lookups;
  std::string LookupHostAddress(const std::string& name) override {
    lookups.push_back(name);
    return "10.9.9.9";
  }
};

TEST(StackTest, HostToAddressLooksUpOnlyNamesThatAreNotLocalhostOrDottedQuads) {
  struct Case {
    const char* host;
    const char* address;
    bool looked_up;
  } cases[] = {
      {"localhost", "127.0.0.1", false},
      {"LocalHost", "127.0.0.1", false},
      {"LOCALHOST", "127.0.0.1", false},
      {"10.0.0.5", "10.0.0.5", false},
      {"010.000.000.005", "010.000.000.005", false},
      {"10.0.0.256", "10.9.9.9", true},
      {"10.0.0", "10.9.9.9", true},
      {"10.0.0.5.6", "10.9.9.9", true},
      {"10..0.5", "10.9.9.9", true},
      {"+10.0.0.5", "10.9.9.9", true},
      {"", "10.9.9.9", true},
      {"syslog.example", "10.9.9.9", true},
  };
  CountingStack stack;
  for (const Case& c : cases) {
    stack.lookups.clear();
    EXPECT_EQ(stack.HostToAddress(c.host), c.address) << c.host;
    EXPECT_EQ(stack.lookups.size(), c.looked_up ? 1u : 0u) << c.host;
  }
  EXPECT_EQ(stack.DottedQuadToAddress("010.000.000.005"), (TIdIPv4Bytes{10, 0, 0, 5}));
  EXPECT_EQ(stack.DottedQuadToAddress("192.168.1.255"), (TIdIPv4Bytes{192, 168, 1, 255}));
  EXPECT_EQ(stack.AddressToDottedQuad({10, 0, 0, 5}), "10.0.0.5");
}

TEST(StackTest, UnknownHostRaisesHostNotFound) {
  TIdStackWindows stack;
  // Binding the error row on this first call must not disturb the error
  // that the failed look-up left (on Windows it is the thread's last error).
  ws2::ResetEntryPoints();
  try {
    stack.HostToAddress("no-such-host.invalid");
    FAIL() << "resolved";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    EXPECT_STREQ(e.ClassName(), "EIdSocketError");
  }
  EXPECT_EQ(stack.LastErrorCode(), 11001);
}

TEST(StackTest, LocalAddressesAreDottedQuads) {
  TIdStackWindows stack;
  std::string first = stack.FirstLocalAddress();
  EXPECT_TRUE(TIdStack::IsDottedQuad(first)) << first;
  rtl::TStringList* list = stack.LocalAddressList();
  ASSERT_GE(list->Count(), 1);
  EXPECT_EQ(list->Strings(0), first);
  EXPECT_FALSE(stack.LocalHostName().empty());
}

TEST(StackTest, SocketErrorTexts) {
  struct Case {
    int code;
    const char* message;
  } cases[] = {
      {10004, "Socket Error # 10004\r\nInterrupted system call."},
      {10035, "Socket Error # 10035\r\nOperation would block. "},
      {10040, "Socket Error # 10040\r\nMessage too long."},
      {10047, "Socket Error # 10047\r\nAddress family not supported by protocol family."},
      {10066, "Socket Error # 10066\r\nDirectory not empty"},
      {11001, "Socket Error # 11001\r\nHost not found."},
      {10093, "Socket Error # 10093\r\n"},
      {0, "Socket Error # 0\r\n"},
  };
  TIdStackWindows stack;
  for (const Case& c : cases) {
    EXPECT_EQ(stack.SocketErrorText(c.code), c.message);
    try {
      stack.RaiseSocketFailure(c.code);
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(StackTest, ComponentsShareOneStackFreedWithTheLast) {
  ASSERT_EQ(LiveComponentCount(), 0);
  auto first = std::make_unique<TIdSysLog>(nullptr);
  TIdStack* stack = SharedStack();
  ASSERT_NE(stack, nullptr);
  auto second = std::make_unique<TIdSysLog>(nullptr);
  EXPECT_EQ(SharedStack(), stack);
  EXPECT_EQ(LiveComponentCount(), 2);
  first.reset();
  EXPECT_EQ(SharedStack(), stack);
  EXPECT_EQ(LiveComponentCount(), 1);
  second.reset();
  EXPECT_EQ(SharedStack(), nullptr);
  EXPECT_EQ(LiveComponentCount(), 0);
  // The library stays loaded and started for the rest of the process.
  EXPECT_NE(ws2::LibraryHandle(), nullptr);
  EXPECT_TRUE(SocketsStarted());
}

TEST(EntryPointTableTest, RowsInOrderEachStartingAtItsBinder) {
  ASSERT_EQ(ws2::kEntryPointCount, 112);
  struct Row {
    int index;
    const char* name;
  } rows[] = {{0, "WSACleanup"},
              {10, "htons"},
              {20, "sendto"},
              {23, "socket"},
              {25, "gethostbyname"},
              {32, "WSAGetLastError"},
              {45, "__WSAFDIsSet"},
              {95, "WSAProviderConfigChange"},
              {96, "WSADuplicateSocketA"},
              {107, "WSASetServiceA"},
              {108, "TransmitFile"},
              {111, "WSARecvEx"}};
  for (const Row& r : rows) EXPECT_STREQ(ws2::EntryPointName(r.index), r.name);

  TIdStackWindows stack;  // the library is loaded and started
  stack.WSHToNs(1);
  EXPECT_FALSE(ws2::EntryPointAtBinder(static_cast<int>(ws2::Row::htons)));
  // The second row of a narrow-character function has a target of its own.
  EXPECT_TRUE(ws2::EntryPointAtBinder(static_cast<int>(ws2::Row::WSASocketA_2)));
  ws2::ResetEntryPoints();
  for (int i = 0; i < ws2::kEntryPointCount; ++i) EXPECT_TRUE(ws2::EntryPointAtBinder(i)) << i;
  // A call through a row at its binder returns what the function returns.
  EXPECT_EQ(stack.WSHToNs(0x1234), 0x3412);
}

// Each test starts and ends with no socket library loaded or started, so
// that it can load a library of its own choosing.
class SocketLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LiveComponentCount(), 0);
    FinalizeSocketLibrary();
  }
  void TearDown() override {
    FinalizeSocketLibrary();
    ws2::SetSocketLibraryName("WS2_32.DLL");
  }

  static int StandInStartupCalls() {
    using Count = int (*)();
    auto count =
        reinterpret_cast<Count>(platform::GetProcAddress(ws2::LibraryHandle(), "StartupCalls"));
    return count ? count() : -1;
  }
};

TEST_F(SocketLibraryTest, CallWithoutLibraryFailsNamingTheFunction) {
  ASSERT_EQ(ws2::LibraryHandle(), nullptr);
  try {
    ws2::Call<ws2::Row::sendto>(ws2::kInvalidSocket, "", 0, 0, nullptr, 0);
    FAIL() << "called";
  } catch (const EIdWS2StubError& e) {
    EXPECT_EQ(e.Summary(), "Error on call Winsock2 library function sendto");
    EXPECT_EQ(e.SystemError(), 10093);
    EXPECT_EQ(e.SystemErrorText(), platform::SystemErrorMessage(10093));
    EXPECT_EQ(e.Message(), e.Summary() + ": " + e.SystemErrorText());
  }
}

TEST_F(SocketLibraryTest, LibraryThatCannotBeLoaded) {
  ws2::SetSocketLibraryName("no_such_socket_library.dll");
  try {
    TIdSysLog sender(nullptr);
    FAIL() << "loaded";
  } catch (const EIdWS2StubError& e) {
    EXPECT_EQ(e.Summary(), "Error on loading Winsock2 library (no_such_socket_library.dll)");
    EXPECT_EQ(e.SystemError(), 126);
    EXPECT_EQ(e.SystemErrorText(), platform::SystemErrorMessage(126));
    EXPECT_EQ(e.Message(), e.Summary() + ": " + e.SystemErrorText());
  }
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_EQ(ws2::LibraryHandle(), nullptr);
}

// The stand-in library's start-up call fails. The component is not built,
// the library stays loaded, and the next stack makes the start-up call
// again instead of counting as started.
TEST_F(SocketLibraryTest, StartupFailureFailsConstructionAndIsRetried) {
  ws2::SetSocketLibraryName("ws2_stand_in.dll");
  for (int attempt = 1; attempt <= 2; ++attempt) {
    try {
      TIdSysLog sender(nullptr);
      FAIL() << "started";
    } catch (const EIdStackInitializationFailed& e) {
      EXPECT_EQ(e.Message(), "Winsock Initialization Error.");
    }
    EXPECT_EQ(LiveComponentCount(), 0);
    EXPECT_EQ(SharedStack(), nullptr);
    EXPECT_FALSE(SocketsStarted());
    ASSERT_NE(ws2::LibraryHandle(), nullptr);
    EXPECT_EQ(StandInStartupCalls(), attempt);
  }
}

// The stand-in library has no socket functions: a row for one of them
// fails in order, and stays at its binder.
TEST_F(SocketLibraryTest, MissingFunctionFailsInOrder) {
  ws2::SetSocketLibraryName("ws2_stand_in.dll");
  ws2::TWSAData data{};
  EXPECT_EQ(ws2::StartSocketLibrary(0x0202, &data), 10091);
  try {
    ws2::Call<ws2::Row::WSACreateEvent>();
    FAIL() << "called";
  } catch (const EIdWS2StubError& e) {
    EXPECT_EQ(e.Summary(), "Error on call Winsock2 library function WSACreateEvent");
    EXPECT_EQ(e.SystemError(), 127);
    EXPECT_EQ(e.SystemErrorText(), platform::SystemErrorMessage(127));
    EXPECT_EQ(e.Message(), e.Summary() + ": " + e.SystemErrorText());
    EXPECT_STREQ(e.ClassName(), "EIdWS2StubError");
  }
  EXPECT_TRUE(ws2::EntryPointAtBinder(static_cast<int>(ws2::Row::WSACreateEvent)));
}

}  // namespace
}  // namespace syslog
