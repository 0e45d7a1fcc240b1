#include "platform/process.h"

namespace {

std::string& ProcessCommandLine() {
  static std::string commandLine;
  return commandLine;
}

std::string QuoteArgument(const std::string& argument) {
  if (argument.empty()) return "\"\"";
  if (argument.find(' ') == std::string::npos) return argument;
  const size_t equals = argument.find('=');
  if (equals != std::string::npos && argument.find(' ') > equals) {
    return argument.substr(0, equals + 1) + "\"" + argument.substr(equals + 1) + "\"";
  }
  return "\"" + argument + "\"";
}

// Reverses QuoteArgument for one piece of the command line.
std::string UnquoteArgument(const std::string& piece) {
  if (piece.size() >= 2 && piece.front() == '"' && piece.back() == '"') {
    return piece.substr(1, piece.size() - 2);
  }
  const size_t equals = piece.find('=');
  if (equals != std::string::npos && piece.size() >= equals + 3 && piece[equals + 1] == '"' &&
      piece.back() == '"') {
    return piece.substr(0, equals + 1) + piece.substr(equals + 2, piece.size() - equals - 3);
  }
  return piece;
}

}  // namespace

std::string BuildCommandLine(int argc, const char* const* argv) {
  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) commandLine += ' ';
    commandLine += QuoteArgument(argv[i] != nullptr ? argv[i] : "");
  }
  return commandLine;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::string piece;
  bool inQuotes = false;
  bool havePiece = false;
  for (const char c : commandLine) {
    if (c == ' ' && !inQuotes) {
      if (havePiece) arguments.push_back(UnquoteArgument(piece));
      piece.clear();
      havePiece = false;
      continue;
    }
    if (c == '"') inQuotes = !inQuotes;
    piece += c;
    havePiece = true;
  }
  if (havePiece) arguments.push_back(UnquoteArgument(piece));
  return arguments;
}

void SetProcessCommandLine(int argc, const char* const* argv) {
  ProcessCommandLine() = BuildCommandLine(argc, argv);
}

const std::string& GetProcessCommandLine() { return ProcessCommandLine(); }
