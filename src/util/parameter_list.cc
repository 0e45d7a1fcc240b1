#include "util/parameter_list.h"

#include <climits>

#include "util/text_util.h"

namespace {

// Tests one token (already cut to its maximum length) against `name`; on a match
// stores its value with one enclosing pair of double quotes removed.
bool TokenMatches(std::string_view token, std::string_view name, std::string* value) {
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

bool TestToken(std::string_view list, size_t start, size_t end, std::string_view name,
               std::string* value) {
  std::string_view token = list.substr(start, end - start);
  if (token.size() > kMaxParameterTokenBytes) token = token.substr(0, kMaxParameterTokenBytes);
  return TokenMatches(token, name, value);
}

}  // namespace

bool FindParameter(std::string_view list, std::string_view name, std::string* value) {
  bool inQuotes = false;
  size_t tokenStart = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == '"') {
      inQuotes = !inQuotes;
    } else if (list[i] == ' ' && !inQuotes && i != tokenStart) {
      // A blank at the token start ends nothing: the next token keeps it as a
      // leading blank, which testing skips.
      if (TestToken(list, tokenStart, i, name, value)) return true;
      tokenStart = i + 1;
    }
  }
  if (tokenStart < list.size() && TestToken(list, tokenStart, list.size(), name, value)) {
    return true;
  }
  if (value != nullptr) value->clear();
  return false;
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
