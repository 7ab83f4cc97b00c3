#include "syslog/IdSysLog.h"

#include <gtest/gtest.h>

#include "platform/WinSockProbe.h"
#include "syslog/IdException.h"
#include "syslog/IdStack.h"

namespace syslog {
namespace {

class FakeClock : public platform::Clock {
 public:
  rtl::TDateTime now = rtl::EncodeDateTime({2026, 12, 8, 20, 57, 6, 250});
  rtl::TDateTime Now() override { return now; }
  void Sleep(uint32_t) override {}
};

// A sender aimed at a datagram receiver on the loopback address.
class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sender = std::make_unique<TIdSysLog>(nullptr);
    sender->SetClock(&clock);
    sender->SetHost("LocalHost");
    sender->SetPort(receiver.Port());
  }

  std::string Received() {
    std::string datagram;
    EXPECT_TRUE(receiver.Receive(datagram, 5000)) << "no datagram";
    return datagram;
  }

  platform::LoopbackDatagramReceiver receiver;
  FakeClock clock;
  std::unique_ptr<TIdSysLog> sender;
};

TEST_F(SenderTest, DefaultsBeforeAnySend) {
  TIdSysLog fresh(nullptr);
  EXPECT_EQ(fresh.Port(), 514);
  EXPECT_EQ(fresh.BufferSize(), 8192);
  EXPECT_EQ(fresh.ReceiveTimeout(), -2);
  EXPECT_FALSE(fresh.BroadcastEnabled());
  EXPECT_FALSE(fresh.Active());
  EXPECT_EQ(fresh.SocketBinding(), nullptr);
}

TEST_F(SenderTest, ReportArrivesAsOneExactDatagram) {
  std::string local = SharedStack()->FirstLocalAddress();
  sender->SendText("10.0.0.5 found on 001122-334455", sfLocalUseFive, slCritical);
  EXPECT_EQ(Received(), "<170>Dec  8 20:57:06 " + local + " 10.0.0.5 found on 001122-334455");

  // The first send opened the socket, with the broadcast option off.
  ASSERT_NE(sender->SocketBinding(), nullptr);
  EXPECT_TRUE(sender->Active());
  EXPECT_EQ(platform::ReadBroadcastOption(sender->SocketBinding()->OsSocket()), 0);

  sender->SetHost("127.0.0.1");
  sender->SendText("", sfUserLevel, slNotice);
  EXPECT_EQ(Received(), "<13>Dec  8 20:57:06 " + local + " ");

  sender->SendText(std::string(1100, 'r'), sfLocalUseFive, slCritical);
  std::string cut = Received();
  EXPECT_EQ(cut.size(), 1024u);
  EXPECT_EQ(cut.substr(0, 5), "<170>");
}

TEST_F(SenderTest, ActiveOpensOneSocketAndBroadcastFollowsTheSetting) {
  sender->SetActive(true);
  sender->SetActive(true);
  ASSERT_TRUE(sender->Active());
  TIdSocketHandle* binding = sender->SocketBinding();
  ws2::TSocket first = binding->OsSocket();
  EXPECT_EQ(platform::ReadBroadcastOption(first), 0);

  sender->SetBroadcastEnabled(true);
  EXPECT_EQ(sender->SocketBinding(), binding);
  EXPECT_NE(platform::ReadBroadcastOption(first), 0);
  EXPECT_NE(platform::ReadBroadcastOption(first), -1);

  sender->SetActive(false);
  EXPECT_FALSE(sender->Active());
  EXPECT_EQ(sender->SocketBinding(), nullptr);
  EXPECT_EQ(platform::ReadBroadcastOption(first), -1) << "old socket still open";

  // The new socket takes the setting made while inactive.
  sender->SetActive(true);
  ASSERT_NE(sender->SocketBinding(), nullptr);
  EXPECT_NE(platform::ReadBroadcastOption(sender->SocketBinding()->OsSocket()), 0);

  sender->SendText("after reopen", sfUserLevel, slNotice);
  EXPECT_NE(Received().find("after reopen"), std::string::npos);
}

