// Parameter lists: a line of blank-separated name=value tokens, such as
//   line=2 find="Now playing" trim=1
// Read from the process command line, keyword options and push query strings.
// Pure functions; any thread.
#ifndef QUILLRADE_UTIL_PARAMETER_LIST_H_
#define QUILLRADE_UTIL_PARAMETER_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A token longer than this is cut to its first kMaxParameterTokenBytes bytes before
// its name and value are read.
constexpr size_t kMaxParameterTokenBytes = 1023;

// True when a token named `name` (ASCII case ignored) exists; the first such token
// wins. When `value` is given it receives the token's value (one enclosing pair of
// double quotes removed), or an empty string when nothing matched.
bool FindParameter(std::string_view list, std::string_view name, std::string* value = nullptr);

// True when one token (a piece of a list, or one process argument) is named
// `name` (ASCII case ignored, leading blanks skipped); then `value`, when given,
// receives its value with one enclosing pair of double quotes removed.
bool MatchParameterToken(std::string_view token, std::string_view name, std::string* value);

// The name of every token, in order (its text before the first "=", leading
// blanks skipped); blank tokens give none.
std::vector<std::string> ParameterNames(std::string_view list);

// The value of `name`, or an empty string when absent.
std::string GetParameterText(std::string_view list, std::string_view name);

// The value of `name` read as a decimal integer (atoi rules); `defaultValue` when
// the name is absent or its value is empty.
int GetParameterInt(std::string_view list, std::string_view name, int defaultValue);

#endif  // QUILLRADE_UTIL_PARAMETER_LIST_H_
