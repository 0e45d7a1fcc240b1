#include "support/page_checks.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/temp_dir.h"

CommandResult RunShell(const std::string& command, const std::string& input) {
  CommandResult result;
  CTempDir folder("qr_shell");
  if (!folder.Ok()) return result;
  const std::string inputPath = folder.WriteFile("input", input);
  FILE* pipe = popen(("(" + command + ") <'" + inputPath + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer;
  size_t got;
  while ((got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    result.strOutput.append(buffer.data(), got);
  }
  const int status = pclose(pipe);
  result.nExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

CommandResult CheckMetricsWithPromtool(const std::string& metrics) {
  return RunShell(std::string(kPromtool) + " check metrics", metrics);
}

CommandResult JsonValueAt(const std::string& json, const std::string& path) {
  return RunShell("python3 -c 'import json,sys; print(json.dumps(json.load(sys.stdin)" + path +
                      ", ensure_ascii=False))'",
                  json);
}

double MetricValue(const std::string& metrics, const std::string& series) {
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 &&
        line[series.size()] == ' ') {
      return std::strtod(line.c_str() + series.size() + 1, nullptr);
    }
  }
  return -1;
}
