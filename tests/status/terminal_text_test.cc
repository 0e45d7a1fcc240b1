#include "status/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Visible(const std::string& text) {
  std::string out = "<";
  AppendWithVisibleControls(text, out);
  return out;
}

TEST(TerminalTextTest, ControlBytesBecomeCaretNotationOthersPassUnchanged) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", "<"},
      {"plain text", "<plain text"},
      {"tab\tcr\rlf\n", "<tab\tcr\rlf\n"},
      {std::string("\0\x01\x07\x08\x1b\x1c\x1d\x1e\x1f\x7f", 10), "<^@^A^G^H^[^\\^]^^^_^?"},
      {"\x1b[2J\x1b]0;PWNED\x07", "<^[[2J^[]0;PWNED^G"},
      {"caf\xc3\xa9 \x80\xff", "<caf\xc3\xa9 \x80\xff"},
      {"^[ typed", "<^[ typed"},
  };
  for (const auto& c : cases) EXPECT_EQ(Visible(c.in), c.out) << c.in;
}

}  // namespace
