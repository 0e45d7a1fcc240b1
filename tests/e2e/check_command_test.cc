// The "check" command of the built binary on the bundled example: what it says
// the service would send is what the running service sends to a real receiver,
// while the check itself sends nothing and opens no port.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/bounded_wait.h"

namespace {

constexpr int kCheckExitMs = 10000;
// Ports the service's status channels would take.
constexpr int kFirstStatusPort = 7370;
constexpr int kStatusPortCount = 10;
constexpr int kFirstConsolePort = 32700;
constexpr int kConsolePortCount = 100;

std::string ReadSourceFile(const std::string& name) {
  std::ifstream in(std::string(QR_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Runs a short python3 program on `input`; its standard output.
std::string RunPython(const std::string& program, const std::string& inputPath) {
  const std::string command = "python3 -c '" + program + "' < '" + inputPath + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sockets among the process's open descriptors (listening or connected).
int SocketCount(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    char target[256] = {};
    const std::string link = folder + "/" + entry->d_name;
    if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 &&
        std::string(target).starts_with("socket:")) {
      ++count;
    }
  }
  closedir(dir);
  return count;
}

class CheckCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.Ok());
    ASSERT_TRUE(receiver.Start());
    // The example sends to the service's own status port; here it sends to the
    // receiver, so that every request is counted.
    std::string config = ReadSourceFile("quillrade-example.ini");
    ASSERT_FALSE(config.empty());
    const std::string own = "http://127.0.0.1:7370";
    for (size_t at; (at = config.find(own)) != std::string::npos;) {
      config.replace(at, own.size(), receiver.BaseUrl());
    }
    configPath = folder.WriteFile("example.ini", config);
    for (const char* input : {"nowplaying.txt", "nowplaying.xml", "station.txt"}) {
      folder.WriteFile(input, ReadSourceFile(input));
    }
  }

  // Runs the check to its end, sampling its sockets meanwhile; the exit code.
  int RunCheck(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {QR_BINARY_PATH, "check", "ini_file=" + configPath};
    argv.insert(argv.end(), extra.begin(), extra.end());
    check = std::make_unique<CProgram>(folder.Path(), argv, StandardStreams::kPipes);
    if (!check->Started()) return -1;
    // Samples the sockets while waiting; the bound is time, not samples, so a
    // slow start (a loaded machine, Wine) does not cut the wait short.
    int exitCode = -1;
    WaitUntil(
        [&] {
          maxSockets = std::max(maxSockets, SocketCount(check->Pid()));
          exitCode = check->WaitExit(0);
          return exitCode != -1;
        },
        std::chrono::milliseconds(kCheckExitMs));
    return exitCode;
  }

  // Wine itself talks to its server over Unix sockets, so there only the held
  // ports and the receiver show that nothing was opened or sent.
  void ExpectNoSocketsWereOpen() const {
    if (kUnderWine) return;
    EXPECT_EQ(maxSockets, 0);
  }

  CTempDir folder{"qr_check"};
  CReceiver receiver;
  std::string configPath;
  std::unique_ptr<CProgram> check;
  int maxSockets = 0;  // most sockets the check held at one sample
};

