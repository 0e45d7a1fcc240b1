// The crash report's pieces that run in-process: the signal-safe formatter and
// buffered writer, the file names, local time without the C library, and a whole
// report written for a made-up crash whose memory is partly unreadable.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/crash_system.h"
#include "support/temp_dir.h"
#include "util/crash_format.h"
#include "util/crash_reporter.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

// Formats without the compiler's format check, for malformed formats.
size_t FormatUnchecked(char* buffer, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t length = CrashFormatV(buffer, capacity, format, args);
  va_end(args);
  return length;
}

// Every case is formatted by CrashFormat and by snprintf; both must agree.
TEST(CCrashFormatTest, AgreesWithSnprintfOnTheConversionsTheReportUses) {
  struct Case {
    const char* pFormat;
    std::function<size_t(char*, size_t, const char*)> format;
    std::function<int(char*, size_t, const char*)> reference;
  };
#define QR_CASE(fmt, ...)                                                                    \
  Case {                                                                                     \
    fmt, [](char* b, size_t n, const char*) { return CrashFormat(b, n, fmt, __VA_ARGS__); }, \
        [](char* b, size_t n, const char*) { return std::snprintf(b, n, fmt, __VA_ARGS__); } \
  }
  const std::vector<Case> cases = {
      QR_CASE("%d", -42),
      QR_CASE("%i|%d", 0, 2147483647),
      QR_CASE("%d", -2147483647 - 1),
      QR_CASE("%05d|%-6d|%3d", -42, 17, 12345),
      QR_CASE("(0x%08x)", 0xc0000094u),
      QR_CASE("%04lx:%016lx", 0x33ul, 0x55a464e497c8ul),
      QR_CASE("%016lx", 0xfffffffffffffffful),
      QR_CASE("%ld|%lu", -9000000000l, 18000000000ul),
      QR_CASE("%02x %02x ", 0x7u, 0xf7u),
      QR_CASE("%X", 0xabcdu),
      QR_CASE("%s caused %s", "/opt/q", "an Access Violation"),
      QR_CASE("%-10s|%5s|", "1288224", "ab"),
      QR_CASE("%d%% memory in use.", 10),
      QR_CASE("%c%c", 'o', 'k'),
      QR_CASE("%zu", static_cast<size_t>(123456789)),
  };
#undef QR_CASE
  for (const Case& c : cases) {
    char mine[128];
    char theirs[128];
    const size_t length = c.format(mine, sizeof(mine), c.pFormat);
    c.reference(theirs, sizeof(theirs), c.pFormat);
    EXPECT_STREQ(mine, theirs) << c.pFormat;
    EXPECT_EQ(length, std::string(theirs).size()) << c.pFormat;
  }
}

TEST(CCrashFormatTest, CutsAtTheCapacityAndAlwaysTerminates) {
  char buffer[6];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(CrashFormat(buffer, sizeof(buffer), "%s-%d", "abcdef", 12), 5u);
  EXPECT_STREQ(buffer, "abcde");
  EXPECT_EQ(CrashFormat(buffer, 1, "%d", 1), 0u);
  EXPECT_STREQ(buffer, "");
  // Unknown conversions and a trailing percent are copied, never read as arguments.
  char text[32];
  FormatUnchecked(text, sizeof(text), "%q %d %", 5);
  EXPECT_STREQ(text, "%q 5 %");
}

TEST(CCrashFormatTest, WriterKeepsEveryPieceInOrderAcrossFlushes) {
  CTempDir dir;
  const std::string path = dir.PathOf("crash_writer");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  static CCrashTextWriter writer;
  writer.Begin(fileno(file));
  std::string expected;
  for (int i = 0; i < 40; ++i) {  // about 40 KB: several flushes
    const std::string piece =
        std::to_string(i) + ":" + std::string(1000, static_cast<char>('a' + i % 26));
    writer.Printf("%s\r\n", piece.c_str());
    expected += piece + "\r\n";
  }
  const std::string tooLong(3000, 'z');
  writer.Printf("%s", tooLong.c_str());
  expected += std::string(kCrashPieceSize - 1, 'z');  // a piece is cut, not spilled
  EXPECT_TRUE(writer.Flush());
  std::fclose(file);
  EXPECT_EQ(ReadFile(path), expected);
  std::remove(path.c_str());
}

