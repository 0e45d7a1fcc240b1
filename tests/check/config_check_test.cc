// The configuration check in-process: each kind of mistake gives its finding on
// the right line with the right exit status, and the values and URLs shown are
// the ones the tasks compose.
#include "check/config_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status/log_output.h"
#include "support/temp_dir.h"

namespace {

const std::string kToken = "check-token-0123456";
using namespace std::string_literals;

// The 1-based line of the first line of `config` that contains `text`; 0 when none.
int LineOf(const std::string& config, const std::string& text) {
  const size_t at = config.find(text);
  if (at == std::string::npos) return 0;
  int line = 1;
  for (size_t i = 0; i < at; ++i) line += config[i] == '\n' ? 1 : 0;
  return line;
}

class ConfigCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder.Ok());
    input = folder.WriteFile("a.txt", "Title: Song & Dance\nArtist: Someone\n");
    xml = folder.WriteFile("a.xml", "<t>Caf\xC3\xA9</t>");
  }
  const std::string kXmlOutput = "[Output1]\nformat0=%xml_t%\nUrl0=http://h/%format0%\n";

  // A valid pair 0 with extra lines in its input and output sections, then `tail`.
  std::string Config(const std::string& inputExtra, const std::string& outputExtra,
                     const std::string& tail = "") const {
    return "[Input0]\nfile=" + input + "\ntext0=find=Title begin=\": \"\n" + inputExtra +
           "[Output0]\nformat0=%text0%\nUrl0=http://127.0.0.1:9/t?v=%format0%\n" + outputExtra +
           tail;
  }

  // Also checks that the setup's lines went into the report only: the
  // process-wide output (the service's console, page and feed) saw none of them.
  CConfigCheck Run(const std::string& config, int expectedStatus) {
    CConfigCheck check(folder.WriteFile("q.ini", config));
    const std::vector<std::string> before = g_logOutput.RecentTexts();
    EXPECT_EQ(check.Run(), expectedStatus) << config << check.TextReport();
    EXPECT_EQ(g_logOutput.RecentTexts(), before);
    return check;
  }

  CTempDir folder{"qr_check"};
  std::string input;
  std::string xml;
};

TEST_F(ConfigCheckTest, ValidPairHasNoFindingsAndShowsWhatWouldBeSent) {
  const CConfigCheck check =
      Run("[global]\nstatus_listen_address=127.0.0.1\n"
          "max_connections_per_host=2\n" +
              Config("", "",
                     "[Input1]\ntype=push\ntext0=line=0\n"
                     "[Output1]\nformat0=%text0%\n"
                     "Url0=http://127.0.0.1:9/p?v=%format0%&"
                     "t=%OUTPUT0:FORMAT0%\n"),
          kCheckClean);
  EXPECT_TRUE(check.Findings().empty()) << check.TextReport();
  EXPECT_NE(check.TextReport().find("Initializing...\n--------------- TASK 0 ---"),
            std::string::npos);
  ASSERT_EQ(check.Tasks().size(), 2u);
  const CheckedTask& plain = check.Tasks()[0];
  EXPECT_TRUE(plain.bInputRead);
  ASSERT_EQ(plain.values.size(), 1u);
  EXPECT_EQ(plain.values[0].strText, "Song & Dance");
  EXPECT_EQ(plain.vecUrls, (std::vector<std::string>{"http://127.0.0.1:9/t?v=Song%20%26%20Dance"}));
  // A push input is not read; its URL is shown as the template a push fills.
  const CheckedTask& push = check.Tasks()[1];
  EXPECT_FALSE(push.bInputRead);
  EXPECT_EQ(push.strInput, "http://127.0.0.1:7370/input1?set=data");
  EXPECT_EQ(push.vecUrls,
            (std::vector<std::string>{"http://127.0.0.1:9/p?v=%format0%&t=%output0:FORMAT0%"}));

  const std::string text = check.TextReport();
  EXPECT_NE(text.find("--------------- TASK 1 ----------------\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  would send http://127.0.0.1:9/t?v=Song%20%26%20Dance\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nNo findings.\n\n0 error(s), 0 warning(s).\n"), std::string::npos);
}

