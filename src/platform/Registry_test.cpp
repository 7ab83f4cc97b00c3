#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace platform {
namespace {

constexpr char kKey[] = "\\Software\\quillmere\\harbrook\\Tessalin";

std::string Export(const std::string& body) {
  return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

TEST(RegistryFileTest, ParsesTheExportFormat) {
  struct Case {
    const char* what;
    std::string content;
    bool ok;
    std::string host;
  } cases[] = {
      {"plain string",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
              "\"SyslogHost\"=\"10.0.0.5\"\r\n"),
       true, "10.0.0.5"},
      {"key and value names ignore case, LF line ends, comments",
       Export("; settings\n[hkey_local_machine\\SOFTWARE\\Quillmere\\harbrook\\tessalin]\n"
              "  ; the syslog server\n\"sysloghost\"=\"logs.example\"\n"),
       true, "logs.example"},
      {"escapes",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"a\\\\b\\\"c\"\n"),
       true, "a\\b\"c"},
      {"empty string",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"\"\n"),
       true, ""},
      {"expand string in UTF-16LE over continuation lines, not expanded",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=hex(2):25,00,48,00,25,00,\\\n  41,00,00,00,42,00,00,00\n"),
       true, "%H%A"},
      {"last definition wins, other keys and values ignored",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"first\"\n\"Other\"=dword:00000001\n"
              "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin\\Sub]\n"
              "\"SyslogHost\"=\"sub\"\n"
              "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"second\"\n@=\"default\"\n"),
       true, "second"},
      {"UTF-8 byte order mark",
       "\xEF\xBB\xBF" + Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\"
                               "harbrook\\Tessalin]\n\"SyslogHost\"=\"h\"\n"),
       true, "h"},
      {"DWORD is not a string",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=dword:0000000a\n"),
       false, ""},
      {"binary is not a string",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=hex:41,00\n"),
       false, ""},
      {"type number of eight hex digits, highest bit set",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=hex(E7777777):41,00\n"),
       false, ""},
      {"type number ffffffff is a type, not a removal",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"kept\"\n\"SyslogHost\"=hex(ffffffff):41,00\n"),
       false, ""},
      {"type number of nine hex digits",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=hex(100000001):41,00\n"),
       false, ""},
      {"value missing",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"Other\"=\"x\"\n"),
       false, ""},
      {"key missing",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook]\n"
              "\"SyslogHost\"=\"x\"\n"),
       false, ""},
      {"other root",
       Export("[HKEY_CURRENT_USER\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"x\"\n"),
       false, ""},
      {"removed value",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"x\"\n\"SyslogHost\"=-\n"),
       false, ""},
      {"wrong header",
       "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
       "\"SyslogHost\"=\"x\"\n",
       false, ""},
      {"empty file", "", false, ""},
      {"unterminated text",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"x\n"),
       false, ""},
      {"unknown escape",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"a\\nb\"\n"),
       false, ""},
      {"unterminated section",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\"
              "Tessalin\n\"SyslogHost\"=\"x\"\n"),
       false, ""},
      {"stray line elsewhere spoils the file",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=\"x\"\n[HKEY_LOCAL_MACHINE\\Software\\Other]\nnonsense\n"),
       false, ""},
      {"bad hex",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=hex(2):4g,00\n"),
       false, ""},
      {"continuation at the end of the file",
       Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\n"
              "\"SyslogHost\"=hex(2):41,00,\\\n"),
       false, ""},
  };
  for (const Case& c : cases) {
    std::string out = "untouched";
    bool ok = ReadRegistryExportString(c.content, kHKeyLocalMachine, kKey, "SyslogHost", out);
    EXPECT_EQ(ok, c.ok) << c.what;
    EXPECT_EQ(out, c.ok ? c.host : "untouched") << c.what;
  }

  // The registry editor itself saves UTF-16LE with a byte order mark.
  std::string wide = "\xFF\xFE";
  for (char ch : Export("[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
                        "\"SyslogHost\"=\"wide.example\"\r\n")) {
    wide += ch;
    wide += '\0';
  }
  std::string out;
  EXPECT_TRUE(ReadRegistryExportString(wide, kHKeyLocalMachine, kKey, "SyslogHost", out));
  EXPECT_EQ(out, "wide.example");
}

TEST(RegistryFileTest, ReadsTheFileAnewAtEveryQuery) {
  const std::string path =
      (std::filesystem::temp_directory_path() / "tessalin-registry-test.reg").string();
  std::remove(path.c_str());
  RegistryFile registry(path);
  std::string out;
  EXPECT_FALSE(registry.ReadString(kHKeyLocalMachine, kKey, "SyslogHost", out));

  auto write = [&](const std::string& host) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << Export(
        "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
        "\"SyslogHost\"=\"" +
        host + "\"\r\n");
  };
  write("10.1.1.1");
  ASSERT_TRUE(registry.ReadString(kHKeyLocalMachine, kKey, "SyslogHost", out));
  EXPECT_EQ(out, "10.1.1.1");
  write("10.2.2.2");
  ASSERT_TRUE(registry.ReadString(kHKeyLocalMachine, kKey, "SyslogHost", out));
  EXPECT_EQ(out, "10.2.2.2");
  std::remove(path.c_str());
  EXPECT_FALSE(registry.ReadString(kHKeyLocalMachine, kKey, "SyslogHost", out));
}

// Only a regular file of at most 1 MB is read; the reason for anything else
// is there for the caller to report.
TEST(RegistryFileTest, ReadsOnlyARegularFileOfAtMostOneMegabyte) {
  const std::string dir = ::testing::TempDir();
  const std::string path = dir + "tessalin-registry-size.reg";
  const std::string head = Export(
      "[HKEY_LOCAL_MACHINE\\Software\\quillmere\\harbrook\\Tessalin]\r\n"
      "\"SyslogHost\"=\"10.9.9.9\"\r\n");
  // Comment lines up to the wanted size.
  auto padded = [&](size_t size) {
    std::string content = head;
    while (content.size() + 200 < size) content += ";" + std::string(97, 'p') + "\r\n";
    content += ";" + std::string(size - content.size() - 3, 'q') + "\r\n";
    return content;
  };
  struct Case {
    const char* what;
    std::string target;   // the path queried
    std::string content;  // written to path first, when not empty
    bool found;
    RegistrySource source;
  } cases[] = {
      {"exactly 1 MB", path, padded(kMaxRegistryFileSize), true, RegistrySource::kUsable},
      {"one byte more", path, padded(kMaxRegistryFileSize + 1), false, RegistrySource::kTooLarge},
      {"8 MB", path, padded(8 * kMaxRegistryFileSize), false, RegistrySource::kTooLarge},
      {"a folder", dir, "", false, RegistrySource::kNotRegular},
      {"no file", dir + "tessalin-no-registry.reg", "", false, RegistrySource::kMissing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.content.empty()) {
      std::ofstream f(path, std::ios::binary | std::ios::trunc);
      f << c.content;
    }
    RegistryFile registry(c.target);
    std::string out = "untouched";
    EXPECT_EQ(registry.ReadString(kHKeyLocalMachine, kKey, "SyslogHost", out), c.found);
    EXPECT_EQ(out, c.found ? "10.9.9.9" : "untouched");
    EXPECT_EQ(registry.LastSource(), c.source) << RegistrySourceText(registry.LastSource());
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace platform