TEST(CCrashFileNamesTest, CutOnlyTheExtensionOfTheFileName) {
  const LocalTime time{2026, 3, 4, 5, 6, 7};
  const struct {
    const char* pProgram;
    const char* pBase;
  } cases[] = {
      {"/opt/quillrade/quillrade", "/opt/quillrade/quillrade"},
      {"/opt/v1.2/quillrade", "/opt/v1.2/quillrade"},
      {"/opt/bin/quillrade.bin", "/opt/bin/quillrade"},
      {"/a.b/c.d.e", "/a.b/c.d"},
      {"/srv/.hidden", "/srv/.hidden"},
  };
  for (const auto& c : cases) {
    char report[256];
    char dump[256];
    ASSERT_TRUE(BuildCrashFileNames(c.pProgram, time, report, dump, sizeof(report))) << c.pProgram;
    EXPECT_EQ(std::string(report), std::string(c.pBase) + "_crash_2026-03-04_05-06-07.txt");
    EXPECT_EQ(std::string(dump), std::string(c.pBase) + "_crash_2026-03-04_05-06-07.dmp");
  }
  char small[40];
  char smallDump[40];
  EXPECT_FALSE(
      BuildCrashFileNames("/a/rather/long/program/path", time, small, smallDump, sizeof(small)));
}

// The signal-safe local time must agree with the C library, also on both sides
// of every daylight-saving change in the coming year.
TEST(CCrashLocalTimeTest, MatchesLocaltimeAcrossDaylightSavingChanges) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  PrepareCrashLocalTime();
  const time_t now = std::time(nullptr);
  std::vector<time_t> samples = {now, now - 86400 * 400, now + 86400 * 200};
  tm previous{};
  localtime_r(&now, &previous);
  for (time_t t = now; t < now + 366 * 86400; t += 3600) {
    tm parts{};
    localtime_r(&t, &parts);
    if (parts.tm_gmtoff != previous.tm_gmtoff)
      samples.insert(samples.end(), {t - 3601, t - 1, t, t + 1});
    previous = parts;
  }
  EXPECT_GE(samples.size(), 11u) << "the test zone changes twice a year";
  for (const time_t t : samples) {
    tm parts{};
    localtime_r(&t, &parts);
    const LocalTime mine = CrashLocalTime(static_cast<int64_t>(t));
    EXPECT_EQ(mine.nYear, parts.tm_year + 1900) << t;
    EXPECT_EQ(mine.nMonth, parts.tm_mon + 1) << t;
    EXPECT_EQ(mine.nDay, parts.tm_mday) << t;
    EXPECT_EQ(mine.nHour, parts.tm_hour) << t;
    EXPECT_EQ(mine.nMinute, parts.tm_min) << t;
    EXPECT_EQ(mine.nSecond, parts.tm_sec) << t;
  }
  if (old != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  PrepareCrashLocalTime();
}

// Two pages, the second unreadable: a stack whose top words cannot be read.
class CCrashReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mapping =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    pages = static_cast<char*>(mapping);
    mprotect(pages + page, page, PROT_NONE);
  }
  void TearDown() override {
    if (pages != nullptr) munmap(pages, 2 * page);
    std::remove(reportPath.c_str());
  }
  uint64_t Address(size_t offset) const { return reinterpret_cast<uint64_t>(pages + offset); }
  std::string Write(const CrashEvent& event, const char* thread) {
    EXPECT_TRUE(WriteCrashReport(reportPath.c_str(), "/x/dump.dmp", event, thread));
    return ReadFile(reportPath);
  }

  size_t page = 0;
  char* pages = nullptr;
  CTempDir dir;
  std::string reportPath = dir.PathOf("crash_report.txt");
};

