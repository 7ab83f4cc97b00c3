#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "platform/Files.h"

namespace platform {
namespace {

// Runs fn on a thread of its own and says whether it returned within 10 s.
// A call that blocks is left behind; the test fails instead of hanging.
bool ReturnsPromptly(std::function<void()> fn) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([fn, done] {
    fn();
    done->set_value();
  }).detach();
  return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// What stands in a file's place is refused without being read and without
// blocking: a FIFO nobody writes to would block an open for ever, and a
// device such as /dev/zero never ends.
TEST(FilesPosixTest, SpecialFilesAreRefusedWithoutBlocking) {
  const std::string dir = ::testing::TempDir() + "tessalin_special_files/";
  ::mkdir(dir.c_str(), 0700);
  const std::string fifo = dir + "fifo";
  const std::string zero_link = dir + "zero";
  const std::string socket_path = dir + "socket";
  const std::string folder_link = dir + "folder";
  ::unlink(fifo.c_str());
  ::unlink(zero_link.c_str());
  ::unlink(socket_path.c_str());
  ::unlink(folder_link.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", zero_link.c_str()), 0);
  ASSERT_EQ(::symlink("/", folder_link.c_str()), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  socket_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  for (const std::string& path :
       {fifo, zero_link, std::string("/dev/null"), socket_path, folder_link}) {
    SCOPED_TRACE(path);
    auto problem = std::make_shared<OpenProblem>(OpenProblem::kNone);
    auto opened = std::make_shared<bool>(true);
    auto threw = std::make_shared<bool>(false);
    ASSERT_TRUE(ReturnsPromptly([=] {
      std::string error;
      *opened = OpenRegularFile(path, *problem, error) != nullptr;
      try {
        DefaultFileSystem().OpenTextFile(path);
      } catch (const rtl::EInOutError&) {
        *threw = true;
      }
    }));
    EXPECT_FALSE(*opened);
    EXPECT_EQ(*problem, OpenProblem::kNotRegular);
    EXPECT_TRUE(*threw);
  }
  ::close(sock);
  for (const std::string& path : {fifo, zero_link, socket_path, folder_link}) {
    ::unlink(path.c_str());
  }
  ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace platform
