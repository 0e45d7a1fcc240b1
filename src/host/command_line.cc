#include "host/command_line.h"

#include "util/parameter_list.h"

namespace {

// Finds the first argument after the program path named `key`.
bool FindArgument(const std::vector<std::string>& arguments, const std::string& key,
                  std::string* value) {
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (MatchParameterToken(arguments[i], key, value)) return true;
  }
  return false;
}

}  // namespace

bool HasCommandLineKey(const std::vector<std::string>& arguments, const std::string& key) {
  return FindArgument(arguments, key, nullptr);
}

std::string GetCommandLineValue(const std::vector<std::string>& arguments, const std::string& key,
                                const std::string& defaultValue) {
  std::string value;
  return FindArgument(arguments, key, &value) ? value : defaultValue;
}

bool IsConfigCheckCommand(const std::vector<std::string>& arguments) {
  return HasCommandLineKey(arguments, "check") || HasCommandLineKey(arguments, "-check");
}