TEST_F(CCrashReportTest, WritesEverySectionAndGuardsUnreadableMemory) {
  uint64_t* words = reinterpret_cast<uint64_t*>(pages + page - 40);
  words[0] = 0x4847464544434241;  // "ABCDEFGH"
  words[1] = 0x0000000000000a7f;  // control bytes show as dots
  words[2] = 0x7a7978777675747a;
  words[3] = 0x1111111111111111;
  words[4] = 0x2222222222222222;
  CrashEvent event;
  event.nCode = kCrashAccessViolation;
  event.bHasAccess = true;
  event.bWrite = false;
  event.nAccessAddress = 0xdeadbeef;
  event.regs.nRdi = 1, event.regs.nRsi = 2, event.regs.nRax = 3;
  event.regs.nRip = Address(page + 8);  // unreadable code bytes, no module
  event.regs.nCs = 0x33;
  event.regs.nRsp = Address(page - 40);
  event.nStackBase = Address(page + 16);  // 7 words, the last two unreadable
  const std::string text = Write(event, "Test_Thread");

  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  char rip[64];
  std::snprintf(rip, sizeof(rip), "%016lx", event.regs.nRip);
  EXPECT_NE(text.find("Please forward these two files to the author:\r\n" + reportPath +
                      "\r\n/x/dump.dmp\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(
      text.find(self + " caused an Access Violation (0xc0000005) \r\nin module Unknown at 0033:" +
                rip + ".\r\n\r\nException handler called in Test_Thread.\r\nCommand Line: "),
      std::string::npos);
  EXPECT_NE(text.find("Read from location 00000000deadbeef caused an access violation.\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("\r\nContext:\r\nRDI:    0x0000000000000001  RSI: 0x0000000000000002  "
                      "RAX:   0x0000000000000003\r\n"),
            std::string::npos);
  std::string unreadable;
  for (int i = 0; i < 16; ++i) unreadable += "?? ";
  EXPECT_NE(text.find("\r\nBytes at CS:RIP:\r\n" + unreadable + "\r\n\r\nStack:\r\n"),
            std::string::npos);

  char first[32];
  char second[32];
  std::snprintf(first, sizeof(first), "0x%016lx: ", event.regs.nRsp);
  std::snprintf(second, sizeof(second), "0x%016lx: ", event.regs.nRsp + 32);
  const std::string stack = std::string(first) +
                            "4847464544434241 0000000000000a7f 7a7978777675747a 1111111111111111 "
                            "ABCDEFGH........ztuvwxyz........\r\n" +
                            second + "2222222222222222 ???????????????? ???????????????? " +
                            std::string(17, ' ') +
                            "\"\"\"\"\"\"\"\"????????????????\r\n\r\nModule 1\r\n";
  EXPECT_NE(text.find(stack), std::string::npos) << text.substr(text.find("Stack:"), 400);
  EXPECT_NE(text.find("Module 1\r\n"), std::string::npos);
  EXPECT_NE(text.find("Checksum:   Unknown     Time Stamp: Unknown\r\n"), std::string::npos);
  const std::string end = "\r\n\r\n===== [end of CRASH.TXT] =====\r\n";
  ASSERT_GT(text.size(), end.size());
  EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

TEST_F(CCrashReportTest, NamesUnknownCodesAndLeavesOutTheAccessLineForOtherFaults) {
  const struct {
    uint32_t nCode;
    const char* pCaused;
  } cases[] = {
      {0x12345678, "caused an Unknown exception type (0x12345678) \r\n"},
      {kCrashStackOverflow, "caused a Stack Overflow (0xc00000fd) \r\n"},
      {kCppExceptionCode, "caused a Microsoft C++ Exception (0xe06d7363) \r\n"},
  };
  for (const auto& c : cases) {
    CrashEvent event;
    event.nCode = c.nCode;
    event.bHasAccess = true;  // only an access violation prints it
    const std::string text = Write(event, "T");
    EXPECT_NE(text.find(c.pCaused), std::string::npos) << c.pCaused;
    EXPECT_EQ(text.find("caused an access violation"), std::string::npos) << c.pCaused;
  }
}

TEST_F(CCrashReportTest, UnwritableReportPathIsAFailure) {
  CrashEvent event;
  EXPECT_FALSE(
      WriteCrashReport("/nonexistent_folder_for_crash_test/report.txt", "/x.dmp", event, "T"));
}

}  // namespace
