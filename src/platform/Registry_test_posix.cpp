#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "platform/Registry.h"

namespace platform {
namespace {

constexpr char kKey[] = "\\Software\\quillmere\\harbrook\\Tessalin";

std::string ExportWithHost(const std::string& host) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
         "\"SyslogHost\"=\"" +
         host + "\"\r\n";
}

class RegistryFilePosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "tessalin-registry-posix.reg";
    ::unlink(path_.c_str());
  }
  void TearDown() override { ::unlink(path_.c_str()); }

  // Writes in place (the same file), then sets the time of last write.
  void Write(const std::string& content, timespec modified) {
    {
      std::ofstream f(path_, std::ios::binary | std::ios::trunc);
      f << content;
    }
    SetModified(modified);
  }
  void SetModified(timespec modified) {
    const timespec times[2] = {modified, modified};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }
  std::string Read(RegistryFile& registry) {
    std::string out = "none";
    registry.ReadString(kHKeyLocalMachine, kKey, "SyslogHost", out);
    return out;
  }
  // SyslogHost as one of several values asked together, the other one
  // missing (left alone).
  std::string ReadTogether(RegistryFile& registry) {
    std::string host = "none", port = "none";
    RegistryQuery queries[] = {{"SyslogHost", &host}, {"SyslogPort", &port}};
    registry.ReadStrings(kHKeyLocalMachine, kKey, queries, 2);
    EXPECT_EQ(queries[0].found, host != "none");
    EXPECT_FALSE(queries[1].found);
    EXPECT_EQ(port, "none");
    return host;
  }

  std::string path_;
};

// The file is parsed again only when it has changed; what counts as a
// change is another file in its place, another size or another time of
// last write, to the nanosecond.
TEST_F(RegistryFilePosixTest, ParsesTheFileAgainOnlyWhenItHasChanged) {
  const timespec old_time{1700000000, 500};
  struct Case {
    const char* what;
    std::function<void()> change;
    bool read_again;
    std::string host;
  } cases[] = {
      {"nothing", [] {}, false, "10.0.0.1"},
      {"another size", [&] { Write(ExportWithHost("10.0.0.22"), old_time); }, true, "10.0.0.22"},
      {"one nanosecond later",
       [&] {
         Write(ExportWithHost("10.0.0.33"), old_time);
         SetModified({old_time.tv_sec, old_time.tv_nsec + 1});
       },
       true, "10.0.0.33"},
      {"a new file of the same size and time",
       [&] {
         const std::string next = path_ + ".new";
         {
           std::ofstream f(next, std::ios::binary);
           f << ExportWithHost("10.0.0.44");
         }
         const timespec times[2] = {old_time, old_time};
         ::utimensat(AT_FDCWD, next.c_str(), times, 0);
         ASSERT_EQ(::rename(next.c_str(), path_.c_str()), 0);
       },
       true, "10.0.0.44"},
      {"written just now, same size",
       [&] {
         Write(ExportWithHost("10.0.0.55"), {0, UTIME_NOW});
       },
       true, "10.0.0.55"},
      {"and again within the same tick",
       [&] {
         struct stat st;
         ::stat(path_.c_str(), &st);
         Write(ExportWithHost("10.0.0.66"), st.st_mtim);
       },
       true, "10.0.0.66"},
  };
  // One value asked alone, then two asked together (each parse of the
  // content answers one question).
  for (const bool together : {false, true}) {
    SCOPED_TRACE(together ? "asked together" : "asked alone");
    Write(ExportWithHost("10.0.0.1"), old_time);
    RegistryFile registry(path_);
    auto read = [&] { return together ? ReadTogether(registry) : Read(registry); };
    EXPECT_EQ(read(), "10.0.0.1");
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      const uint64_t before = registry.Parses();
      c.change();
      EXPECT_EQ(read(), c.host);
      EXPECT_EQ(registry.Parses() - before, c.read_again ? (together ? 2u : 1u) : 0u);
    }
  }
}

