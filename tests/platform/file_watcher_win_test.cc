// The Windows file watcher (ReadDirectoryChangesW) on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

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

}  // namespace
