#include "host/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace {

std::string Rebuilt(const std::vector<const char*>& argv) {
  return BuildCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, KeysAreFoundWithoutRegardToCaseOrValue) {
  struct Case {
    const char* commandLine;
    const char* key;
    bool found;
  } cases[] = {
      {"/usr/bin/quillrade RUN", "run", true},
      {"/usr/bin/quillrade run=1", "run", true},
      {"/usr/bin/quillrade -run", "run", false},
      {"/usr/bin/quillrade -i -pause", "-pause", true},
      {"/usr/bin/quillrade running", "run", false},
      {"/usr/bin/quillrade \"run now\"", "run", false},
      {"/usr/bin/quillrade", "-i", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasCommandLineKey(c.commandLine, c.key), c.found) << c.commandLine << " / " << c.key;
  }
}

TEST(CommandLineTest, ValuesComeFromTheFirstTokenAndLoseTheirQuotes) {
  const std::string line = Rebuilt({"./quillrade", "ini_file=/a b/c.ini", "ini_file=/other.ini"});
  EXPECT_EQ(GetCommandLineValue(line, "ini_file", "dflt"), "/a b/c.ini");
  EXPECT_EQ(GetCommandLineValue(line, "INI_FILE", "dflt"), "/a b/c.ini");
  EXPECT_EQ(GetCommandLineValue("./q ini_file=", "ini_file", "dflt"), "");
  EXPECT_EQ(GetCommandLineValue("./q run", "ini_file", "dflt"), "dflt");
}

TEST(CommandLineTest, ArgumentsFollowTheProgramPath) {
  struct Case {
    const char* commandLine;
    const char* arguments;
  } cases[] = {
      {"./quillrade -i run", "-i run"},
      {"\"/opt/my dir/quillrade\" -u", "-u"},
      {"\"/opt/my dir/quillrade\"", ""},
      {"./quillrade", ""},
      {"", ""},
      {"./quillrade ", ""},
      {"./quillrade ini_file=\"/a b\" -i", "ini_file=\"/a b\" -i"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetCommandLineArguments(c.commandLine), c.arguments) << c.commandLine;
  }
}

TEST(CommandLineTest, RebuiltLineQuotesBlanksAndSplitsBackUnchanged) {
  EXPECT_EQ(Rebuilt({"/opt/my dir/quillrade", "ini_file=/a b/c.ini", "two words", "", "-i"}),
            "\"/opt/my dir/quillrade\" ini_file=\"/a b/c.ini\" \"two words\" \"\" -i");
  // A blank in front of the "=" cannot be written as name="value".
  EXPECT_EQ(Rebuilt({"p", "a b=c"}), "p \"a b=c\"");
  const std::vector<std::vector<const char*>> argvs = {
      {"./quillrade", "-i", "run"},
      {"/opt/my dir/quillrade", "ini_file=/a b/c.ini", "two words", "", "-pause"},
      {"p", "a b=c", "x=", "=y z"},
  };
  for (const auto& argv : argvs) {
    const std::vector<std::string> expected(argv.begin(), argv.end());
    EXPECT_EQ(SplitCommandLine(Rebuilt(argv)), expected) << Rebuilt(argv);
  }
}

}  // namespace
