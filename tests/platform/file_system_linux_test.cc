// Linux cases of the file functions: /proc, symbolic links, POSIX paths.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

class CFileSystemLinuxTest : public ::testing::Test {
 protected:
  CTempDir dir;
};

TEST_F(CFileSystemLinuxTest, AFailingReadIsReportedAndNotTakenForTheEndOfTheFile) {
  // A process's own memory cannot be read from address 0: every read fails.
  const std::string failing = dir.PathOf("mem");
  std::filesystem::create_symlink("/proc/self/mem", failing);
  const std::string ok = dir.WriteFile("ok.txt", "a\n");
  std::string out = "stale";
  const CResult read = ReadFileBytes(failing, 100, &out);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(read.Code(), CResultCode::kIoError);
  EXPECT_TRUE(ReadFileBytes(ok, 100, &out).ok());

  CTextFileReader reader;
  char buffer[16] = "stale";
  ASSERT_TRUE(reader.Open(failing).ok());
  EXPECT_FALSE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(reader.ReadError().Detail(), "Input/output error");
  // Opening again starts afresh; a file that simply ends reports no error.
  ASSERT_TRUE(reader.Open(ok).ok());
  EXPECT_TRUE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_FALSE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_TRUE(reader.ReadError().ok());
}

TEST_F(CFileSystemLinuxTest, AFifoIsRefusedInWordsAndNotAsAReadError) {
  const std::string fifo = dir.PathOf("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string out;
  const CResult read = ReadFileBytes(fifo, 10, &out);
  EXPECT_EQ(read.Detail(), "not a regular file (a FIFO, socket or device)");
  EXPECT_NE(read.Code(), CResultCode::kIoError);
}

TEST_F(CFileSystemLinuxTest, ExistenceAndAbsolutePaths) {
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

}  // namespace