// Every report asks several values of an unchanged file: each is parsed
// once, not once per question.
TEST_F(RegistryFilePosixTest, SeveralValuesOfAnUnchangedFileAreReadOnce) {
  Write(ExportWithHost("10.0.0.1"), {1700000000, 0});
  RegistryFile registry(path_);
  const char* names[] = {"SyslogHost", "SyslogTransport", "SyslogPort", "SyslogRate"};
  std::string out;
  for (const char* name : names) registry.ReadString(kHKeyLocalMachine, kKey, name, out);
  const uint64_t after_first = registry.Parses();
  EXPECT_EQ(after_first, 4u);
  for (int report = 0; report < 3; ++report) {
    for (const char* name : names) registry.ReadString(kHKeyLocalMachine, kKey, name, out);
  }
  EXPECT_EQ(registry.Parses(), after_first);
  EXPECT_EQ(registry.ContentReads(), 1u);
  EXPECT_EQ(Read(registry), "10.0.0.1");
  // Asked together, they are answered from what was kept.
  std::string texts[4] = {"a", "b", "c", "d"};
  RegistryQuery queries[4] = {
      {names[0], &texts[0]}, {names[1], &texts[1]}, {names[2], &texts[2]}, {names[3], &texts[3]}};
  registry.ReadStrings(kHKeyLocalMachine, kKey, queries, 4);
  EXPECT_EQ(registry.Parses(), after_first);
  EXPECT_TRUE(queries[0].found);
  EXPECT_EQ(texts[0], "10.0.0.1");
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(queries[i].found) << names[i];
  EXPECT_EQ(texts[3], "d");
}

// An edit written right after a read, of the same size and with a time of
// last write the file system may well give both writes (the same tick of
// its clock, or the same second where it keeps only seconds), is seen at
// the next read; the file is parsed once per content all the same.
TEST_F(RegistryFilePosixTest, AnEditRightAfterAReadIsSeenAtTheNextRead) {
  timespec now;
  ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &now), 0);
  const struct {
    const char* what;
    timespec time;  // of both writes
  } cases[] = {
      {"the same nanosecond", now},
      {"the same whole second", {now.tv_sec, 0}},
      {"the times the file system gives", {0, UTIME_OMIT}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(path_.c_str());
    Write(ExportWithHost("10.0.0.1"), c.time);
    RegistryFile registry(path_);
    EXPECT_EQ(Read(registry), "10.0.0.1");
    Write(ExportWithHost("10.0.0.2"), c.time);
    EXPECT_EQ(Read(registry), "10.0.0.2");
    EXPECT_EQ(ReadTogether(registry), "10.0.0.2");
    EXPECT_EQ(Read(registry), "10.0.0.2");
    // SyslogHost for each content, SyslogPort for the second.
    EXPECT_EQ(registry.Parses(), 3u);
  }
}

// Every report asks the configuration: a burst of reports just after an
// edit parses the file once, and once its time of last write is old enough
// to tell any later write, the file is not even read again.
TEST_F(RegistryFilePosixTest, ABurstOfReadsAfterAFreshWriteParsesOnce) {
  {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f << ExportWithHost("10.0.0.1");
  }
  RegistryFile registry(path_);
  for (int report = 0; report < 1000; ++report) ASSERT_EQ(ReadTogether(registry), "10.0.0.1");
  EXPECT_EQ(registry.Parses(), 2u);

  // The same bytes with an older time: read once more, to the same answers.
  SetModified({1700000000, 500});
  for (int report = 0; report < 1000; ++report) ASSERT_EQ(ReadTogether(registry), "10.0.0.1");
  EXPECT_EQ(registry.Parses(), 2u);
  const uint64_t reads = registry.ContentReads();
  EXPECT_EQ(ReadTogether(registry), "10.0.0.1");
  EXPECT_EQ(registry.ContentReads(), reads);
}

TEST_F(RegistryFilePosixTest, AFifoIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  RegistryFile registry(path_);
  std::packaged_task<std::string()> task([&] { return Read(registry); });
  std::future<std::string> result = task.get_future();
  std::thread(std::move(task)).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(result.get(), "none");
  EXPECT_EQ(registry.LastSource(), RegistrySource::kNotRegular);
}

}  // namespace
}  // namespace platform
