// Crashes real child processes on purpose (the crash_probe program, copied into
// a fresh folder so the files land there) and checks what they leave behind.
// Fake gcore and xdg-open programs on the child's PATH record how they were run.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/bounded_wait.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The thread sanitizer defers and intercepts signals; the crash tests run in the
// plain and the address-sanitizer builds.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

// The address sanitizer's shadow memory makes a real core dump terabytes large.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr uid_t kNobody = 65534;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

bool AllLinesEndInCrLf(const std::string& text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    if (at == 0 || text[at - 1] != '\r') return false;
  }
  return true;
}

size_t Count(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

// '#' stands for one digit, everything else for itself.
bool MatchesPattern(const std::string& text, const std::string& pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '#' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

struct ProbeRun {
  int nStatus = -1;  // raw wait status
  pid_t nPid = 0;
  std::string strStderr;
  bool ExitedWithZero() const { return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0; }
};

struct ProbeOptions {
  std::string strDisplay;       // DISPLAY for the child; empty: no desktop session
  bool bAsNobody = false;       // drop root so folder permissions apply
  bool bRealTools = false;      // the system's PATH instead of the fake tools
  std::string strReportFolder;  // given to the probe when not empty
};

class CCrashProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kThreadSanitizer) GTEST_SKIP() << "the thread sanitizer owns the fatal signals";
    ASSERT_TRUE(dir.Ok());
    root = dir.Path();
    fs::permissions(root, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    tools = root / "tools";
    fs::create_directories(tools);
    WriteScript(tools / "gcore", "printf '%s\\n' \"$@\" > '" + (tools / "gcore_args.txt").string() +
                                     "'\nprintf core > \"$2.$3\"\n");
    WriteScript(tools / "xdg-open",
                "printf '%s' \"$1\" > '" + (tools / "opened.txt").string() + "'\n");
    UseProgramFolder("bin", "crash_probe");
  }
  void TearDown() override {
    if (root.empty()) return;
    std::error_code ignored;
    // The folder may have lost its write permission; dir removes the rest.
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
  }

  // Copies the probe to <root>/<folderName>/<programName>.
  void UseProgramFolder(const std::string& folderName, const std::string& programName) {
    folder = root / folderName;
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::all & ~fs::perms::group_write & ~fs::perms::others_write);
    program = folder / programName;
    fs::copy_file(QR_CRASH_PROBE_PATH, program, fs::copy_options::overwrite_existing);
  }

  ProbeRun Run(const std::string& kind, const ProbeOptions& options = ProbeOptions()) {
    ProbeRun run;
    const fs::path errPath = root / "stderr.txt";
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    run.nPid = fork();
    if (run.nPid == 0) StartChild(kind, options, err);
    close(err);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(run.nPid, &run.nStatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(run.nPid, SIGKILL);
        waitpid(run.nPid, &run.nStatus, 0);
        ADD_FAILURE() << kind << ": the probe hung";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.strStderr = ReadFile(errPath);
    return run;
  }

  [[noreturn]] void StartChild(const std::string& kind, const ProbeOptions& options, int err) {
    dup2(err, STDERR_FILENO);
    const std::string path =
        options.bRealTools ? "/usr/bin:/bin" : tools.string() + ":/usr/bin:/bin";
    setenv("PATH", path.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    if (options.strDisplay.empty())
      unsetenv("DISPLAY");
    else
      setenv("DISPLAY", options.strDisplay.c_str(), 1);
    if (options.bAsNobody && geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
          setresuid(kNobody, kNobody, kNobody) != 0) {
        _exit(90);
      }
    }
    const char* reportFolder =
        options.strReportFolder.empty() ? nullptr : options.strReportFolder.c_str();
    execl(program.c_str(), program.c_str(), kind.c_str(), reportFolder,
          static_cast<char*>(nullptr));
    _exit(91);
  }

  std::vector<fs::path> CrashFiles(const std::string& extension) const {
    return CrashFilesIn(folder, extension);
  }
  static std::vector<fs::path> CrashFilesIn(const fs::path& where, const std::string& extension) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(where)) {
      const std::string name = entry.path().filename().string();
      if (name.find("_crash_") != std::string::npos && entry.path().extension() == extension) {
        found.push_back(entry.path());
      }
    }
    return found;
  }

  // The one report the run must have left, or an empty text.
  std::string OnlyReport() const {
    const auto reports = CrashFiles(".txt");
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_EQ(CrashFiles(".dmp").size(), 1u);
    return reports.size() == 1 ? ReadFile(reports[0]) : std::string();
  }

  CTempDir dir{"crash_probe_test"};
  fs::path root;
  fs::path tools;
  fs::path folder;
  fs::path program;
};

