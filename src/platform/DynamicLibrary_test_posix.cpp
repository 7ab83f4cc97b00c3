#include <gtest/gtest.h>

#include "platform/DynamicLibrary.h"
#include "platform/SystemError.h"

namespace platform {
namespace {

// A library answers only for its own exports, as a Windows DLL does: a libc
// function reached through the library's dependencies is not its entry point.
TEST(DynamicLibraryTest, LooksUpOnlyTheLibrarysOwnExports) {
  LibraryHandle h = LoadLibraryA("libgcc_s.so.1");
  ASSERT_NE(h, nullptr);
  EXPECT_NE(GetProcAddress(h, "_Unwind_Resume"), nullptr);
  EXPECT_EQ(GetProcAddress(h, "malloc"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorProcNotFound);
  EXPECT_TRUE(FreeLibrary(h));
}

TEST(DynamicLibraryTest, MissingLibraryAndBuiltinModules) {
  EXPECT_EQ(LoadLibraryA("NoSuchLibrary.dll"), nullptr);
  EXPECT_EQ(GetLastError(), kErrorModNotFound);
  static int marker;
  RegisterBuiltinModule("Probe.DLL", [](const char* name) -> void* {
    return std::string(name) == "Here" ? &marker : nullptr;
  });
  LibraryHandle h = LoadLibraryA("PROBE.dll");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetProcAddress(h, "Here"), &marker);
  EXPECT_EQ(GetProcAddress(h, "Absent"), nullptr);
}

}  // namespace
}  // namespace platform
