// Linux cases of the file functions: /proc, symbolic links, POSIX paths.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
  EXPECT_EQ(read.Message(), "read " + failing + ": Input/output error");
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

TEST_F(CFileSystemLinuxTest, AnOpenFailureSaysWhyAndIsNeverAReadError) {
  const std::string fifo = dir.PathOf("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socketPath = dir.PathOf("sock");
  const int socketFd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const std::string locked = dir.WriteFile("locked.txt", "x");
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  const bool root = geteuid() == 0;  // root opens it all the same
  const struct {
    std::string path;
    std::string detail;
  } cases[] = {
      {dir.PathOf("missing"), "No such file or directory"},
      {dir.Path().string(), "a folder"},
      {fifo, "not a regular file (a FIFO, socket or device)"},
      {socketPath, "not a regular file (a FIFO, socket or device)"},
      {"/dev/null", "not a regular file (a FIFO, socket or device)"},
      {locked, root ? "" : "Permission denied"},
  };
  for (const auto& c : cases) {
    std::string out;
    const CResult read = ReadFileBytes(c.path, 10, &out);
    EXPECT_EQ(read.Detail(), c.detail) << c.path;
    EXPECT_NE(read.Code(), CResultCode::kIoError) << c.path;
  }
  close(socketFd);
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
