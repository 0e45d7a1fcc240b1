#include "status/console_colour.h"

#include <string>

#include "platform/stdout_writer.h"
#include "platform/terminal.h"

namespace {

// A console attribute is a foreground colour in the low four bits and a background
// in the next four; within each, 1 = blue, 2 = green, 4 = red, 8 = bright.
// ANSI numbers its colours with red as bit 0 and blue as bit 2.
int AnsiColourIndex(int consoleColour) {
  return ((consoleColour & 4) ? 1 : 0) | ((consoleColour & 2) ? 2 : 0) |
         ((consoleColour & 1) ? 4 : 0);
}

// The escape for an attribute; -1 = the terminal's normal colours. A black
// background is left at the terminal's own background.
std::string EscapeForAttribute(int attribute) {
  if (attribute < 0) return "\x1b[0m";
  const int foreground = attribute & 0xF;
  const int background = (attribute >> 4) & 0xF;
  std::string escape =
      "\x1b[0;" + std::to_string(((foreground & 8) ? 90 : 30) + AnsiColourIndex(foreground));
  if (background != 0) {
    escape += ";" + std::to_string(((background & 8) ? 100 : 40) + AnsiColourIndex(background));
  }
  return escape + "m";
}

}  // namespace

CConsoleColour::CConsoleColour() : bColour(StdoutWantsColour()) {}

CConsoleColour::~CConsoleColour() {
  if (bChanged) SetColour(kColourNormal);
}

void CConsoleColour::SetColour(int attribute) const {
  if (!bColour) return;
  const std::string escape = EscapeForAttribute(attribute);
  WriteStdout(escape);
  bChanged = attribute >= 0;
}
