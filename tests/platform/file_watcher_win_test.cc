// The Windows file watcher (ReadDirectoryChangesW) and the change token from
// the file's handle, on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/file_stat.h"
#include "platform/file_system.h"
#include "platform/file_watcher.h"
#include "platform/wake_event.h"
#include "support/temp_dir.h"

namespace {

// Bounds: a report comes within milliseconds; "nothing" is judged after a pause.
constexpr int kReportMs = 3000;
constexpr int kQuietMs = 150;

class FileWatcherWinTest : public ::testing::Test {
 protected:
  bool Reported() { return watcher->Wait(wake, kReportMs); }
  bool Quiet() { return !watcher->Wait(wake, kQuietMs); }

  CTempDir dir;
  CWakeEvent wake;
  std::unique_ptr<CFileWatcher> watcher = CreateSystemFileWatcher();
};

TEST_F(FileWatcherWinTest, ReportsWritesRenamesAndDeletesOfTheWatchedFileOnly) {
  const std::string file = dir.WriteFile("input.txt", "one");
  watcher->Watch({file});
  EXPECT_TRUE(Quiet());

  dir.WriteFile("other.txt", "unrelated");
  EXPECT_TRUE(Quiet()) << "another file in the folder";

  dir.WriteFile("input.txt", "two");
  EXPECT_TRUE(Reported()) << "rewritten";
  while (!Quiet()) {
  }

  const std::string replacement = dir.WriteFile("input.new", "three");
  std::filesystem::rename(replacement, file);
  EXPECT_TRUE(Reported()) << "renamed into place";
  while (!Quiet()) {
  }

  std::filesystem::remove(file);
  EXPECT_TRUE(Reported()) << "deleted";
  EXPECT_TRUE(watcher->TakeFailures().empty());
}

TEST_F(FileWatcherWinTest, NamesCompareWithoutCaseAndAMissingFolderIsWatchedOnceItAppears) {
  const std::string later = dir.PathOf("later");
  watcher->Watch({later + "\\Input.TXT"});
  EXPECT_TRUE(watcher->TakeFailures().empty()) << "a missing folder is not a failure";
  std::filesystem::create_directory(later);
  EXPECT_TRUE(Reported()) << "the folder appeared";
  while (!Quiet()) {
  }
  std::ofstream(later + "\\input.txt") << "x";
  EXPECT_TRUE(Reported());
}

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
  EXPECT_TRUE(ReadFileBytes(path, 100, &bytes));
  EXPECT_EQ(bytes, "content+");
}

}  // namespace