// Each change of peer gives the sender a new socket (an associated socket
// keeps the source address of its first route), with the component's
// options set on it; reports to each peer arrive, in any order of changes.
TEST_F(SenderTest, ChangeOfPeerOpensANewSocketWithTheOptions) {
  platform::LoopbackDatagramReceiver other;
  sender->SetBroadcastEnabled(true);
  const std::pair<int, const char*> sends[] = {{receiver.Port(), "one"},
                                               {other.Port(), "two"},
                                               {other.Port(), "three"},
                                               {receiver.Port(), "four"}};
  for (const auto& [port, text] : sends) {
    sender->SetPort(port);
    sender->SendText(text, sfLocalUseFive, slCritical);
    ASSERT_EQ(sender->SocketBinding()->RemotePort(), port);
    EXPECT_NE(platform::ReadBroadcastOption(sender->SocketBinding()->OsSocket()), 0) << text;
    std::string datagram;
    ASSERT_TRUE((port == receiver.Port() ? receiver : other).Receive(datagram, 5000)) << text;
    EXPECT_NE(datagram.find(std::string(" ") + text), std::string::npos) << datagram;
  }
}

TEST_F(SenderTest, ActiveSetWhileLoadingOpensWhenLoadingCompletes) {
  sender->BeginLoading();
  sender->SetActive(true);
  EXPECT_TRUE(sender->Active());
  EXPECT_EQ(sender->SocketBinding(), nullptr);
  sender->EndLoading();
  ASSERT_NE(sender->SocketBinding(), nullptr);
  EXPECT_TRUE(sender->SocketBinding()->SocketOpen());
}

// Resolution comes first: a host that cannot be resolved leaves the socket
// unopened, and the sender works again with the next good host.
TEST_F(SenderTest, UnresolvableHostRaisesBeforeAnySocketOpens) {
  sender->SetHost("no-such-host.invalid");
  try {
    sender->SendText("lost", sfLocalUseFive, slCritical);
    FAIL() << "sent";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 11001);
    EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
  }
  EXPECT_EQ(sender->SocketBinding(), nullptr);

  sender->SetHost("127.0.0.1");
  sender->SendText("found", sfLocalUseFive, slCritical);
  EXPECT_NE(Received().find(" found"), std::string::npos);
}

TEST_F(SenderTest, OversizedDatagramRaisesPackageSizeTooBig) {
  std::string huge(70000, 'h');
  try {
    sender->SendStringTo("127.0.0.1", receiver.Port(), huge);
    FAIL() << "sent";
  } catch (const EIdPackageSizeTooBig& e) {
    EXPECT_EQ(e.Message(), "Package Size Too Big.");
  }
  // The socket stays open and usable.
  EXPECT_TRUE(sender->Active());
  sender->SendString("small");
  EXPECT_EQ(Received(), "small");
}

// Several texts in one call: each its own datagram, in order, made as
// SendText makes it; a failure part-way ends the call with the count sent,
// and a failure of the first raises as a single send does.
TEST_F(SenderTest, SendTextsSendsEachTextAsItsOwnDatagramInOrder) {
  const std::string local = SharedStack()->FirstLocalAddress();
  const std::string texts[] = {"first", "", "third"};
  EXPECT_EQ(sender->SendTexts(texts, 3, sfLocalUseFive, slCritical), 3);
  EXPECT_EQ(Received(), "<170>Dec  8 20:57:06 " + local + " first");
  EXPECT_EQ(Received(), "<170>Dec  8 20:57:06 " + local + " ");
  EXPECT_EQ(Received(), "<170>Dec  8 20:57:06 " + local + " third");
  EXPECT_EQ(sender->SendTexts(texts, 0, sfLocalUseFive, slCritical), 0);

  const std::string mixed[] = {"small", std::string(70000, 'h'), "after"};
  EXPECT_EQ(sender->SendStringsTo("127.0.0.1", receiver.Port(), mixed, 3), 1);
  EXPECT_EQ(Received(), "small");
  EXPECT_THROW(sender->SendStringsTo("127.0.0.1", receiver.Port(), mixed + 1, 2),
               EIdPackageSizeTooBig);
  EXPECT_EQ(sender->SendStringsTo("127.0.0.1", receiver.Port(), mixed + 2, 1), 1);
  EXPECT_EQ(Received(), "after");

  sender->SetHost("no-such-host.invalid");
  try {
    sender->SendTexts(texts, 3, sfLocalUseFive, slCritical);
    FAIL() << "sent";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), 11001);
  }
}

}  // namespace
}  // namespace syslog
