// The system's file watcher on real files, and the wake event it waits with.
#include "platform/file_watcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/file_watcher_fixture.h"
#include "platform/wake_event.h"
#include "support/temp_dir.h"

namespace {

TEST_F(FileWatcherTest, ReportsEveryWayAWatchedFileChangesAndNothingElse) {
  const std::string file = dir.WriteFile("f.txt", "0");
  watcher->Watch({file});
  EXPECT_TRUE(watcher->TakeFailures().empty());
  EXPECT_TRUE(Quiet());

  dir.WriteFile("other.txt", "x");
  EXPECT_TRUE(Quiet()) << "a file of the same folder that is not watched";

  // The first write reports a writer at work, later ones are quiet; the close
  // reports again, and the write reports follow.
  EXPECT_EQ(watcher->WriteReport(file).state, WriterState::kUnknown);
  const int fd = open(file.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(Reported()) << "truncated: a writer is at work";
  ASSERT_EQ(write(fd, "12", 2), 2);
  EXPECT_TRUE(Quiet()) << "a file still open for writing";
  const FileWriteReport writing = watcher->WriteReport(file);
  EXPECT_EQ(writing.state, WriterState::kWriting);
  close(fd);
  EXPECT_TRUE(Reported()) << "written and closed";
  EXPECT_GT(watcher->WriteReport(file).nEvents, writing.nEvents);

  dir.WriteFile("f.txt.new", "3");
  EXPECT_TRUE(Quiet());
  std::filesystem::rename(dir.PathOf("f.txt.new"), file);
  EXPECT_TRUE(Reported()) << "renamed into place";
  EXPECT_EQ(watcher->WriteReport(file).state, WriterState::kClosed);

  std::filesystem::remove(file);
  EXPECT_TRUE(Reported()) << "deleted";
  close(open(file.c_str(), O_WRONLY | O_CREAT, 0644));
  EXPECT_TRUE(Reported()) << "created";
  EXPECT_TRUE(Quiet());
}

TEST_F(FileWatcherTest, FolderThatAppearsLaterIsWatchedThen) {
  const std::string file = dir.PathOf("later/f.txt");
  watcher->Watch({file});
  EXPECT_TRUE(watcher->TakeFailures().empty()) << "a missing folder is no failure";
  EXPECT_TRUE(Quiet());
  std::filesystem::create_directory(dir.PathOf("later"));
  EXPECT_TRUE(Reported()) << "the folder appeared: its files may be new";
  dir.WriteFile("later/f.txt", "1");
  EXPECT_TRUE(Reported());
  // Deleted and made again: the watch follows.
  std::filesystem::remove_all(dir.PathOf("later"));
  EXPECT_TRUE(Reported());
  std::filesystem::create_directory(dir.PathOf("later"));
  EXPECT_TRUE(Reported());
  dir.WriteFile("later/f.txt", "2");
  EXPECT_TRUE(Reported());
}

TEST_F(FileWatcherTest, WatchReplacesTheEarlierFilesAndAWakeEndsTheWait) {
  const std::string first = dir.WriteFile("a.txt", "a");
  const std::string second = dir.WriteFile("b.txt", "b");
  watcher->Watch({first});
  watcher->Watch({second});
  dir.WriteFile("a.txt", "a2");
  EXPECT_TRUE(Quiet());
  dir.WriteFile("b.txt", "b2");
  EXPECT_TRUE(Reported());

  std::thread setter([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    wake.Set();
  });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(watcher->Wait(wake, 60000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
  setter.join();
  EXPECT_TRUE(Quiet()) << "the wake was consumed";
}

TEST(WakeEventTest, SetIsKeptUntilAWaitAndSeveralCountAsOne) {
  CWakeEvent event;
  ASSERT_TRUE(event.IsValid());
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(10));

  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
  WakeResult result = event.WaitWith(pipeFds[0], 1000);
  EXPECT_TRUE(result.bOther);
  EXPECT_FALSE(result.bSet);
  event.Set();
  result = event.WaitWith(pipeFds[0], 1000);
  EXPECT_TRUE(result.bOther);
  EXPECT_TRUE(result.bSet);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
