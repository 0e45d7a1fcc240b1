// The Debian package ships its own unit (debian/quillrade.service). It must stay
// the unit "-i" writes, with the packaged paths on the command line: a change to
// one that the other misses fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/program_description.h"
#include "platform/service_control.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(PackagedUnitTest, IsTheInstalledUnitWithThePackagesPaths) {
  const ServiceDescription description = QuillradeServiceDescription();
  ServiceUnit unit;
  unit.strName = "quillrade";
  unit.strDescription = description.strServiceDescription;
  unit.strExecStart =
      "\"/usr/bin/quillrade\" servicerun ini_file=/etc/quillrade/quillrade.ini "
      "crash_dir=/var/lib/quillrade";
  unit.bAutoStart = description.bAutoStart;
  unit.bRestartOnFailure = description.bRestartOnFailure;
  unit.nRestartDelayMs = description.nRestartDelayMs;

  std::ifstream file(std::string(QR_SOURCE_DIR) + "/debian/quillrade.service");
  ASSERT_TRUE(file.good());
  std::stringstream packaged;
  packaged << file.rdbuf();
  // What only the package adds: comments, the man page, the state folder, and
  // the user and the sandbox: what follows the first blank line in [Service].
  std::vector<std::string> shared;
  bool inService = false;
  bool packageOnly = false;
  for (const std::string& line : Lines(packaged.str())) {
    if (StartsWith(line, "[")) {
      inService = line == "[Service]";
      packageOnly = false;
    }
    if (packageOnly || StartsWith(line, "#") || StartsWith(line, "Documentation=") ||
        StartsWith(line, "StateDirectory")) {
      continue;
    }
    packageOnly = inService && line.empty();
    shared.push_back(line);
  }
  EXPECT_EQ(shared, Lines(CServiceControl::UnitFileText(unit)));
}

}  // namespace
