#include "platform/terminal.h"

#include <stdlib.h>

#include "platform/win_handle.h"

// Colours are console text attributes here, so they need a console, not a file
// or a pipe.
bool StdoutWantsColour() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0 &&
         getenv("NO_COLOR") == nullptr;
}
