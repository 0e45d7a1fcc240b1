// Feeds arbitrary bytes to the text utilities that see outside input: URL decoding
// into small destinations, URL encoding, repeated search-and-replace, list splitting
// and unquoting. The first bytes steer sizes and flags.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "util/text_util.h"

namespace {

void CheckUrlDecode(std::string_view text, size_t destinationSize, bool plusAsSpace) {
  // Exact-size heap buffer so that AddressSanitizer sees any write past it.
  std::vector<char> destination(destinationSize);
  const size_t written =
      UrlDecode(text.data(), text.size(), destination.data(), destination.size(), plusAsSpace);
  if (destinationSize == 0) {
    if (written != 0) abort();
    return;
  }
  if (written >= destinationSize || destination[written] != '\0') abort();
  if (written > text.size()) abort();
}

void CheckUrlRoundTrip(std::string_view text) {
  // NUL is sent as it is, and a decoded text ends at its first NUL.
  const std::string encoded = UrlEncode(text);
  if (UrlDecode(encoded, false) != text.substr(0, text.find('\0'))) abort();
}

void CheckReplace(std::string_view text, std::string_view search, std::string_view replacement) {
  std::string value(text);
  ApplyReplaceItem(value, search, replacement);
  // A repeating item that never lengthens the text stays far inside the repeat
  // limits for inputs of this size, so it must leave nothing to replace. Growing
  // items may be cut short by those limits and are only checked for terminating.
  const bool repeats = !search.empty() && FindNoCase(replacement, search) < 0;
  if (repeats && replacement.size() <= search.size() && FindNoCase(value, search) >= 0) abort();
}

void CheckSplit(std::string_view text, char separator, bool unquote, bool keepEmpty) {
  size_t total = 0;
  for (const std::string& piece : SplitList(text, separator, unquote, keepEmpty)) {
    if (!keepEmpty && piece.empty()) abort();
    total += piece.size();
  }
  if (total > text.size()) abort();
  if (Unquote(text).size() > text.size()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const size_t searchLength = data[1] % 8;
  const size_t replacementLength = data[2] % 8;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);

  CheckUrlDecode(rest, flags % 8, (flags & 8) != 0);
  CheckUrlDecode(rest, rest.size() + 1, (flags & 8) != 0);
  CheckUrlRoundTrip(rest);
  CheckSplit(rest, static_cast<char>(data[1]), (flags & 16) != 0, (flags & 32) != 0);

  if (rest.size() >= searchLength + replacementLength) {
    const std::string_view search = rest.substr(0, searchLength);
    const std::string_view replacement = rest.substr(searchLength, replacementLength);
    CheckReplace(rest.substr(searchLength + replacementLength), search, replacement);
  }
  return 0;
}
