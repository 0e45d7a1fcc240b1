#include "status/terminal_text.h"

#include <algorithm>

#include "util/text_util.h"

namespace {

constexpr unsigned char kDelete = 0x7F;
// Caret notation: the control byte with bit 6 flipped ("^[" for ESC, "^?" for DEL).
constexpr unsigned char kCaretFlip = 0x40;

bool NeedsCaret(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte == kDelete) return true;
  return byte < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

}  // namespace

void AppendWithVisibleControls(std::string_view text, std::string& out) {
  if (std::none_of(text.begin(), text.end(), NeedsCaret)) {
    out.append(text);
    return;
  }
  out.reserve(out.size() + text.size() + 16);
  for (const char c : text) {
    if (!NeedsCaret(c)) {
      out.push_back(c);
      continue;
    }
    out.push_back('^');
    out.push_back(static_cast<char>(static_cast<unsigned char>(c) ^ kCaretFlip));
  }
}

std::string WithLineEndsShown(std::string_view text) {
  std::string shown(text);
  if (shown.find_first_of("\r\n") == std::string::npos) return shown;
  // In the order of the built-in value replace items, so both agree.
  for (const char* end : {"\r\n", "\n\r", "\n", "\r"}) ReplaceAll(shown, end, "[CR]");
  return shown;
}

std::string WithAllControlsShown(std::string_view text) {
  std::string shown;
  AppendWithVisibleControls(WithLineEndsShown(text), shown);
  return shown;
}