TEST_F(ConfigCheckTest, ShowsTheSetOfTheValuesAndTheUrlsAsConverted) {
  const CConfigCheck check =
      Run("[Input0]\nfile=" + folder.WriteFile("cz.txt", "Dvo\xF8\xE1k\n") +
              "\ncharset=windows-1250\ntext0=line=0\n[Output0]\ncharset=utf-8\nformat0=%text0%\n"
              "Url0=http://127.0.0.1:9/t?v=%format0%\n",
          kCheckClean);
  const std::string text = check.TextReport();
  EXPECT_NE(text.find("  values read as windows-1250; URLs carry utf-8\n  text0 = \"Dvořák\"\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  would send http://127.0.0.1:9/t?v=Dvo%c5%99%c3%a1k\n"), std::string::npos);
  EXPECT_NE(check.JsonReport().find("\"charset\":\"windows-1250\",\"output_charset\":\"utf-8\""),
            std::string::npos);
  EXPECT_NE(Run(Config("", ""), kCheckClean)
                .TextReport()
                .find("  values read as windows-1252; URLs carry the values' own bytes"),
            std::string::npos);
}

struct FindingCase {
  std::string config;
  int status;
  FindingSeverity severity;
  std::string lineText;  // the finding's line is the first line containing this
  std::string message;   // a part of the finding's message
};

