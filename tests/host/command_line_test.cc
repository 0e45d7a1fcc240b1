#include "host/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace {

using Arguments = std::vector<std::string>;

TEST(CommandLineTest, KeysAreFoundWithoutRegardToCaseOrValue) {
  struct Case {
    Arguments arguments;
    const char* key;
    bool found;
  } cases[] = {
      {{"/usr/bin/quillrade", "RUN"}, "run", true},
      {{"/usr/bin/quillrade", "run=1"}, "run", true},
      {{"/usr/bin/quillrade", "-run"}, "run", false},
      {{"/usr/bin/quillrade", "-i", "-pause"}, "-pause", true},
      {{"/usr/bin/quillrade", "running"}, "run", false},
      {{"/usr/bin/quillrade", "run now"}, "run", false},
      {{"/usr/bin/quillrade"}, "-i", false},
      // The program path is no key, whatever the program is called.
      {{"check"}, "check", false},
      // A stray quote stays inside its own argument.
      {{"q", "check", "ini_file=/d/a\"b/cfg.ini", "--json"}, "--json", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HasCommandLineKey(c.arguments, c.key), c.found) << BuildCommandLine(c.arguments);
  }
}

TEST(CommandLineTest, ValuesComeFromTheFirstArgumentAndLoseTheirQuotes) {
  const Arguments arguments = {"./quillrade", "ini_file=/a b/c.ini", "ini_file=/other.ini"};
  EXPECT_EQ(GetCommandLineValue(arguments, "INI_FILE", "dflt"), "/a b/c.ini");
  EXPECT_EQ(GetCommandLineValue({"q", "ini_file=\"x y.ini\""}, "ini_file", "dflt"), "x y.ini");
  EXPECT_EQ(GetCommandLineValue({"q", "ini_file=/t/a\"b.ini", "x"}, "ini_file", ""), "/t/a\"b.ini");
  EXPECT_EQ(GetCommandLineValue({"q", "ini_file="}, "ini_file", "dflt"), "");
  EXPECT_EQ(GetCommandLineValue({"q", "run"}, "ini_file", "dflt"), "dflt");
}

TEST(CommandLineTest, RebuiltLineQuotesWhatTheRuntimeWouldSplit) {
  EXPECT_EQ(
      BuildCommandLine({"/opt/my dir/quillrade", "ini_file=/a b/c.ini", "two words", "", "-i"}),
      "\"/opt/my dir/quillrade\" ini_file=\"/a b/c.ini\" \"two words\" \"\" -i");
  // A blank in front of the "=" cannot be written as name="value".
  EXPECT_EQ(BuildCommandLine({"p", "a b=c"}), "p \"a b=c\"");
  // Backslashes are escapes only before a quote.
  EXPECT_EQ(BuildCommandLine({"p", "ini_file=/d/a\"b", "C:\\a b\\", "a\\\"b", "C:\\x"}),
            "p ini_file=\"/d/a\\\"b\" \"C:\\a b\\\\\" \"a\\\\\\\"b\" C:\\x");
}

}  // namespace
