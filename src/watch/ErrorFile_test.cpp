#include "watch/ErrorFile.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "rtl/SysUtils.h"
#include "watch/WatchFakes_test.h"

namespace watch {
namespace {

using testing::FakeFiles;

constexpr char kErr[] = "/data/tessalin.err";

TEST(ErrorFileTest, EachWriteReplacesTheLine) {
  FakeFiles files;
  files.files[kErr] = "an old line\r\nand another\r\n";
  WriteErrorFile(files, "/data/", "registerring");
  EXPECT_EQ(files.Content(kErr), "registerring\r\n");
  // An empty text is an empty line, not an empty file.
  WriteErrorFile(files, "/data/", "");
  EXPECT_EQ(files.Content(kErr), "\r\n");
}

TEST(ErrorFileTest, FailuresReachTheCaller) {
  for (const char* step : {"create", "write", "close"}) {
    SCOPED_TRACE(step);
    FakeFiles files;
    files.fail = [step](const std::string& op, const std::string&) { return op == step; };
    EXPECT_THROW(WriteErrorFile(files, "/data/", "allocating"), rtl::EInOutError);
  }
}

// Writers on several threads take turns: the file always ends as one whole
// line of one of them, never two lines or a mix.
TEST(ErrorFileTest, WritersOnSeveralThreadsLeaveOneLine) {
  FakeFiles files;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&files, t] {
      for (int i = 0; i < 200; ++i) {
        WriteErrorFile(files, "/data/", "some major error :writer " + std::to_string(t));
      }
    });
  }
  for (std::thread& w : writers) w.join();
  const std::string content = files.Content(kErr);
  ASSERT_EQ(content.size(), std::string("some major error :writer 0\r\n").size()) << content;
  EXPECT_EQ(content.rfind("some major error :writer ", 0), 0u);
}

}  // namespace
}  // namespace watch