TEST_F(CCrashProbeTest, ReportsEachKindOfFailureWithItsCodeAndThread) {
  const struct {
    const char* pKind;
    const char* pCaused;
    const char* pAccess;  // the access violation line, or null when none is due
  } cases[] = {
      {"divide",
       "caused an Integer Divide by Zero (0xc0000094) \r\nin module crash_probe at 0033:", nullptr},
      {"write_null", "caused an Access Violation (0xc0000005) \r\nin module crash_probe at 0033:",
       "Write to location 0000000000000000 caused an access violation.\r\n"},
      {"read_null", "caused an Access Violation (0xc0000005) \r\nin module crash_probe at 0033:",
       "Read from location 0000000000000000 caused an access violation.\r\n"},
      {"throw", "caused a Microsoft C++ Exception (0xe06d7363) \r\nin module ", nullptr},
      {"throw_int", "caused a Microsoft C++ Exception (0xe06d7363) \r\nin module ", nullptr},
      {"overflow",
       "caused a Stack Overflow (0xc00000fd) \r\nin module crash_probe at 0033:", nullptr},
      {"illegal",
       "caused an Illegal Instruction (0xc000001d) \r\nin module crash_probe at 0033:", nullptr},
      {"breakpoint",
       "caused a Breakpoint (0x80000003) \r\nin module crash_probe at 0033:", nullptr},
      {"bus", "caused an In Page Error (0xc0000006) \r\nin module crash_probe at 0033:", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pKind);
    for (const auto& old : CrashFiles(".txt")) fs::remove(old);
    for (const auto& old : CrashFiles(".dmp")) fs::remove(old);
    const ProbeRun run = Run(c.pKind);
    EXPECT_TRUE(run.ExitedWithZero()) << "wait status " << run.nStatus;
    const std::string text = OnlyReport();
    EXPECT_NE(text.find(program.string() + " " + c.pCaused), std::string::npos)
        << text.substr(0, 400);
    EXPECT_NE(text.find("\r\nException handler called in Probe_Worker_Thread.\r\nCommand Line: "),
              std::string::npos);
    EXPECT_EQ(text.find("caused an access violation") != std::string::npos, c.pAccess != nullptr);
    if (c.pAccess != nullptr) {
      EXPECT_NE(text.find(c.pAccess), std::string::npos);
    }
    EXPECT_NE(text.find("\r\n\r\nStack:\r\n0x"), std::string::npos);
    EXPECT_NE(text.find("Module 1\r\n" + program.string() + "\r\nImage Base: 0x"),
              std::string::npos);
    EXPECT_TRUE(AllLinesEndInCrLf(text));
    EXPECT_EQ(text.find("\r\n===== [end of CRASH.TXT] =====\r\n"), text.size() - 34)
        << "complete report";
    EXPECT_NE(run.strStderr.find("writing minidump\r\n"), std::string::npos);
  }
  // Without a desktop session no viewer was started for any of them.
  EXPECT_FALSE(fs::exists(tools / "opened.txt"));
}

TEST_F(CCrashProbeTest, TwoThreadsCrashingTogetherGiveOneReport) {
  for (int round = 0; round < 3; ++round) {
    for (const auto& old : CrashFiles(".txt")) fs::remove(old);
    for (const auto& old : CrashFiles(".dmp")) fs::remove(old);
    const ProbeRun run = Run("twice");
    EXPECT_TRUE(run.ExitedWithZero()) << "wait status " << run.nStatus;
    const std::string text = OnlyReport();
    EXPECT_TRUE(text.find("Exception handler called in Probe_Worker_Thread.") !=
                    std::string::npos ||
                text.find("Exception handler called in Probe_Second_Thread.") != std::string::npos);
    // One writer only: no second report interleaved into the first.
    EXPECT_EQ(Count(text, "Exception handler called in"), 1u);
    EXPECT_EQ(Count(text, "===== [end of CRASH.TXT] =====\r\n"), 1u);
    EXPECT_TRUE(AllLinesEndInCrLf(text));
    EXPECT_EQ(Count(run.strStderr, "writing minidump"), 1u);
  }
}

TEST_F(CCrashProbeTest, ThreadThatNeverArmedIsReportedUnderItsSystemName) {
  const ProbeRun run = Run("plain_thread");
  EXPECT_TRUE(run.ExitedWithZero());
  EXPECT_NE(OnlyReport().find("Exception handler called in crash_probe.\r\n"), std::string::npos);
}

