#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string TempPath(const char* name) {
  return ::testing::TempDir() + name;
}

TEST(FilesTest, ReadsLinesWithAnyLineEndIncludingAcrossChunks) {
  const std::string path = TempPath("tessalin_lines.txt");
  // A long first line pushes a CR LF pair across the reader's 64 KiB chunk.
  std::string long_line(64 * 1024 - 1, 'x');
  {
    std::ofstream out(path, std::ios::binary);
    out << long_line << "\r\n" << "a\nb\rc\r\n\r\nlast";
  }
  FileSystem& fs = DefaultFileSystem();
  auto reader = fs.OpenTextFile(path);
  std::vector<std::string> lines;
  std::string line;
  while (reader->ReadLine(line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{long_line, "a", "b", "c", "", "last"}));
  std::remove(path.c_str());
}

TEST(FilesTest, WriterEndsLinesWithCrLfAndReplaceIsAtomicRename) {
  FileSystem& fs = DefaultFileSystem();
  const std::string temp = TempPath("tessalin_table.tmp");
  const std::string table = TempPath("tessalin_table");
  {
    auto w = fs.CreateTextFile(table);
    w->WriteLine("old");
    w->Close();
  }
  auto w = fs.CreateTextFile(temp);
  w->WriteLine("10.0.0.1");
  w->WriteLine(" 00A0C9-1234EF");
  w->Close();
  EXPECT_FALSE(fs.RenameFile(temp, table));  // a plain rename never overwrites
  EXPECT_TRUE(fs.ReplaceFile(temp, table));
  EXPECT_FALSE(fs.FileExists(temp));
  {
    std::ifstream in(table, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "10.0.0.1\r\n 00A0C9-1234EF\r\n");
  }
  EXPECT_TRUE(fs.RemoveFile(table));
  EXPECT_FALSE(fs.RemoveFile(table));
  EXPECT_THROW(fs.OpenTextFile(table), rtl::EInOutError);
}

}  // namespace
}  // namespace platform
