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
    EXPECT_TRUE(reader.Open(dir.WriteFile("lines.txt", bytes)).ok());
    std::vector<std::string> lines;
    std::vector<char> buffer(size);
    while (reader.ReadLine(buffer.data(), buffer.size())) lines.emplace_back(buffer.data());
    return lines;
  }

  CTempDir dir;
};

TEST_F(CFileSystemTest, TextReaderReadsLikeTextModeFgets) {
  const auto utf16x = [](size_t count) {
    std::string units;
    for (size_t i = 0; i < count; ++i) units += "\0x"s;
    return units;
  };
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
      // Byte-order marks are not text; UTF-16 comes out as UTF-8.
      {"\xEF\xBB\xBF"
       "a\n\xEF\xBB\xBF",
       256,
       {"a\n", "\xEF\xBB\xBF"}},
      {"\xFF\xFE"
       "a\0\xE9\0\r\0\n\0\x3D\xD8\x00\xDE"s,
       256,
       {"a\xC3\xA9\n", "\xF0\x9F\x98\x80"}},
      {"\xFE\xFF"
       "\0a\xD8\x3D\0b\xD8\x3D"s,
       256,
       {"a\xEF\xBF\xBD"
        "b"}},  // lone surrogates
      // A surrogate pair cut by the reader's 4096-byte chunks.
      {"\xFE\xFF" + utf16x(2046) + "\xD8\x3D\xDE\x00"s,
       8192,
       {std::string(2046, 'x') + "\xF0\x9F\x98\x80"}},
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
  EXPECT_EQ(reader.Open(dir.PathOf("missing")).Code(), CResultCode::kNotFound);
  EXPECT_EQ(reader.Open(dir.Path().string()).Detail(), "a folder");
  char buffer[8] = "stale";
  EXPECT_FALSE(reader.ReadLine(buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(CFileSystemTest, ReadFileBytesStopsAtTheLimit) {
  const std::string path = dir.WriteFile("x.xml", "<a>\0</a>"s);
  std::string out;
  ASSERT_TRUE(ReadFileBytes(path, 3, &out).ok());
  EXPECT_EQ(out, "<a>");
  ASSERT_TRUE(ReadFileBytes(path, 65536, &out).ok());
  EXPECT_EQ(out, "<a>\0</a>"s);
  out = "stale";
  EXPECT_FALSE(ReadFileBytes(dir.PathOf("missing"), 10, &out).ok());
  EXPECT_TRUE(out.empty());
}

TEST_F(CFileSystemTest, WriteTimeIsZeroWithoutAFile) {
  EXPECT_EQ(QueryFileWriteTime(dir.PathOf("missing")), 0u);
  EXPECT_NE(QueryFileWriteTime(dir.WriteFile("f", "")), 0u);
}

}  // namespace
