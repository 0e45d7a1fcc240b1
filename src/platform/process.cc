#include "platform/process.h"

#include <utility>

namespace {

struct ProcessArguments {
  std::vector<std::string> vecArguments;
  std::string strCommandLine;
};

ProcessArguments& StoredArguments() {
  static ProcessArguments stored;
  return stored;
}

// Appends `text` inside double quotes; a quote is escaped and so are the
// backslashes before it (and those before the closing quote), since only there
// does the C runtime read backslashes as escapes.
void AppendQuoted(const std::string& text, std::string* line) {
  *line += '"';
  size_t backslashes = 0;
  for (const char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    line->append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, '\\');
  *line += '"';
}

void AppendArgument(const std::string& argument, bool first, std::string* line) {
  constexpr const char* kNeedsQuotes = " \t\"";
  if (!argument.empty() && argument.find_first_of(kNeedsQuotes) == std::string::npos) {
    *line += argument;
    return;
  }
  // A program path is read up to its closing quote without escapes, so it is
  // always quoted whole.
  const size_t equals = first ? std::string::npos : argument.find('=');
  if (equals != std::string::npos && argument.find_first_of(kNeedsQuotes) > equals) {
    line->append(argument, 0, equals + 1);
    AppendQuoted(argument.substr(equals + 1), line);
    return;
  }
  AppendQuoted(argument, line);
}

}  // namespace

std::string BuildCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += ' ';
    AppendArgument(arguments[i], i == 0, &line);
  }
  return line;
}

void SetProcessArguments(std::vector<std::string> arguments) {
  ProcessArguments& stored = StoredArguments();
  stored.strCommandLine = BuildCommandLine(arguments);
  stored.vecArguments = std::move(arguments);
}

const std::vector<std::string>& GetProcessArguments() { return StoredArguments().vecArguments; }

const std::string& GetProcessCommandLine() { return StoredArguments().strCommandLine; }

CResult ChildResult::AsResult(std::string context) const {
  if (!bStarted) return CResult::FromSystemError(std::move(context), nError);
  if (nExitCode == 0) return CResult::Ok();
  return CResult::Failure(CResultCode::kFailed, std::move(context),
                          "exit code " + std::to_string(nExitCode));
}