TEST_F(ConfigCheckTest, EachMistakeGivesItsFindingOnItsLine) {
  const std::vector<FindingCase> cases = {
      {Config("", "", "[Ouput1]\nformat0=x\n"), kCheckErrors, FindingSeverity::kError, "[Ouput1]",
       "unknown section [Ouput1]; did you mean [Output1]?"},
      // The keys of a misspelt section are checked as those of the one suggested.
      {Config("", "", "[Ouput1]\nfromat0=x\n"), kCheckErrors, FindingSeverity::kError, "fromat0",
       "unknown key \"fromat0\" in [Ouput1]; did you mean \"format0\"?"},
      {"[globl]\nmax_connections_per_host=2\nhttp_timout_seconds=5\n" + Config("", ""),
       kCheckErrors, FindingSeverity::kError, "http_timout",
       "unknown key \"http_timout_seconds\" in [globl]; did you mean \"http_timeout_seconds\"?"},
      {Config("", "", "[Input05]\nfile=x\n"), kCheckErrors, FindingSeverity::kError, "[Input05]",
       "unknown section [Input05]; did you mean [Input5]?"},
      {Config("", "fromat1=%text0%\n"), kCheckErrors, FindingSeverity::kError, "fromat1",
       "unknown key \"fromat1\" in [Output0]; did you mean \"format1\"?"},
      {Config("", "Url 1=http://h/\n"), kCheckErrors, FindingSeverity::kError, "Url 1",
       "unknown key \"Url 1\" in [Output0]; did you mean \"Url1\"?"},
      {Config("text100=line=0\n", ""), kCheckErrors, FindingSeverity::kError, "text100",
       "unknown key \"text100\" in [Input0]"},
      {Config("colour=red\n", ""), kCheckErrors, FindingSeverity::kError, "colour",
       "unknown key \"colour\" in [Input0]\n"},
      {Config("trim=1\n", ""), kCheckErrors, FindingSeverity::kError, "trim=1",
       "key \"trim\" in [Input0] is not read: only XML inputs (type=xml) read it"},
      {Config("", "Url1 http://h/\n"), kCheckErrors, FindingSeverity::kError, "Url1 http",
       "line without \"=\" in [Output0]: ignored"},
      {"stray=1\n" + Config("", ""), kCheckErrors, FindingSeverity::kError, "stray",
       "line before the first section header"},
      {Config("", "", "[Output3]\nformat0=x\n"), kCheckErrors, FindingSeverity::kError, "[Output3]",
       "output [Output3] has no input"},
      {Config("", "", "[Input3]\ntype=xml\n[Output3]\nformat0=x\n"), kCheckErrors,
       FindingSeverity::kError, "[Input3]", "[Input3] makes no task"},
      {"[Input0]\nfile=" + input + "\n", kCheckErrors, FindingSeverity::kError, "[Input0]",
       "input [Input0] has no output: there is no [Output0]"},
      {Config("", "Url1=ftp://h/x\n"), kCheckErrors, FindingSeverity::kError,
       "Url1=", "Url1 does not start with http:// or https://"},
      {Config("", "Url1=127.0.0.1/x\n"), kCheckErrors, FindingSeverity::kError,
       "Url1=", "Url1 does not start with http:// or https://"},
      {Config("", "Url1=http://h/?a=%output7:format0%\n"), kCheckErrors, FindingSeverity::kError,
       "Url1=", "Url1 refers to %output7:format0%, which names no format of a task"},
      {Config("", "Url1=http://h/?a=%Output0:format4%\n"), kCheckErrors, FindingSeverity::kError,
       "Url1=", "refers to %output0:format4%"},
      {Config("", "", "[A][B]\nk=v\n"), kCheckErrors, FindingSeverity::kError, "[A][B]",
       "section [B] is nested in [A]"},
      {Config("", "", "[Output9\nk=v\n"), kCheckErrors, FindingSeverity::kError, "[Output9",
       "section header without a closing \"]\""},
      {"\xEF\xBB\xBF" + Config("", "format1=a\0b\n"s), kCheckErrors, FindingSeverity::kError,
       "format1", "NUL byte: the rest of this line is ignored"},
      {Config("", "Url1=http://h/" + std::string(3986, 'x') + "\n"), kCheckErrors,
       FindingSeverity::kError, "Url1",
       "line of 4000 bytes: longer than 2047, it is read as 2 lines"},
      // Warnings alone leave the exit status at 0.
      {Config("", "",
              "[Input1]\nfile=" + folder.PathOf("later.txt") +
                  "\n[Output1]\nformat0=x\nUrl0=http://h/%format0%\n"),
       kCheckClean, FindingSeverity::kWarning, "later.txt",
       "input file \"" + folder.PathOf("later.txt") + "\" does not exist (yet)"},
      {Config("text1=line=0\ntext1=line=1\n", ""), kCheckClean, FindingSeverity::kWarning,
       "text1=line=1", "key \"text1\" in [Input0] is set again (also on line 4): this last value"},
      {Config("file=\n", ""), kCheckErrors, FindingSeverity::kWarning, "file=\n",
       "is set again (also on line 2): this last value wins (empty, so the key reads as absent)"},
      {Config("type=XML\n", ""), kCheckClean, FindingSeverity::kWarning, "type=XML",
       "type=XML is neither xml nor push"},
      {Config("text1=fnd=Artist trim=1 bogus=2\n", ""), kCheckClean, FindingSeverity::kWarning,
       "text1=", "unknown option \"fnd\" in text1: ignored; did you mean \"find\"?"},
      {Config("text1=fnd=Artist trim=1 bogus=2\n", ""), kCheckClean, FindingSeverity::kWarning,
       "text1=", "unknown option \"bogus\" in text1: ignored"},
      {"[global]\nstatus_listen_address=localhost\n" + Config("", ""), kCheckClean,
       FindingSeverity::kWarning, "status_listen_address",
       "status_listen_address=localhost is not an IPv4 address: status channels on 127.0.0.1 "
       "only"},
      {"[global]\nhttp_timeout=5\n" + Config("", ""), kCheckErrors, FindingSeverity::kError,
       "http_timeout", "unknown key \"http_timeout\" in [global]"},
      {Config("", "format1=%text0%!\n"), kCheckClean, FindingSeverity::kWarning, "format1",
       "format1 of [Output0] is used in no URL"},
      {Config("", "Url1=http://h/?a=%format7%\n"), kCheckClean, FindingSeverity::kWarning,
       "Url1=", "Url1 uses %format7%, but [Output0] has no such format"},
      {"[global]\nstatus_listen_address=0.0.0.0\n" + Config("", ""), kCheckClean,
       FindingSeverity::kWarning, "status_listen_address",
       "the status channels listen on 0.0.0.0 without an access_token"},
      {"[global]\naccess_token=" + kToken.substr(0, 15) + "\n" + Config("", ""), kCheckClean,
       FindingSeverity::kWarning, "access_token", "access_token is shorter than 16 characters"},
#ifndef _WIN32  // Windows grants reading through access lists the check does not read
      {"[global]\naccess_token=" + kToken + "\n" + Config("", ""), kCheckClean,
       FindingSeverity::kWarning, "access_token", "access_token is in a file every user"},
#endif
      {Config("charset=latin1\n", ""), kCheckClean, FindingSeverity::kWarning, "charset=latin1",
       "charset=latin1 in [Input0] names no known set (utf-8, windows-1252, iso-8859-1, "
       "iso-8859-15, windows-1250, auto): read as auto"},
      {Config("", "charset=ascii\n"), kCheckClean, FindingSeverity::kWarning, "charset=ascii",
       "in [Output0] names no known set"},
      {Config("", "", "[Input1]\ntype=xml\nfile=" + xml + "\ncharset=utf-8\n" + kXmlOutput),
       kCheckClean, FindingSeverity::kWarning, "charset=utf-8",
       "charset in [Input1] is not read: an XML input's values are UTF-8"},
      {Config("", "",
              "[Input1]\ntype=xml\nfile=" + xml + "\n" + kXmlOutput +
                  "[Input2]\nfile=" + folder.WriteFile("cp.txt", "Caf\xE9\n") +
                  "\ntext0=line=0\n[Output2]\nformat0=%text0%\n"
                  "Url0=http://h/?a=%format0%&b=%output1:format0%\n"),
       kCheckClean, FindingSeverity::kWarning, "[Output2]",
       "[Output2] has no charset but its URLs mix UTF-8 values (output1 format0 (utf-8)) with "
       "single-byte values (output2 format0 (windows-1252))"},
  };
  for (const FindingCase& c : cases) {
    const CConfigCheck check = Run(c.config, c.status);
    bool found = false;
    for (const ConfigFinding& finding : check.Findings()) {
      if ((finding.strMessage + "\n").find(c.message) == std::string::npos) continue;
      found = true;
      EXPECT_EQ(finding.severity, c.severity) << c.message;
      EXPECT_EQ(finding.nLine, LineOf(c.config, c.lineText)) << c.message;
    }
    EXPECT_TRUE(found) << c.message << "\n" << check.TextReport();
    EXPECT_EQ((check.TextReport() + check.JsonReport()).find(kToken.substr(0, 15)),
              std::string::npos);
  }
}

