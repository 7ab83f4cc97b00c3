#include "service/Usage.h"

#include <gtest/gtest.h>

namespace service {
namespace {

using R = TCommandLineRequest;

TEST(CheckCommandLineTest, SortsTheArguments) {
  struct Case {
    std::vector<std::string> args;
    R request;
    const char* unknown;  // the unknown switch reported, when there is one
  } cases[] = {
      {{}, R::kRun, ""},
      {{"/install", "-SILENT"}, R::kRun, ""},
      {{"-Uninstall", "/silent"}, R::kRun, ""},
      {{"/console"}, R::kRun, ""},
      // Words without a prefix are not switches and not looked at.
      {{"install"}, R::kRun, ""},
      // The file after /read is never a switch, whatever it looks like.
      {{"/read", "-"}, R::kRun, ""},
      {{"-READ", "/var/tmp/--help.pcap", "/console"}, R::kRun, ""},
      {{"--help"}, R::kHelp, ""},
      {{"-h"}, R::kHelp, ""},
      {{"/?"}, R::kHelp, ""},
      {{"/HELP", "/install"}, R::kHelp, ""},
      {{"--version"}, R::kVersion, ""},
      {{"/Version"}, R::kVersion, ""},
      {{"--version", "-h"}, R::kHelp, ""},
      {{"/bogus"}, R::kUnknownSwitch, "/bogus"},
      // Near misses of real switches are mistakes, not service runs.
      {{"/instal"}, R::kUnknownSwitch, "/instal"},
      {{"--install"}, R::kUnknownSwitch, "--install"},
      {{"/installx"}, R::kUnknownSwitch, "/installx"},
      {{"-"}, R::kUnknownSwitch, "-"},
      {{"/"}, R::kUnknownSwitch, "/"},
      {{"/help", "/x", "/y"}, R::kUnknownSwitch, "/x"},
      // A path given without /read is not taken for a file.
      {{"/console", "/tmp/capture.pcap"}, R::kUnknownSwitch, "/tmp/capture.pcap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::string unknown;
    EXPECT_EQ(CheckCommandLine(c.args, &unknown), c.request);
    EXPECT_EQ(unknown, c.unknown);
  }
}

TEST(UsageTest, NamesEverySwitchAndTheVersion) {
  const std::string usage = UsageText();
  for (const char* s : {"/install", "/uninstall", "/silent", "/console", "/read FILE", "--help",
                        "-h", "/?", "--version"}) {
    EXPECT_NE(usage.find(s), std::string::npos) << s;
  }
  EXPECT_EQ(usage.back(), '\n');
  EXPECT_EQ(VersionText(), std::string("tessalin ") + Version());
  EXPECT_NE(std::string(Version()).find('.'), std::string::npos);
}

}  // namespace
}  // namespace service
