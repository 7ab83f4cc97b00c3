#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/Registry.h"

namespace platform {
namespace {

// Works on a key of its own under HKEY_LOCAL_MACHINE and removes it again.
class SystemRegistryTest : public ::testing::Test {
 protected:
  static constexpr char kKey[] = "Software\\quillmere\\harbrook\\TessalinRegistryTest";

  void SetUp() override {
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    ::RegCloseKey(key_);
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
  }
  void Set(const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(::RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }

  HKEY key_ = nullptr;
};

TEST_F(SystemRegistryTest, ReadsStringValues) {
  Set("Sz", REG_SZ, "10.0.0.9", 9);
  Set("Expand", REG_EXPAND_SZ, "%SystemRoot%\\x", 15);
  Set("Empty", REG_SZ, "", 1);
  Set("Embedded", REG_SZ, "ab\0cd", 6);
  Set("Unterminated", REG_SZ, "xyz", 3);
  // Longer than the first buffer a query tries.
  const std::string long_text(1000, 'L');
  Set("Long", REG_SZ, long_text.c_str(), static_cast<DWORD>(long_text.size() + 1));
  DWORD number = 10;
  Set("Number", REG_DWORD, &number, sizeof number);

  Registry& registry = DefaultRegistry();
  struct Case {
    const char* key;
    const char* name;
    bool ok;
    const char* text;
  } cases[] = {
      {"\\Software\\quillmere\\harbrook\\TessalinRegistryTest", "Sz", true, "10.0.0.9"},
      {"Software\\quillmere\\harbrook\\TessalinRegistryTest", "sz", true, "10.0.0.9"},
      {kKey, "Expand", true, "%SystemRoot%\\x"},
      {kKey, "Empty", true, ""},
      {kKey, "Embedded", true, "ab"},
      {kKey, "Unterminated", true, "xyz"},
      {kKey, "Long", true, long_text.c_str()},
      {kKey, "Number", false, ""},
      {kKey, "Missing", false, ""},
      {"Software\\quillmere\\harbrook\\NoSuchKey", "Sz", false, ""},
  };
  for (const Case& c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(registry.ReadString(kHKeyLocalMachine, c.key, c.name, out), c.ok) << c.name;
    EXPECT_EQ(out, c.ok ? c.text : "untouched") << c.name;
    // The same asked together with another value of the key.
    std::string together = "untouched", other = "untouched";
    RegistryQuery queries[] = {{c.name, &together}, {"Sz", &other}};
    registry.ReadStrings(kHKeyLocalMachine, c.key, queries, 2);
    EXPECT_EQ(queries[0].found, c.ok) << c.name;
    EXPECT_EQ(together, c.ok ? c.text : "untouched") << c.name;
    const bool key_there = std::string(c.key).find("NoSuchKey") == std::string::npos;
    EXPECT_EQ(queries[1].found, key_there) << c.name;
    EXPECT_EQ(other, key_there ? "10.0.0.9" : "untouched") << c.name;
  }
}

}  // namespace
}  // namespace platform
