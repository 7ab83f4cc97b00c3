#include "platform/CommandLine.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(CommandLineTest, SplitsAtSpacesAndControlCharactersQuotesGroup) {
  struct Case {
    const char* text;
    std::vector<std::string> args;
  } cases[] = {
      {"tessalin.exe /install", {"tessalin.exe", "/install"}},
      {"  a\tb\r\n c  ", {"a", "b", "c"}},
      {"\"C:\\Program Files\\tessalin.exe\" -SILENT",
       {"C:\\Program Files\\tessalin.exe", "-SILENT"}},
      {"/in\"st all\"x", {"/inst allx"}},
      {"\"\" x", {"", "x"}},
      {"\"open quote", {"open quote"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.text), c.args) << c.text;
}

}  // namespace
}  // namespace platform
