#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <string>

namespace rtl {
namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

// The order of every sorted list and of the table file. Rows longer than
// eight bytes take the path that passes equal leading bytes in blocks.
TEST(CompareTextTest, FoldsAsciiLettersOnlyThenByteOrder) {
  struct Case {
    std::string a, b;
    int order;
  } cases[] = {
      {"", "", 0},
      {"abc", "ABC", 0},
      {"00a0c9-1234ef", "00A0C9-1234EF", 0},
      {"a", "B", -1},
      {"B", "a", 1},
      {"10.0.0.1", "10.0.0.10", -1},   // a text before its own extensions
      {"10.0.0.9", "10.0.0.10", 1},    // characters, not numbers
      {"1.2.3.4", "1.2.3.A", -1},      // digits before letters
      {"_", "a", 1},                   // "_" after the letters it would sit between
      {"z", std::string("\xE9"), -1},  // bytes from 0x80 after all of them, not folded
      {std::string("\xE9"), std::string("\xC9"), 1},
      {"0123456789abcdefX", "0123456789ABCDEFy", -1},
      {"0123456789abcdef", "0123456789ABCDEF", 0},
      {"0123456789ABCDEF", "0123456789abcdefg", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a + " / " + c.b);
    EXPECT_EQ(Sign(CompareText(c.a, c.b)), c.order);
    EXPECT_EQ(Sign(CompareText(c.b, c.a)), -c.order);
    EXPECT_EQ(SameText(c.a, c.b), c.order == 0);
  }
  EXPECT_EQ(UpperCase("aZ_\xE9"), "AZ_\xE9");
}

}  // namespace
}  // namespace rtl
