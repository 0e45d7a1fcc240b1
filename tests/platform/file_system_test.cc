#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

class CFileSystemTest : public ::testing::Test {
 protected:
  // Every line CTextFileReader returns for `bytes` with a buffer of `size`.
  std::vector<std::string> ReadLines(const std::string& bytes, size_t size) {
    CTextFileReader reader;
    EXPECT_TRUE(reader.Open(dir.WriteFile("lines.txt", bytes)));
    std::vector<std::string> lines;
    std::vector<char> buffer(size);
    while (reader.ReadLine(buffer.data(), buffer.size())) lines.emplace_back(buffer.data());
    return lines;
  }

  CTempDir dir;
};

TEST_F(CFileSystemTest, TextReaderReadsLikeTextModeFgets) {
  const struct {
    std::string bytes;
    size_t size;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\nb\n", 256, {"a\n", "b\n"}},
      {"a\r\nb", 256, {"a\n", "b"}},  // CR LF reads as LF
      {"a\rb\r", 256, {"a\rb\r"}},    // lone CRs stay
      {"a\r\r\nb", 256, {"a\r\n", "b"}},
      {"abcdef\n", 4, {"abc", "def", "\n"}},  // at most size-1 bytes per call
      {"a\r\n", 3, {"a\n"}},                  // the pair is one byte of the limit
      {"", 256, {}},
      {std::string(5000, 'x') + "\r\n",
       4096,
       {std::string(4095, 'x'), std::string(905, 'x') + "\n"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadLines(c.bytes, c.size), c.lines) << c.bytes.substr(0, 20);
  }
}

TEST_F(CFileSystemTest, TextReaderPairsCrLfAcrossItsReadChunks) {
  // The CR is the last byte of the reader's first 4096-byte chunk.
  const std::string bytes = std::string(4095, 'x') + "\r\ny";
  EXPECT_EQ(ReadLines(bytes, 8192), (std::vector<std::string>{std::string(4095, 'x') + "\n", "y"}));
}

TEST_F(CFileSystemTest, TextReaderRefusesWhatItCannotOpen) {
  CTextFileReader reader;
  EXPECT_FALSE(reader.Open(dir.PathOf("missing")));
  EXPECT_FALSE(reader.Open(dir.Path().string()));
  char buffer[8] = "stale";
  EXPECT_FALSE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(CFileSystemTest, ReadFileBytesStopsAtTheLimit) {
  const std::string path = dir.WriteFile("x.xml", "<a>\0</a>"s);
  std::string out;
  ASSERT_TRUE(ReadFileBytes(path, 3, &out));
  EXPECT_EQ(out, "<a>");
  ASSERT_TRUE(ReadFileBytes(path, 65536, &out));
  EXPECT_EQ(out, "<a>\0</a>"s);
  out = "stale";
  EXPECT_FALSE(ReadFileBytes(dir.PathOf("missing"), 10, &out));
  EXPECT_TRUE(out.empty());
}

TEST_F(CFileSystemTest, AFailingReadIsReportedAndNotTakenForTheEndOfTheFile) {
  // A process's own memory cannot be read from address 0: every read fails.
  const std::string failing = dir.PathOf("mem");
  std::filesystem::create_symlink("/proc/self/mem", failing);
  const std::string ok = dir.WriteFile("ok.txt", "a\n");
  std::string out = "stale";
  std::string error = "stale";
  EXPECT_FALSE(ReadFileBytes(failing, 100, &out, &error));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(error, "Input/output error");
  EXPECT_FALSE(ReadFileBytes(dir.PathOf("missing"), 100, &out, &error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(ReadFileBytes(failing, 100, &out));
  EXPECT_TRUE(ReadFileBytes(ok, 100, &out, &error));
  EXPECT_EQ(error, "");

  CTextFileReader reader;
  char buffer[16] = "stale";
  ASSERT_TRUE(reader.Open(failing));
  EXPECT_FALSE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(reader.ReadError(), "Input/output error");
  // Opening again starts afresh; a file that simply ends reports no error.
  ASSERT_TRUE(reader.Open(ok));
  EXPECT_TRUE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_FALSE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_EQ(reader.ReadError(), "");
}

TEST_F(CFileSystemTest, ExistenceAndAbsolutePaths) {
  EXPECT_TRUE(FileExists(dir.WriteFile("e", "")));
  EXPECT_TRUE(FileExists(dir.Path().string()));
  EXPECT_FALSE(FileExists(dir.PathOf("missing")));

  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(GetAbsolutePath("a/../b/./c"), cwd + "/b/c");
  EXPECT_EQ(GetAbsolutePath("/x//y/../z"), "/x/z");
  EXPECT_EQ(GetAbsolutePath(""), "");

  // A symbolic link stays as written.
  std::filesystem::create_directory_symlink(dir.Path(), dir.PathOf("link"));
  EXPECT_EQ(GetAbsolutePath(dir.PathOf("link") + "/f"), dir.PathOf("link") + "/f");
}

TEST_F(CFileSystemTest, WriteTimeIsZeroWithoutAFile) {
  EXPECT_EQ(QueryFileWriteTime(dir.PathOf("missing")), 0u);
  EXPECT_NE(QueryFileWriteTime(dir.WriteFile("f", "")), 0u);
}

}  // namespace
