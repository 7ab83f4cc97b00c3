// The watch's own files as nobody promised them: a FIFO, a device or an
// endless line where the table or the registry file should be. The watch
// neither blocks nor grows without bound; a table keeps what was read before
// the bad line, a registry that cannot be used gives the default host.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "watch/WatchFakes_test.h"
#include "watch/ethread.h"

namespace watch {
namespace {

class UntrustedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "tessalin_untrusted/";
    ::mkdir(dir_.c_str(), 0700);
    Clean();
  }
  void TearDown() override {
    Clean();
    ::rmdir(dir_.c_str());
  }
  void Clean() {
    for (const char* name : {"arptable", "arptable.tmp", "arptable.damaged", "registry.reg"}) {
      ::unlink((dir_ + name).c_str());
    }
  }
  void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream f(dir_ + name, std::ios::binary | std::ios::trunc);
    f << content;
  }

  // Runs fn on a thread of its own; false when it has not returned within
  // 10 s (the thread is then left behind, blocked).
  static bool ReturnsPromptly(std::function<void()> fn) {
    std::packaged_task<void()> task(std::move(fn));
    std::future<void> done = task.get_future();
    std::thread(std::move(task)).detach();
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  }

  std::string dir_;
};

TEST_F(UntrustedFilesTest, TableThatIsNoPlainFileOrHasAnEndlessLine) {
  const std::string pairs = "10.0.0.1\r\n 00A0C9-1234EF\r\n10.0.0.2\r\n 0800AB-000001\r\n";
  struct Case {
    const char* what;
    std::function<void(const std::string& table)> make;
    std::vector<std::string> loaded;
  } cases[] = {
      {"a FIFO", [](const std::string& t) { ASSERT_EQ(::mkfifo(t.c_str(), 0600), 0); }, {}},
      {"a link to /dev/zero",
       [](const std::string& t) { ASSERT_EQ(::symlink("/dev/zero", t.c_str()), 0); },
       {}},
      {"two pairs, then a line of 4 MB",
       [&](const std::string&) {
         WriteFile("arptable", pairs + std::string(4 << 20, '1') + "\r\n 0800AB-000002\r\n");
       },
       {"10.0.0.1", "10.0.0.2"}},
      {"two pairs, then a MAC line of 4 MB without end",
       [&](const std::string&) {
         WriteFile("arptable", pairs + "10.0.0.3\r\n " + std::string(4 << 20, 'A'));
       },
       {"10.0.0.1", "10.0.0.2"}},
  };
  testing::FakeEvents events;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Clean();
    WatchEnvironment env;
    env.data_directory = dir_;
    env.events = &events;
    TEthThread t(true, env);
    t.SetRegistry(std::make_unique<AddressRegistry>());
    c.make(t.TablePath());
    ASSERT_TRUE(ReturnsPromptly([&] { t.LoadTable(); }));
    std::vector<std::string> loaded;
    const AddressRegistry::Copy copy = t.Registry()->CopyTable();
    for (size_t i = 0; i < copy.Count(); ++i) loaded.push_back(copy.Ip(i));
    EXPECT_EQ(loaded, c.loaded);
    // The file as it was is moved beside the table, and the entry says so.
    struct stat st;
    EXPECT_EQ(::lstat(t.DamagedTablePath().c_str(), &st), 0);
    EXPECT_NE(::lstat(t.TablePath().c_str(), &st), 0);
    const auto entries = events.WithId(kEventTableDamaged);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].text.find("kept as " + t.DamagedTablePath()), std::string::npos);
    events.Clear();
    if (loaded.empty()) continue;
    // Only what was read is written back.
    ASSERT_TRUE(t.SaveTable());
    std::ifstream in(t.TablePath(), std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, pairs);
  }
}

TEST_F(UntrustedFilesTest, RegistryFileThatIsAFifoOrTooLarge) {
  const std::string head =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
      "\"SyslogHost\"=\"10.7.7.7\"\r\n";
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
    std::string host;
    platform::RegistrySource source;
  } cases[] = {
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       kDefaultSyslogHost, platform::RegistrySource::kNotRegular},
      {"larger than 1 MB",
       [&](const std::string&) {
         WriteFile("registry.reg", head + ";" + std::string(1 << 20, 'x') + "\r\n");
       },
       kDefaultSyslogHost, platform::RegistrySource::kTooLarge},
      {"a usable file", [&](const std::string&) { WriteFile("registry.reg", head); }, "10.7.7.7",
       platform::RegistrySource::kUsable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Clean();
    const std::string path = dir_ + "registry.reg";
    c.make(path);
    platform::RegistryFile registry(path);
    std::string host;
    ASSERT_TRUE(ReturnsPromptly([&] { host = ReadSyslogHost(registry); }));
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(registry.LastSource(), c.source);
  }
}

}  // namespace
}  // namespace watch
