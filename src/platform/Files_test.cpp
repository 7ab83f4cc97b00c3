#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string TempPath(const char* name) { return ::testing::TempDir() + name; }

TEST(FilesTest, ReadsLinesWithAnyLineEndIncludingAcrossChunks) {
  const std::string path = TempPath("tessalin_lines.txt");
  // Full-length lines up to a CR LF pair that straddles the reader's 64 KiB
  // chunk: its CR is the chunk's last byte.
  const std::string full(kMaxTextLine, 'x');
  std::vector<std::string> expected;
  std::string content;
  while (content.size() + full.size() + 2 < 64 * 1024) {
    content += full + "\r\n";
    expected.push_back(full);
  }
  const std::string straddling(64 * 1024 - 1 - content.size(), 'y');
  content += straddling + "\r\n" + "a\nb\rc\r\n\r\nlast";
  for (std::string line : {straddling, std::string("a"), std::string("b"), std::string("c"),
                           std::string(), std::string("last")}) {
    expected.push_back(line);
  }
  {
    std::ofstream out(path, std::ios::binary);
    out << content;
  }
  FileSystem& fs = DefaultFileSystem();
  auto reader = fs.OpenTextFile(path);
  std::vector<std::string> lines;
  std::string line;
  while (reader->ReadLine(line)) lines.push_back(line);
  EXPECT_EQ(lines, expected);
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

// A line beyond the limit ends the read with an error; the lines before it
// have been read, and nothing of the long line is handed out.
TEST(FilesTest, LineLongerThanTheLimitEndsTheRead) {
  const std::string at_limit(kMaxTextLine, 'a');
  const std::string over_limit(kMaxTextLine + 1, 'b');
  struct Case {
    const char* what;
    std::string content;
    std::vector<std::string> lines;
    bool fails;
  } cases[] = {
      {"a line at the limit", "1\r\n" + at_limit + "\r\n2", {"1", at_limit, "2"}, false},
      {"one character over, after two lines",
       "1\r\n2\r\n" + over_limit + "\r\n3\r\n",
       {"1", "2"},
       true},
      {"over the limit without a line end", over_limit, {}, true},
      {"a line of a megabyte across many chunks",
       "1\n" + std::string(1 << 20, 'c') + "\n2\n",
       {"1"},
       true},
  };
  const std::string path = TempPath("tessalin_long_lines.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << c.content;
    }
    auto reader = DefaultFileSystem().OpenTextFile(path);
    std::vector<std::string> lines;
    std::string line;
    bool failed = false;
    try {
      while (reader->ReadLine(line)) lines.push_back(line);
    } catch (const rtl::EInOutError& e) {
      failed = true;
      EXPECT_NE(std::string(e.Message()).find(path), std::string::npos) << e.Message();
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(failed, c.fails);
  }
  std::remove(path.c_str());
}

TEST(FilesTest, OpensOnlyRegularFiles) {
  OpenProblem problem = OpenProblem::kNone;
  std::string error;
  const std::string folder = ::testing::TempDir();
  EXPECT_EQ(OpenRegularFile(folder, problem, error), nullptr);
  EXPECT_EQ(problem, OpenProblem::kNotRegular) << error;
  EXPECT_THROW(DefaultFileSystem().OpenTextFile(folder), rtl::EInOutError);

  EXPECT_EQ(OpenRegularFile(TempPath("tessalin_no_such_file"), problem, error), nullptr);
  EXPECT_EQ(problem, OpenProblem::kMissing) << error;

  const std::string path = TempPath("tessalin_regular.txt");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "12345";
  }
  auto file = OpenRegularFile(path, problem, error);
  ASSERT_NE(file, nullptr) << error;
  EXPECT_EQ(problem, OpenProblem::kNone);
  EXPECT_EQ(file->Stamp().size, 5u);
  char buffer[8];
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 5u);
  EXPECT_EQ(file->Read(buffer, sizeof buffer), 0u);
  file.reset();
  std::remove(path.c_str());
}

}  // namespace
}  // namespace platform
