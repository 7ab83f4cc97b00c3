#include "service/Switches.h"

#include <gtest/gtest.h>

namespace service {
namespace {

using R = TCommandLineRequest;

TEST(HasSwitchTest, PrefixCaseAndWholeName) {
  struct Case {
    std::vector<std::string> args;
    bool install;
  } cases[] = {
      {{"/install"}, true},
      {{"-INSTALL"}, true},
      {{"/Install"}, true},
      {{"/silent", "-install"}, true},
      {{"install"}, false},
      {{"--install"}, false},
      {{"/installx"}, false},
      {{"/"}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasSwitch(c.args, "INSTALL"), c.install)
        << (c.args.empty() ? std::string("(none)") : c.args.back());
  }
}

TEST(SwitchValueTest, TheArgumentAfterTheSwitch) {
  struct Case {
    std::vector<std::string> args;
    bool found;
    const char* value;
  } cases[] = {
      {{"/read", "a.pcap"}, true, "a.pcap"}, {{"/console", "-READ", "-"}, true, "-"},
      {{"/read", "/read"}, true, "/read"},   {{"/read"}, false, ""},
      {{"read", "a.pcap"}, false, ""},       {{}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::string value;
    EXPECT_EQ(SwitchValue(c.args, kSwitchRead, value), c.found);
    EXPECT_EQ(value, c.value);
  }
}

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

}  // namespace
}  // namespace service