TEST_F(ConfigCheckTest, UnreadableFileExitsWithTwo) {
  for (const std::string& path :
       {folder.PathOf("missing.ini"), folder.WriteFile("empty.ini", ""), folder.Path().string()}) {
    CConfigCheck check(path);
    EXPECT_EQ(check.Run(), kCheckUnreadable) << path;
    ASSERT_EQ(check.Findings().size(), 1u);
    EXPECT_EQ(check.Findings()[0].severity, FindingSeverity::kError);
    EXPECT_NE(check.TextReport().find("Couldn't read from file \"" + path + "\"\n"),
              std::string::npos);
    EXPECT_NE(check.JsonReport().find("\"readable\":false,\"exit_status\":2"), std::string::npos);
  }
}

TEST(ConfigFindingsTest, SuggestsOnlyNearMisses) {
  const std::vector<std::string> names = {"format0", "Url0", "Replace0", "file"};
  EXPECT_EQ(NearestName("fromat0", names), "format0");  // a swap is one edit
  EXPECT_EQ(NearestName("URL 0", names), "Url0");
  EXPECT_EQ(NearestName("replce0", names), "Replace0");
  EXPECT_EQ(NearestName("colour", names), "");
  EXPECT_EQ(NearestName("x", names), "");
}

}  // namespace
