// Defines a keyword from arbitrary option text and evaluates it over arbitrary
// lines through a task's recomputation. Input layout: option text, a NUL byte,
// then the lines separated by LF (lines may hold any other byte, CR and NUL
// included).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/plain_text_parser.h"
#include "engine/task.h"

namespace {

std::vector<std::string> SplitLines(std::string_view bytes) {
  std::vector<std::string> lines;
  while (!bytes.empty() && lines.size() < CTask::kMaxPlainTextLines) {
    const size_t end = bytes.find('\n');
    lines.emplace_back(bytes.substr(0, end));
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return lines;
}

size_t JoinedSize(const std::vector<std::string>& lines) {
  size_t size = 0;
  for (const std::string& line : lines) size += line.size() + 4;
  return size;
}

void CheckKeyword(const std::string& options, const std::vector<std::string>& lines) {
  CPlainTextParser keyword;
  keyword.DefineKeyword("text0", options);
  keyword.EvaluateKeyword(lines, TextCharset::kUtf8);
  const std::string& value = keyword.Value();
  if (value.size() > JoinedSize(lines)) abort();
  const bool frontCut = !keyword.Begin().empty() || !keyword.RBegin().empty();
  if (frontCut && value.size() > CPlainTextParser::kMaxFrontCutBytes) abort();
  if (lines.empty() && !value.empty()) abort();
  // Evaluation starts from scratch: a second run gives the same value.
  const std::string first = value;
  keyword.EvaluateKeyword(lines, TextCharset::kUtf8);
  if (keyword.Value() != first) abort();
}

void CheckRecompute(const std::string& options, const std::vector<std::string>& lines) {
  CTask task;
  task.valueReplaceList = BuiltInReplaceItems();
  task.keywords.emplace_back();
  task.keywords.back().DefineKeyword("text0", options);
  task.keywords.emplace_back();
  task.keywords.back().DefineKeyword("text1", "line=-1");
  task.formatItems.push_back({"format0", "%text0%|%text1%|%text0%", ""});
  task.Recompute(lines);
  // Built-in items leave no raw line break or tab in a value.
  for (const CPlainTextParser& keyword : task.keywords) {
    if (keyword.Value().find_first_of("\r\n\t") != std::string::npos) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t separator = bytes.find('\0');
  const std::string options(bytes.substr(0, separator));
  const std::vector<std::string> lines = separator == std::string_view::npos
                                             ? std::vector<std::string>{}
                                             : SplitLines(bytes.substr(separator + 1));
  CheckKeyword(options, lines);
  CheckRecompute(options, lines);
  return 0;
}
