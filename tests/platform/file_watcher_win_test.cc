// The Windows file watcher (ReadDirectoryChangesW) on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_watcher_fixture.h"

namespace {

TEST_F(FileWatcherTest, ReportsWritesRenamesAndDeletesOfTheWatchedFileOnly) {
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

TEST_F(FileWatcherTest, NamesCompareWithoutCaseAndAMissingFolderIsWatchedOnceItAppears) {
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

}  // namespace
