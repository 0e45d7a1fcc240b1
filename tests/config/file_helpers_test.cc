#include "config/file_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

// The file's modification time as the standard library reads it back, in 100 ns
// units since 1601. Some systems keep what the library sets in whole seconds only
// (Windows' C runtime does), so the expected fraction is the stored one.
uint64_t StoredFileTime(const std::string& path) {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
  const auto stored = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
  return static_cast<uint64_t>(
             std::chrono::duration_cast<Ticks>(stored.time_since_epoch()).count()) +
         11644473600u * 10000000u;
}

class CFileHelpersTest : public ::testing::Test {
 protected:
  CTempDir dir;
};

TEST_F(CFileHelpersTest, ReadWholeFileReturnsEveryByteUpToTheLimit) {
  const std::string bytes = "a\0b\r\n\xff"s;
  const std::string path = dir.WriteFile("f.bin", bytes);
  std::string buffer = "stale";
  ASSERT_TRUE(ReadWholeFile(path, bytes.size(), &buffer).ok());
  EXPECT_EQ(buffer, bytes);

  buffer = "stale";
  EXPECT_EQ(ReadWholeFile(path, bytes.size() - 1, &buffer).Message(),
            "read " + path + ": 6 bytes, more than the 5 accepted");
  EXPECT_TRUE(buffer.empty());

  ASSERT_TRUE(ReadWholeFile(dir.WriteFile("empty", ""), 0, &buffer).ok());
  EXPECT_TRUE(buffer.empty());
}

TEST_F(CFileHelpersTest, ReadWholeFileFailsOnWhatIsNotARegularFile) {
  std::string buffer = "stale";
  EXPECT_EQ(ReadWholeFile(dir.PathOf("missing"), 100, &buffer).Code(), CResultCode::kNotFound);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(ReadWholeFile(dir.Path().string(), 100, &buffer).Detail(), "a folder");
  EXPECT_FALSE(ReadWholeFile("", 100, &buffer).ok());
}

TEST_F(CFileHelpersTest, LastWriteTimeIsAWindowsFileTimeOfTheModification) {
  EXPECT_EQ(GetFileLastWriteTime(dir.PathOf("missing")), 0u);

  const std::string path = dir.WriteFile("t.txt", "x");
  const auto when = std::chrono::sys_seconds(1700000000s) + 123456789ns;
  std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(when));
  // 100 ns units since 1601: the sub-100 ns digits are dropped.
  EXPECT_EQ(GetFileLastWriteTime(path) / 10000000u, 1700000000u + 11644473600u);
  EXPECT_EQ(GetFileLastWriteTime(path), StoredFileTime(path));

  std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(when + 1s));
  EXPECT_EQ(GetFileLastWriteTime(path) / 10000000u, 1700000001u + 11644473600u);
  EXPECT_EQ(GetFileLastWriteTime(path), StoredFileTime(path));
}

}  // namespace
