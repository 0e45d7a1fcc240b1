// Files on Windows: change tokens from the file's handle, directory write times,
// reads beside a writer, absolute paths.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_stat.h"
#include "support/temp_dir.h"

namespace {

TEST(FileStatWinTest, TokenFollowsContentAndIdentityAndMatchesTheDirectoryTime) {
  CTempDir dir;
  const std::string path = dir.WriteFile("token.txt", "12345");
  FileChangeToken first;
  ASSERT_TRUE(SystemFileStat().Query(path, &first));
  EXPECT_EQ(first.nSize, 5u);
  EXPECT_NE(first.nInode, 0u) << "the file index";
  // The directory entry's time in 100 ns units since 1601, the token's in
  // nanoseconds since 1970.
  const int64_t fromDirectory =
      (static_cast<int64_t>(QueryFileWriteTime(path)) - 116444736000000000) * 100;
  EXPECT_EQ(first.nModifiedNs, fromDirectory);

  // Same size, new file behind the name: the identity tells it apart.
  const std::string other = dir.WriteFile("token.new", "54321");
  std::filesystem::rename(other, path);
  FileChangeToken second;
  ASSERT_TRUE(SystemFileStat().Query(path, &second));
  EXPECT_FALSE(first.SameVersion(second));
  EXPECT_FALSE(SystemFileStat().Query(dir.PathOf("missing.txt"), &second));
  EXPECT_EQ(QueryFileWriteTime(dir.PathOf("missing.txt")), 0u);
}

TEST(FileSystemWinTest, AFileHeldOpenForWritingIsStillRead) {
  CTempDir dir;
  const std::string path = dir.WriteFile("held.txt", "content");
  std::ofstream writer(path, std::ios::app);
  writer << "+";
  writer.flush();
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(path, 100, &bytes).ok());
  EXPECT_EQ(bytes, "content+");
}

TEST(FileSystemWinTest, AbsolutePathsAreNormalisedByTheirText) {
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(GetAbsolutePath("a/../b/./c"), cwd + "\\b\\c");
  EXPECT_EQ(GetAbsolutePath("C:\\x\\\\y\\..\\z"), "C:\\x\\z");
  EXPECT_EQ(GetAbsolutePath(""), "");
}

}  // namespace