TEST_F(CheckCommandTest, ExampleShowsTheUrlsTheServiceSendsAndSendsNothing) {
  // Every status port the service could take is busy while the check runs: a
  // status channel started by mistake would show in the push address below.
  std::vector<std::unique_ptr<CPortHolder>> held;
  for (int i = 0; i < kStatusPortCount; ++i) {
    held.push_back(std::make_unique<CPortHolder>(kFirstStatusPort + i));
  }
  for (int i = 0; i < kConsolePortCount; ++i) {
    held.push_back(std::make_unique<CPortHolder>(kFirstConsolePort + i));
  }

  ASSERT_EQ(RunCheck({"--json"}), 0) << check->Output();
  EXPECT_EQ(receiver.Count(), 0u);
  ExpectNoSocketsWereOpen();
  const std::string json = folder.WriteFile("check.json", check->Output());
  const std::string summary = RunPython(
      "import json,sys\n"
      "d = json.load(sys.stdin)\n"
      "print(d[\"exit_status\"], d[\"errors\"], len(d[\"tasks\"]))\n"
      "print(d[\"tasks\"][2][\"input\"])\n"
      "[print(u) for t in d[\"tasks\"] for u in t.get(\"urls\", [])]\n",
      json);
  const std::vector<std::string> lines = SplitLines(summary);
  ASSERT_GE(lines.size(), 2u) << summary << check->Output();
  EXPECT_EQ(lines[0], "0 0 4");
  EXPECT_EQ(lines[1], "http://127.0.0.1:7370/input2?set=data");
  std::vector<std::string> checkUrls(lines.begin() + 2, lines.end());
  ASSERT_EQ(checkUrls.size(), 3u) << summary;

  // The text report says the same for people, and no status channel appears.
  ASSERT_EQ(RunCheck({}), 0) << check->Output();
  const std::string text = check->Output();
  for (const std::string& url : checkUrls) {
    EXPECT_NE(text.find("  would send " + url + "\n"), std::string::npos) << text;
  }
  EXPECT_NE(text.find("Input is HTTP server http://127.0.0.1:7370/input2?set=data\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("telnet://"), std::string::npos) << text;
  EXPECT_NE(text.find("\n0 error(s), 0 warning(s).\n"), std::string::npos) << text;
  EXPECT_EQ(receiver.Count(), 0u);
  ExpectNoSocketsWereOpen();
  held.clear();

  // The service run on the same files sends exactly these URLs.
  CProgram service(folder.Path(), configPath);
  ASSERT_TRUE(service.Started());
  ASSERT_TRUE(receiver.WaitForCount(checkUrls.size(), kProgramStartMs)) << service.Output();
  std::vector<std::string> sent;
  for (const std::string& target : receiver.Targets()) sent.push_back(receiver.BaseUrl() + target);
  std::sort(sent.begin(), sent.end());
  std::sort(checkUrls.begin(), checkUrls.end());
  EXPECT_EQ(sent, checkUrls) << service.Output();
  service.SendEscape();
  EXPECT_EQ(service.WaitExit(kProgramExitMs), 0);
}

TEST_F(CheckCommandTest, JsonIsStrictUtf8WhateverTheInputHolds) {
  // Latin-1, then a three-byte overlong "/", a surrogate and a code point above
  // U+10FFFF: none of them is UTF-8, so the value reads as Windows-1252 and the
  // raw bytes in the log as Latin-1, and a strict reader takes both.
  const std::string hostile =
      "A\xe9"
      "B\xe0\x80\xaf"
      "C\xed\xa0\x80"
      "D\xf4\x90\x80\x80"
      "E";
  const std::string input = folder.WriteFile("hostile.txt", hostile + "\n");
  configPath = folder.WriteFile("hostile.ini", "[Input0]\nfile=" + input +
                                                   "\ntext0=line=0\n"
                                                   "[Output0]\nformat0=%text0%\nUrl0=" +
                                                   receiver.BaseUrl() + "/t?v=%format0%\n");
  ASSERT_EQ(RunCheck({"--json"}), 0) << check->Output();
  const std::string json = folder.WriteFile("check.json", check->Output());
  EXPECT_EQ(RunPython("import json,sys\n"
                      "d = json.loads(sys.stdin.buffer.read().decode(\"utf-8\"))\n"
                      "print(ascii(d[\"tasks\"][0][\"values\"][0][\"text\"]))\n"
                      "print(ascii(d[\"log\"].split(\"format0: \")[1]))\n",
                      json),
            "'A\\xe9B\\xe0\\u20ac\\xafC\\xed\\xa0\\u20acD\\xf4\\x90\\u20ac\\u20acE'\n"
            "'A\\xe9B\\xe0\\x80\\xafC\\xed\\xa0\\x80D\\xf4\\x90\\x80\\x80E\\n'\n")
      << check->Output();
}

TEST_F(CheckCommandTest, UnreadableConfigurationExitsWithTwoAndDashCheckWorks) {
  configPath = folder.PathOf("missing.ini");
  ASSERT_EQ(RunCheck({"--json"}), 2) << check->Output();
  const std::string json = folder.WriteFile("check.json", check->Output());
  EXPECT_EQ(
      RunPython("import json,sys\nd = json.load(sys.stdin)\n"
                "print(d[\"readable\"], d[\"exit_status\"], d[\"findings\"][0][\"severity\"])\n",
                json),
      "False 2 error\n");

  CProgram dashed(folder.Path(), {QR_BINARY_PATH, "-check", "ini_file=" + configPath},
                  StandardStreams::kPipes);
  ASSERT_EQ(dashed.WaitExit(kCheckExitMs), 2) << dashed.Output();
  EXPECT_NE(dashed.Output().find("Couldn't read from file \"" + configPath + "\"\n"),
            std::string::npos)
      << dashed.Output();
}

}  // namespace
