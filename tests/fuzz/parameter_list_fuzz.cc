// Feeds arbitrary bytes to the parameter-list lookup: the first byte picks how the
// rest splits into a name and a list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/parameter_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t nameLength = std::min<size_t>(data[0] % 16, input.size());
  const std::string_view name = input.substr(0, nameLength);
  const std::string_view list = input.substr(nameLength);

  std::string value = "unset";
  const bool found = FindParameter(list, name, &value);
  if (!found && !value.empty()) abort();
  if (value.size() > kMaxParameterTokenBytes) abort();
  if (FindParameter(list, name) != found) abort();
  if (GetParameterText(list, name) != value) abort();
  const int number = GetParameterInt(list, name, -12345);
  if (value.empty() && number != -12345) abort();
  return 0;
}
