// The change check against a stat that the test controls, on real files.
#include "config/file_change_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "support/temp_dir.h"

namespace {

// Reports a token the test sets for any file that exists: the times, size and
// identity a file system would show, however the content changes.
class CFixedStat : public CFileStat {
 public:
  bool Query(const std::string& path, FileChangeToken* token) const override {
    if (!std::filesystem::exists(path)) return false;
    *token = fixed;
    return true;
  }
  FileChangeToken fixed{1000, 2000, 5, 7, 9};
};

constexpr uint64_t kNoWindow = 0;
constexpr uint64_t kLongWindow = 3600000;

class FileChangeCheckTest : public ::testing::Test {
 protected:
  CTempDir dir;
  CFixedStat stat;
  const std::string path = dir.WriteFile("in.txt", "first");
};

TEST_F(FileChangeCheckTest, AnyTokenDifferenceIsANewVersion) {
  CFileChangeCheck check(stat, CFileChangeCheck::kDefaultHashBytes, kNoWindow);
  EXPECT_EQ(check.Compare(path), FileVersion::kNew) << "nothing taken yet";
  check.Take(path);
  EXPECT_EQ(check.Compare(path), FileVersion::kSame);
  stat.fixed.nModifiedNs += 1;  // a touch: same content, new time
  EXPECT_EQ(check.Compare(path), FileVersion::kNew);
  check.Take(path);
  for (uint64_t FileChangeToken::*field :
       {&FileChangeToken::nSize, &FileChangeToken::nInode, &FileChangeToken::nDevice}) {
    stat.fixed.*field += 1;
    EXPECT_EQ(check.Compare(path), FileVersion::kNew);
    check.Take(path);
    EXPECT_EQ(check.Compare(path), FileVersion::kSame);
  }
}

TEST_F(FileChangeCheckTest, ContentDecidesSoonAfterAReadOrAfterAStatusChange) {
  // Soon after the read: a rewrite the token cannot see is found by its content,
  // and an unchanged content is never new.
  CFileChangeCheck soon(stat, CFileChangeCheck::kDefaultHashBytes, kLongWindow);
  soon.Take(path);
  EXPECT_EQ(soon.Compare(path), FileVersion::kSame);
  dir.WriteFile("in.txt", "other");
  EXPECT_EQ(soon.Compare(path), FileVersion::kNew);
  soon.Take(path);
  EXPECT_EQ(soon.Compare(path), FileVersion::kSame);

  // Later only a changed status-change time makes the content count.
  CFileChangeCheck later(stat, CFileChangeCheck::kDefaultHashBytes, kNoWindow);
  later.Take(path);
  stat.fixed.nChangedNs += 1;  // a chmod: same content
  EXPECT_EQ(later.Compare(path), FileVersion::kSame);
  dir.WriteFile("in.txt", "third");
  EXPECT_EQ(later.Compare(path), FileVersion::kSame) << "beyond what the check can know";
  stat.fixed.nChangedNs += 1;
  EXPECT_EQ(later.Compare(path), FileVersion::kNew);
}

TEST_F(FileChangeCheckTest, HashCoversTheConfiguredLengthOnly) {
  CFileChangeCheck check(stat, 4, kLongWindow);
  dir.WriteFile("in.txt", "abcdEFGH");
  check.Take(path);
  dir.WriteFile("in.txt", "abcdXYZW");
  EXPECT_EQ(check.Compare(path), FileVersion::kSame);
  dir.WriteFile("in.txt", "Abcd");
  EXPECT_EQ(check.Compare(path), FileVersion::kNew);
}

TEST_F(FileChangeCheckTest, MissingFileAndItsDisappearance) {
  CFileChangeCheck check(stat, CFileChangeCheck::kDefaultHashBytes, kNoWindow);
  check.Take(path);
  EXPECT_FALSE(check.Differs(path));
  std::filesystem::remove(path);
  EXPECT_EQ(check.Compare(path), FileVersion::kMissing);
  EXPECT_TRUE(check.Differs(path)) << "gone since it was taken";
  check.Take(path);
  EXPECT_FALSE(check.Differs(path)) << "missing then and now";
  dir.WriteFile("in.txt", "back");
  EXPECT_EQ(check.Compare(path), FileVersion::kNew);
  EXPECT_TRUE(check.Differs(path));
}

// A writer that emptied the file and is still at work, its last write seen just
// as the report was asked for: a write time at or a little after the check's own
// clock reading is no sign of a quiet writer.
class CBusyWriterReports : public CFileWatcher {
 public:
  void Watch(const std::vector<std::string>&) override {}
  bool Wait(CWakeEvent&, int) override { return false; }
  std::vector<WatchFailure> TakeFailures() override { return {}; }
  FileWriteReport WriteReport(const std::string&) override {
    return {WriterState::kWriting, ++nEvents, false, GetMonotonicMilliseconds() + 1};
  }
  uint64_t nEvents = 0;
};

TEST_F(FileChangeCheckTest, AFileItsWriterJustEmptiedWaitsForIt) {
  CBusyWriterReports reports;
  CFileChangeCheck check(stat, CFileChangeCheck::kDefaultHashBytes, kNoWindow);
  check.Take(path);
  check.SettleWrites(&reports);
  stat.fixed = {3000, 3000, 0, 7, 9};
  EXPECT_EQ(check.Compare(path), FileVersion::kSettling);
  EXPECT_EQ(check.Compare(path), FileVersion::kSettling);
  EXPECT_LT(check.NextLookMs(), GetMonotonicMilliseconds() + 2 * CFileChangeCheck::kQuietMs);
}

}  // namespace
