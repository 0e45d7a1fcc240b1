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

std::map<std::string, std::string> JsonLeaves(const std::string& json) {
  constexpr char kWalker[] =
      "import json, sys\n"
      "def walk(path, value):\n"
      "    if isinstance(value, dict):\n"
      "        for key, item in value.items(): walk(path + [key], item)\n"
      "    elif isinstance(value, list):\n"
      "        for index, item in enumerate(value): walk(path + [str(index)], item)\n"
      "    else:\n"
      "        print('/'.join(path) + '\\t' + json.dumps(value, ensure_ascii=False))\n"
      "walk([], json.load(sys.stdin))\n";
  CTempDir folder("qr_json");
  std::map<std::string, std::string> leaves;
  if (!folder.Ok()) return leaves;
  const std::string script = folder.WriteFile("walk.py", kWalker);
  const CommandResult result = RunShell("PYTHONIOENCODING=utf-8 python3 '" + script + "'", json);
  if (result.nExitCode != 0) return leaves;
  std::istringstream lines(result.strOutput);
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) leaves[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return leaves;
}

std::string ResponseBody(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? "" : response.substr(end + 4);
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
