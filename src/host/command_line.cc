#include "host/command_line.h"

#include "util/parameter_list.h"

bool HasCommandLineKey(const std::string& commandLine, const std::string& key) {
  return FindParameter(commandLine, key);
}

std::string GetCommandLineValue(const std::string& commandLine, const std::string& key,
                                const std::string& defaultValue) {
  std::string value;
  return FindParameter(commandLine, key, &value) ? value : defaultValue;
}

std::string GetCommandLineArguments(const std::string& commandLine) {
  if (commandLine.empty()) return std::string();
  // A program path that opens with a quote is quoted up to its closing quote.
  bool inQuotes = commandLine[0] == '"';
  for (size_t i = 1; i < commandLine.size(); ++i) {
    if (commandLine[i] == '"') {
      inQuotes = !inQuotes;
    } else if (commandLine[i] == ' ' && !inQuotes) {
      return commandLine.substr(i + 1);
    }
  }
  return std::string();
}

bool IsConfigCheckCommand(const std::string& commandLine) {
  return HasCommandLineKey(commandLine, "check") || HasCommandLineKey(commandLine, "-check");
}
