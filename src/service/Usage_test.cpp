#include "service/Usage.h"

#include <gtest/gtest.h>

namespace service {
namespace {

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
