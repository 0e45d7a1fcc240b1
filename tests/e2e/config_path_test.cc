// Configuration paths longer than old Windows limits: one given on the command
// line (as long as a command-line token may be) and the default one next to a
// program file deep in the folder tree. Both are read, watched and run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace {

// Folder names of this length build the long paths.
constexpr size_t kFolderNameBytes = 200;

// `base` followed by `count` folders of kFolderNameBytes bytes each, made on disk.
std::string DeepFolder(const std::string& base, int count) {
  std::string path = base;
  for (int i = 0; i < count; ++i)
    path += "/" + std::string(kFolderNameBytes, static_cast<char>('a' + i));
  std::filesystem::create_directories(path);
  return path;
}

// Runs `argv` in `folder` on the configuration `config` (already written), and
// checks that it reads that file, runs and sends a push, then stops it.
void ExpectRunsOn(const std::string& folder, const std::vector<std::string>& argv,
                  const std::string& config, const CReceiver& receiver) {
  CProgram program(folder, argv, StandardStreams::kPipes);
  ASSERT_TRUE(program.Started());
  ASSERT_NE(program.WaitFor("\nRunning Indefinitely.\n\n", kProgramStartMs), std::string::npos)
      << program.Output();
  EXPECT_NE(program.Find("\nReading config file: \"" + config + "\"\nInitializing...\n"),
            std::string::npos)
      << program.Output();
  EXPECT_EQ(program.Find("Couldn't read from file"), std::string::npos) << program.Output();
  const int httpPort = program.HttpPort();
  ASSERT_NE(httpPort, 0);
  EXPECT_NE(
      HttpGet(httpPort, "/input0?set=" + std::to_string(config.size())).find("query received"),
      std::string::npos);
  EXPECT_TRUE(receiver.WaitForTarget("/p?v=" + std::to_string(config.size()), kProgramEffectMs))
      << program.Output();
  EXPECT_EQ(program.Find("Config file update detected"), std::string::npos) << program.Output();
  program.SendEscape();
  EXPECT_EQ(program.WaitExit(kProgramExitMs), 0) << program.Output();
}

TEST(ConfigPathTest, LongPathsAreReadWhole) {
  CReceiver receiver;
  ASSERT_TRUE(receiver.Start());
  CTempDir folder{"qr_e2e"};
  ASSERT_TRUE(folder.Ok());
  const std::string ini =
      "[Input0]\ntype=push\ntext0=line=0\n[Output0]\nformat0=%text0%\nUrl0=" + receiver.BaseUrl() +
      "/p?v=%format0%\n";

  // On the command line: past 259 bytes, within the 1023 bytes of a token.
  const std::string given = DeepFolder(folder.Path(), 4) + "/q.ini";
  ASSERT_GT(given.size(), 800u);
  ASSERT_LT(("ini_file=" + given).size(), 1023u);
  ASSERT_TRUE(WriteFileWhole(given, ini));
  {
    SCOPED_TRACE("ini_file");
    ExpectRunsOn(folder.Path(), {QR_BINARY_PATH, "run", "ini_file=" + given}, given, receiver);
  }

  // The default path beside a program file whose own path passes 1023 bytes.
  // Under Wine the linked launcher runs the program from its usual place.
  if (kUnderWine) return;
  const std::string programFolder = DeepFolder(folder.Path(), 6);
  const std::string programFile = programFolder + "/quillrade";
  std::error_code error;
  std::filesystem::create_hard_link(QR_BINARY_PATH, programFile, error);
  if (error) std::filesystem::copy_file(QR_BINARY_PATH, programFile, error);
  ASSERT_FALSE(error) << error.message();
  const std::string beside = programFile + ".ini";
  ASSERT_GT(beside.size(), 1023u);
  ASSERT_TRUE(WriteFileWhole(beside, ini));
  {
    SCOPED_TRACE("default path");
    ExpectRunsOn(folder.Path(), {programFile, "run"}, beside, receiver);
  }
}

}  // namespace
