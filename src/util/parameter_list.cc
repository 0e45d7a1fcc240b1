#include "util/parameter_list.h"

#include <algorithm>
#include <climits>

#include "util/text_util.h"

namespace {

// The list's tokens, each cut to its maximum length: blanks outside double
// quotes separate them. A blank at a token's start ends nothing: the token keeps
// it as a leading blank, which readers skip.
std::vector<std::string_view> SplitTokens(std::string_view list) {
  std::vector<std::string_view> tokens;
  const auto add = [&](size_t start, size_t end) {
    tokens.push_back(list.substr(start, std::min(end - start, kMaxParameterTokenBytes)));
  };
  bool inQuotes = false;
  size_t tokenStart = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == '"') {
      inQuotes = !inQuotes;
    } else if (list[i] == ' ' && !inQuotes && i != tokenStart) {
      add(tokenStart, i);
      tokenStart = i + 1;
    }
  }
  if (tokenStart < list.size()) add(tokenStart, list.size());
  return tokens;
}

}  // namespace

bool MatchParameterToken(std::string_view token, std::string_view name, std::string* value) {
  const size_t begin = token.find_first_not_of(' ');
  if (begin == std::string_view::npos) return false;
  token.remove_prefix(begin);
  const size_t equals = token.find('=');
  if (!EqualsIgnoringAsciiCase(token.substr(0, equals), name)) return false;
  std::string_view found;
  if (equals != std::string_view::npos) found = token.substr(equals + 1);
  if (!found.empty() && found.front() == '"' && found.back() == '"') {
    found = found.size() == 1 ? std::string_view() : found.substr(1, found.size() - 2);
  }
  if (value != nullptr) value->assign(found);
  return true;
}

bool FindParameter(std::string_view list, std::string_view name, std::string* value) {
  for (const std::string_view token : SplitTokens(list)) {
    if (MatchParameterToken(token, name, value)) return true;
  }
  if (value != nullptr) value->clear();
  return false;
}

std::vector<std::string> ParameterNames(std::string_view list) {
  std::vector<std::string> names;
  for (std::string_view token : SplitTokens(list)) {
    const size_t begin = token.find_first_not_of(' ');
    if (begin == std::string_view::npos) continue;
    token.remove_prefix(begin);
    names.emplace_back(token.substr(0, token.find('=')));
  }
  return names;
}

std::string GetParameterText(std::string_view list, std::string_view name) {
  std::string value;
  FindParameter(list, name, &value);
  return value;
}

int GetParameterInt(std::string_view list, std::string_view name, int defaultValue) {
  std::string value;
  if (!FindParameter(list, name, &value) || value.empty()) return defaultValue;
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  // Accumulated as a negative number so that INT_MIN itself fits; values past the
  // int range saturate instead of wrapping.
  long long number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10 - (value[i] - '0');
    if (number < static_cast<long long>(INT_MIN) - 1) break;
  }
  if (!negative) number = -number;
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<int>(number);
}
