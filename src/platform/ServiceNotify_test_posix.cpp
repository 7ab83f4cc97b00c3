#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotifySocket_posix.h"
#include "platform/ServiceControl.h"

namespace platform {
namespace {

std::atomic<int64_t> g_now{0};
int64_t FakeNow() { return g_now.load(); }
constexpr int64_t kSecond = 1000000000;

// The manager's side: a datagram socket the test binds, read without
// waiting.
class ServiceNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000 * kSecond;
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd_, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    // An abstract name, as systemd hands out for some services.
    address_ = "@tessalin-notify-test-" + std::to_string(::getpid());
    std::memcpy(a.sun_path + 1, address_.c_str() + 1, address_.size() - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    ASSERT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
  }
  void TearDown() override { ::close(fd_); }

  std::vector<std::string> Received() {
    std::vector<std::string> out;
    char buffer[512];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) >= 0) out.emplace_back(buffer, n);
    return out;
  }

  int fd_ = -1;
  std::string address_;
};

TEST_F(ServiceNotifyTest, HeartbeatGoesOutFourTimesPerWatchdogPeriodAtMost) {
  ServiceNotifier notifier(address_.c_str(), 30000000, &FakeNow);  // WatchdogSec=30
  // The capture reader calls it after every read: many times a second.
  int64_t start = g_now;
  for (int64_t t = 0; t <= 30 * kSecond; t += kSecond / 100) {
    g_now = start + t;
    notifier.Heartbeat();
  }
  std::vector<std::string> got = Received();
  EXPECT_EQ(got.size(), 5u);  // at 0, 7.5, 15, 22.5 and 30 s
  for (const std::string& m : got) EXPECT_EQ(m, "WATCHDOG=1\n");

  // A reader that stopped calling for a while is heard again at once.
  g_now = start + 100 * kSecond;
  notifier.Heartbeat();
  EXPECT_EQ(Received().size(), 1u);
}

// Two threads that find the heartbeat due at the same moment send it once.
TEST_F(ServiceNotifyTest, HeartbeatDueOnSeveralThreadsIsSentOnce) {
  ServiceNotifier notifier(address_.c_str(), 1000000, &FakeNow);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 10000; ++k) notifier.Heartbeat();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(Received().size(), 1u);
}

// Without a usable NOTIFY_SOCKET nothing is sent, and each call says so. A
// relative name is not a path: a socket bound under that name in the
// working directory, where taking it for a path would send, hears nothing.
TEST_F(ServiceNotifyTest, NothingWithoutTheManagersSettings) {
  char dir_template[] = "/tmp/tessalin-notify-XXXXXX";
  const char* dir = ::mkdtemp(dir_template);
  ASSERT_NE(dir, nullptr);
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(dir), 0);
  const int wrong = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_GE(wrong, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, "relative");
  ASSERT_EQ(::bind(wrong, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

  struct Case {
    const char* address;
    uint64_t watchdog_usec;
  } cases[] = {
      {nullptr, 30000000},     // not under systemd
      {"", 30000000},          // empty NOTIFY_SOCKET
      {"relative", 30000000},  // neither a path nor an abstract name
      {"@", 30000000},         // an abstract name without a name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address ? c.address : "(null)");
    ServiceNotifier notifier(c.address, c.watchdog_usec, &FakeNow);
    EXPECT_FALSE(notifier.Heartbeat());
    EXPECT_FALSE(notifier.StatusText("eth0"));
  }
  char buffer[64];
  EXPECT_LT(::recv(wrong, buffer, sizeof buffer, 0), 0) << "a relative name was taken as a path";
  ::close(wrong);
  ::unlink("relative");
  EXPECT_EQ(::chdir(previous), 0);
  ::rmdir(dir);
  EXPECT_TRUE(Received().empty());

  // No watchdog configured: status only.
  ServiceNotifier notifier(address_.c_str(), 0, &FakeNow);
  EXPECT_FALSE(notifier.Heartbeat());
  EXPECT_TRUE(notifier.StatusText("eth0"));
  EXPECT_EQ(Received(), std::vector<std::string>{"STATUS=eth0\n"});
}

TEST_F(ServiceNotifyTest, StatusLineFollowsTheStateAtMostOnceASecond) {
  ServiceNotifier notifier(address_.c_str(), 0, &FakeNow);
  notifier.NoteState(kServiceRunning);
  notifier.StatusText("eth0: 3 addresses known");
  g_now += kSecond / 2;
  notifier.StatusText("eth0: 4 addresses known");  // too soon: dropped
  g_now += kSecond;
  notifier.StatusText("eth0: 4 addresses known");
  g_now += kSecond;
  notifier.StatusText("eth0: 4 addresses known");  // unchanged: dropped
  notifier.NoteState(kServicePaused);
  g_now += kSecond;
  notifier.StatusText("eth0: 4 addresses known");
  // The state report replaced the line at the manager: the same line goes
  // out again after it.
  notifier.NoteState(kServicePaused);
  g_now += kSecond;
  notifier.StatusText("eth0: 4 addresses known");
  g_now += kSecond;
  notifier.StatusText("bad\nline\r");  // one line, whatever the text holds
  EXPECT_EQ(Received(), (std::vector<std::string>{
                            "STATUS=Running: eth0: 3 addresses known\n",
                            "STATUS=Running: eth0: 4 addresses known\n",
                            "STATUS=Paused: eth0: 4 addresses known\n",
                            "STATUS=Paused: eth0: 4 addresses known\n",
                            "STATUS=Paused: bad line \n",
                        }));
}

// A manager that does not read its socket must not stall the capture
// reader: heartbeats are dropped rather than waited for.
TEST_F(ServiceNotifyTest, FullManagerQueueDoesNotBlockTheHeartbeat) {
  constexpr int kBeats = 5000;  // far more than a datagram queue holds
  // 1 us interval. On a thread of its own, so that a heartbeat that waits
  // fails the test instead of hanging it (the thread and the notifier are
  // then left behind).
  auto* notifier = new ServiceNotifier(address_.c_str(), 4, &FakeNow);
  std::promise<void> done;
  std::future<void> beats = done.get_future();
  std::thread([notifier, done = std::move(done)]() mutable {
    for (int i = 0; i < kBeats; ++i) {
      g_now += 1000;
      notifier->Heartbeat();
    }
    done.set_value();
  }).detach();
  ASSERT_EQ(beats.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  delete notifier;
  // The queue filled: some heartbeats arrived, the rest were dropped.
  const size_t received = Received().size();
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, static_cast<size_t>(kBeats));
}

}  // namespace
}  // namespace platform