TEST_F(CCrashProbeTest, ReadOnlyProgramFolderLeavesNoFilesAndSaysSo) {
  fs::permissions(folder, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ProbeOptions options;
  options.bAsNobody = true;  // root would write anyway
  const ProbeRun run = Run("divide", options);
  EXPECT_TRUE(run.ExitedWithZero()) << "wait status " << run.nStatus;
  EXPECT_NE(run.strStderr.find("Error creating exception report\r\n"), std::string::npos)
      << run.strStderr;
  EXPECT_EQ(run.strStderr.find("writing minidump"), std::string::npos);
  EXPECT_TRUE(CrashFiles(".txt").empty());
  EXPECT_TRUE(CrashFiles(".dmp").empty());
  EXPECT_FALSE(fs::exists(tools / "gcore_args.txt")) << "no dump without a report";
}

TEST_F(CCrashProbeTest, FileNamesCutOnlyTheProgramsExtension) {
  UseProgramFolder("release.v1", "crash.probe");
  ASSERT_TRUE(Run("divide").ExitedWithZero());
  const auto reports = CrashFiles(".txt");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(MatchesPattern(reports[0].filename().string(), "crash_crash_####-##-##_##-##-##.txt"))
      << reports[0];
  EXPECT_EQ(reports[0].parent_path(), folder);
  const auto dumps = CrashFiles(".dmp");
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(dumps[0].stem(), reports[0].stem());
}

// The packaged service runs from a folder it may not write to and names its
// state folder instead (with a trailing "/" as a user may write it).
TEST_F(CCrashProbeTest, ReportFolderTakesTheFilesUnderTheProgramsName) {
  const fs::path state = root / "state";
  fs::create_directories(state);
  fs::permissions(state, fs::perms::all);
  fs::permissions(folder, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ProbeOptions options;
  options.bAsNobody = true;
  options.strReportFolder = state.string() + "/";
  const ProbeRun run = Run("divide", options);
  EXPECT_TRUE(run.ExitedWithZero()) << "wait status " << run.nStatus;
  EXPECT_TRUE(CrashFiles(".txt").empty());
  const auto reports = CrashFilesIn(state, ".txt");
  const auto dumps = CrashFilesIn(state, ".dmp");
  ASSERT_EQ(reports.size(), 1u) << run.strStderr;
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_TRUE(
      MatchesPattern(reports[0].filename().string(), "crash_probe_crash_####-##-##_##-##-##.txt"))
      << reports[0];
  const std::string text = ReadFile(reports[0]);
  EXPECT_NE(text.find("Please forward these two files to the author:\r\n" + reports[0].string() +
                      "\r\n" + dumps[0].string() + "\r\n\r\n"),
            std::string::npos);
  // The report still names the program that crashed, where it lies.
  EXPECT_NE(text.find(program.string() + " caused an Integer Divide by Zero"), std::string::npos);
}

TEST_F(CCrashProbeTest, CoreDumpIsWrittenByGcoreIntoTheDumpPath) {
  const ProbeRun run = Run("divide");
  ASSERT_TRUE(run.ExitedWithZero());
  const auto dumps = CrashFiles(".dmp");
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(ReadFile(tools / "gcore_args.txt"),
            "-o\n" + dumps[0].string() + "\n" + std::to_string(run.nPid) + "\n");
  EXPECT_EQ(ReadFile(dumps[0]), "core");
  // The report names the dump it lies beside.
  EXPECT_NE(
      OnlyReport().find("Please forward these two files to the author:\r\n" +
                        CrashFiles(".txt")[0].string() + "\r\n" + dumps[0].string() + "\r\n\r\n"),
      std::string::npos);
}

TEST_F(CCrashProbeTest, ReportIsOpenedInADesktopSession) {
  ProbeOptions options;
  options.strDisplay = ":99";
  ASSERT_TRUE(Run("divide", options).ExitedWithZero());
  const auto reports = CrashFiles(".txt");
  ASSERT_EQ(reports.size(), 1u);
  const fs::path opened = tools / "opened.txt";
  WaitUntil([&] { return ReadFile(opened) == reports[0].string(); });
  EXPECT_EQ(ReadFile(opened), reports[0].string());
}

TEST_F(CCrashProbeTest, RealGcoreWritesACoreFile) {
  if (!fs::exists("/usr/bin/gcore")) GTEST_SKIP() << "gcore is not installed";
  if (kAddressSanitizer) GTEST_SKIP() << "a core dump of a sanitized process is too large to take";
  ProbeOptions options;
  options.bRealTools = true;
  ASSERT_TRUE(Run("divide", options).ExitedWithZero());
  const auto dumps = CrashFiles(".dmp");
  ASSERT_EQ(dumps.size(), 1u);
  const std::string head = ReadFile(dumps[0]).substr(0, 18);
  ASSERT_EQ(head.size(), 18u) << "empty dump";
  EXPECT_EQ(head.substr(0, 4),
            "\x7f"
            "ELF");
  EXPECT_EQ(head[16], 4) << "an ELF core file";
}

}  // namespace
